#include "cli/signal_watch.h"

#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>

#include "core/win_util.h"

// Windows has no SIGINT/SIGTERM to block and wait for: a console control handler stands in. It
// runs on a thread the system starts for each event, queues the event as the signal a POSIX
// terminal would send (Ctrl+C: SIGINT; Ctrl+Break, closing the window, logoff, shutdown:
// SIGTERM) and the watcher's thread takes it from the queue, so the callbacks run where they run
// on POSIX. Events before Start wait in the queue, as blocked signals wait on POSIX.

namespace {

using Clock = std::chrono::steady_clock;

// Held like blocked signals: a few, not an unbounded list of repeats.
constexpr std::size_t kMaxQueued = 8;
// Windows ends the process as soon as the handler of a close, logoff or shutdown event returns,
// and in any case after 5 s: waiting here gives the clean stop (within 1.5 s plus clean-up) its
// time. The process may end while this thread waits.
constexpr DWORD kCloseWaitMs = 4500;

struct StopQueue {
    // Guards queued; taken by the control handler's thread and the watcher's, nothing nested.
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<int> queued;
};

StopQueue& Queue() {
    static StopQueue queue;
    return queue;
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    const int signo = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    {
        StopQueue& q = Queue();
        std::lock_guard<std::mutex> lock(q.mutex);
        if (q.queued.size() < kMaxQueued)
            q.queued.push_back(signo);
    }
    Queue().arrived.notify_all();
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(kCloseWaitMs);
    return TRUE;  // handled: the default handler would end the process at once
}

// The next queued signal; 0 at deadline (when given) or once stopping is set.
int TakeSignal(const std::atomic<bool>& stopping, const Clock::time_point* deadline) {
    StopQueue& q = Queue();
    std::unique_lock<std::mutex> lock(q.mutex);
    const auto ready = [&] { return !q.queued.empty() || stopping.load(); };
    if (deadline != nullptr) {
        if (!q.arrived.wait_until(lock, *deadline, ready))
            return 0;
    } else {
        q.arrived.wait(lock, ready);
    }
    if (q.queued.empty())
        return 0;
    const int signo = q.queued.front();
    q.queued.pop_front();
    return signo;
}

}  // namespace

bool BlockStopSignals() {
    // No SIGPIPE on Windows: a write to a closed pipe already fails with an error.
    return ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

void CSignalWatcher::Watch() {
    int first = 0;  // the first signal, while its deadline runs
    Clock::time_point deadline;
    for (;;) {
        int signo = 0;
        if (first != 0) {
            if (Clock::now() >= deadline) {
                m_onOverdue(first);
                first = 0;  // once: the callback normally ends the process
                continue;
            }
            signo = TakeSignal(m_stopping, &deadline);
        } else {
            signo = TakeSignal(m_stopping, nullptr);
        }
        // Stop wakes this thread; an event at that moment needs no answer either, as the
        // client is already ending.
        if (m_stopping)
            return;
        if (signo <= 0)
            continue;  // the deadline is looked at again
        if (m_onOverdue && deadline == Clock::time_point{}) {
            first = signo;
            deadline = Clock::now() + m_grace;
        }
        if (m_onSignal)
            m_onSignal(signo);
    }
}

void CSignalWatcher::Stop() {
    if (!m_thread.joinable())
        return;
    {
        // Under the lock, so the watcher cannot miss the wake between its check and its wait.
        std::lock_guard<std::mutex> lock(Queue().mutex);
        m_stopping = true;
    }
    Queue().arrived.notify_all();
    m_thread.join();
}
