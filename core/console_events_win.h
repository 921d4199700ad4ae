#pragma once
// Console control events (Ctrl+C, Ctrl+Break, closing the window, logoff, shutdown) as Windows'
// stand-in for the stop signals a POSIX program blocks and waits for: the control handler runs on
// a thread the system starts for each event and only queues what the event asks; the program's
// own thread takes it from the queue. Shared by the client's and the server's signal files
// (never included on POSIX).
//
// Threads: Push from the control handler's thread; Take and Wake from the one thread that waits.

#ifndef _WIN32
#error "core/console_events_win.h is for the Windows platform files only"
#endif

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

#include "core/win_util.h"

template <typename Request>
class ConsoleEventQueue {
public:
    using Clock = std::chrono::steady_clock;

    void Push(Request request) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_queued.size() < kMaxQueued)
                m_queued.push_back(request);
        }
        m_arrived.notify_all();
    }

    // The next request, waiting until deadline (nullptr: no deadline); nothing at the deadline
    // or once stopping() holds (read under the queue's lock).
    template <typename StopFn>
    std::optional<Request> Take(const Clock::time_point* deadline, StopFn&& stopping) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto ready = [&] { return !m_queued.empty() || stopping(); };
        if (deadline != nullptr) {
            if (!m_arrived.wait_until(lock, *deadline, ready))
                return std::nullopt;
        } else {
            m_arrived.wait(lock, ready);
        }
        if (m_queued.empty())
            return std::nullopt;
        const Request request = m_queued.front();
        m_queued.pop_front();
        return request;
    }

    // Runs change (which makes the waiter's stopping() hold) under the lock, so the waiter cannot
    // miss it between its check and its wait, then wakes the waiter.
    template <typename ChangeFn>
    void Wake(ChangeFn&& change) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            change();
        }
        m_arrived.notify_all();
    }

private:
    // Held like pending signals: a few, not an unbounded list of repeats.
    static constexpr std::size_t kMaxQueued = 8;

    // Guards m_queued; taken by the control handler's thread and the waiting one, nothing nested.
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<Request> m_queued;
};

// What a control handler returns once it has queued event's request. Windows ends the process
// as soon as the handler of a close, logoff or shutdown event returns, and in any case after
// 5 s: waiting 4.5 s here gives the program's clean stop its time. The process may end while
// this thread waits.
inline BOOL ConsoleEventHandled(DWORD event) {
    constexpr DWORD kCloseWaitMs = 4500;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(kCloseWaitMs);
    return TRUE;  // handled: the default handler would end the process at once
}
