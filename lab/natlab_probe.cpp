// natlab-probe: the lab's own small UDP prober, used by lab/natlab to check that a NAT router
// really maps and filters as its profile says, before any Tarnwick check runs behind it.
//
//   natlab-probe serve S1ADDR:PORT S2ADDR:PORT [--for SECONDS]
//       Listens on S1:PORT, S1:PORT+1, S1:PORT+2, S2:PORT and S2:PORT+1 (sockets 0..4).
//       "SEEN"   -> "SEEN a.b.c.d:p" from the same socket: the sender's address as seen here.
//       "VIA k"  -> "VIA k" to the sender from socket k: an unsolicited packet from another
//                   port (k = 1, 2) or another address (k = 3, 4).
//       Stops on SIGTERM/SIGINT or after SECONDS (default 120), so it never outlives a lab.
//   natlab-probe client S1ADDR:PORT S2ADDR:PORT [--wait-ms N]
//       Prints key=value lines: local, public, mapping, port_preserved, filter_other_port,
//       filter_other_address, hairpin. Exit 0 when Server1 answered, 1 when it did not.
// Either family: IPv6 endpoints are written [v6]:port (both servers of one family), and over
// IPv6 the client also prints host_part (kept: the public address ends in the local one's low
// 64 bits, as prefix translation keeps them; changed otherwise).
//
// Plain POSIX sockets; one thread; every wait bounded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/address_text.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

// Either family; the lab's IPv6 profiles probe with the same messages as the IPv4 ones.
struct Endpoint {
    bool v6 = false;
    Ipv4Endpoint v4;
    Ipv6Endpoint v6e;
    std::uint16_t Port() const { return v6 ? v6e.port : v4.port; }
    bool operator==(const Endpoint&) const = default;
};

// Port + 2 must still be a port: the server side listens on three consecutive ones.
constexpr std::uint16_t kMaxServerPort = 65533;

Endpoint WithPort(Endpoint ep, std::uint16_t port) {
    (ep.v6 ? ep.v6e.port : ep.v4.port) = port;
    return ep;
}

// The wildcard address of ep's family, port 0.
Endpoint AnyOf(const Endpoint& ep) {
    Endpoint any;
    any.v6 = ep.v6;
    return any;
}

std::string Format(const Endpoint& ep) {
    return ep.v6 ? FormatIpv6Endpoint(ep.v6e) : FormatIpv4Endpoint(ep.v4);
}

// "a.b.c.d:port" or "[v6]:port".
std::optional<Endpoint> Parse(std::string_view text, std::uint16_t maxPort) {
    Endpoint ep;
    if (const auto v4 = ParseIpv4Endpoint(text, 1, maxPort)) {
        ep.v4 = *v4;
        return ep;
    }
    const auto v6 = ParseIpv6Endpoint(text);
    if (!v6 || v6->port > maxPort) {
        return std::nullopt;
    }
    ep.v6 = true;
    ep.v6e = *v6;
    return ep;
}

socklen_t ToSockaddr(const Endpoint& ep, sockaddr_storage& ss) {
    ss = {};
    if (ep.v6) {
        auto& sa = reinterpret_cast<sockaddr_in6&>(ss);
        sa.sin6_family = AF_INET6;
        std::memcpy(&sa.sin6_addr, ep.v6e.address.data(), 16);
        sa.sin6_port = htons(ep.v6e.port);
        return sizeof sa;
    }
    auto& sa = reinterpret_cast<sockaddr_in&>(ss);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = ep.v4.address;
    sa.sin_port = htons(ep.v4.port);
    return sizeof sa;
}

Endpoint FromSockaddr(const sockaddr_storage& ss) {
    Endpoint ep;
    if (ss.ss_family == AF_INET6) {
        const auto& sa = reinterpret_cast<const sockaddr_in6&>(ss);
        ep.v6 = true;
        std::memcpy(ep.v6e.address.data(), &sa.sin6_addr, 16);
        ep.v6e.port = ntohs(sa.sin6_port);
    } else {
        const auto& sa = reinterpret_cast<const sockaddr_in&>(ss);
        ep.v4 = Ipv4Endpoint{sa.sin_addr.s_addr, ntohs(sa.sin_port)};
    }
    return ep;
}

// A UDP socket that closes itself.
class Socket {
public:
    explicit Socket(const Endpoint& bindTo)
        : m_fd(socket(bindTo.v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0)) {
        if (m_fd < 0) {
            return;
        }
        sockaddr_storage sa;
        const socklen_t len = ToSockaddr(bindTo, sa);
        if (bind(m_fd, reinterpret_cast<const sockaddr*>(&sa), len) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~Socket() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool Ok() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

    void SendTo(const Endpoint& to, const std::string& text) const {
        sockaddr_storage sa;
        const socklen_t len = ToSockaddr(to, sa);
        // Lost datagrams are what the probe measures, so a failed send is not an error here.
        (void)sendto(m_fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&sa),
                     len);
    }

    // Waits up to waitMs for one datagram; empty when none came.
    std::optional<std::pair<std::string, Endpoint>> Receive(int waitMs) const {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) {
            return std::nullopt;
        }
        char buf[512];
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            return std::nullopt;
        }
        return std::make_pair(std::string(buf, static_cast<size_t>(n)), FromSockaddr(from));
    }

    Endpoint Local() const {
        sockaddr_storage sa{};
        socklen_t len = sizeof sa;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
        return FromSockaddr(sa);
    }

private:
    int m_fd;
};

// ---- server side ----------------------------------------------------------------------------

int Serve(const Endpoint& s1, const Endpoint& s2, int seconds) {
    const std::uint16_t p1 = s1.Port(), p2 = s2.Port();
    const std::array<Endpoint, 5> where = {s1, WithPort(s1, static_cast<std::uint16_t>(p1 + 1)),
                                           WithPort(s1, static_cast<std::uint16_t>(p1 + 2)), s2,
                                           WithPort(s2, static_cast<std::uint16_t>(p2 + 1))};
    std::vector<std::unique_ptr<Socket>> socks;
    std::array<pollfd, 5> polls{};
    for (size_t i = 0; i < where.size(); ++i) {
        socks.push_back(std::make_unique<Socket>(where[i]));
        if (!socks.back()->Ok()) {
            std::fprintf(stderr, "natlab-probe: cannot bind %s: %s\n", Format(where[i]).c_str(),
                         std::strerror(errno));
            return 1;
        }
        polls[i] = pollfd{socks[i]->Fd(), POLLIN, 0};
    }
    std::printf("ready\n");
    std::fflush(stdout);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!g_stop && std::chrono::steady_clock::now() < deadline) {
        for (auto& p : polls) {
            p.revents = 0;
        }
        // 200 ms: how late a stop request may be noticed.
        if (poll(polls.data(), polls.size(), 200) <= 0) {
            continue;
        }
        for (size_t i = 0; i < polls.size(); ++i) {
            if ((polls[i].revents & POLLIN) == 0) {
                continue;
            }
            const auto got = socks[i]->Receive(0);
            if (!got) {
                continue;
            }
            const auto& [text, from] = *got;
            if (text == "SEEN") {
                socks[i]->SendTo(from, "SEEN " + Format(from));
            } else if (text.size() == 5 && text.starts_with("VIA ") && text[4] >= '0' &&
                       text[4] <= '4') {
                socks[static_cast<size_t>(text[4] - '0')]->SendTo(from, text);
            }
        }
    }
    return 0;
}

// ---- client side ----------------------------------------------------------------------------

constexpr int kTries = 3;  // a request is sent at most three times

// Sends `request` to `to` until a datagram starting with `expect` arrives; returns its sender and
// text. waitMs is the wait after each transmission.
std::optional<std::pair<std::string, Endpoint>> Ask(const Socket& s, const Endpoint& to,
                                                    const std::string& request,
                                                    const std::string& expect, int waitMs) {
    for (int attempt = 0; attempt < kTries; ++attempt) {
        s.SendTo(to, request);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  until - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                break;
            }
            auto got = s.Receive(static_cast<int>(left));
            if (got && got->first.starts_with(expect)) {
                return got;
            }
        }
    }
    return std::nullopt;
}

std::optional<Endpoint> Seen(const Socket& s, const Endpoint& server, int waitMs) {
    const auto got = Ask(s, server, "SEEN", "SEEN ", waitMs);
    if (!got) {
        return std::nullopt;
    }
    // Any port a NAT may map to, 65534 and 65535 included.
    return Parse(got->first.substr(5), 65535);
}

// The address this host sends from towards `to` (a bound socket only knows 0.0.0.0).
Endpoint SourceAddressTowards(const Endpoint& to) {
    Socket s(AnyOf(to));
    sockaddr_storage sa;
    const socklen_t len = ToSockaddr(to, sa);
    if (connect(s.Fd(), reinterpret_cast<const sockaddr*>(&sa), len) != 0) {
        return AnyOf(to);
    }
    return s.Local();
}

int Client(const Endpoint& s1, const Endpoint& s2, int waitMs) {
    const Endpoint s1b = WithPort(s1, static_cast<std::uint16_t>(s1.Port() + 1));

    // Mapping: one socket, three destinations (same address other port, other address).
    Socket mapSock(AnyOf(s1));
    const auto seenA = Seen(mapSock, s1, waitMs);
    if (!seenA) {
        std::printf("error=no answer from %s\n", Format(s1).c_str());
        return 1;
    }
    const auto seenB = Seen(mapSock, s1b, waitMs);
    const auto seenC = Seen(mapSock, s2, waitMs);
    if (!seenB || !seenC) {
        std::printf("error=no answer from %s\n", Format(seenB ? s2 : s1b).c_str());
        return 1;
    }
    const Endpoint local = WithPort(SourceAddressTowards(s1), mapSock.Local().Port());
    const char* mapping = "address-and-port-dependent";
    if (*seenA == local && *seenB == local && *seenC == local) {
        mapping = "none";
    } else if (*seenA == *seenB && *seenB == *seenC) {
        mapping = "independent";
    } else if (*seenA == *seenB) {
        mapping = "address-dependent";
    }

    // Filtering: a fresh socket that talks to Server1's first port only, then asks for
    // unsolicited packets from Server1's third port and from Server2.
    Socket filterSock(AnyOf(s1));
    if (!Seen(filterSock, s1, waitMs)) {
        std::printf("error=no answer from %s\n", Format(s1).c_str());
        return 1;
    }
    const bool otherPort = Ask(filterSock, s1, "VIA 2", "VIA 2", waitMs).has_value();
    const bool otherAddress = Ask(filterSock, s1, "VIA 4", "VIA 4", waitMs).has_value();

    // Hairpin: a packet to this socket's own public endpoint must come back to it.
    Socket hairSock(AnyOf(s1));
    bool hairpin = false;
    if (const auto pub = Seen(hairSock, s1, waitMs)) {
        hairpin = Ask(hairSock, *pub, "HAIRPIN", "HAIRPIN", waitMs).has_value();
    }

    std::printf("local=%s\n", Format(local).c_str());
    std::printf("public=%s\n", Format(*seenA).c_str());
    std::printf("mapping=%s\n", mapping);
    std::printf("port_preserved=%s\n", seenA->Port() == local.Port() ? "yes" : "no");
    if (local.v6 && seenA->v6) {
        // Prefix translation keeps the interface identifier (the low 64 bits); NAT66 does not.
        const bool kept = std::equal(local.v6e.address.begin() + 8, local.v6e.address.end(),
                                     seenA->v6e.address.begin() + 8);
        std::printf("host_part=%s\n", kept ? "kept" : "changed");
    }
    std::printf("filter_other_port=%s\n", otherPort ? "open" : "closed");
    std::printf("filter_other_address=%s\n", otherAddress ? "open" : "closed");
    std::printf("hairpin=%s\n", hairpin ? "yes" : "no");
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: natlab-probe serve S1ADDR:PORT S2ADDR:PORT [--for SECONDS]\n"
                 "       natlab-probe client S1ADDR:PORT S2ADDR:PORT [--wait-ms N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        return Usage();
    }
    const std::string mode = argv[1];
    const auto s1 = Parse(argv[2], kMaxServerPort);
    const auto s2 = Parse(argv[3], kMaxServerPort);
    if (!s1 || !s2 || s1->v6 != s2->v6 || (mode != "serve" && mode != "client")) {
        return Usage();
    }
    // Defaults: a server lives at most 120 s; a client waits 150 ms per transmission, plenty
    // on veth links where a round trip takes well under a millisecond.
    int option = mode == "serve" ? 120 : 150;
    if (argc == 6) {
        const std::string flag = argv[4];
        if (flag != (mode == "serve" ? "--for" : "--wait-ms")) {
            return Usage();
        }
        option = std::atoi(argv[5]);
        if (option < 1 || option > 3600 * 1000) {
            return Usage();
        }
    }
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    return mode == "serve" ? Serve(*s1, *s2, option) : Client(*s1, *s2, option);
}
