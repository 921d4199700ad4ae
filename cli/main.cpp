// gatewise-cli: the NAT check from a terminal or a script.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/cli_app.h"
#include "cli/exit_codes.h"
#include "cli/options.h"
#include "cli/signal_watch.h"

int main(int argc, char** argv) {
    // Before any thread exists, so every thread inherits the blocked mask.
    BlockStopSignals();

    std::vector<std::string> args(argv + 1, argv + argc);
    ParseResult parsed = ParseCommandLine(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "gatewise-cli: %s\nTry 'gatewise-cli --help' for more information.\n",
                     parsed.error.c_str());
        return kExitUsage;
    }
    if (parsed.options.help) {
        std::fputs(UsageText("gatewise-cli").c_str(), stdout);
        return kExitOk;
    }
    try {
        return RunCli(parsed.options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gatewise-cli: %s\n", e.what());
        return kExitInternal;
    }
}
