// gatewise-server: the two probe servers of the Tarnwick NAT Detector (see --help).

#include <cstdio>
#include <string>
#include <vector>

#include "server/metrics.h"
#include "server/probe_server.h"
#include "server/server_config.h"
#include "server/server_log.h"
#include "server/signals.h"
#include "server/tsan_civetweb_suppressions.h"

namespace {

void LogCounters(CProbeServer& server, const char* why) {
    const ServerCounters c = server.Counters();
    std::string text;
    for (int i = 0; i < kOutcomeCount; ++i) {
        const std::uint64_t v = c.outcomes[static_cast<std::size_t>(i)];
        if (v != 0) {
            text += ' ';
            text += OutcomeName(static_cast<Outcome>(i));
            text += '=';
            text += std::to_string(v);
        }
    }
    ServerLog(
        "counters (%s): received=%llu sent=%llu send_failures=%llu oversized=%llu%s "
        "rate_table=%zu",
        why, static_cast<unsigned long long>(c.received), static_cast<unsigned long long>(c.sent),
        static_cast<unsigned long long>(c.sendFailures),
        static_cast<unsigned long long>(c.oversized), text.c_str(), server.RateTableOccupied());
}

// Until SIGINT, SIGTERM or SIGHUP. Signals are polled once a second; the counters line is due
// every statsIntervalSeconds (0 = only on SIGUSR1).
void ServeUntilStopped(CProbeServer& server, unsigned statsIntervalSeconds) {
    unsigned sinceStats = 0;
    for (;;) {
        const ServerSignal sig = WaitForSignal(1000);
        if (sig == ServerSignal::Stop)
            return;
        if (sig == ServerSignal::Report) {
            LogCounters(server, "SIGUSR1");
        } else if (statsIntervalSeconds != 0 && ++sinceStats >= statsIntervalSeconds) {
            sinceStats = 0;
            LogCounters(server, "periodic");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    ServerConfig cfg;
    std::string error;
    switch (ParseServerArgs(args, cfg, error)) {
        case ParseStatus::Help:
            std::fputs(ServerUsage(), stdout);
            std::fputs(ServerUsageBuildNote(), stdout);
            return 0;
        case ParseStatus::Error:
            std::fprintf(stderr, "gatewise-server: %s\n", error.c_str());
            return 2;
        case ParseStatus::Ok:
            break;
    }
    if (!BlockServerSignals()) {
        ServerLog("cannot block signals; not starting");
        return 1;
    }
    for (const std::string& line : DescribeConfig(cfg))
        ServerLog("%s", line.c_str());

    CProbeServer server(cfg);
    if (!server.Start(error)) {
        ServerLog("cannot start: %s", error.c_str());
        return 1;
    }
    ServerLog("started with %u worker(s)", server.WorkerCount());
    CMetricsEndpoint metrics(server);
    if (!cfg.metrics.empty()) {
        if (!metrics.Start(cfg.metrics, error)) {
            ServerLog("cannot start the metrics endpoint: %s", error.c_str());
            server.Stop();
            return 1;
        }
        ServerLog("serving metrics at http://%s/metrics", cfg.metrics.c_str());
    }
    ServeUntilStopped(server, cfg.statsIntervalSeconds);
    ServerLog("stopping");
    metrics.Stop();  // before the server: a scrape reads its workers
    server.Stop();
    LogCounters(server, "final");
    ServerLog("stopped");
    return 0;
}
