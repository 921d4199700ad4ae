#include "cli/stun_cli.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <variant>

#include "cli/cli_files.h"
#include "cli/console.h"
#include "cli/exit_codes.h"
#include "cli/json_output.h"
#include "cli/log_keeper.h"
#include "cli/options.h"
#include "cli/portmap_cli.h"
#include "cli/signal_watch.h"
#include "cli/stun_srv.h"
#include "core/log.h"
#include "core/settings.h"
#include "engine/nat_prober.h"
#include "engine/p2p_meaning.h"
#include "engine/prober_util.h"
#include "net/local_interfaces.h"
#include "net/tick.h"
#include "standard/stun_runner.h"

namespace {

// {"address":..,"port":..}; an IPv6 one also as its "[address]:port" text.
std::string EndpointJson(const std::optional<Endpoint>& e) {
    if (!e)
        return "null";
    std::string j =
        "{\"address\":" + JsonString(FormatAddress(*e)) + ",\"port\":" + std::to_string(e->port);
    if (!e->IsIpv4())
        j += ",\"text\":" + JsonString(FormatEndpoint(*e));
    return j + "}";
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

std::string LinesJson(const std::vector<std::string>& lines) {
    std::string j = "[";
    for (std::size_t i = 0; i < lines.size(); ++i)
        j += (i == 0 ? "" : ",") + JsonString(lines[i]);
    return j + "]";
}

void WriteStream(std::FILE* f, const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), f);
    std::fflush(f);
}

constexpr const char* kSecondServerHow = "run again with --stun2 HOST[:PORT]";

}  // namespace

std::string FormatStunJson(const char* status, const StunOutcome& o, std::int64_t durationMs) {
    std::string j = "{\"status\":" + JsonString(status);
    j += ",\"family\":" + JsonString(FamilyKey(o.server.family));
    if (!o.server.IsIpv4()) {
        const std::optional<Ipv6Translation> t = MeaningOfStun(o).ipv6;
        j += ",\"translation\":" + (t ? JsonString(Ipv6TranslationName(*t)) : "null");
    }
    j += ",\"mapping\":" + BehaviourJson(o.mapping);
    j += ",\"mappingEndpointIndependent\":" + Bool(o.mappingEndpointIndependent);
    j += ",\"filtering\":" + BehaviourJson(o.filtering);
    j += ",\"hairpinning\":" + Bool(o.hairpinning);
    j += ",\"mapped\":" + EndpointJson(o.mapped);
    j += ",\"filter\":" + Code(o.classicFilter, FilterTypeText);
    j += ",\"allocation\":" + Code(o.classicAlloc, AllocRuleText);
    std::string server = EndpointJson(o.server);
    server.pop_back();  // the server's object goes on
    j += ",\"server\":" + server + ",\"otherAddress\":" + EndpointJson(o.otherAddress) +
         ",\"responseOrigin\":" + EndpointJson(o.responseOrigin) +
         ",\"rfc5780\":" + Bool(o.rfc5780) + ",\"rfc3489\":" + (o.rfc3489 ? "true" : "false") +
         ",\"problem\":" + Problem(o) + "}";
    j += ",\"server2\":" + EndpointJson(o.server2);
    j += ",\"lines\":" + LinesJson(o.lines) + ",\"durationMs\":" + std::to_string(durationMs);
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

namespace {

// What one standard run found, for the scaffold below to report.
struct StandardRun {
    bool finished = false;  // reached its summary
    bool determined = false;
    bool socketsFailed = false;
    std::string block;  // printed after a finished run's log
    std::function<std::string(const char* status, std::int64_t durationMs)> json;
    // For --portmap after the run: the server it asked and the mapped address it reported.
    std::optional<Endpoint> portmapServer;
    std::optional<std::uint32_t> mapped;
};

// The frame of the standard runs (--stun, --lifetime, --portmap alone): the log streamed to
// standard output and kept for --log, a progress line, signals stopping the runners, then the
// exit status, the block after the log and the JSON. run returns the run's findings, or an exit
// status when it could not start (it has said why through err).
using RunFn = std::function<std::variant<int, StandardRun>(
    CStunRunner& runner, CPortMapRunner& portmap, CProgressLine& progress,
    const std::function<void(const std::string&)>& err)>;

int RunStandard(const CliOptions& options, CSignalRelay& signals, const RunFn& run) {
    CProgressLine progress([](const std::string& s) { WriteStream(stderr, s); },
                           StandardErrorIsTerminal());
    const auto out = [&progress](const std::string& s) {
        if (s.empty())
            return;
        progress.Clear();
        WriteStream(stdout, s);
    };
    const std::function<void(const std::string&)> err = [&progress](const std::string& message) {
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
    struct LogRegistration {
        ~LogRegistration() { theLog.SetOutputWindow(nullptr); }
    } logRegistration;

    CStunRunner runner;
    CPortMapRunner portmap;  // --portmap: alone, or after the STUN tests
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

    const auto start = std::chrono::steady_clock::now();
    const std::variant<int, StandardRun> ran = run(runner, portmap, progress, err);
    if (const int* failed = std::get_if<int>(&ran)) {
        progress.Clear();
        out(lineEnds.Flush());
        return *failed;
    }
    const StandardRun& result = std::get<StandardRun>(ran);
    progress.Clear();
    std::optional<PortMapOutcome> mapping;  // --portmap after the STUN tests
    if (options.portmap && result.portmapServer && signal.load() == 0)
        mapping = RunPortMapAfter(options, portmap, result.portmapServer, result.mapped);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    progress.Clear();
    out(lineEnds.Flush());

    const char* status = kStatusFinished;
    int code = result.determined ? kExitOk : kExitUnknown;
    if (const int signo = signal.load(); signo != 0) {
        err(std::string("interrupted by ") + (signo == SIGINT ? "SIGINT" : "SIGTERM"));
        status = kStatusInterrupted;
        code = kExitSignalBase + signo;
    } else if (result.socketsFailed) {
        err("could not open a UDP socket");
        status = kStatusSocketsFailed;
        code = kExitSockets;
    }
    // After the log, never in it (as for the check): --log saves the log alone.
    if (status == kStatusFinished && result.finished) {
        out(result.block);
        if (mapping)
            out(PortMapMeaningAfter(*mapping));
    }
    if (options.json) {
        std::string json = result.json(status, ms);
        if (mapping)
            AddPortMapJsonMembers(json, *mapping);
        out(json + "\n");
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

// The server of --lifetime and of --portmap alone: --stun, else Server1 of the settings file
// (or --server1).
std::optional<Endpoint> ConfiguredServer(const CliOptions& options,
                                         const std::function<void(const std::string&)>& err,
                                         int& code) {
    if (options.stun)
        return StunFamilies(*options.stun, options.family).front();  // one family: IPv4 first
    const SettingsPathChoice choice = options.configPath.empty()
                                          ? DefaultSettingsChoice()
                                          : SettingsPathChoice{options.configPath, {}};
    StunSettings s;
    if (!options.server1) {
        if (!choice.problem.empty()) {
            err("cannot use the settings file: " + choice.problem);
            code = kExitInvalidSettings;
            return std::nullopt;
        }
        AddressLookup lookup;
        lookup.server2 = false;
        lookup.friendAddress = false;
        const std::optional<SrvServerPair> pair =
            SettingsPairBySrv(choice.path, ResolveIpv4Host, ClientSrvResolver(), SystemSrvRandom());
        lookup.server1 = !pair;
        if (ReadSettingsForCheck(s, choice.path, lookup) == SettingsLoad::kUnreadable &&
            !options.configPath.empty()) {
            err("cannot read the settings file '" + choice.path + "'");
            code = kExitUsage;
            return std::nullopt;
        }
        if (pair) {
            s.server1Ip = pair->server1.addressNet;
            s.server1Port = pair->server1.portNet;
        }
    }
    ApplyOverrides(options, s);
    if (s.server1Ip == 0 || s.server1Port == 0) {
        err("invalid settings in '" + choice.path + "': STUN Server1's address or port is zero" +
            "; no test was started");
        code = kExitInvalidSettings;
        return std::nullopt;
    }
    return Endpoint(Ipv4Endpoint{s.server1Ip, HostPort(s.server1Port)});
}

}  // namespace

namespace {

// The JSON status of one family's run.
const char* StatusOf(const StunOutcome& o) {
    return o.interrupted     ? kStatusInterrupted
           : o.socketsFailed ? kStatusSocketsFailed
                             : kStatusFinished;
}

// Whether this computer has an IPv6 address a STUN server could answer (not ::1, not link-local).
bool HasRoutableIpv6() {
    const std::vector<Ipv6Bytes> own = LocalInterfaces6();
    return std::any_of(own.begin(), own.end(), [](const Ipv6Bytes& a) {
        return !IsIpv6Loopback(a) && !IsIpv6LinkLocal(a);
    });
}

// The heading of one family's part when both run.
std::string FamilyHeading(Endpoint::Family family) {
    return std::string("STUN tests over ") + FamilyName(family);
}

}  // namespace

std::string FormatDualStunJson(const char* status, const std::optional<std::string>& ipv4,
                               const std::optional<std::string>& ipv6) {
    return "{\"status\":" + JsonString(status) + ",\"ipv4\":" + ipv4.value_or("null") +
           ",\"ipv6\":" + ipv6.value_or("null") + "}";
}

int RunStunCli(const CliOptions& options, CSignalRelay& signals) {
    return RunStandard(
        options, signals,
        [&options](CStunRunner& runner, CPortMapRunner& /*portmap*/, CProgressLine& progress,
                   const auto& /*err*/) {
            runner.SetOnProgress([&progress](const CStunCheck& check, std::uint64_t nowMs) {
                progress.Show(StunProgressText(check, nowMs));
            });
            struct FamilyRun {
                StunOutcome outcome;
                std::int64_t ms = 0;
            };
            std::vector<FamilyRun> runs;
            StandardRun r;
            bool both = false;
            // What every run shares; the second server by family, when there is one.
            StunCheckConfig base;
            base.quick = options.quick;
            if (options.stunRtoMs) {
                base.timing.rtoMs = static_cast<std::uint64_t>(*options.stunRtoMs);
                base.timing.capMs = base.timing.rtoMs * kStunCapRtos;
            }
            const std::vector<Endpoint> seconds = options.stun2
                                                      ? StunFamilies(*options.stun2, options.family)
                                                      : std::vector<Endpoint>{};
            // One server over each family it is tested on; what the SRV fall-over needs to know
            // of all of them (answered: any family did).
            const auto runTarget = [&](const StunTarget& target) {
                runs.clear();
                r = StandardRun{};
                r.finished = true;
                r.determined = true;
                std::vector<Endpoint> servers = StunFamilies(target, options.family);
                both = servers.size() > 1;
                if (both && options.family == CliOptions::Family::Any && !HasRoutableIpv6()) {
                    theLog.WriteLine("");
                    theLog.WriteLine(
                        "This computer has no IPv6 address beyond loopback and link-local: the "
                        "tests "
                        "run "
                        "over IPv4 alone (-6 runs them over IPv6 anyway).");
                    servers.pop_back();
                }
                for (const Endpoint& server : servers) {
                    if (both) {
                        theLog.WriteLine("");
                        theLog.WriteLine("%s", FamilyHeading(server.family).c_str());
                    }
                    StunCheckConfig config = base;
                    config.server = server;
                    for (const Endpoint& e : seconds) {
                        if (e.SameFamily(server))
                            config.server2 = e;
                    }
                    if (options.stun2 && !config.server2) {
                        theLog.WriteLine("");
                        theLog.WriteLine(
                            "The second STUN server has no %s address: not asked here.",
                            FamilyName(server.family));
                    }
                    config.serverName = target.name;
                    const auto start = std::chrono::steady_clock::now();
                    const StunOutcome outcome = runner.Run(config);
                    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start)
                                        .count();
                    if (const std::string hint = SecondServerSuggestion(outcome, kSecondServerHow);
                        !hint.empty()) {
                        theLog.WriteLine("");
                        theLog.WriteLine("%s", hint.c_str());
                    }
                    if (server.IsIpv4()) {
                        r.portmapServer = server;
                        if (outcome.mapped)
                            r.mapped = outcome.mapped->Ipv4Address();
                    }
                    r.finished = r.finished && outcome.finished;
                    r.determined = r.determined && outcome.Determined();
                    r.socketsFailed = r.socketsFailed || outcome.socketsFailed;
                    const std::string block = P2pBlockText(MeaningOfStun(outcome));
                    r.block += both ? "\n" + FamilyHeading(server.family) + ":\n" + block : block;
                    runs.push_back({outcome, ms});
                    if (outcome.interrupted)
                        break;
                }
                StunOutcome all;
                all.finished = r.finished;
                all.socketsFailed = r.socketsFailed;
                for (const FamilyRun& run : runs) {
                    all.interrupted = all.interrupted || run.outcome.interrupted;
                    all.serverAnswered = all.serverAnswered || run.outcome.serverAnswered;
                }
                return all;
            };
            RunStunTargets(options, runTarget, SteadyMs);
            if (options.portmap && !r.portmapServer) {
                theLog.WriteLine("");
                theLog.WriteLine(
                    "The port-mapping check asks an IPv4 STUN server: not run over IPv6.");
            }
            r.json = [runs, both](const char* status, std::int64_t ms) {
                if (!both)
                    return FormatStunJson(status, runs.front().outcome, ms);
                std::optional<std::string> members[2];
                for (const FamilyRun& run : runs) {
                    members[run.outcome.server.IsIpv4() ? 0 : 1] =
                        FormatStunJson(StatusOf(run.outcome), run.outcome, run.ms);
                }
                return FormatDualStunJson(status, members[0], members[1]);
            };
            return std::variant<int, StandardRun>(r);
        });
}

int RunLifetimeCli(const CliOptions& options, CSignalRelay& signals) {
    return RunStandard(
        options, signals,
        [&options](CStunRunner& runner, CPortMapRunner& /*portmap*/, CProgressLine& progress,
                   const auto& err) {
            int code = 0;
            const std::optional<Endpoint> server = ConfiguredServer(options, err, code);
            if (!server)
                return std::variant<int, StandardRun>(code);
            runner.SetOnLifetimeProgress(
                [&progress](const CMappingLifetime& test, std::uint64_t now) {
                    progress.Show(LifetimeProgressText(test, now));
                });
            LifetimeConfig config;
            config.server = *server;
            config.serverName = options.stun ? options.stun->name : std::string();
            config.maxMs =
                static_cast<std::uint64_t>(options.lifetimeS.value_or(kDefaultLifetimeS)) * 1000;
            const LifetimeOutcome outcome = runner.RunLifetime(config);
            StandardRun r;
            r.finished = outcome.finished;
            r.determined = outcome.Determined();
            r.socketsFailed = outcome.socketsFailed;
            r.block = "\n" + std::string(kP2pHeading) + "\n" + KeepAliveSentence(outcome) + "\n";
            r.json = [outcome](const char* status, std::int64_t ms) {
                return FormatLifetimeJson(status, outcome, ms);
            };
            return std::variant<int, StandardRun>(r);
        });
}

int RunPortMapCli(const CliOptions& options, CSignalRelay& signals) {
    return RunStandard(
        options, signals,
        [&options](CStunRunner& /*runner*/, CPortMapRunner& portmap, CProgressLine& /*progress*/,
                   const auto& err) {
            int code = 0;
            const std::optional<Endpoint> server = ConfiguredServer(options, err, code);
            if (!server)
                return std::variant<int, StandardRun>(code);
            const PortMapOutcome o = RunPortMapAfter(options, portmap, server, std::nullopt);
            StandardRun r;
            r.finished = o.finished;
            r.determined = true;  // whatever it found is its answer
            r.socketsFailed = o.socketsFailed;
            r.block = PortMapMeaningBlock(o);
            r.json = [o](const char* status, std::int64_t ms) {
                return FormatPortMapJson(status, o, ms);
            };
            return std::variant<int, StandardRun>(r);
        });
}

std::string LifetimeJson(const LifetimeOutcome& o) {
    const auto seconds = [](const std::optional<std::uint64_t>& ms) {
        return ms ? std::to_string(*ms / 1000) : std::string("null");
    };
    return "{\"aliveS\":" + seconds(o.aliveMs) + ",\"expiredS\":" + seconds(o.expiredMs) +
           ",\"keepaliveS\":" + seconds(o.KeepaliveMs()) +
           ",\"maxS\":" + std::to_string(o.maxMs / 1000) +
           ",\"method\":" + JsonString(kLifetimeMethod) +
           ",\"problem\":" + (o.problem.empty() ? "null" : JsonString(o.problem)) + "}";
}

std::string FormatLifetimeJson(const char* status, const LifetimeOutcome& o,
                               std::int64_t durationMs) {
    std::string j = "{\"status\":" + JsonString(status);
    j += ",\"family\":" + JsonString(FamilyKey(o.server.family));
    j += ",\"server\":" + EndpointJson(o.server);
    j += ",\"mapped\":" + EndpointJson(o.mapped);
    j += ",\"lifetime\":" + LifetimeJson(o);
    j += ",\"lines\":" + LinesJson(o.lines) + ",\"durationMs\":" + std::to_string(durationMs);
    j += ",\"p2p\":{\"text\":" + JsonString(KeepAliveSentence(o)) + "}}";
    return j;
}

std::string LifetimeProgressText(const CMappingLifetime& test, std::uint64_t nowMs) {
    const std::optional<std::uint64_t> end = test.EndsBy();
    if (!end)
        return {};
    const LifetimeOutcome& o = test.Outcome();
    std::string text = "mapping lifetime";
    if (o.aliveMs && *o.aliveMs > 0)
        text += ": at least " + std::to_string(*o.aliveMs / 1000) + " s";
    if (o.expiredMs)
        text += ", at most " + std::to_string(*o.expiredMs / 1000) + " s";
    std::string trials;
    for (const std::uint64_t t : test.TrialsInProgress())
        trials += (trials.empty() ? "" : ", ") + std::to_string(t / 1000);
    if (!trials.empty())
        text += "; idle trials of " + trials + " s";
    const std::uint64_t left = (*end > nowMs ? *end - nowMs : 0) / 1000;
    char buf[64];
    std::snprintf(buf, sizeof buf, "; at most %llu:%02llu left",
                  static_cast<unsigned long long>(left / 60),
                  static_cast<unsigned long long>(left % 60));
    return text + buf;
}
