#include "cli/signal_watch.h"

#include <system_error>

// The parts of signal_watch.h no system is in: starting the watcher's thread, and the relay.
// signal_watch.cpp (POSIX) or signal_watch_win.cpp holds the rest.

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
