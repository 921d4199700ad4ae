// The probe servers on a slow path: every datagram they send leaves a fixed time after the one it
// answers came in. For the end-to-end tests, where the kernel has no delay emulation. What is
// answered is the real server's (CProbeHandler: our protocol, and STUN with RFC 5780), from the
// real server's sockets (its options, LocalEndpoints, OpenUdpSocket); only the sending waits.
//
//   slow_server --delay-ms D [gatewise-server's options: --server1 A:P --server2 B:Q ...]
//
// One thread serves; the main thread waits for SIGINT or SIGTERM as gatewise-server does, then
// wakes it. Addresses outside 127.0.0.0/8 are refused.

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/probe_handler.h"
#include "server/rate_limiter.h"
#include "server/server_config.h"
#include "server/server_log.h"
#include "server/signals.h"
#include "server/udp_io.h"

namespace {

struct Delayed {
    std::uint64_t dueMs;
    LocalPort from;
    std::uint32_t toAddress;  // network order
    std::uint16_t toPort;     // network order
    std::vector<std::uint8_t> data;
};

class CDelayedServer {
public:
    CDelayedServer(const ServerConfig& cfg, std::uint64_t delayMs)
        : m_cfg(cfg),
          m_delayMs(delayMs),
          m_limiter(cfg.rate),
          m_handler(RolesOf(cfg), m_limiter, nullptr, nullptr) {}
    ~CDelayedServer() {
        for (int fd : m_fds)
            CloseUdpSocket(fd);
    }
    CDelayedServer(const CDelayedServer&) = delete;
    CDelayedServer& operator=(const CDelayedServer&) = delete;

    bool Open(std::string& error) {
        for (const LocalEndpoint& ep : LocalEndpoints(m_cfg)) {
            const int fd = OpenUdpSocket(ep.address, ep.portHost, false, error);
            if (fd < 0)
                return false;
            m_fds[static_cast<int>(ep.port)] = fd;
        }
        return true;
    }

    // Until wakeup is signalled.
    void Serve(const CWakeup& wakeup) {
        int fds[kLocalPortCount];
        LocalPort ports[kLocalPortCount];
        int count = 0;
        for (int i = 0; i < kLocalPortCount; ++i) {
            if (m_fds[i] >= 0) {
                fds[count] = m_fds[i];
                ports[count++] = static_cast<LocalPort>(i);
            }
        }
        CReadyWaiter waiter(fds, count, wakeup);
        const auto recv = std::make_unique<CRecvBatch>();
        const auto send = std::make_unique<CSendBatch>();
        const auto out = std::make_unique<HandlerOutput>();
        bool readable[kLocalPortCount] = {};
        for (;;) {
            // Every datagram waits as long, so the queue is in the order they fall due.
            const std::uint64_t now = MonotonicMs();
            while (!m_queue.empty() && m_queue.front().dueMs <= now) {
                const Delayed& d = m_queue.front();
                send->Add(d.toAddress, d.toPort, d.data.data(), d.data.size());
                send->Flush(m_fds[static_cast<int>(d.from)]);
                m_queue.pop_front();
            }
            const int timeoutMs =
                m_queue.empty() ? -1 : static_cast<int>(m_queue.front().dueMs - now);
            if (!waiter.Wait(readable, timeoutMs))
                return;
            for (int s = 0; s < count; ++s) {
                for (int got = kIoBatch; readable[s] && got == kIoBatch;) {
                    got = recv->Receive(fds[s]);
                    for (int i = 0; i < got; ++i)
                        Take(*recv, i, ports[s], *out);
                }
            }
        }
    }

private:
    void Take(const CRecvBatch& recv, int i, LocalPort arrivedOn, HandlerOutput& out) {
        if (recv.Truncated(i))
            return;
        const HandlerClock clock{MonotonicMs(), WallMs()};
        m_handler.Handle(recv.Data(i), recv.Length(i), recv.FromAddress(i), recv.FromPort(i),
                         arrivedOn, clock, out);
        for (int k = 0; k < out.count; ++k) {
            const OutDatagram& d = out.items[static_cast<std::size_t>(k)];
            if (m_fds[static_cast<int>(d.from)] < 0)
                continue;
            m_queue.push_back({clock.monotonicMs + m_delayMs, d.from, d.toAddress, d.toPort,
                               std::vector<std::uint8_t>(d.data, d.data + d.length)});
        }
    }

    const ServerConfig m_cfg;
    const std::uint64_t m_delayMs;
    CRateLimiter m_limiter;
    CProbeHandler m_handler;
    int m_fds[kLocalPortCount] = {-1, -1, -1, -1, -1};
    std::deque<Delayed> m_queue;
};

bool OnLoopback(std::uint32_t addrNet) {
    return (ntohl(addrNet) >> 24) == 127;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    long delayMs = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--delay-ms") == 0 && i + 1 < argc) {
            delayMs = std::strtol(argv[++i], nullptr, 10);
        } else {
            args.emplace_back(argv[i]);
        }
    }
    ServerConfig cfg;
    std::string error;
    if (delayMs < 0 || delayMs > 60000) {
        std::fprintf(stderr, "slow_server: --delay-ms 0..60000 is needed\n");
        return 2;
    }
    if (ParseServerArgs(args, cfg, error, {}) != ParseStatus::Ok) {
        std::fprintf(stderr, "slow_server: %s\n", error.c_str());
        return 2;
    }
    if ((cfg.server1 && !OnLoopback(cfg.server1Address)) ||
        (cfg.server2 && !OnLoopback(cfg.server2Address)) ||
        (cfg.hasPartner && !OnLoopback(cfg.partnerAddress))) {
        std::fprintf(stderr, "slow_server: loopback addresses (127.0.0.0/8) only\n");
        return 2;
    }
    if (!BlockServerSignals()) {
        std::fprintf(stderr, "slow_server: cannot block signals\n");
        return 1;
    }
    CDelayedServer server(cfg, static_cast<std::uint64_t>(delayMs));
    CWakeup wakeup;
    if (!wakeup.Valid() || !server.Open(error)) {
        std::fprintf(stderr, "slow_server: cannot start: %s\n", error.c_str());
        return 1;
    }
    std::thread serving([&server, &wakeup] { server.Serve(wakeup); });
    while (WaitForSignal(1000) != ServerSignal::Stop) {
    }
    wakeup.Signal();
    serving.join();
    return 0;
}
