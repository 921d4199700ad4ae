#include "cli/stun_cli.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>

#include "cli/cli_files.h"
#include "cli/console.h"
#include "cli/exit_codes.h"
#include "cli/json_output.h"
#include "cli/log_keeper.h"
#include "cli/options.h"
#include "cli/portmap_cli.h"
#include "cli/signal_watch.h"
#include "core/log.h"
#include "engine/nat_prober.h"
#include "engine/p2p_meaning.h"
#include "engine/prober_util.h"
#include "standard/stun_runner.h"

namespace {

std::string EndpointJson(const std::optional<Endpoint>& e) {
    if (!e)
        return "null";
    return "{\"address\":" + JsonString(FormatAddress(*e)) +
           ",\"port\":" + std::to_string(e->port) + "}";
}

// Why the server's answers were unusable, else why it cannot do the RFC 5780 tests; null when
// neither.
std::string Problem(const StunOutcome& o) {
    const std::string& problem = o.serverProblem.empty() ? o.rfc5780Problem : o.serverProblem;
    return problem.empty() ? "null" : JsonString(problem);
}

std::string Bool(const std::optional<bool>& b) {
    return b ? (*b ? "true" : "false") : "null";
}

std::string Code(const std::optional<std::int32_t>& code, const char* (*text)(std::int32_t)) {
    if (!code)
        return "null";
    return "{\"code\":" + std::to_string(*code) + ",\"text\":" + JsonString(text(*code)) + "}";
}

void WriteStream(std::FILE* f, const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), f);
    std::fflush(f);
}

Ipv4Endpoint HostOrder(const ServerOverride& s) {
    return {s.addressNet, HostPort(s.portNet)};
}

}  // namespace

std::string FormatStunJson(const char* status, const StunOutcome& o, std::int64_t durationMs) {
    std::string j = "{\"status\":" + JsonString(status);
    j += ",\"mapping\":" + BehaviourJson(o.mapping);
    j += ",\"mappingEndpointIndependent\":" + Bool(o.mappingEndpointIndependent);
    j += ",\"filtering\":" + BehaviourJson(o.filtering);
    j += ",\"hairpinning\":" + Bool(o.hairpinning);
    j += ",\"mapped\":" + EndpointJson(o.mapped);
    j += ",\"filter\":" + Code(o.classicFilter, FilterTypeText);
    j += ",\"allocation\":" + Code(o.classicAlloc, AllocRuleText);
    j += ",\"server\":{\"address\":" + JsonString(FormatAddress(o.server)) +
         ",\"port\":" + std::to_string(o.server.port) +
         ",\"otherAddress\":" + EndpointJson(o.otherAddress) +
         ",\"responseOrigin\":" + EndpointJson(o.responseOrigin) + ",\"rfc5780\":" + Bool(o.rfc5780) +
         ",\"rfc3489\":" + (o.rfc3489 ? "true" : "false") + ",\"problem\":" + Problem(o) + "}";
    j += ",\"server2\":" + EndpointJson(o.server2);
    j += ",\"lines\":[";
    for (std::size_t i = 0; i < o.lines.size(); ++i)
        j += (i == 0 ? "" : ",") + JsonString(o.lines[i]);
    j += "],\"durationMs\":" + std::to_string(durationMs);
    // Last, as in the check's object.
    j += ",\"p2p\":" + P2pJson(MeaningOfStun(o)) + "}";
    return j;
}

std::string StunProgressText(const CStunCheck& check, std::uint64_t nowMs) {
    const std::optional<std::uint64_t> giveUp = check.GiveUpAt();
    if (!giveUp)
        return {};
    const std::uint64_t left = *giveUp > nowMs ? *giveUp - nowMs : 0;
    char buf[96];
    std::snprintf(buf, sizeof buf, "waiting for %s: %.1f s left", check.StepName().c_str(),
                  static_cast<double>(left) / 1000.0);
    return buf;
}

int RunStunCli(const CliOptions& options, CSignalRelay& signals) {
    CProgressLine progress([](const std::string& s) { WriteStream(stderr, s); },
                           StandardErrorIsTerminal());
    const auto out = [&progress](const std::string& s) {
        if (s.empty())
            return;
        progress.Clear();
        WriteStream(stdout, s);
    };
    const auto err = [&progress](const std::string& message) {
        progress.Clear();
        WriteStream(stderr, "gatewise-cli: " + message + "\n");
    };
    if (!options.logPath.empty()) {
        // As for the check: an unwritable --log fails before the tests, not after them.
        if (!CreateEmptyLogFile(options.logPath)) {
            err("cannot write the log file '" + options.logPath + "'");
            return kExitLogFile;
        }
    }

    CLineEndConverter lineEnds;
    CLogKeeper logText(!options.logPath.empty());
    logText.SetOnAppend([&](const std::string& piece) { out(lineEnds.Convert(piece)); });
    theLog.SetOutputWindow(&logText);

    CStunRunner runner;
    CPortMapRunner portmap;  // --portmap: after the STUN tests
    std::atomic<int> signal{0};
    struct Registration {
        CSignalRelay& relay;
        ~Registration() { relay.SetTarget({}); }
    } registration{signals};
    // A signal kept from before (during the name lookups) arrives here at once.
    signals.SetTarget([&runner, &portmap, &signal](int signo) {
        int none = 0;
        signal.compare_exchange_strong(none, signo);
        runner.RequestStop();
        portmap.RequestStop();
    });
    runner.SetOnProgress([&progress](const CStunCheck& check, std::uint64_t nowMs) {
        progress.Show(StunProgressText(check, nowMs));
    });

    StunCheckConfig config;
    config.server = HostOrder(*options.stun);
    if (options.stun2)
        config.server2 = HostOrder(*options.stun2);
    config.serverName = options.stunName;
    config.quick = options.quick;
    if (options.stunRtoMs) {
        config.timing.rtoMs = static_cast<std::uint64_t>(*options.stunRtoMs);
        config.timing.capMs = config.timing.rtoMs * kStunCapRtos;
    }
    const auto start = std::chrono::steady_clock::now();
    const StunOutcome outcome = runner.Run(config);
    progress.Clear();
    std::optional<PortMapOutcome> mapping;
    if (options.portmap && signal.load() == 0) {
        std::optional<std::uint32_t> mapped;
        if (outcome.mapped && outcome.mapped->IsIpv4())
            mapped = outcome.mapped->Ipv4Address();
        mapping = RunPortMapAfter(options, portmap, config.server, mapped);
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    progress.Clear();
    out(lineEnds.Flush());

    const char* status = kStatusFinished;
    int code = outcome.Determined() ? kExitOk : kExitUnknown;
    if (const int signo = signal.load(); signo != 0) {
        err(std::string("interrupted by ") + (signo == SIGINT ? "SIGINT" : "SIGTERM"));
        status = kStatusInterrupted;
        code = kExitSignalBase + signo;
    } else if (outcome.socketsFailed) {
        err("could not open a UDP socket");
        status = kStatusSocketsFailed;
        code = kExitSockets;
    }
    // After the log, never in it (as for the check): --log saves the log alone.
    if (status == kStatusFinished && outcome.finished) {
        out(P2pBlockText(MeaningOfStun(outcome)));
        if (mapping && mapping->finished)
            out("\n" + PortMapMeaningSentence(*mapping) + "\n");
    }
    if (options.json) {
        std::string j = FormatStunJson(status, outcome, ms);
        if (mapping)  // the two members go before the closing brace
            j.insert(j.size() - 1, "," + FormatPortMapJsonMembers(*mapping));
        out(j + "\n");
    }
    theLog.SetOutputWindow(nullptr);
    if (!options.logPath.empty()) {
        std::ofstream file(options.logPath, std::ios::binary | std::ios::trunc);
        file.write(logText.Text().data(), static_cast<std::streamsize>(logText.Text().size()));
        file.close();
        if (file.fail()) {
            err("cannot write the log file '" + options.logPath + "'");
            code = kExitLogFile;
        }
    }
    return code;
}
