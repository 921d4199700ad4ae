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

int CSignalWatcher::NextSignal(const Clock::time_point* deadline) {
    const sigset_t set = StopSignals();
    if (deadline != nullptr)
        return WaitUntil(set, *deadline);
    int signo = 0;
    return sigwait(&set, &signo) == 0 ? signo : -1;
}

void CSignalWatcher::Stop() {
    if (!m_thread.joinable())
        return;
    m_stopping = true;
    // Wakes NextSignal with a SIGTERM of its own, directed at the watcher alone, which has the
    // signal blocked and is (or will be) in sigwait.
    pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
}
