// gatewise-relay-soak: the client side and the path between a split pair for a long run of
// change requests (bench/relay-soak.sh starts the two real servers around it).
//
//   gatewise-relay-soak --server1 A:P --shim S:P --server2 B:P --relay-from A
//                       [--rate N] [--seconds T] [--reorder-ms D] [--sockets K] [--sources M]
//
// The client sends N change requests a second, in turn: a STUN Binding request asking to change
// IP, one asking to change IP and port, an RFC 3489 one asking to change IP, and our protocol's
// 0x74777003; each one needs Server1 to relay it to Server2, which answers the client itself.
// Server1's --partner is the shim at S:P: every relay that arrives there is held for a random
// 0 to D ms and then sent on to Server2 at B:P from the address Server1 sends from (A), so the
// relays reach Server2 out of order as they might over a real path. Loopback addresses only.
//
// Prints what the client got per kind of request and what the shim forwarded; a relay Server2
// refused shows as a request without an answer (the servers' counters say why).

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <queue>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/address_text.h"
#include "net/messages.h"
#include "net/stun_message.h"
#include "server/server_config.h"
#include "server/server_log.h"
#include "server/udp_io.h"

namespace {

struct Options {
    Ipv4Endpoint server1, shim, server2;
    std::uint32_t relayFrom = 0;
    double rate = 200;
    double seconds = 30;
    unsigned reorderMs = 50;
    unsigned sockets = 32;
    unsigned sources = 16;
};

enum Kind { kAskStunIp, kAskStunIpPort, kAskRfc3489Ip, kAskGatewise, kKinds };
const char* const kKindNames[kKinds] = {"stun_change_ip", "stun_change_ip_port",
                                        "rfc3489_change_ip", "gatewise_change"};

// An answer still due is forgotten after this long; one arriving later counts as late.
constexpr std::uint64_t kAnswerWaitMs = 2000;

struct Counts {
    std::uint64_t sent = 0, answered = 0, wrongSource = 0;
};

using Id = std::array<std::uint8_t, kStunTransactionIdLength>;

struct IdHash {
    std::size_t operator()(const Id& id) const {
        std::uint64_t h = 0;
        std::memcpy(&h, id.data(), sizeof h);
        return static_cast<std::size_t>(h);
    }
};

struct Pending {
    Kind kind;
    std::uint64_t sentMs;
};

struct HeldRelay {
    std::uint64_t dueMs;
    std::uint64_t order;  // arrival order, for counting overtakes
    std::vector<std::uint8_t> data;
    bool operator>(const HeldRelay& o) const { return dueMs > o.dueMs; }
};

bool Loopback(std::uint32_t addrNet) {
    return reinterpret_cast<const std::uint8_t*>(&addrNet)[0] == 127;
}

bool Parse(int argc, char** argv, Options& o) {
    // Each option's reader: false when its value is malformed.
    const auto endpoint = [](Ipv4Endpoint& e) {
        return [&e](const std::string& v) {
            const std::optional<Ipv4Endpoint> p = ParseIpv4Endpoint(v);
            e = p.value_or(e);
            return p.has_value();
        };
    };
    const auto count = [](unsigned& n) {
        return
            [&n](const std::string& v) { return (n = static_cast<unsigned>(std::stoul(v))), true; };
    };
    const auto real = [](double& d) {
        return [&d](const std::string& v) { return (d = std::stod(v)), true; };
    };
    const std::map<std::string, std::function<bool(const std::string&)>> readers = {
        {"--server1", endpoint(o.server1)},
        {"--shim", endpoint(o.shim)},
        {"--server2", endpoint(o.server2)},
        {"--relay-from",
         [&o](const std::string& v) { return (o.relayFrom = ParseIpv4(v).value_or(0)), true; }},
        {"--rate", real(o.rate)},
        {"--seconds", real(o.seconds)},
        {"--reorder-ms", count(o.reorderMs)},
        {"--sockets", count(o.sockets)},
        {"--sources", count(o.sources)},
    };
    for (int i = 1; i + 1 < argc; i += 2) {
        const auto reader = readers.find(argv[i]);
        try {
            if (reader == readers.end() || !reader->second(argv[i + 1]))
                return false;
        } catch (const std::exception&) {
            return false;
        }
    }
    return Loopback(o.server1.address) && Loopback(o.shim.address) && Loopback(o.server2.address) &&
           Loopback(o.relayFrom) && o.server1.port != 0 && o.shim.port != 0 &&
           o.server2.port != 0 && o.rate > 0 && o.rate <= 5000 && o.seconds > 0 &&
           o.seconds <= 900 && o.reorderMs <= 1000 && o.sockets > 0 && o.sockets <= 256 &&
           o.sources > 0 && o.sources <= 250;
}

int Open(std::uint32_t addrNet, std::uint16_t portHost) {
    std::string error;
    const int fd = OpenUdpSocket(addrNet, portHost, false, error);
    if (fd < 0)
        std::fprintf(stderr, "gatewise-relay-soak: %s\n", error.c_str());
    return fd;
}

void SendTo(int fd, const Ipv4Endpoint& to, const std::uint8_t* data, std::size_t len) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = to.address;
    sa.sin_port = PortToNet(to.port);
    ::sendto(fd, data, len, 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
}

// One datagram, or nothing when none is waiting.
std::optional<std::vector<std::uint8_t>> Receive(int fd, Ipv4Endpoint& from) {
    std::uint8_t buf[kMaxDatagram];
    sockaddr_in sa{};
    socklen_t salen = sizeof sa;
    const ssize_t n =
        ::recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &salen);
    if (n < 0)
        return std::nullopt;
    from.address = sa.sin_addr.s_addr;
    std::uint8_t port[2];
    std::memcpy(port, &sa.sin_port, 2);
    from.port = ReadBe16(port);
    return std::vector<std::uint8_t>(buf, buf + n);
}

class CSoak {
public:
    explicit CSoak(const Options& o) : m_o(o), m_rng(std::random_device{}()) {}

    bool Open() {
        for (unsigned i = 0; i < m_o.sockets; ++i) {
            const std::uint32_t src =
                ParseIpv4("127.0.1." + std::to_string(1 + i % m_o.sources)).value_or(0);
            const int fd = ::Open(src, 0);
            if (fd < 0)
                return false;
            m_clients.push_back(fd);
        }
        m_shimIn = ::Open(m_o.shim.address, m_o.shim.port);
        m_shimOut = ::Open(m_o.relayFrom, 0);
        return m_shimIn >= 0 && m_shimOut >= 0;
    }

    void Run() {
        const std::uint64_t start = MonotonicMs();
        const auto end = start + static_cast<std::uint64_t>(m_o.seconds * 1000);
        const std::uint64_t drainEnd = end + kAnswerWaitMs + m_o.reorderMs;
        std::uint64_t requests = 0;
        std::vector<pollfd> pfds;
        for (;;) {
            const std::uint64_t now = MonotonicMs();
            if (now >= drainEnd && m_held.empty())
                break;
            // Requests due by now, at the set rate.
            const auto due =
                now < end
                    ? static_cast<std::uint64_t>(static_cast<double>(now - start) * m_o.rate / 1000)
                    : requests;
            for (; requests < due; ++requests)
                SendRequest(requests);
            ForwardDue(now);
            Expire(now);
            pfds.clear();
            for (const int fd : m_clients)
                pfds.push_back({fd, POLLIN, 0});
            pfds.push_back({m_shimIn, POLLIN, 0});
            int timeout = 5;
            if (!m_held.empty())
                timeout = static_cast<int>(std::min<std::uint64_t>(
                    5, m_held.top().dueMs > now ? m_held.top().dueMs - now : 0));
            if (::poll(pfds.data(), pfds.size(), timeout) <= 0)
                continue;
            for (std::size_t i = 0; i < pfds.size(); ++i) {
                if ((pfds[i].revents & POLLIN) == 0)
                    continue;
                if (pfds[i].fd == m_shimIn)
                    HoldRelays();
                else
                    TakeAnswers(pfds[i].fd);
            }
        }
        Expire(~std::uint64_t{0});
    }

    void Report() const {
        std::uint64_t sent = 0, answered = 0;
        for (int k = 0; k < kKinds; ++k) {
            const Counts& c = m_counts[k];
            std::printf("%s: sent=%llu answered=%llu unanswered=%llu wrong_source=%llu\n",
                        kKindNames[k], static_cast<unsigned long long>(c.sent),
                        static_cast<unsigned long long>(c.answered),
                        static_cast<unsigned long long>(c.sent - c.answered),
                        static_cast<unsigned long long>(c.wrongSource));
            sent += c.sent;
            answered += c.answered;
        }
        std::printf("REQUESTS sent=%llu answered=%llu unanswered=%llu late=%llu\n",
                    static_cast<unsigned long long>(sent),
                    static_cast<unsigned long long>(answered),
                    static_cast<unsigned long long>(sent - answered),
                    static_cast<unsigned long long>(m_late));
        std::printf("SHIM relays=%llu overtaken=%llu reorder_ms=0..%u\n",
                    static_cast<unsigned long long>(m_relays),
                    static_cast<unsigned long long>(m_overtaken), m_o.reorderMs);
    }

private:
    void SendRequest(std::uint64_t n) {
        const auto kind = static_cast<Kind>(n % kKinds);
        const int fd = m_clients[(n / kKinds) % m_clients.size()];
        std::uint8_t buf[128];
        std::size_t len = 0;
        if (kind == kAskGatewise) {
            len = EncodeEmpty(buf, kMsgChangeRequest);
            ++m_gatewiseDue[fd];
        } else {
            StunMessage m;
            std::uniform_int_distribution<unsigned> byte(0, 255);
            for (auto& b : m.transactionId)
                b = static_cast<std::uint8_t>(byte(m_rng));
            if (kind == kAskRfc3489Ip)
                m.cookie = 0x01000000u | static_cast<std::uint32_t>(byte(m_rng));  // no cookie
            m.hasChangeRequest = true;
            m.changeFlags =
                kind == kAskStunIpPort ? kStunChangeIp | kStunChangePort : kStunChangeIp;
            len = EncodeStun(m, buf, sizeof buf);
            m_pending[m.transactionId] = {kind, MonotonicMs()};
        }
        SendTo(fd, m_o.server1, buf, len);
        ++m_counts[kind].sent;
    }

    void TakeAnswers(int fd) {
        Ipv4Endpoint from;
        for (int i = 0; i < kIoBatch; ++i) {
            const auto d = Receive(fd, from);
            if (!d)
                return;
            // Our protocol's answers here are all 6 bytes, shorter than any STUN message.
            StunMessage m;
            if (d->size() >= kStunHeaderLength &&
                ParseStun(d->data(), d->size(), m) == StunParseError::None) {
                const auto it = m_pending.find(m.transactionId);
                if (it == m_pending.end()) {
                    ++m_late;
                    continue;
                }
                Counts& c = m_counts[it->second.kind];
                if (m.cls == StunClass::Success && from.address == m_o.server2.address)
                    ++c.answered;
                else
                    ++c.wrongSource;
                m_pending.erase(it);
                continue;
            }
            // Our protocol: the 0x7C777003 acknowledgement from Server1 is not counted; the
            // 0x77747005 from Server2's changed-address port is the answer.
            if (d->size() >= kHeaderLength && ReadBe32(d->data() + 2) == kMsgChangedAddressReply) {
                Counts& c = m_counts[kAskGatewise];
                if (m_gatewiseDue[fd] == 0) {
                    ++m_late;
                } else if (from.address != m_o.server2.address) {
                    ++c.wrongSource;
                    --m_gatewiseDue[fd];
                } else {
                    ++c.answered;
                    --m_gatewiseDue[fd];
                }
            }
        }
    }

    // STUN requests unanswered for kAnswerWaitMs are given up (they stay unanswered).
    void Expire(std::uint64_t now) {
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            if (now - it->second.sentMs > kAnswerWaitMs && now >= it->second.sentMs)
                it = m_pending.erase(it);
            else
                ++it;
        }
    }

    void HoldRelays() {
        Ipv4Endpoint from;
        std::uniform_int_distribution<unsigned> delay(0, m_o.reorderMs);
        for (int i = 0; i < kIoBatch; ++i) {
            auto d = Receive(m_shimIn, from);
            if (!d)
                return;
            m_held.push({MonotonicMs() + delay(m_rng), m_arrivals++, std::move(*d)});
        }
    }

    void ForwardDue(std::uint64_t now) {
        while (!m_held.empty() && m_held.top().dueMs <= now) {
            const HeldRelay& r = m_held.top();
            if (r.order < m_highestForwarded)
                ++m_overtaken;
            m_highestForwarded = std::max(m_highestForwarded, r.order);
            SendTo(m_shimOut, m_o.server2, r.data.data(), r.data.size());
            ++m_relays;
            m_held.pop();
        }
    }

    const Options m_o;
    std::mt19937_64 m_rng;
    std::vector<int> m_clients;
    int m_shimIn = -1;
    int m_shimOut = -1;
    std::array<Counts, kKinds> m_counts{};
    std::unordered_map<Id, Pending, IdHash> m_pending;
    std::unordered_map<int, std::uint64_t> m_gatewiseDue;  // 0x77747005 still expected, by socket
    std::uint64_t m_late = 0;
    std::priority_queue<HeldRelay, std::vector<HeldRelay>, std::greater<>> m_held;
    std::uint64_t m_arrivals = 0;
    std::uint64_t m_highestForwarded = 0;
    std::uint64_t m_relays = 0;
    std::uint64_t m_overtaken = 0;  // forwarded after a relay that arrived later
};

}  // namespace

constexpr const char* kUsage =
    "usage: gatewise-relay-soak --server1 127.x.x.x:P --shim 127.x.x.x:P\n"
    "         --server2 127.x.x.x:P --relay-from 127.x.x.x [--rate N<=5000]\n"
    "         [--seconds T<=900] [--reorder-ms D<=1000] [--sockets K] [--sources M]\n";

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    CSoak soak(o);
    if (!soak.Open())
        return 1;
    soak.Run();
    soak.Report();
    return 0;
}
