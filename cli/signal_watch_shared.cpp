#include "cli/signal_watch.h"

#include <system_error>

// The parts of signal_watch.h no system is in: the watcher's thread and its deadline, and the
// relay. signal_watch.cpp (POSIX) or signal_watch_win.cpp holds the rest.

bool CSignalWatcher::Start(std::function<void(int)> onSignal, std::chrono::milliseconds grace,
                           std::function<void(int)> onOverdue) {
    if (m_thread.joinable())
        return false;
    m_onSignal = std::move(onSignal);
    m_onOverdue = std::move(onOverdue);
    m_grace = grace;
    m_stopping = false;
    try {
        m_thread = std::thread([this] { Watch(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CSignalWatcher::Watch() {
    using Clock = std::chrono::steady_clock;
    int first = 0;  // the first signal, while its deadline runs
    Clock::time_point deadline;
    for (;;) {
        if (first != 0 && Clock::now() >= deadline) {
            m_onOverdue(first);
            first = 0;  // once: the callback normally ends the process
            continue;
        }
        const int signo = NextSignal(first != 0 ? &deadline : nullptr);
        // Stop wakes this thread; a real signal at that moment needs no answer either, as the
        // client is already ending.
        if (m_stopping)
            return;
        if (signo <= 0)
            continue;  // time-out or interruption: the deadline is looked at again
        if (m_onOverdue && deadline == Clock::time_point{}) {
            first = signo;
            deadline = Clock::now() + m_grace;
        }
        if (m_onSignal)
            m_onSignal(signo);
    }
}

void CSignalRelay::Deliver(int signo) {
    MutexLock lock(m_mutex);
    if (m_first == 0)
        m_first = signo;
    if (m_target)
        m_target(signo);
    else if (m_kept == 0)
        m_kept = signo;
}

void CSignalRelay::SetTarget(std::function<void(int)> target) {
    MutexLock lock(m_mutex);
    m_target = std::move(target);
    if (m_target && m_kept != 0) {
        const int kept = m_kept;
        m_kept = 0;
        m_target(kept);
    }
}

int CSignalRelay::First() const {
    MutexLock lock(m_mutex);
    return m_first;
}
