#include "cli/signal_watch.h"

#include <pthread.h>
#include <signal.h>

#include <csignal>
#include <ctime>

namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

using Clock = std::chrono::steady_clock;

// One of set, or a negative value at deadline or on EINTR.
int WaitUntil(const sigset_t& set, Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return -1;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left);
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
    wait.tv_nsec = static_cast<long>(ns.count() % 1000000000);
    return sigtimedwait(&set, nullptr, &wait);
}

}  // namespace

bool BlockStopSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t set = StopSignals();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

void CSignalWatcher::Watch() {
    const sigset_t set = StopSignals();
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
            signo = WaitUntil(set, deadline);
            if (signo <= 0)
                continue;  // time-out or EINTR: the deadline is looked at again
        } else if (sigwait(&set, &signo) != 0) {
            continue;
        }
        // Stop wakes this thread with a SIGTERM of its own; a real one at that moment
        // needs no answer either, as the client is already ending.
        if (m_stopping)
            return;
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
    m_stopping = true;
    // Directed at the watcher alone, which has the signal blocked and is (or will be) in sigwait.
    pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
}
