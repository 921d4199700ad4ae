// gatewise-cli: the NAT check from a terminal or a script.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/cli_app.h"
#include "cli/exit_codes.h"
#include "cli/options.h"
#include "cli/signal_watch.h"
#include "cli/stun_srv.h"
#include "core/host_resolver.h"

namespace {

// How long the client may take to end cleanly after SIGINT or SIGTERM before it ends without
// cleaning up; with the clean-up's own time this keeps every stop under two seconds.
constexpr std::chrono::milliseconds kStopGrace{1500};

std::atomic<bool> g_respond{false};

// On the watcher's thread, when the main thread is stuck (a name lookup, a blocking file).
[[noreturn]] void EndOverdue(int signo) {
    static const char kMessage[] =
        "gatewise-cli: still busy 1.5 s after the signal; ending without clean-up\n";
    ssize_t ignored = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    (void)ignored;
    ::_exit(g_respond.load() ? kExitOk : kExitSignalBase + signo);
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so every thread inherits the blocked mask.
    BlockStopSignals();
    // Watching starts at once, so a signal ends even the start-up (a host name on the command
    // line may take the resolver seconds).
    CSignalRelay relay;
    CSignalWatcher watcher;
    if (!watcher.Start([&relay](int signo) { relay.Deliver(signo); }, kStopGrace, EndOverdue)) {
        std::fputs("gatewise-cli: cannot watch for SIGINT/SIGTERM\n", stderr);
        return kExitInternal;
    }

    std::vector<std::string> args(argv + 1, argv + argc);
    ParseResult parsed = ParseCommandLine(args, ResolveIpv4Host, ClientSrvResolver());
    if (!parsed.ok) {
        std::fprintf(stderr, "gatewise-cli: %s\nTry 'gatewise-cli --help' for more information.\n",
                     parsed.error.c_str());
        return kExitUsage;
    }
    if (parsed.options.help) {
        std::fputs(UsageText("gatewise-cli").c_str(), stdout);
        return kExitOk;
    }
    g_respond = parsed.options.respond;
    try {
        return RunCli(parsed.options, relay);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gatewise-cli: %s\n", e.what());
        return kExitInternal;
    }
}
