#include "server/server_config.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <type_traits>

#include "net/address_text.h"
#include "net/messages.h"
#include "server/metrics.h"

namespace {

// 128 bits: shorter keys are refused rather than silently weak.
constexpr std::size_t kMinKeyBytes = 16;

bool ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t& value) {
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && p == end && value <= max;
}

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

}  // namespace

const char* ServerUsage() {
    return "Usage: gatewise-server [--server1 A:P] [--server2 B:Q] [--partner ADDR[:PORT]] "
           "[options]\n"
           "\n"
           "Probe server for the Tarnwick NAT Detector. Runs in the foreground, logs to stderr,\n"
           "stops on SIGINT or SIGTERM and writes its counters on SIGUSR1.\n"
           "\n"
           "Roles (one or both):\n"
           "  --server1 A:P          act as Server1: answer on A:P and A:P+1\n"
           "                         (A: this machine's own unicast address, never 0.0.0.0)\n"
           "  --server2 B:Q          act as Server2: answer on B:Q\n"
           "  With both, one process serves both roles and answers change requests itself.\n"
           "  Both roles also answer STUN Binding requests; with the same port P on both\n"
           "  servers, A:P, A:P+1, B:P and B:P+1 form an RFC 5780 server (docs/stun.md).\n"
           "  --server1 [A6]:P       standard STUN over IPv6 on A6:P and A6:P+1 (and\n"
           "  --server2 [B6]:Q       B6:Q, B6:Q+1), beside the IPv4 roles or alone; with the\n"
           "                         same port on both, an RFC 5780 server over IPv6. Our own\n"
           "                         protocol and the relay stay IPv4.\n"
           "\n"
           "Split deployment (one role per process or machine):\n"
           "  --partner B:Q          with --server1 only: Server2's address and port; change\n"
           "                         requests are relayed there, whatever their body names\n"
           "  --partner A            with --server2 only: Server1's address, the only address\n"
           "                         whose relays are accepted\n"
           "  --key FILE             shared relay key, as hex text in FILE (at least 16 bytes);\n"
           "                         both servers must use the same key\n"
           "  --key-hex HEX          the same key given inline (visible to other local users)\n"
           "  --relay-window-ms N    how far apart the two servers' clocks may be, and how long\n"
           "                         a relay stays valid (default 10000)\n"
           "\n"
           "Reply ports that clients never contact:\n"
           "  --port-change-port N   Server1 sends 0x7C777006 from A:N (default P+2)\n"
           "  --changed-port N       Server2 sends 0x77747005 from B:N (default Q+1)\n"
           "\n"
           "Protection and performance:\n"
           "  --rate-limit N         answers per second per source address (default 100;\n"
           "                         0 turns the limit off)\n"
           "  --rate-burst N         answers a quiet address may get at once (default 200)\n"
           "  --rate-table N         source addresses remembered (default 65536, 24 bytes each)\n"
           "  --workers N            receive threads (default: one per core)\n"
           "  --stats-interval S     seconds between counter lines (default 300; 0 = only on\n"
           "                         SIGUSR1)\n"
           "\n"
           "Monitoring:\n"
           "  --metrics A:P          serve Prometheus metrics at http://A:P/metrics (off by\n"
           "                         default). A is an IPv4 address of this machine, in\n"
           "                         full: 127.0.0.1:9641, or another one only when\n"
           "                         scrapers elsewhere must reach it; a bare port, a host\n"
           "                         name and 0.0.0.0 are refused\n"
           "  --help                 this text\n";
}

const char* ServerUsageBuildNote() {
    return MetricsBuilt() ? ""
                          : "\nThis gatewise-server was built without prometheus-cpp: it has no "
                            "--metrics.\n";
}

bool ParseHexKey(const std::string& text, std::vector<std::uint8_t>& key) {
    const std::string t = Trim(text);
    if (t.empty() || t.size() % 2 != 0)
        return false;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < t.size(); i += 2) {
        unsigned v = 0;
        auto [p, ec] = std::from_chars(t.data() + i, t.data() + i + 2, v, 16);
        if (ec != std::errc() || p != t.data() + i + 2)
            return false;
        out.push_back(static_cast<std::uint8_t>(v));
    }
    key = std::move(out);
    return true;
}

std::string WhyNotHostAddress(std::uint32_t addrNet, const std::vector<std::uint32_t>& broadcasts) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&addrNet);
    const std::string text = FormatIpv4(addrNet);
    // 0.0.0.0 would bind every address, and the kernel would then pick the reply's source
    // address by route: a client could be answered from an address it never sent to.
    if (b[0] == 0)
        return text + " is not a host address (0.0.0.0/8 means any address or this network)";
    // The limited broadcast and multicast, as every client refuses them too.
    if (const char* problem = PeerAddressProblem(addrNet))
        return text + " " + problem;
    if (std::find(broadcasts.begin(), broadcasts.end(), addrNet) != broadcasts.end())
        return text + " is the broadcast address of a local network";
    return {};
}

std::string WhyNotHostAddress6(const Ipv6Bytes& address) {
    if (const char* problem = PeerAddressProblem6(address))
        return FormatIpv6(address) + " " + problem;
    return {};
}

namespace {

// One run of ParseServerArgs: what the options left for the checks after them, and the first
// thing found wrong.
struct ArgParse {
    ArgParse(ServerConfig& c, const std::vector<std::uint32_t>& b, std::string& e)
        : cfg(c), broadcasts(b), error(e) {}

    ServerConfig& cfg;
    const std::vector<std::uint32_t>& broadcasts;
    std::string& error;
    std::string partnerText;        // --partner as given; empty = none
    std::uint16_t partnerPort = 0;  // host order; the port given with --partner, 0 = none
    bool keyGiven = false;

    bool Fail(std::string why) {
        error = std::move(why);
        return false;
    }
};

template <auto Field>
void Set(ServerConfig& cfg, std::uint64_t n) {
    cfg.*Field = static_cast<std::remove_reference_t<decltype(cfg.*Field)>>(n);
}

template <auto Field>
void SetRate(ServerConfig& cfg, std::uint64_t n) {
    cfg.rate.*Field = static_cast<std::remove_reference_t<decltype(cfg.rate.*Field)>>(n);
}

// The options that take one decimal number: the least and most accepted, and where it goes.
struct NumberOption {
    const char* name;
    std::uint64_t least;
    std::uint64_t most;
    void (*store)(ServerConfig& cfg, std::uint64_t n);
};

// One row per line.
// clang-format off
constexpr NumberOption kNumberOptions[] = {
    {"--relay-window-ms", 1, 3'600'000, Set<&ServerConfig::relayWindowMs>},
    {"--port-change-port", 1, 65535, Set<&ServerConfig::portChangePort>},
    {"--changed-port", 1, 65535, Set<&ServerConfig::changedPort>},
    {"--rate-limit", 0, 100'000'000, SetRate<&RateLimitSettings::ratePerSecond>},
    {"--rate-burst", 1, 100'000'000, SetRate<&RateLimitSettings::burst>},
    {"--rate-table", 64, 1u << 24, SetRate<&RateLimitSettings::tableEntries>},
    {"--workers", 1, 64, Set<&ServerConfig::workers>},
    {"--stats-interval", 0, 86'400, Set<&ServerConfig::statsIntervalSeconds>},
};
// clang-format on

std::string BadValue(const std::string& opt, const std::string& val) {
    return "bad value '" + val + "' for " + opt;
}

// A role's address, or why it cannot be one (why empty: it can).
bool HostAddressOk(ArgParse& p, const std::string& opt, const std::string& val,
                   const std::string& why) {
    return why.empty() ||
           p.Fail(opt + " " + val + ": " + why +
                  "; give the exact address clients send to, so replies leave from it");
}

// --server1 [A6]:P or --server2 [B6]:Q.
bool ParseRole6(ArgParse& p, const std::string& opt, const std::string& val) {
    const std::optional<Ipv6Endpoint> ep = ParseIpv6Endpoint(val);
    if (!ep)
        return p.Fail(BadValue(opt, val));
    if (ep->port == 65535)
        return p.Fail(opt + " port leaves no room for the next port");
    if (!HostAddressOk(p, opt, val, WhyNotHostAddress6(ep->address)))
        return false;
    const bool one = opt == "--server1";
    (one ? p.cfg.server1v6 : p.cfg.server2v6) = true;
    (one ? p.cfg.server1Address6 : p.cfg.server2Address6) = ep->address;
    (one ? p.cfg.server1Port6 : p.cfg.server2Port6) = ep->port;
    return true;
}

// --server1 A:P or --server2 B:Q.
bool ParseRole(ArgParse& p, const std::string& opt, const std::string& val) {
    if (!val.empty() && val[0] == '[')
        return ParseRole6(p, opt, val);
    const std::optional<Ipv4Endpoint> ep = ParseIpv4Endpoint(val);
    if (!ep)
        return p.Fail(BadValue(opt, val));
    if (!HostAddressOk(p, opt, val, WhyNotHostAddress(ep->address, p.broadcasts)))
        return false;
    const bool one = opt == "--server1";
    (one ? p.cfg.server1 : p.cfg.server2) = true;
    (one ? p.cfg.server1Address : p.cfg.server2Address) = ep->address;
    (one ? p.cfg.server1Port : p.cfg.server2Port) = ep->port;
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
    std::ifstream f(path);
    if (!f)
        return false;
    std::stringstream ss;
    ss << f.rdbuf();
    text = ss.str();
    return true;
}

// --key FILE or --key-hex HEX, once.
bool ParseKey(ArgParse& p, const std::string& opt, const std::string& val) {
    if (p.keyGiven)
        return p.Fail("give the relay key once, with --key or --key-hex");
    p.keyGiven = true;
    std::string text = val;
    if (opt == "--key" && !ReadWholeFile(val, text))
        return p.Fail("cannot read key file " + val);
    if (!ParseHexKey(text, p.cfg.key) || p.cfg.key.size() < kMinKeyBytes)
        return p.Fail("the relay key must be hex text of at least 16 bytes (32 hex digits)");
    return true;
}

// --metrics A:P. The address is always spelled out and checked like a role's, so a
// typo or a default never puts the counters on every network of the machine.
bool ParseMetrics(ArgParse& p, const std::string& val) {
    const std::string opt = "--metrics";
    if (!MetricsBuilt())
        return p.Fail(opt + ": this gatewise-server was built without metrics (no prometheus-cpp)");
    const auto refuse = [&p, &opt, &val](const std::string& why) {
        return p.Fail(opt + " " + val + ": " + why);
    };
    // Debian's CivetWeb, which serves the page, is built without IPv6.
    if (!val.empty() && val[0] == '[')
        return refuse("the metrics endpoint listens on IPv4 only, e.g. 127.0.0.1:9641");
    const std::optional<Ipv4Endpoint> ep = ParseIpv4Endpoint(val);
    if (!ep) {
        return refuse(
            "give ADDRESS:PORT, e.g. 127.0.0.1:9641 (a bare port or a host name would "
            "leave the address to chance)");
    }
    const std::string why = WhyNotHostAddress(ep->address, p.broadcasts);
    p.cfg.metrics = FormatIpv4Endpoint(*ep);
    return why.empty() || refuse(why + "; give the one address to listen on");
}

bool ParseOption(ArgParse& p, const std::string& opt, const std::string& val) {
    if (opt == "--metrics")
        return ParseMetrics(p, val);
    if (opt == "--server1" || opt == "--server2")
        return ParseRole(p, opt, val);
    if (opt == "--key" || opt == "--key-hex")
        return ParseKey(p, opt, val);
    if (opt == "--partner") {
        p.partnerText = val;
        return true;
    }
    for (const NumberOption& o : kNumberOptions) {
        if (opt != o.name)
            continue;
        std::uint64_t n = 0;
        if (!ParseUnsigned(val, o.most, n) || n < o.least)
            return p.Fail(BadValue(opt, val));
        o.store(p.cfg, n);
        return true;
    }
    return p.Fail("unknown option " + opt + " (see --help)");
}

// The roles given, and --partner against them: needed by a role alone, refused with both.
// Server1's partner is Server2's A:P; Server2's is Server1's address, since Server1 may send
// its relays from any port (a port given anyway is kept for the own-socket check).
bool ParsePartner(ArgParse& p) {
    ServerConfig& cfg = p.cfg;
    if (!cfg.server1 && !cfg.server2) {
        if (!cfg.server1v6 && !cfg.server2v6)
            return p.Fail("give --server1 A:P, --server2 B:Q or both");
        // IPv6 alone: standard STUN in this process, nothing to relay.
        return p.partnerText.empty() ||
               p.Fail("--partner is for the IPv4 roles; IPv6 serves standard STUN alone");
    }
    if (cfg.server1 && cfg.server2) {
        return p.partnerText.empty() ||
               p.Fail("--partner is for a split deployment; with both roles the relay is internal");
    }
    if (p.partnerText.empty()) {
        return p.Fail(cfg.server1 ? "--server1 alone needs --partner B:Q (Server2)"
                                  : "--server2 alone needs --partner A (Server1's address)");
    }
    const std::optional<Ipv4Endpoint> ep = ParseIpv4Endpoint(p.partnerText);
    const std::optional<std::uint32_t> address = ParseIpv4(p.partnerText);
    if (cfg.server1 && !ep)
        return p.Fail("--partner for Server1 must be Server2's A:P, got '" + p.partnerText + "'");
    if (!ep && !address) {
        return p.Fail("--partner for Server2 must be Server1's address, got '" + p.partnerText +
                      "'");
    }
    cfg.hasPartner = true;
    cfg.partnerAddress = ep ? ep->address : *address;
    p.partnerPort = ep ? ep->port : 0;
    if (cfg.server1)
        cfg.partnerPort = p.partnerPort;
    const std::string why = WhyNotHostAddress(cfg.partnerAddress, p.broadcasts);
    if (!why.empty())
        return p.Fail("--partner " + p.partnerText + ": " + why +
                      "; give the other server's address");
    return true;
}

// The reply ports not given: P+2 and Q+1. P+1 is always Server1's second port.
bool DeriveReplyPorts(ArgParse& p) {
    ServerConfig& cfg = p.cfg;
    if (cfg.server1 && cfg.portChangePort == 0) {
        if (cfg.server1Port > 65533)
            return p.Fail("--server1 port leaves no room for P+1 and P+2; set --port-change-port");
        cfg.portChangePort = static_cast<std::uint16_t>(cfg.server1Port + 2);
    } else if (cfg.server1 && cfg.server1Port == 65535) {
        return p.Fail("--server1 port leaves no room for P+1");
    }
    if (cfg.server2 && cfg.changedPort == 0) {
        if (cfg.server2Port == 65535)
            return p.Fail("--server2 port leaves no room for Q+1; set --changed-port");
        cfg.changedPort = static_cast<std::uint16_t>(cfg.server2Port + 1);
    }
    return true;
}

bool SameSocket(const LocalEndpoint& a, const LocalEndpoint& b) {
    return a.ipv6 == b.ipv6 && a.portHost == b.portHost &&
           (a.ipv6 ? a.address6 == b.address6 : a.address == b.address);
}

// No two sockets may share an address and port: a reply port that clients also contact would
// disturb the very mapping being measured. And a partner that is one of our own sockets would
// have Server1 relay change requests to itself (or to its own send-only port): the pair would
// never work.
bool CheckOwnSockets(ArgParse& p) {
    const std::vector<LocalEndpoint> eps = LocalEndpoints(p.cfg);
    for (std::size_t a = 0; a < eps.size(); ++a) {
        for (std::size_t b = a + 1; b < eps.size(); ++b) {
            if (!SameSocket(eps[a], eps[b]))
                continue;
            return p.Fail(std::string("the ") + LocalPortName(eps[a].port) + " and the " +
                          LocalPortName(eps[b].port) + " would both be " +
                          FormatLocalEndpoint(eps[a]));
        }
    }
    for (const LocalEndpoint& e : eps) {
        const LocalEndpoint partner{e.port, p.cfg.partnerAddress, p.partnerPort};
        if (p.cfg.hasPartner && SameSocket(e, partner)) {
            return p.Fail("--partner " + p.partnerText + " is this process's own " +
                          LocalPortName(e.port) + " socket; give the other server's address");
        }
    }
    return true;
}

}  // namespace

ParseStatus ParseServerArgs(const std::vector<std::string>& args, ServerConfig& cfg,
                            std::string& error) {
    return ParseServerArgs(args, cfg, error, LocalBroadcastAddresses());
}

ParseStatus ParseServerArgs(const std::vector<std::string>& args, ServerConfig& cfg,
                            std::string& error, const std::vector<std::uint32_t>& broadcasts) {
    cfg = ServerConfig{};
    cfg.localBroadcasts = broadcasts;
    ArgParse p(cfg, broadcasts, error);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        if (opt == "--help" || opt == "-h")
            return ParseStatus::Help;
        if (i + 1 >= args.size()) {
            error = opt.rfind("--", 0) == 0 ? "option " + opt + " needs a value"
                                            : "unexpected argument '" + opt + "'";
            return ParseStatus::Error;
        }
        if (!ParseOption(p, opt, args[++i]))
            return ParseStatus::Error;
    }
    const bool ok = ParsePartner(p) && DeriveReplyPorts(p) && CheckOwnSockets(p);
    return ok ? ParseStatus::Ok : ParseStatus::Error;
}

std::uint16_t PortToNet(std::uint16_t portHost) {
    std::uint8_t bytes[2];
    WriteBe16(bytes, portHost);
    std::uint16_t net = 0;
    std::memcpy(&net, bytes, 2);
    return net;
}

std::string FormatLocalEndpoint(const LocalEndpoint& e) {
    return e.ipv6 ? FormatIpv6Endpoint({e.address6, e.portHost})
                  : FormatIpv4Endpoint({e.address, e.portHost});
}

std::vector<LocalEndpoint> LocalEndpoints(const ServerConfig& cfg) {
    std::vector<LocalEndpoint> eps;
    const auto add6 = [&eps](LocalPort port, const Ipv6Bytes& a, std::uint16_t portHost) {
        eps.push_back({port, 0, portHost, true, a});
    };
    if (cfg.server1v6) {
        add6(LocalPort::Server1Main, cfg.server1Address6, cfg.server1Port6);
        add6(LocalPort::Server1Next, cfg.server1Address6,
             static_cast<std::uint16_t>(cfg.server1Port6 + 1));
    }
    if (cfg.server2v6) {
        add6(LocalPort::Server2Main, cfg.server2Address6, cfg.server2Port6);
        add6(LocalPort::Server2Changed, cfg.server2Address6,
             static_cast<std::uint16_t>(cfg.server2Port6 + 1));
    }
    if (cfg.server1) {
        eps.push_back({LocalPort::Server1Main, cfg.server1Address, cfg.server1Port});
        eps.push_back({LocalPort::Server1Next, cfg.server1Address,
                       static_cast<std::uint16_t>(cfg.server1Port + 1)});
        eps.push_back({LocalPort::Server1PortChange, cfg.server1Address, cfg.portChangePort});
    }
    if (cfg.server2) {
        eps.push_back({LocalPort::Server2Main, cfg.server2Address, cfg.server2Port});
        eps.push_back({LocalPort::Server2Changed, cfg.server2Address, cfg.changedPort});
    }
    return eps;
}

HandlerRoles RolesOf(const ServerConfig& cfg) {
    HandlerRoles r;
    r.server1 = cfg.server1;
    r.server2 = cfg.server2;
    r.hasPartner = cfg.hasPartner;
    r.partnerAddress = cfg.partnerAddress;
    r.partnerPort = PortToNet(cfg.partnerPort);

    // The four STUN addresses. A split pair knows the partner's address; its port is taken to
    // be this side's (Server1's partner port says so; Server2 cannot check).
    std::uint32_t a = cfg.server1Address, b = cfg.server2Address;
    std::uint16_t p = cfg.server1Port, q = cfg.server2Port;
    std::uint16_t qNext = cfg.changedPort;
    if (cfg.server1 && !cfg.server2) {
        b = cfg.partnerAddress;
        q = cfg.partnerPort;
        qNext = static_cast<std::uint16_t>(q + 1);
    } else if (cfg.server2 && !cfg.server1) {
        a = cfg.partnerAddress;
        p = q;
    }
    const auto set = [&r](LocalPort port, std::uint32_t addr, std::uint16_t portHost) {
        r.stunAddress[static_cast<std::size_t>(port)] = addr;
        r.stunPort[static_cast<std::size_t>(port)] = PortToNet(portHost);
    };
    set(LocalPort::Server1Main, a, p);
    set(LocalPort::Server1Next, a, static_cast<std::uint16_t>(p + 1));
    set(LocalPort::Server2Main, b, q);
    set(LocalPort::Server2Changed, b, qNext);
    r.rfc5780 = WhyNoRfc5780(cfg).empty();
    r.localBroadcasts = cfg.localBroadcasts;

    r.server1v6 = cfg.server1v6;
    r.server2v6 = cfg.server2v6;
    const auto set6 = [&r](LocalPort port, const Ipv6Bytes& addr, std::uint16_t portHost) {
        r.stunAddress6[static_cast<std::size_t>(port)] = addr;
        r.stunPort6[static_cast<std::size_t>(port)] = PortToNet(portHost);
    };
    set6(LocalPort::Server1Main, cfg.server1Address6, cfg.server1Port6);
    set6(LocalPort::Server1Next, cfg.server1Address6,
         static_cast<std::uint16_t>(cfg.server1Port6 + 1));
    set6(LocalPort::Server2Main, cfg.server2Address6, cfg.server2Port6);
    set6(LocalPort::Server2Changed, cfg.server2Address6,
         static_cast<std::uint16_t>(cfg.server2Port6 + 1));
    r.rfc5780v6 = (cfg.server1v6 || cfg.server2v6) && WhyNoRfc5780v6(cfg).empty();
    return r;
}

std::string WhyNoRfc5780v6(const ServerConfig& cfg) {
    if (!cfg.server1v6 || !cfg.server2v6)
        return "RFC 5780 over IPv6 needs both --server1 [A6]:P and --server2 [B6]:P here";
    if (cfg.server1Port6 != cfg.server2Port6)
        return "the IPv6 addresses use different ports; RFC 5780 needs the same port P on both";
    return "";
}

std::string WhyNoRfc5780(const ServerConfig& cfg) {
    if (cfg.server1 && cfg.server2) {
        if (cfg.server1Port != cfg.server2Port)
            return "server1 and server2 use different ports; RFC 5780 needs the same port P on "
                   "both";
        if (cfg.changedPort != cfg.server2Port + 1)
            return "--changed-port is not server2's port + 1; RFC 5780 needs P+1 on both addresses";
        return "";
    }
    if (cfg.server1) {
        if (cfg.partnerPort != cfg.server1Port)
            return "the partner's port differs from server1's; RFC 5780 needs the same port P on "
                   "both";
        return "";
    }
    if (cfg.changedPort != cfg.server2Port + 1)
        return "--changed-port is not server2's port + 1; RFC 5780 needs P+1 on both addresses";
    return "";
}

std::vector<std::string> DescribeConfig(const ServerConfig& cfg) {
    std::vector<std::string> lines;
    auto ep = [](std::uint32_t a, std::uint16_t p) { return FormatIpv4Endpoint({a, p}); };
    if (cfg.server1) {
        lines.push_back("server1 answers on " + ep(cfg.server1Address, cfg.server1Port) + " and " +
                        ep(cfg.server1Address, static_cast<std::uint16_t>(cfg.server1Port + 1)) +
                        "; port-change replies from " + ep(cfg.server1Address, cfg.portChangePort));
    }
    if (cfg.server2) {
        lines.push_back("server2 answers on " + ep(cfg.server2Address, cfg.server2Port) +
                        "; changed-address replies from " +
                        ep(cfg.server2Address, cfg.changedPort));
    }
    if (cfg.server1 || cfg.server2) {
        if (cfg.server1 && cfg.server2) {
            lines.push_back("both roles in this process: change requests are handled internally");
        } else if (cfg.server1) {
            lines.push_back("change requests are relayed to server2 at " +
                            ep(cfg.partnerAddress, cfg.partnerPort) +
                            (cfg.key.empty()
                                 ? " without a key (STUN PADDING through the relay gets "
                                   "420)"
                                 : " signed with the shared key"));
        } else {
            lines.push_back("relays accepted only from " + FormatIpv4(cfg.partnerAddress) +
                            (cfg.key.empty() ? ", checked by source address alone (no --key): "
                                               "answers at most 4 times the relay, no PADDING"
                                             : ", with the shared key") +
                            "; window " + std::to_string(cfg.relayWindowMs) + " ms");
        }
        const std::string why = WhyNoRfc5780(cfg);
        if (why.empty()) {
            const HandlerRoles r = RolesOf(cfg);
            const auto at = [&r](LocalPort port) {
                const auto i = static_cast<std::size_t>(port);
                std::uint8_t bytes[2];
                std::memcpy(bytes, &r.stunPort[i], 2);
                return FormatIpv4Endpoint({r.stunAddress[i], ReadBe16(bytes)});
            };
            lines.push_back("STUN: RFC 5780 on; addresses " + at(LocalPort::Server1Main) + ", " +
                            at(LocalPort::Server1Next) + ", " + at(LocalPort::Server2Main) + ", " +
                            at(LocalPort::Server2Changed) +
                            (cfg.server2 && !cfg.server1
                                 ? "; change-IP requests sent to this server get 420"
                                 : ""));
        } else {
            lines.push_back(
                "STUN: Binding answered without OTHER-ADDRESS or CHANGE-REQUEST, RFC 5780 "
                "off: " +
                why);
        }
    }
    if (cfg.server1v6 || cfg.server2v6) {
        std::string sockets;
        for (const LocalEndpoint& e : LocalEndpoints(cfg)) {
            if (e.ipv6)
                sockets += (sockets.empty() ? "" : ", ") + FormatLocalEndpoint(e);
        }
        const std::string why6 = WhyNoRfc5780v6(cfg);
        lines.push_back("STUN over IPv6 on " + sockets + "; RFC 5780 " +
                        (why6.empty() ? std::string("on") : "off: " + why6));
    }
    if (cfg.rate.ratePerSecond == 0) {
        lines.push_back("rate limit off");
    } else {
        lines.push_back("rate limit " + std::to_string(cfg.rate.ratePerSecond) +
                        "/s per source address, burst " + std::to_string(cfg.rate.burst) + ", " +
                        std::to_string(cfg.rate.tableEntries) + " addresses remembered");
    }
    if (!cfg.metrics.empty())
        lines.push_back("Prometheus metrics at http://" + cfg.metrics + "/metrics");
    return lines;
}
