#include "server/signals.h"

#include <chrono>

#include "core/console_events_win.h"
#include "core/win_util.h"

// Windows has no signals to block and wait for: a console control handler stands in. Ctrl+C,
// closing the window, logoff and shutdown ask to stop (SIGINT/SIGTERM/SIGHUP on POSIX);
// Ctrl+Break asks for the counters (SIGUSR1 on POSIX), as it asks many a console program for a
// dump. The handler runs on a thread of the system's and only queues the request; waiting in it
// on a close lets the main thread stop the workers first.

namespace {

ConsoleEventQueue<ServerSignal>& Queue() {
    static ConsoleEventQueue<ServerSignal> queue;
    return queue;
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    Queue().Push(event == CTRL_BREAK_EVENT ? ServerSignal::Report : ServerSignal::Stop);
    return ConsoleEventHandled(event);
}

}  // namespace

bool BlockServerSignals() {
    return ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

ServerSignal WaitForSignal(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return Queue().Take(&deadline, [] { return false; }).value_or(ServerSignal::None);
}
