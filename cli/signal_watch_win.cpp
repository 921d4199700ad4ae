#include "cli/signal_watch.h"

#include <csignal>

#include "core/console_events_win.h"
#include "core/win_util.h"

// Windows has no SIGINT/SIGTERM to block and wait for: a console control handler stands in. It
// runs on a thread the system starts for each event, queues the event as the signal a POSIX
// terminal would send (Ctrl+C: SIGINT; Ctrl+Break, closing the window, logoff, shutdown:
// SIGTERM) and the watcher's thread takes it from the queue, so the callbacks run where they run
// on POSIX. Events before Start wait in the queue, as blocked signals wait on POSIX.

namespace {

// Signal numbers, as the watcher hands them on.
ConsoleEventQueue<int>& Queue() {
    static ConsoleEventQueue<int> queue;
    return queue;
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    Queue().Push(event == CTRL_C_EVENT ? SIGINT : SIGTERM);
    // A close waits so the clean stop (within 1.5 s plus clean-up) has its time.
    return ConsoleEventHandled(event);
}

}  // namespace

bool BlockStopSignals() {
    // No SIGPIPE on Windows: a write to a closed pipe already fails with an error.
    return ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

int CSignalWatcher::NextSignal(const std::chrono::steady_clock::time_point* deadline) {
    return Queue().Take(deadline, [this] { return m_stopping.load(); }).value_or(0);
}

void CSignalWatcher::Stop() {
    if (!m_thread.joinable())
        return;
    Queue().Wake([this] { m_stopping = true; });
    m_thread.join();
}
