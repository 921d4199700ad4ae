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
//
// Plain POSIX sockets; one thread; every wait bounded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

using Endpoint = Ipv4Endpoint;

// Port + 2 must still be a port: the server side listens on three consecutive ones.
constexpr std::uint16_t kMaxServerPort = 65533;

sockaddr_in ToSockaddr(const Endpoint& ep) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = ep.address;
    sa.sin_port = htons(ep.port);
    return sa;
}

Endpoint FromSockaddr(const sockaddr_in& sa) {
    return Endpoint{sa.sin_addr.s_addr, ntohs(sa.sin_port)};
}

// A UDP socket that closes itself.
class Socket {
public:
    explicit Socket(const Endpoint& bindTo) : m_fd(socket(AF_INET, SOCK_DGRAM, 0)) {
        if (m_fd < 0) {
            return;
        }
        const sockaddr_in sa = ToSockaddr(bindTo);
        if (bind(m_fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
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
        const sockaddr_in sa = ToSockaddr(to);
        // Lost datagrams are what the probe measures, so a failed send is not an error here.
        (void)sendto(m_fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&sa),
                     sizeof sa);
    }

    // Waits up to waitMs for one datagram; empty when none came.
    std::optional<std::pair<std::string, Endpoint>> Receive(int waitMs) const {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) {
            return std::nullopt;
        }
        char buf[512];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            return std::nullopt;
        }
        return std::make_pair(std::string(buf, static_cast<size_t>(n)), FromSockaddr(from));
    }

    Endpoint Local() const {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
        return FromSockaddr(sa);
    }

private:
    int m_fd;
};

// ---- server side ----------------------------------------------------------------------------

int Serve(const Endpoint& s1, const Endpoint& s2, int seconds) {
    const std::array<Endpoint, 5> where = {
        Endpoint{s1.address, s1.port}, Endpoint{s1.address, static_cast<uint16_t>(s1.port + 1)},
        Endpoint{s1.address, static_cast<uint16_t>(s1.port + 2)}, Endpoint{s2.address, s2.port},
        Endpoint{s2.address, static_cast<uint16_t>(s2.port + 1)}};
    std::vector<std::unique_ptr<Socket>> socks;
    std::array<pollfd, 5> polls{};
    for (size_t i = 0; i < where.size(); ++i) {
        socks.push_back(std::make_unique<Socket>(where[i]));
        if (!socks.back()->Ok()) {
            std::fprintf(stderr, "natlab-probe: cannot bind %s: %s\n",
                         FormatIpv4Endpoint(where[i]).c_str(), std::strerror(errno));
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
                socks[i]->SendTo(from, "SEEN " + FormatIpv4Endpoint(from));
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
    return ParseIpv4Endpoint(got->first.substr(5));
}

// The address this host sends from towards `to` (a bound socket only knows 0.0.0.0).
in_addr_t SourceAddressTowards(const Endpoint& to) {
    Socket s(Endpoint{});
    const sockaddr_in sa = ToSockaddr(to);
    if (connect(s.Fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        return 0;
    }
    return s.Local().address;
}

int Client(const Endpoint& s1, const Endpoint& s2, int waitMs) {
    const Endpoint s1b{s1.address, static_cast<uint16_t>(s1.port + 1)};

    // Mapping: one socket, three destinations (same address other port, other address).
    Socket mapSock(Endpoint{});
    const auto seenA = Seen(mapSock, s1, waitMs);
    if (!seenA) {
        std::printf("error=no answer from %s\n", FormatIpv4Endpoint(s1).c_str());
        return 1;
    }
    const auto seenB = Seen(mapSock, s1b, waitMs);
    const auto seenC = Seen(mapSock, s2, waitMs);
    if (!seenB || !seenC) {
        std::printf("error=no answer from %s\n", FormatIpv4Endpoint(seenB ? s2 : s1b).c_str());
        return 1;
    }
    const Endpoint local{SourceAddressTowards(s1), mapSock.Local().port};
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
    Socket filterSock(Endpoint{});
    if (!Seen(filterSock, s1, waitMs)) {
        std::printf("error=no answer from %s\n", FormatIpv4Endpoint(s1).c_str());
        return 1;
    }
    const bool otherPort = Ask(filterSock, s1, "VIA 2", "VIA 2", waitMs).has_value();
    const bool otherAddress = Ask(filterSock, s1, "VIA 4", "VIA 4", waitMs).has_value();

    // Hairpin: a packet to this socket's own public endpoint must come back to it.
    Socket hairSock(Endpoint{});
    bool hairpin = false;
    if (const auto pub = Seen(hairSock, s1, waitMs)) {
        hairpin = Ask(hairSock, *pub, "HAIRPIN", "HAIRPIN", waitMs).has_value();
    }

    std::printf("local=%s\n", FormatIpv4Endpoint(local).c_str());
    std::printf("public=%s\n", FormatIpv4Endpoint(*seenA).c_str());
    std::printf("mapping=%s\n", mapping);
    std::printf("port_preserved=%s\n", seenA->port == local.port ? "yes" : "no");
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
    const auto s1 = ParseIpv4Endpoint(argv[2], 1, kMaxServerPort);
    const auto s2 = ParseIpv4Endpoint(argv[3], 1, kMaxServerPort);
    if (!s1 || !s2 || (mode != "serve" && mode != "client")) {
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
