// gatewise-loadgen: keeps a bounded window of requests in flight from many sockets for a bounded
// time and reports how many were answered per second. Only replies that come from exactly the
// target address and port count.
//
//   gatewise-loadgen --target A:P [--sockets N] [--window W] [--seconds T] [--warmup-ms M]
//                    [--threads K] [--sources S] [--request HEX] [--mode M]
//
// --mode gatewise (default) sends --request (a 6-byte binding request) and counts any reply.
// --mode stun sends 20-byte STUN Binding requests (RFC 5389, no attributes), each with a fresh
// random transaction ID, and counts a reply only when it parses as a Binding success response
// carrying the ID of a request still in flight on that socket; --mode stun-echo counts the
// request itself coming back instead (for an echo server).
//
// The sockets are bound to S consecutive addresses from 127.0.1.1 on, so a server's per-source
// table sees more than one address. Loopback only: any other target is refused.

#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/address_text.h"
#include "net/stun_message.h"
#include "server/server_config.h"
#include "server/server_log.h"
#include "server/udp_io.h"

namespace {

enum class Mode : std::uint8_t { Gatewise, Stun, StunEcho };

struct Options {
    Mode mode = Mode::Gatewise;
    Ipv4Endpoint target;
    unsigned sockets = 64;
    unsigned window = 256;  // requests in flight in all
    double seconds = 5;
    unsigned warmupMs = 500;
    unsigned threads = 1;
    unsigned sources = 16;
    std::vector<std::uint8_t> request{0x00, 0x06, 0x74, 0x77, 0x70, 0x02};
};

// A socket whose requests got no answer for this long has them written off as lost and gets a
// fresh window, so one dropped datagram cannot stall it.
constexpr std::uint64_t kLossTimeoutMs = 200;

struct Totals {
    std::atomic<std::uint64_t> answered{0};
    std::atomic<std::uint64_t> sent{0};
    std::atomic<std::uint64_t> lost{0};
    std::atomic<std::uint64_t> wrongSource{0};
    std::atomic<std::uint64_t> unmatched{0};  // from the target, but not a reply counted
    std::atomic<std::uint64_t> replyBytes{0};
    std::atomic<std::uint64_t> counted{0};
};

using TransactionId = std::array<std::uint8_t, kStunTransactionIdLength>;

// The IDs of a socket's STUN requests in flight, oldest overwritten first; a reply takes its ID
// out, so a duplicate or a reply to a written-off request does not count.
class CPendingIds {
public:
    explicit CPendingIds(std::size_t capacity) : m_ids(capacity) {}
    void Add(const TransactionId& id) {
        if (m_count < m_ids.size()) {
            m_ids[m_count++] = id;
        } else {
            m_ids[m_next] = id;
            m_next = (m_next + 1) % m_ids.size();
        }
    }
    bool Take(const TransactionId& id) {
        for (std::size_t i = 0; i < m_count; ++i) {
            if (m_ids[i] == id) {
                m_ids[i] = m_ids[--m_count];
                m_next = 0;
                return true;
            }
        }
        return false;
    }
    void Clear() { m_count = m_next = 0; }

private:
    std::vector<TransactionId> m_ids;
    std::size_t m_count = 0;
    std::size_t m_next = 0;  // the slot to overwrite when full
};

struct Sock {
    int fd = -1;
    unsigned outstanding = 0;
    std::uint64_t lastProgressMs = 0;
};

// splitmix64: fast and well spread, seeded from the system's entropy. The IDs need to be
// distinct and unguessable by the server, not cryptographic; the generator must not be the
// bottleneck.
class CIdSource {
public:
    CIdSource() : m_state((std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}()) {}
    TransactionId Next() {
        TransactionId id;
        const std::uint64_t a = Step();
        const std::uint64_t b = Step();
        std::memcpy(id.data(), &a, 8);
        std::memcpy(id.data() + 8, &b, 4);
        return id;
    }

private:
    std::uint64_t Step() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t m_state;
};

// Whether a reply counts: any reply in the Gatewise mode; in the STUN modes a well-formed
// Binding message of the class expected with the ID of a request in flight.
bool Counts(Mode mode, const std::uint8_t* data, std::size_t len, CPendingIds& pending) {
    if (mode == Mode::Gatewise)
        return true;
    StunMessage msg;
    if (ParseStun(data, len, msg) != StunParseError::None || !msg.IsRfc5389() ||
        msg.method != kStunMethodBinding)
        return false;
    const StunClass want = mode == Mode::Stun ? StunClass::Success : StunClass::Request;
    return msg.cls == want && pending.Take(msg.transactionId);
}

void Generate(const Options& o, std::vector<Sock> socks, unsigned perSocket, std::uint64_t startMs,
              std::uint64_t endMs, Totals& totals) {
    auto recv = std::make_unique<CRecvBatch>();
    auto send = std::make_unique<CSendBatch>();
    const std::uint32_t tAddr = o.target.address;
    const std::uint16_t tPort = PortToNet(o.target.port);
    std::vector<pollfd> pfds(socks.size());
    std::uint64_t answered = 0, sent = 0, lost = 0, wrong = 0, unmatched = 0, replyBytes = 0;
    std::uint64_t counted = 0;  // warm-up included, for the CPU cost
    const bool stun = o.mode != Mode::Gatewise;
    // Twice the window per socket: a request written off as lost may still be answered late.
    std::vector<CPendingIds> pending(socks.size(), CPendingIds(2 * perSocket));
    CIdSource ids;
    std::uint8_t stunRequest[kStunHeaderLength] = {0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42};
    for (;;) {
        const std::uint64_t now = MonotonicMs();
        if (now >= endMs)
            break;
        for (std::size_t i = 0; i < socks.size(); ++i) {
            Sock& s = socks[i];
            if (s.outstanding > 0 && now - s.lastProgressMs > kLossTimeoutMs) {
                lost += s.outstanding;
                s.outstanding = 0;
                pending[i].Clear();
            }
            if (s.outstanding < perSocket) {
                for (unsigned k = s.outstanding; k < perSocket; ++k) {
                    if (stun) {
                        const TransactionId id = ids.Next();
                        std::memcpy(stunRequest + 8, id.data(), id.size());
                        pending[i].Add(id);
                        send->Add(tAddr, tPort, stunRequest, sizeof stunRequest);
                    } else {
                        send->Add(tAddr, tPort, o.request.data(), o.request.size());
                    }
                }
                const unsigned want = perSocket - s.outstanding;
                const unsigned failed = static_cast<unsigned>(send->Flush(s.fd));
                if (s.outstanding == 0)
                    s.lastProgressMs = now;
                s.outstanding += want - failed;
                if (now >= startMs)
                    sent += want - failed;
            }
        }
        for (std::size_t i = 0; i < socks.size(); ++i)
            pfds[i] = pollfd{socks[i].fd, POLLIN, 0};
        if (::poll(pfds.data(), pfds.size(), 10) <= 0)
            continue;
        const std::uint64_t after = MonotonicMs();
        for (std::size_t i = 0; i < socks.size(); ++i) {
            if ((pfds[i].revents & POLLIN) == 0)
                continue;
            Sock& s = socks[i];
            const int got = recv->Receive(s.fd);
            for (int k = 0; k < got; ++k) {
                if (recv->FromAddress(k) != tAddr || recv->FromPort(k) != tPort) {
                    ++wrong;
                    continue;
                }
                if (!Counts(o.mode, recv->Data(k), recv->Length(k), pending[i])) {
                    ++unmatched;
                    continue;
                }
                ++counted;
                if (s.outstanding > 0)
                    --s.outstanding;
                s.lastProgressMs = after;
                if (after >= startMs && after < endMs) {
                    ++answered;
                    replyBytes += recv->Length(k);
                }
            }
        }
    }
    totals.answered += answered;
    totals.sent += sent;
    totals.lost += lost;
    totals.wrongSource += wrong;
    totals.unmatched += unmatched;
    totals.replyBytes += replyBytes;
    totals.counted += counted;
}

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        const std::string val = argv[i + 1];
        try {
            if (opt == "--target") {
                const std::optional<Ipv4Endpoint> target = ParseIpv4Endpoint(val);
                if (!target)
                    return false;
                o.target = *target;
            } else if (opt == "--sockets") {
                o.sockets = static_cast<unsigned>(std::stoul(val));
            } else if (opt == "--window") {
                o.window = static_cast<unsigned>(std::stoul(val));
            } else if (opt == "--seconds") {
                o.seconds = std::stod(val);
            } else if (opt == "--warmup-ms") {
                o.warmupMs = static_cast<unsigned>(std::stoul(val));
            } else if (opt == "--threads") {
                o.threads = static_cast<unsigned>(std::stoul(val));
            } else if (opt == "--sources") {
                o.sources = static_cast<unsigned>(std::stoul(val));
            } else if (opt == "--mode") {
                if (val == "gatewise")
                    o.mode = Mode::Gatewise;
                else if (val == "stun")
                    o.mode = Mode::Stun;
                else if (val == "stun-echo")
                    o.mode = Mode::StunEcho;
                else
                    return false;
            } else if (opt == "--request") {
                if (!ParseHexKey(val, o.request) || o.request.size() > 128)
                    return false;
            } else {
                return false;
            }
        } catch (const std::exception&) {
            return false;
        }
    }
    const bool loopback = (reinterpret_cast<const std::uint8_t*>(&o.target.address))[0] == 127;
    return o.target.port != 0 && loopback && o.sockets > 0 && o.window >= o.sockets &&
           o.seconds > 0 && o.seconds <= 120 && o.threads > 0 && o.threads <= o.sockets &&
           o.sources > 0 && o.sources <= 250;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: gatewise-loadgen --target 127.x.x.x:P [--sockets N] [--window W]\n"
                     "         [--seconds T<=120] [--warmup-ms M] [--threads K] [--sources S]\n"
                     "         [--request HEX] [--mode gatewise|stun|stun-echo]\n");
        return 2;
    }
    std::vector<std::vector<Sock>> groups(o.threads);
    for (unsigned i = 0; i < o.sockets; ++i) {
        const std::uint32_t src =
            ParseIpv4("127.0.1." + std::to_string(1 + i % o.sources)).value_or(0);
        std::string error;
        Sock s;
        s.fd = OpenUdpSocket(src, 0, false, error);
        if (s.fd < 0) {
            std::fprintf(stderr, "gatewise-loadgen: %s\n", error.c_str());
            return 1;
        }
        groups[i % o.threads].push_back(s);
    }
    const unsigned perSocket = o.window / o.sockets;
    const std::uint64_t startMs = MonotonicMs() + o.warmupMs;
    const std::uint64_t endMs = startMs + static_cast<std::uint64_t>(o.seconds * 1000);
    Totals totals;
    std::vector<std::thread> threads;
    for (auto& g : groups) {
        threads.emplace_back([&o, g, perSocket, startMs, endMs, &totals] {
            Generate(o, g, perSocket, startMs, endMs, totals);
        });
    }
    for (auto& t : threads)
        t.join();
    for (auto& g : groups) {
        for (Sock& s : g)
            CloseUdpSocket(s.fd);
    }
    const double rate = static_cast<double>(totals.answered.load()) / o.seconds;
    const std::uint64_t answered = totals.answered.load();
    std::printf(
        "answered=%llu sent=%llu lost=%llu wrong_source=%llu unmatched=%llu reply_bytes=%.1f "
        "seconds=%.1f\n",
        static_cast<unsigned long long>(answered),
        static_cast<unsigned long long>(totals.sent.load()),
        static_cast<unsigned long long>(totals.lost.load()),
        static_cast<unsigned long long>(totals.wrongSource.load()),
        static_cast<unsigned long long>(totals.unmatched.load()),
        answered > 0 ? static_cast<double>(totals.replyBytes.load()) / static_cast<double>(answered)
                     : 0.0,
        o.seconds);
    std::printf("RATE %.0f\n", rate);
    // The load generator shares the machine's cores with the listener: what each reply costs it
    // (user + system, warm-up included) tells how much a protocol's parsing takes from the
    // listener's share.
    rusage self{};
    ::getrusage(RUSAGE_SELF, &self);
    const double cpuUs = static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) * 1e6 +
                         static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec);
    const std::uint64_t counted = totals.counted.load();
    std::printf("LOADGEN_CPU_US_PER_REPLY %.3f\n",
                counted > 0 ? cpuUs / static_cast<double>(counted) : 0.0);
    return totals.answered.load() > 0 ? 0 : 1;
}
