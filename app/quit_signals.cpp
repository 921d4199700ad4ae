#include "app/quit_signals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

// The handler hands the signal to the event loop through this socket pair (write end [1]).
int g_signalSockets[2] = {-1, -1};
std::atomic<bool> g_signalled{false};

extern "C" void OnQuitSignal(int signo) {
    // Async-signal-safe only: a second signal while the first is handled ends the process now.
    if (g_signalled.exchange(true)) {
        std::signal(signo, SIG_DFL);
        std::raise(signo);
        return;
    }
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t written = ::write(g_signalSockets[1], &byte, 1);
    errno = saved;
}

}  // namespace

void WatchQuitSignals(std::function<void()> beforeQuit) {
    if (g_signalSockets[0] >= 0 ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalSockets) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalSockets[0], QSocketNotifier::Read,
                                         QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [notifier, beforeQuit = std::move(beforeQuit)] {
                         unsigned char signo = 0;
                         if (::read(g_signalSockets[0], &signo, 1) != 1)
                             return;
                         notifier->setEnabled(false);
                         if (beforeQuit)
                             beforeQuit();
                         std::signal(signo, SIG_DFL);
                         std::raise(signo);
                     });
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
