#include "server/signals.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "core/win_util.h"

// Windows has no signals to block and wait for: a console control handler stands in. Ctrl+C,
// closing the window, logoff and shutdown ask to stop (SIGINT/SIGTERM/SIGHUP on POSIX);
// Ctrl+Break asks for the counters (SIGUSR1 on POSIX), as it asks many a console program for a
// dump. The handler runs on a thread of the system's and only queues the request.

namespace {

// A few queued requests, like pending signals; repeats beyond that add nothing.
constexpr std::size_t kMaxQueued = 8;
// Windows ends the process when a close, logoff or shutdown handler returns (and after 5 s in
// any case): waiting here lets the main thread stop the workers first. The process may end
// while this thread waits.
constexpr DWORD kCloseWaitMs = 4500;

struct RequestQueue {
    // Guards queued; taken by the control handler's thread and the main thread, nothing nested.
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<ServerSignal> queued;
};

RequestQueue& Queue() {
    static RequestQueue queue;
    return queue;
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    const ServerSignal request =
        event == CTRL_BREAK_EVENT ? ServerSignal::Report : ServerSignal::Stop;
    {
        RequestQueue& q = Queue();
        std::lock_guard<std::mutex> lock(q.mutex);
        if (q.queued.size() < kMaxQueued)
            q.queued.push_back(request);
    }
    Queue().arrived.notify_all();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(kCloseWaitMs);
    return TRUE;  // handled: the default handler would end the process at once
}

}  // namespace

bool BlockServerSignals() {
    return ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

ServerSignal WaitForSignal(int timeoutMs) {
    RequestQueue& q = Queue();
    std::unique_lock<std::mutex> lock(q.mutex);
    if (!q.arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&q] { return !q.queued.empty(); })) {
        return ServerSignal::None;
    }
    const ServerSignal request = q.queued.front();
    q.queued.pop_front();
    return request;
}
