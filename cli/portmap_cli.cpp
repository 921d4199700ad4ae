#include "cli/portmap_cli.h"

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
#include "cli/signal_watch.h"
#include "core/log.h"
#include "engine/p2p_meaning.h"
#include "net/address_text.h"

namespace {

std::string Address(const std::optional<std::uint32_t>& a) {
    return a ? JsonString(FormatIpv4(*a)) : "null";
}
std::string Bool(const std::optional<bool>& b) {
    return b ? (*b ? "true" : "false") : "null";
}
std::string Text(const std::string& s) {
    return s.empty() ? "null" : JsonString(s);
}
std::string Code(const PortMapProtocol& p) {
    if (!p.resultCode)
        return "null";
    return "{\"code\":" + std::to_string(*p.resultCode) + ",\"text\":" + JsonString(p.result) + "}";
}

void WriteStream(std::FILE* f, const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), f);
    std::fflush(f);
}

}  // namespace

std::string FormatPortMapJsonMembers(const PortMapOutcome& o) {
    std::string j = "\"portMapping\":{\"gateway\":" + Address(o.gatewayNet);
    j += ",\"protocols\":" + JsonString(o.upnpAvailable ? "NAT-PMP, PCP, UPnP" : "NAT-PMP, PCP");
    j += ",\"upnp\":{\"present\":" + std::string(o.upnp.present ? "true" : "false") +
         ",\"connected\":" + Bool(o.upnp.connected) +
         ",\"externalAddress\":" + Address(o.upnp.externalNet) +
         ",\"error\":" + Text(o.upnp.error) + ",\"inbound\":" + Bool(o.upnp.inbound) +
         ",\"unicast\":" + (o.ssdpUnicast ? "true" : "false") +
         ",\"multicast\":" + (o.ssdpMulticast ? "true" : "false") + "}";
    j += ",\"natPmp\":{\"present\":" + std::string(o.natPmp.present ? "true" : "false") +
         ",\"resultCode\":" + Code(o.natPmp) +
         ",\"externalAddress\":" + Address(o.natPmp.externalNet) +
         ",\"inbound\":" + Bool(o.natPmp.inbound) + "}";
    j += ",\"pcp\":{\"present\":" + std::string(o.pcp.present ? "true" : "false") +
         ",\"result\":" + Code(o.pcp) + ",\"externalAddress\":" + Address(o.pcp.externalNet) +
         ",\"inbound\":" + Bool(o.pcp.inbound) +
         ",\"natPmpOnly\":" + (o.pcpNatPmpOnly ? "true" : "false") + "}";
    j += ",\"inbound\":" + Bool(o.inbound) + ",\"cleanup\":[";
    for (std::size_t i = 0; i < o.cleanup.size(); ++i)
        j += (i == 0 ? "" : ",") + JsonString(o.cleanup[i]);
    j += "]}";
    const NatLayers& l = o.layers;
    j += ",\"natLayers\":{\"doubleNat\":" + Bool(l.doubleNat) + ",\"cgnat\":" + Bool(l.cgnat) +
         ",\"gatewayExternal\":" + Address(l.gatewayExternal) + ",\"mapped\":" + Address(l.mapped) +
         ",\"reasons\":[";
    for (std::size_t i = 0; i < l.reasons.size(); ++i)
        j += (i == 0 ? "" : ",") + JsonString(l.reasons[i]);
    j += "],\"hops\":[";
    for (std::size_t i = 0; i < l.hops.size(); ++i) {
        const AddressClassInfo c = ClassifyIpv4(l.hops[i]);
        const bool answered = l.hops[i] != 0;
        j += (i == 0 ? "" : ",") + std::string("{\"ttl\":") + std::to_string(i + 1) +
             ",\"address\":" + (answered ? JsonString(FormatIpv4(l.hops[i])) : "null") +
             ",\"class\":" + (answered ? JsonString(c.name) : "null") + "}";
    }
    j += "]}";
    return j;
}

std::string PortMapMeaningBlock(const PortMapOutcome& o) {
    return std::string("\n") + kP2pHeading + ":\n\n" + PortMapMeaningSentence(o) + "\n";
}

PortMapOutcome RunPortMapAfter(const CliOptions& options, CPortMapRunner& runner,
                               std::optional<Endpoint> server,
                               std::optional<std::uint32_t> mapped) {
    PortMapRunConfig config;
    config.verify = options.portmapVerify;
    config.server = server;
    config.mapped = mapped;
    config.hops = options.portmapHops;
    return runner.Run(config);
}

int RunPortMapCli(const CliOptions& options, CSignalRelay& signals) {
    const auto out = [](const std::string& s) {
        if (!s.empty())
            WriteStream(stdout, s);
    };
    const auto err = [](const std::string& m) { WriteStream(stderr, "gatewise-cli: " + m + "\n"); };
    if (!options.logPath.empty() && !CreateEmptyLogFile(options.logPath)) {
        err("cannot write the log file '" + options.logPath + "'");
        return kExitLogFile;
    }
    CLineEndConverter lineEnds;
    CLogKeeper logText(!options.logPath.empty());
    logText.SetOnAppend([&](const std::string& piece) { out(lineEnds.Convert(piece)); });
    theLog.SetOutputWindow(&logText);

    CPortMapRunner runner;
    std::atomic<int> signal{0};
    struct Registration {
        CSignalRelay& relay;
        ~Registration() { relay.SetTarget({}); }
    } registration{signals};
    signals.SetTarget([&runner, &signal](int signo) {
        int none = 0;
        signal.compare_exchange_strong(none, signo);
        runner.RequestStop();
    });
    std::optional<Endpoint> server;
    if (options.server1)
        server = Ipv4Endpoint{options.server1->addressNet, HostPort(options.server1->portNet)};
    const auto start = std::chrono::steady_clock::now();
    const PortMapOutcome o = RunPortMapAfter(options, runner, server, std::nullopt);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    out(lineEnds.Flush());
    const char* status = kStatusFinished;
    int code = kExitOk;
    if (const int signo = signal.load(); signo != 0) {
        err(std::string("interrupted by ") + (signo == SIGINT ? "SIGINT" : "SIGTERM"));
        status = kStatusInterrupted;
        code = kExitSignalBase + signo;
    } else if (o.socketsFailed) {
        err("could not open a UDP socket");
        status = kStatusSocketsFailed;
        code = kExitSockets;
    }
    if (o.finished && status == kStatusFinished)
        out(PortMapMeaningBlock(o));
    if (options.json) {
        std::string j = "{\"status\":" + JsonString(status) + "," + FormatPortMapJsonMembers(o);
        j += ",\"lines\":[";
        for (std::size_t i = 0; i < o.lines.size(); ++i)
            j += (i == 0 ? "" : ",") + JsonString(o.lines[i]);
        j += "],\"durationMs\":" + std::to_string(ms) + "}\n";
        out(j);
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
