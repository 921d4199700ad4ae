// gatewise-loadgen: keeps a bounded window of requests in flight from many sockets for a bounded
// time and reports how many were answered per second. Only replies that come from exactly the
// target address and port count.
//
//   gatewise-loadgen --target A:P [--sockets N] [--window W] [--seconds T] [--warmup-ms M]
//                    [--threads K] [--sources S] [--request HEX]
//
// The sockets are bound to S consecutive addresses from 127.0.1.1 on, so a server's per-source
// table sees more than one address. Loopback only: any other target is refused.

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/address_text.h"
#include "server/server_config.h"
#include "server/server_log.h"
#include "server/udp_io.h"

namespace {

struct Options {
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
};

struct Sock {
    int fd = -1;
    unsigned outstanding = 0;
    std::uint64_t lastProgressMs = 0;
};

void Generate(const Options& o, std::vector<Sock> socks, unsigned perSocket, std::uint64_t startMs,
              std::uint64_t endMs, Totals& totals) {
    auto recv = std::make_unique<CRecvBatch>();
    auto send = std::make_unique<CSendBatch>();
    const std::uint32_t tAddr = o.target.address;
    const std::uint16_t tPort = PortToNet(o.target.port);
    std::vector<pollfd> pfds(socks.size());
    std::uint64_t answered = 0, sent = 0, lost = 0, wrong = 0;
    for (;;) {
        const std::uint64_t now = MonotonicMs();
        if (now >= endMs)
            break;
        for (Sock& s : socks) {
            if (s.outstanding > 0 && now - s.lastProgressMs > kLossTimeoutMs) {
                lost += s.outstanding;
                s.outstanding = 0;
            }
            if (s.outstanding < perSocket) {
                for (unsigned k = s.outstanding; k < perSocket; ++k) {
                    send->Add(tAddr, tPort, o.request.data(), o.request.size());
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
                if (s.outstanding > 0)
                    --s.outstanding;
                s.lastProgressMs = after;
                if (after >= startMs && after < endMs)
                    ++answered;
            }
        }
    }
    totals.answered += answered;
    totals.sent += sent;
    totals.lost += lost;
    totals.wrongSource += wrong;
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
                     "         [--request HEX]\n");
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
    std::printf("answered=%llu sent=%llu lost=%llu wrong_source=%llu seconds=%.1f\n",
                static_cast<unsigned long long>(totals.answered.load()),
                static_cast<unsigned long long>(totals.sent.load()),
                static_cast<unsigned long long>(totals.lost.load()),
                static_cast<unsigned long long>(totals.wrongSource.load()), o.seconds);
    std::printf("RATE %.0f\n", rate);
    return totals.answered.load() > 0 ? 0 : 1;
}
