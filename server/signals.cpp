#include "server/signals.h"

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace {

sigset_t ServerSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);
    return set;
}

}  // namespace

bool BlockServerSignals() {
    const sigset_t set = ServerSet();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

ServerSignal WaitForSignal(int timeoutMs) {
    const sigset_t set = ServerSet();
    timespec ts{};
    ts.tv_sec = timeoutMs / 1000;
    ts.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
    const int sig = sigtimedwait(&set, nullptr, &ts);
    if (sig == SIGUSR1)
        return ServerSignal::Report;
    if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP)
        return ServerSignal::Stop;
    return ServerSignal::None;
}
