#include "cli/options.h"

#include "net/address_text.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <initializer_list>
#include <utility>

#include "cli/stun_srv.h"
#include "core/host_resolver.h"
#include "core/settings.h"
#include "core/sys_inet.h"
#include "net/path_hops.h"
#include "standard/portmap_runner.h"

namespace {

bool AllDigits(const std::string& s) {
    if (s.empty())
        return false;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

}  // namespace

std::optional<long> ParseNumber(const std::string& s, long lo, long hi) {
    if (!AllDigits(s) || s.size() > 9)
        return std::nullopt;
    long value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size())
        return std::nullopt;
    if (value < lo || value > hi)
        return std::nullopt;
    return value;
}

std::optional<std::uint32_t> ParseIpv4(const std::string& text) {
    std::uint32_t host = 0;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t dot = text.find('.', start);
        if ((part < 3) != (dot != std::string::npos))
            return std::nullopt;
        std::string piece =
            text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        // No leading zeros: other readers take "010" for octal 8, so it is refused, not guessed.
        if (piece.size() > 3 || (piece.size() > 1 && piece[0] == '0'))
            return std::nullopt;
        auto value = ParseNumber(piece, 0, 255);
        if (!value)
            return std::nullopt;
        host = (host << 8) | static_cast<std::uint32_t>(*value);
        start = dot + 1;
    }
    return htonl(host);
}

std::optional<std::uint32_t> ParseAddress(const std::string& text, const HostResolver& resolve,
                                          std::string& why) {
    if (auto dotted = ParseIpv4(text))
        return dotted;
    // Digits and dots alone are a malformed address, never a name to look up.
    if (!resolve || !LooksLikeHostName(text)) {
        why = resolve ? "not a dotted IPv4 address or host name" : "not a dotted IPv4 address";
        return std::nullopt;
    }
    const HostLookup found = resolve(text);
    if (!found.ok) {
        why = "cannot be resolved: " + found.error;
        return std::nullopt;
    }
    return found.addressNet;
}

std::optional<ServerOverride> ParseServer(const std::string& text, const HostResolver& resolve) {
    std::string why;
    return ParseServer(text, resolve, why);
}

std::optional<ServerOverride> ParseServer(const std::string& text, const HostResolver& resolve,
                                          std::string& why) {
    const std::size_t colon = text.rfind(':');
    // The port first: a malformed one needs no lookup of the name before it.
    auto port =
        colon == std::string::npos ? std::nullopt : ParseNumber(text.substr(colon + 1), 1, 65535);
    if (!port) {
        why = "'" + text + "' is not ADDRESS:PORT (port 1-65535)";
        return std::nullopt;
    }
    auto address = ParseAddress(text.substr(0, colon), resolve, why);
    if (!address) {
        why = "'" + text + "': " + why;
        return std::nullopt;
    }
    // The engine starts no check with a zero server address; refusing it here says why.
    if (*address == 0) {
        why = "'" + text + "': the address must be other than 0.0.0.0";
        return std::nullopt;
    }
    return ServerOverride{*address, htons(static_cast<std::uint16_t>(*port))};
}

std::vector<Endpoint> StunFamilies(const StunTarget& target, CliOptions::Family family) {
    std::vector<Endpoint> picked;
    if (target.ipv4 && family != CliOptions::Family::Ipv6)
        picked.push_back(*target.ipv4);
    if (target.ipv6 && family != CliOptions::Family::Ipv4)
        picked.push_back(*target.ipv6);
    return picked;
}

namespace {

// What an option's handler gets: its name as typed (before any '=') and its value, if it takes one.
struct OptionContext {
    const std::string& name;
    const std::string& value;
    const HostResolver& resolve;
    const SrvResolver& srv;
    CliOptions& options;
};
using OptionError = std::optional<std::string>;  // nullopt: accepted

template <bool CliOptions::*Field>
OptionError SetFlag(const OptionContext& c) {
    c.options.*Field = true;
    return std::nullopt;
}

template <std::string CliOptions::*Field>
OptionError SetFile(const OptionContext& c) {
    if (c.value.empty())
        return c.name + " needs a file name";
    c.options.*Field = c.value;
    return std::nullopt;
}

using ServerParser = std::optional<ServerOverride> (*)(const std::string&, const HostResolver&,
                                                       std::string&);

// A server option read by Parse (the check's "A:P", or STUN's "A[:P]").
template <std::optional<ServerOverride> CliOptions::*Field, ServerParser Parse>
OptionError SetServerWith(const OptionContext& c) {
    std::string why;
    auto server = Parse(c.value, c.resolve, why);
    if (!server)
        return c.name + ": " + why;
    c.options.*Field = *server;
    return std::nullopt;
}

template <std::optional<ServerOverride> CliOptions::*Field>
OptionError SetServer(const OptionContext& c) {
    return SetServerWith<Field, ParseServer>(c);
}

OptionError SetFriend(const OptionContext& c) {
    std::string why;
    auto address = ParseAddress(c.value, c.resolve, why);
    if (!address)
        return c.name + ": '" + c.value + "': " + why;
    c.options.friendIp = *address;
    return std::nullopt;
}

template <std::optional<StunTarget> CliOptions::*Field>
OptionError SetStunServer(const OptionContext& c) {
    if constexpr (Field == &CliOptions::stun) {
        c.options.stunSrv.reset();
        if (c.srv) {
            std::string why;
            std::optional<StunSrvChoice> found =
                FindStunBySrv(c.value, c.srv, c.resolve, SystemSrvRandom(), why);
            if (!why.empty())
                return c.name + ": '" + c.value + "': " + why;
            if (found && !found->targets.empty()) {
                // FindStunBySrv found at least one usable; the run logs those it skips.
                const StunSrvTarget& first =
                    *std::find_if(found->targets.begin(), found->targets.end(),
                                  [](const StunSrvTarget& t) { return t.server.has_value(); });
                c.options.stun = first.server;
                c.options.stunSrv = std::move(found);
                return std::nullopt;
            }
            c.options.stunSrv = std::move(found);  // the note, or nothing
        }
    }
    std::string why;
    std::optional<StunTarget> target = ResolveStunTarget(c.value, c.resolve, why);
    if (!target)
        return c.name + ": " + why;
    c.options.*Field = std::move(target);
    return std::nullopt;
}

template <CliOptions::Family Picked>
OptionError SetFamily(const OptionContext& c) {
    c.options.family = Picked;
    return std::nullopt;
}

OptionError SetTick(const OptionContext& c) {
    auto ms = ParseNumber(c.value, kMinTickMs, kMaxTickMs);
    if (!ms) {
        return c.name + ": '" + c.value + "' is not a number from " + std::to_string(kMinTickMs) +
               " to " + std::to_string(kMaxTickMs);
    }
    c.options.tickMs = static_cast<int>(*ms);
    return std::nullopt;
}

OptionError SetStunRto(const OptionContext& c) {
    auto ms = ParseNumber(c.value, kMinStunRtoMs, kMaxStunRtoMs);
    if (!ms) {
        return c.name + ": '" + c.value + "' is not a number from " +
               std::to_string(kMinStunRtoMs) + " to " + std::to_string(kMaxStunRtoMs);
    }
    c.options.stunRtoMs = static_cast<int>(*ms);
    return std::nullopt;
}

OptionError SetLifetime(const OptionContext& c) {
    if (c.value.empty()) {
        c.options.lifetimeS = kDefaultLifetimeS;
        return std::nullopt;
    }
    auto s = ParseNumber(c.value, kMinLifetimeS, kMaxLifetimeS);
    if (!s) {
        return c.name + ": '" + c.value + "' is not a number of seconds from " +
               std::to_string(kMinLifetimeS) + " to " + std::to_string(kMaxLifetimeS);
    }
    c.options.lifetimeS = static_cast<int>(*s);
    return std::nullopt;
}

struct OptionRow {
    const char* name;
    const char* needs;  // what a missing value is called in the error; null: a flag, no value
    OptionError (*apply)(const OptionContext&);
    // The value may be left out ("--opt", "--opt VALUE" when VALUE does not start with '-',
    // "--opt=VALUE"); apply then gets an empty one.
    bool optionalValue = false;
};

// One row per line:
// clang-format off
constexpr OptionRow kOptions[] = {
    {.name = "--help", .needs = nullptr, .apply = SetFlag<&CliOptions::help>},
    {.name = "-h", .needs = nullptr, .apply = SetFlag<&CliOptions::help>},
    {.name = "--json", .needs = nullptr, .apply = SetFlag<&CliOptions::json>},
    {.name = "--report", .needs = nullptr, .apply = SetFlag<&CliOptions::report>},
    {.name = "--respond", .needs = nullptr, .apply = SetFlag<&CliOptions::respond>},
    {.name = "--quick", .needs = nullptr, .apply = SetFlag<&CliOptions::quick>},
    {.name = "--check", .needs = nullptr, .apply = SetFlag<&CliOptions::check>},
    {.name = "--portmap", .needs = nullptr, .apply = SetFlag<&CliOptions::portmap>},
    {.name = "--portmap-verify", .needs = nullptr, .apply = SetFlag<&CliOptions::portmapVerify>},
    {.name = "--hops", .needs = nullptr, .apply = SetFlag<&CliOptions::portmapHops>},
    {.name = "--config", .needs = "a file name", .apply = SetFile<&CliOptions::configPath>},
    {.name = "--log", .needs = "a file name", .apply = SetFile<&CliOptions::logPath>},
    {.name = "--server1", .needs = "ADDRESS:PORT", .apply = SetServer<&CliOptions::server1>},
    {.name = "--server2", .needs = "ADDRESS:PORT", .apply = SetServer<&CliOptions::server2>},
    {.name = "--friend", .needs = "an address", .apply = SetFriend},
    {.name = "--tick-ms", .needs = "a number of milliseconds", .apply = SetTick},
    {.name = "--stun", .needs = "ADDRESS[:PORT]", .apply = SetStunServer<&CliOptions::stun>},
    {.name = "--stun2", .needs = "ADDRESS[:PORT]", .apply = SetStunServer<&CliOptions::stun2>},
    {.name = "-4", .needs = nullptr, .apply = SetFamily<CliOptions::Family::Ipv4>},
    {.name = "-6", .needs = nullptr, .apply = SetFamily<CliOptions::Family::Ipv6>},
    {.name = "--stun-rto-ms", .needs = "a number of milliseconds", .apply = SetStunRto},
    {.name = "--lifetime", .needs = "a number of seconds", .apply = SetLifetime, .optionalValue = true},
};
// clang-format on

// Parses args[i] and, for an option that takes one, its value (the next argument moves i on).
OptionError ParseOne(const std::vector<std::string>& args, std::size_t& i,
                     const HostResolver& resolve, const SrvResolver& srv, CliOptions& options) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    const std::size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
        inlineValue = name.substr(eq + 1);
        name.resize(eq);
    }
    const OptionRow* row = nullptr;
    for (const OptionRow& o : kOptions) {
        if (name == o.name)
            row = &o;
    }
    if (row == nullptr) {
        if (!name.empty() && name[0] == '-')
            return "unknown option '" + args[i] + "'";
        return "unexpected argument '" + args[i] + "'";
    }
    std::string value;
    if (row->needs == nullptr) {
        if (inlineValue)
            return name + " takes no value";
    } else if (inlineValue) {
        value = *inlineValue;
    } else if (row->optionalValue) {
        if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-')
            value = args[++i];
    } else if (i + 1 < args.size()) {
        value = args[++i];
    } else {
        return name + " needs " + row->needs;
    }
    return row->apply(
        {.name = name, .value = value, .resolve = resolve, .srv = srv, .options = options});
}

// The options given that a mode cannot take, joined by ", ": each a flag and its name.
std::string Conflicts(std::initializer_list<std::pair<bool, const char*>> given) {
    std::string others;
    for (const auto& [on, name] : given) {
        if (on)
            others += std::string(others.empty() ? "" : ", ") + name;
    }
    return others;
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args, const HostResolver& resolve,
                             const SrvResolver& srv) {
    ParseResult result;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (OptionError error = ParseOne(args, i, resolve, srv, result.options)) {
            result.error = std::move(*error);
            return result;
        }
    }
    const CliOptions& o = result.options;
    if (o.respond && (o.json || o.report || o.quick || o.check)) {
        result.error =
            "--respond runs no check, so --check, --json, --report and --quick do not apply";
        return result;
    }
    if (o.check && (o.stun || o.lifetimeS)) {
        result.error = std::string("--check runs the check, not ") +
                       (o.stun ? "the standard STUN tests of --stun" : "the --lifetime test");
        return result;
    }
    if (o.quick && (o.stunRtoMs || o.tickMs != 1000)) {
        result.error = std::string("--quick times its waits from the measured round trip, so ") +
                       (o.stunRtoMs ? "--stun-rto-ms" : "--tick-ms") + " does not apply";
        return result;
    }
    if ((o.stun2 || o.stunRtoMs) && !o.stun) {
        result.error = std::string(o.stun2 ? "--stun2" : "--stun-rto-ms") + " needs --stun";
        return result;
    }
    if (o.portmapVerify)
        result.options.portmap = true;
    if (o.portmapHops && !result.options.portmap) {
        result.error = "--hops needs --portmap";
        return result;
    }
    if (o.lifetimeS) {
        // The lifetime test needs one STUN server: --stun, or the configured Server1.
        const std::string others = Conflicts({
            {o.respond, "--respond"},
            {o.quick, "--quick"},
            {o.server2.has_value(), "--server2"},
            {o.stun2.has_value(), "--stun2"},
            {o.stunRtoMs.has_value(), "--stun-rto-ms"},
            {o.friendIp.has_value(), "--friend"},
            {o.report, "--report"},
            {o.tickMs != 1000, "--tick-ms"},
            {result.options.portmap, "--portmap"},
            {o.stun && o.server1, "--server1 with --stun"},
            {o.stun && !o.configPath.empty(), "--config with --stun"},
        });
        if (!others.empty()) {
            result.error = "--lifetime runs the mapping lifetime test alone: " + others +
                           " cannot be combined with it";
            return result;
        }
        result.ok = true;
        return result;
    }
    if (o.portmap && !o.stun && !o.check) {
        // Alone it asks the STUN server at Server1 (of the settings file, or --server1): the
        // probe servers answer STUN on Server1's port. The check's other options need --check.
        const std::string others = Conflicts({
            {o.respond, "--respond"},
            {o.server2.has_value(), "--server2"},
            {o.friendIp.has_value(), "--friend"},
            {o.report, "--report"},
            {o.quick, "--quick"},
            {o.tickMs != 1000, "--tick-ms"},
        });
        if (!others.empty()) {
            result.error = "--portmap alone runs only the port-mapping check: " + others +
                           " cannot be combined with it (--check --portmap runs the check first)";
            return result;
        }
    }
    if (o.family != CliOptions::Family::Any) {
        const bool v6 = o.family == CliOptions::Family::Ipv6;
        if (!o.stun) {
            result.error = std::string(v6 ? "-6" : "-4") + " needs --stun";
            return result;
        }
        if (StunFamilies(*o.stun, o.family).empty()) {
            result.error = std::string(v6 ? "-6" : "-4") + ": the STUN server has no " +
                           (v6 ? "IPv6" : "IPv4") + " address";
            return result;
        }
    }
    if (o.stun) {
        // The standard STUN run reads no settings and has no dialog, friend or tick.
        const std::string others = Conflicts({
            {o.respond, "--respond"},
            {o.server1.has_value(), "--server1"},
            {o.server2.has_value(), "--server2"},
            {o.friendIp.has_value(), "--friend"},
            {o.report, "--report"},
            {!o.configPath.empty(), "--config"},
            {o.tickMs != 1000, "--tick-ms"},
        });
        if (!others.empty()) {
            result.error = "--stun runs the standard STUN tests, not the check: " + others +
                           " cannot be combined with it";
            return result;
        }
    }
    result.ok = true;
    return result;
}

bool ApplyOverrides(const CliOptions& options, StunSettings& s) {
    if (options.server1) {
        s.server1Ip = options.server1->addressNet;
        s.server1Port = options.server1->portNet;
    }
    if (options.server2) {
        s.server2Ip = options.server2->addressNet;
        s.server2Port = options.server2->portNet;
    }
    if (options.friendIp)
        s.friendIp = *options.friendIp;
    return SettingsComplete(s);
}

namespace {

// How --stun finds a server by name: by SRV first, where this build can.
std::string SrvHelpText() {
    if (!SrvLookupAvailable())
        return ".\n                   (This build has no DNS SRV lookups: H is used as it is.)";
    return R"(.
                   A host name H without P is looked up as _stun._udp.H (DNS SRV,
                   RFC 8489) first: its servers are tried by priority and weight,
                   the next one when a server does not answer; with no such record,
                   H itself at port 3478)";
}

}  // namespace

std::string UsageText(const std::string& programName) {
    return "Usage: " + programName + R"( [OPTION]...
Tarnwick NAT Detector, command-line client: checks what the NAT between this computer
and the internet does to peer-to-peer UDP, writing the same log as the desktop application.
It binds the local UDP ports 9801 and 9802, so only one copy can run at a time.

Options:
  --config FILE    read the servers, the friend address and the report recipient from
                   FILE instead of STUN.ini beside the executable)" +
           (SrvLookupAvailable()
                ? "\n                   (a STUN1_IP that is a domain with no address of its own"
                  "\n                   may name both servers by _gatewise._udp SRV records)"
                : "") +
           R"(
  --server1 A:P    use STUN Server1 at address A (dotted IPv4 or host name), port P
                   for this run (the file is not changed); Server1 must also answer
                   on port P+1
  --server2 A:P    use STUN Server2 at address A, port P for this run
  --friend A       look for a friend at address A for this run; 0.0.0.0 means none
  --log FILE       at the end, save the whole log to FILE as the application's
                   "Save Result" does (8-bit text, CRLF line ends)
  --json           at the end, print one JSON object with every verdict, the mapped
                   address, the ports seen and the check's duration
  --quick          the quick mode: the same tests run at once, each on a fresh
                   socket, waiting for a missing reply only as long as the measured
                   round trip needs; the same verdict lines in a few seconds
                   (with --stun too)
  --report         print the mailto: link of the e-mail report instead of discarding it
  --respond        run no check: keep the network side up and answer other copies'
                   friend searches until interrupted (Ctrl+C, SIGTERM)
  --tick-ms N      period of the engine's tick in milliseconds ()" +
           std::to_string(kMinTickMs) + "-" + std::to_string(kMaxTickMs) + R"(, default 1000);
                   a step times out on its 13th tick, so a shorter tick
                   shortens every time-out
  --stun H[:P]     run no check: test the NAT with the standard STUN tests (RFC 5389
                   Binding, RFC 5780 behaviour discovery) against the STUN server at
                   H (dotted IPv4, [IPv6] or host name), port P (default 3478); a host
                   name with IPv4 and IPv6 addresses is tested over each, IPv4 first;
                   only --stun2, --stun-rto-ms, -4, -6, --log and --json combine with it)" +
           SrvHelpText() + R"(
  -4, -6           with --stun: test over IPv4 alone, or IPv6 alone (an IPv6 address
                   is IPv6 alone anyway); with --lifetime: which family to use
  --stun2 H[:P]    a second STUN server, asked only when the first one cannot do the
                   RFC 5780 tests, to tell endpoint-independent mapping from the rest
  --stun-rto-ms N  with --stun: the first retransmission time-out of each request
                   (default 500, doubling); a request gives up after 19 of them
                   (9.5 s by default); a shorter one suits a near server
  --lifetime [MAX] run no check: measure how long the NAT keeps an idle UDP mapping
                   (RFC 5780 section 4.6, over standard STUN: the server must honour
                   RESPONSE-PORT, as gatewise-server does) against --stun H[:P] or else
                   the configured Server1, trying idle times up to MAX seconds
                   ()" +
           std::to_string(kMinLifetimeS) + "-" + std::to_string(kMaxLifetimeS) + ", default " +
           std::to_string(kDefaultLifetimeS) + R"(); the test takes a little longer than MAX
                   and ends with the lifetime's range and how often to send a
                   keep-alive; only --stun (over IPv4 where the server has it, or
                   the family -4/-6 picks), --config, --server1, --log and --json
                   combine with it
  --portmap        run the port-mapping check: does the default gateway open ports on
                   request (UPnP IGD, NAT-PMP, PCP), and how many NATs stand in front
                   of it. Alone it runs no check and asks Server1 of the settings file
                   (or --server1) for the mapped address; only --config, --server1,
                   --log, --json and the two options below combine with it. With
                   --check it follows the check, with the check's Server1 and mapped
                   address; with --stun it follows the STUN tests, with their server.
                   This build asks
                   )" +
           PortMapProtocolsText() + R"(
  --portmap-verify the same, and for each protocol that answered map a UDP port for
                   at most 120 s, have the server send to it (RESPONSE-PORT), then
                   delete the mapping again
  --hops           with --portmap: send a few TTL-limited datagrams toward the server
                   and name the routers that answer by their address class)" +
           (PathHopsMissing()
                ? std::string("\n                   (not in this build: ") + PathHopsMissing() + ")"
                : std::string()) +
           R"(
  -h, --help       show this help and exit

Exit status:
  0    the check ended with a filter verdict other than UNKNOWN (or --respond was stopped);
       with --stun: the STUN server reported the mapped address over every family
       tested; with --lifetime: a
       lifetime range was measured; --portmap alone: the port-mapping check ended
       (whatever it found); after the check or --stun, their status stands
  1    unexpected internal failure
  2    bad command line, unreadable settings file, or a --log file that is the
       settings file
  3    the check ended with the filter verdict UNKNOWN; with --stun: the STUN
       server never answered over a family tested; with --lifetime: no range was
       measured
  4    invalid settings: a server address or port is zero, or a server's host name
       cannot be resolved
  5    the UDP sockets could not be opened (ports 9801/9802 held by another copy?)
  6    the --log file could not be written
  130, 143  interrupted by SIGINT or SIGTERM
)";
}
