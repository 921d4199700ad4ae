#include "cli/signal_watch.h"

#include <pthread.h>
#include <signal.h>

#include <csignal>

#include <system_error>

namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

bool BlockStopSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t set = StopSignals();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool CSignalWatcher::Start(std::function<void(int)> onSignal) {
    if (m_thread.joinable())
        return false;
    m_onSignal = std::move(onSignal);
    m_stopping = false;
    try {
        m_thread = std::thread([this] {
            const sigset_t set = StopSignals();
            for (;;) {
                int signo = 0;
                if (sigwait(&set, &signo) != 0)
                    continue;
                // Stop wakes this thread with a SIGTERM of its own; a real one at that moment
                // needs no answer either, as the client is already ending.
                if (m_stopping)
                    return;
                if (m_onSignal)
                    m_onSignal(signo);
            }
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CSignalWatcher::Stop() {
    if (!m_thread.joinable())
        return;
    m_stopping = true;
    // Directed at the watcher alone, which has the signal blocked and is (or will be) in sigwait.
    pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
}
