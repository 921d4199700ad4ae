#include "server/server_config.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "net/messages.h"

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

bool ParsePort(const std::string& text, std::uint16_t& port) {
    std::uint64_t v = 0;
    if (!ParseUnsigned(text, 65535, v) || v == 0)
        return false;
    port = static_cast<std::uint16_t>(v);
    return true;
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
           "  --help                 this text\n";
}

bool ParseIpv4(const std::string& text, std::uint32_t& addrNet) {
    std::uint8_t bytes[4];
    std::size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = i < 3 ? text.find('.', pos) : text.size();
        if (dot == std::string::npos)
            return false;
        const std::string part = text.substr(pos, dot - pos);
        std::uint64_t v = 0;
        if (part.size() > 3 || !ParseUnsigned(part, 255, v))
            return false;
        bytes[i] = static_cast<std::uint8_t>(v);
        pos = dot + 1;
    }
    std::uint32_t a = 0;
    static_assert(sizeof a == sizeof bytes);
    std::copy(bytes, bytes + 4, reinterpret_cast<std::uint8_t*>(&a));
    addrNet = a;
    return true;
}

bool ParseEndpoint(const std::string& text, std::uint32_t& addrNet, std::uint16_t& portHost) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    return ParseIpv4(text.substr(0, colon), addrNet) && ParsePort(text.substr(colon + 1), portHost);
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

std::string FormatIpv4(std::uint32_t addrNet) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&addrNet);
    std::ostringstream s;
    s << int{b[0]} << '.' << int{b[1]} << '.' << int{b[2]} << '.' << int{b[3]};
    return s.str();
}

std::string WhyNotHostAddress(std::uint32_t addrNet, const std::vector<std::uint32_t>& broadcasts) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&addrNet);
    const std::string text = FormatIpv4(addrNet);
    // 0.0.0.0 would bind every address, and the kernel would then pick the reply's source
    // address by route: a client could be answered from an address it never sent to.
    if (b[0] == 0)
        return text + " is not a host address (0.0.0.0/8 means any address or this network)";
    if (b[0] == 255 && b[1] == 255 && b[2] == 255 && b[3] == 255)
        return text + " is the broadcast address";
    if ((b[0] & 0xf0) == 224)
        return text + " is a multicast address";
    if (std::find(broadcasts.begin(), broadcasts.end(), addrNet) != broadcasts.end())
        return text + " is the broadcast address of a local network";
    return {};
}

std::vector<std::uint32_t> LocalBroadcastAddresses() {
    std::vector<std::uint32_t> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if ((i->ifa_flags & IFF_BROADCAST) != 0 && i->ifa_broadaddr != nullptr &&
            i->ifa_broadaddr->sa_family == AF_INET) {
            sockaddr_in sin;
            std::memcpy(&sin, i->ifa_broadaddr, sizeof sin);
            out.push_back(sin.sin_addr.s_addr);
        }
    }
    freeifaddrs(list);
    return out;
}

ParseStatus ParseServerArgs(const std::vector<std::string>& args, ServerConfig& cfg,
                            std::string& error) {
    return ParseServerArgs(args, cfg, error, LocalBroadcastAddresses());
}

ParseStatus ParseServerArgs(const std::vector<std::string>& args, ServerConfig& cfg,
                            std::string& error, const std::vector<std::uint32_t>& broadcasts) {
    cfg = ServerConfig{};
    std::string partnerText;
    std::uint16_t partnerPortGiven = 0;  // host order; 0 = none
    bool keyGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        if (opt == "--help" || opt == "-h")
            return ParseStatus::Help;
        if (i + 1 >= args.size()) {
            error = opt.rfind("--", 0) == 0 ? "option " + opt + " needs a value"
                                            : "unexpected argument '" + opt + "'";
            return ParseStatus::Error;
        }
        const std::string& val = args[++i];
        std::uint64_t n = 0;
        bool ok = true;
        if (opt == "--server1" || opt == "--server2") {
            const bool one = opt == "--server1";
            std::uint32_t& addr = one ? cfg.server1Address : cfg.server2Address;
            ok = ParseEndpoint(val, addr, one ? cfg.server1Port : cfg.server2Port);
            (one ? cfg.server1 : cfg.server2) = ok;
            const std::string why = ok ? WhyNotHostAddress(addr, broadcasts) : std::string();
            if (!why.empty()) {
                error = opt + " " + val + ": " + why +
                        "; give the exact address clients send to, so replies leave from it";
                return ParseStatus::Error;
            }
        } else if (opt == "--partner") {
            partnerText = val;
        } else if (opt == "--key" || opt == "--key-hex") {
            if (keyGiven) {
                error = "give the relay key once, with --key or --key-hex";
                return ParseStatus::Error;
            }
            keyGiven = true;
            std::string text = val;
            if (opt == "--key") {
                std::ifstream f(val);
                if (!f) {
                    error = "cannot read key file " + val;
                    return ParseStatus::Error;
                }
                std::stringstream ss;
                ss << f.rdbuf();
                text = ss.str();
            }
            if (!ParseHexKey(text, cfg.key) || cfg.key.size() < kMinKeyBytes) {
                error = "the relay key must be hex text of at least 16 bytes (32 hex digits)";
                return ParseStatus::Error;
            }
        } else if (opt == "--relay-window-ms") {
            ok = ParseUnsigned(val, 3600000, n) && n > 0;
            cfg.relayWindowMs = n;
        } else if (opt == "--port-change-port") {
            ok = ParsePort(val, cfg.portChangePort);
        } else if (opt == "--changed-port") {
            ok = ParsePort(val, cfg.changedPort);
        } else if (opt == "--rate-limit") {
            ok = ParseUnsigned(val, 100000000, n);
            cfg.rate.ratePerSecond = static_cast<std::uint32_t>(n);
        } else if (opt == "--rate-burst") {
            ok = ParseUnsigned(val, 100000000, n) && n > 0;
            cfg.rate.burst = static_cast<std::uint32_t>(n);
        } else if (opt == "--rate-table") {
            ok = ParseUnsigned(val, 1u << 24, n) && n >= 64;
            cfg.rate.tableEntries = static_cast<std::size_t>(n);
        } else if (opt == "--workers") {
            ok = ParseUnsigned(val, 64, n) && n > 0;
            cfg.workers = static_cast<unsigned>(n);
        } else if (opt == "--stats-interval") {
            ok = ParseUnsigned(val, 86400, n);
            cfg.statsIntervalSeconds = static_cast<unsigned>(n);
        } else {
            error = "unknown option " + opt + " (see --help)";
            return ParseStatus::Error;
        }
        if (!ok) {
            error = "bad value '" + val + "' for " + opt;
            return ParseStatus::Error;
        }
    }

    if (!cfg.server1 && !cfg.server2) {
        error = "give --server1 A:P, --server2 B:Q or both";
        return ParseStatus::Error;
    }
    if (cfg.server1 && cfg.server2) {
        if (!partnerText.empty()) {
            error = "--partner is for a split deployment; with both roles the relay is internal";
            return ParseStatus::Error;
        }
    } else if (partnerText.empty()) {
        error = cfg.server1 ? "--server1 alone needs --partner B:Q (Server2)"
                            : "--server2 alone needs --partner A (Server1's address)";
        return ParseStatus::Error;
    } else if (cfg.server1) {
        if (!ParseEndpoint(partnerText, cfg.partnerAddress, cfg.partnerPort)) {
            error = "--partner for Server1 must be Server2's A:P, got '" + partnerText + "'";
            return ParseStatus::Error;
        }
        cfg.hasPartner = true;
    } else {
        // Server2 checks only the address: Server1 may send its relays from any port. A port
        // given anyway is kept for the check against this process's own sockets below.
        if (!ParseIpv4(partnerText, cfg.partnerAddress) &&
            !ParseEndpoint(partnerText, cfg.partnerAddress, partnerPortGiven)) {
            error = "--partner for Server2 must be Server1's address, got '" + partnerText + "'";
            return ParseStatus::Error;
        }
        cfg.hasPartner = true;
    }
    if (cfg.hasPartner) {
        if (cfg.server1)
            partnerPortGiven = cfg.partnerPort;
        const std::string why = WhyNotHostAddress(cfg.partnerAddress, broadcasts);
        if (!why.empty()) {
            error = "--partner " + partnerText + ": " + why + "; give the other server's address";
            return ParseStatus::Error;
        }
    }

    if (cfg.server1) {
        if (cfg.portChangePort == 0) {
            if (cfg.server1Port > 65533) {
                error = "--server1 port leaves no room for P+1 and P+2; set --port-change-port";
                return ParseStatus::Error;
            }
            cfg.portChangePort = static_cast<std::uint16_t>(cfg.server1Port + 2);
        } else if (cfg.server1Port == 65535) {
            error = "--server1 port leaves no room for P+1";
            return ParseStatus::Error;
        }
    }
    if (cfg.server2 && cfg.changedPort == 0) {
        if (cfg.server2Port == 65535) {
            error = "--server2 port leaves no room for Q+1; set --changed-port";
            return ParseStatus::Error;
        }
        cfg.changedPort = static_cast<std::uint16_t>(cfg.server2Port + 1);
    }
    // No two sockets may share an address and port: a reply port that clients also contact
    // would disturb the very mapping being measured.
    const std::vector<LocalEndpoint> eps = LocalEndpoints(cfg);
    for (std::size_t a = 0; a < eps.size(); ++a) {
        for (std::size_t b = a + 1; b < eps.size(); ++b) {
            if (eps[a].address == eps[b].address && eps[a].portHost == eps[b].portHost) {
                error = std::string("the ") + LocalPortName(eps[a].port) + " and the " +
                        LocalPortName(eps[b].port) + " would both be " +
                        FormatIpv4(eps[a].address) + ":" + std::to_string(eps[a].portHost);
                return ParseStatus::Error;
            }
        }
    }
    // A partner that is one of our own sockets: Server1 would relay change requests to itself
    // (or to its own send-only port), and the pair would never work.
    for (const LocalEndpoint& e : eps) {
        if (cfg.hasPartner && e.address == cfg.partnerAddress && e.portHost == partnerPortGiven) {
            error = "--partner " + partnerText + " is this process's own " + LocalPortName(e.port) +
                    " socket; give the other server's address";
            return ParseStatus::Error;
        }
    }
    return ParseStatus::Ok;
}

std::uint16_t PortToNet(std::uint16_t portHost) {
    std::uint8_t bytes[2];
    WriteBe16(bytes, portHost);
    std::uint16_t net = 0;
    std::memcpy(&net, bytes, 2);
    return net;
}

std::vector<LocalEndpoint> LocalEndpoints(const ServerConfig& cfg) {
    std::vector<LocalEndpoint> eps;
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
    return r;
}

std::vector<std::string> DescribeConfig(const ServerConfig& cfg) {
    std::vector<std::string> lines;
    auto ep = [](std::uint32_t a, std::uint16_t p) {
        return FormatIpv4(a) + ":" + std::to_string(p);
    };
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
    if (cfg.server1 && cfg.server2) {
        lines.push_back("both roles in this process: change requests are handled internally");
    } else if (cfg.server1) {
        lines.push_back("change requests are relayed to server2 at " +
                        ep(cfg.partnerAddress, cfg.partnerPort) +
                        (cfg.key.empty() ? " without a key" : " signed with the shared key"));
    } else {
        lines.push_back("relays accepted only from " + FormatIpv4(cfg.partnerAddress) +
                        (cfg.key.empty() ? ", checked by source address alone (no --key)"
                                         : ", with the shared key") +
                        "; window " + std::to_string(cfg.relayWindowMs) + " ms");
    }
    if (cfg.rate.ratePerSecond == 0) {
        lines.push_back("rate limit off");
    } else {
        lines.push_back("rate limit " + std::to_string(cfg.rate.ratePerSecond) +
                        "/s per source address, burst " + std::to_string(cfg.rate.burst) + ", " +
                        std::to_string(cfg.rate.tableEntries) + " addresses remembered");
    }
    return lines;
}
