#include "server/probe_server.h"

#include <algorithm>

#include "net/address_text.h"

namespace {

// Receive calls on one socket before the others get their turn, so a flood on one port cannot
// starve the rest: 8 x 64 datagrams.
constexpr int kRoundsPerSocket = 8;

std::uint64_t FirstRelaySequence() {
    return WallMs() * 1000;
}

// Events an operator wants to hear about; malformed client datagrams are only counted.
bool IsLogged(Outcome o) {
    switch (o) {
        case Outcome::RateLimited:
        case Outcome::RelaySpoofed:
        case Outcome::RelayMalformed:
        case Outcome::RelayBadMac:
        case Outcome::RelayStale:
        case Outcome::RelayReplayed:
        case Outcome::RelaySequenceAhead:
            return true;
        default:
            return false;
    }
}

}  // namespace

CProbeServer::CProbeServer(const ServerConfig& cfg)
    : m_cfg(cfg),
      m_limiter(cfg.rate),
      m_signer(cfg.server1 && !cfg.server2
                   ? std::make_unique<CRelaySigner>(cfg.key, FirstRelaySequence())
                   : nullptr),
      m_verifier(cfg.server2 && !cfg.server1
                     ? std::make_unique<CRelayVerifier>(cfg.key, cfg.relayWindowMs)
                     : nullptr),
      m_handler(RolesOf(cfg), m_limiter, m_signer.get(), m_verifier.get()) {}

CProbeServer::~CProbeServer() {
    Stop();
}

bool CProbeServer::Start(std::string& error) {
    if (m_running)
        return true;
    if (!m_wakeup.Valid()) {
        error = "cannot create the wake-up handle";
        return false;
    }
    unsigned count = m_cfg.workers;
    if (count == 0)
        count = std::max(1u, std::thread::hardware_concurrency());
    const std::vector<LocalEndpoint> eps = LocalEndpoints(m_cfg);

    // SO_REUSEPORT would let us silently share a port with another process of the same user;
    // bind each port once without it first so that an occupied port is reported as such.
    for (const LocalEndpoint& ep : eps) {
        const int fd = OpenUdpSocket(ep.address, ep.portHost, false, error);
        if (fd < 0)
            return false;
        CloseUdpSocket(fd);
    }
    for (unsigned i = 0; i < count; ++i) {
        auto w = std::make_unique<Worker>();
        std::fill(std::begin(w->fds), std::end(w->fds), -1);
        m_workers.push_back(std::move(w));
        for (const LocalEndpoint& ep : eps) {
            const int fd = OpenUdpSocket(ep.address, ep.portHost, true, error);
            if (fd < 0) {
                CloseAll();
                m_workers.clear();
                return false;
            }
            m_workers.back()->fds[static_cast<int>(ep.port)] = fd;
        }
    }
    for (auto& w : m_workers) {
        Worker* worker = w.get();
        w->thread = std::thread([this, worker] { Run(*worker); });
    }
    m_running = true;
    return true;
}

void CProbeServer::Stop() {
    m_wakeup.Signal();
    for (auto& w : m_workers) {
        if (w->thread.joinable())
            w->thread.join();
    }
    CloseAll();
    m_running = false;
}

void CProbeServer::CloseAll() {
    for (auto& w : m_workers) {
        for (int& fd : w->fds) {
            CloseUdpSocket(fd);
            fd = -1;
        }
    }
}

ServerCounters CProbeServer::Counters() const {
    ServerCounters c;
    for (const auto& w : m_workers) {
        c.received += w->received.load(std::memory_order_relaxed);
        c.sent += w->sent.load(std::memory_order_relaxed);
        c.sendFailures += w->sendFailures.load(std::memory_order_relaxed);
        c.oversized += w->oversized.load(std::memory_order_relaxed);
        for (int i = 0; i < kOutcomeCount; ++i) {
            c.outcomes[static_cast<std::size_t>(i)] +=
                w->outcomes[static_cast<std::size_t>(i)].load(std::memory_order_relaxed);
        }
    }
    return c;
}

void CProbeServer::LogEvent(Outcome outcome, std::uint32_t fromAddrNet, std::uint64_t nowMs) {
    std::uint64_t held = 0;
    if (outcome == Outcome::RateLimited) {
        if (m_rateLog.Admit(nowMs, &held)) {
            ServerLog("rate limiting %s (%llu more datagrams dropped since the last such line)",
                      FormatIpv4(fromAddrNet).c_str(), static_cast<unsigned long long>(held));
        }
        return;
    }
    if (m_relayLog.Admit(nowMs, &held)) {
        ServerLog("refused relay from %s: %s (%llu more refused since the last such line)",
                  FormatIpv4(fromAddrNet).c_str(), OutcomeName(outcome),
                  static_cast<unsigned long long>(held));
    }
}

void CProbeServer::Run(Worker& w) {
    int fds[kLocalPortCount];
    LocalPort ports[kLocalPortCount];
    int n = 0;
    for (int i = 0; i < kLocalPortCount; ++i) {
        if (w.fds[i] >= 0) {
            fds[n] = w.fds[i];
            ports[n] = static_cast<LocalPort>(i);
            ++n;
        }
    }
    // About 100 KiB each: on the heap, not on the thread's stack.
    auto recv = std::make_unique<CRecvBatch>();
    auto send = std::make_unique<std::array<CSendBatch, kLocalPortCount>>();
    bool readable[kLocalPortCount] = {};
    HandlerOutput out;

    auto flush = [&](int port) {
        CSendBatch& b = (*send)[static_cast<std::size_t>(port)];
        if (b.Empty())
            return;
        const int failed = b.Flush(w.fds[port]);
        if (failed > 0)
            w.sendFailures.fetch_add(static_cast<std::uint64_t>(failed), std::memory_order_relaxed);
    };

    CReadyWaiter waiter(fds, n, m_wakeup);
    if (!waiter.Valid()) {
        ServerLog("worker cannot wait for its sockets; it stops");
        return;
    }
    while (waiter.Wait(readable, -1)) {
        for (int s = 0; s < n; ++s) {
            if (!readable[s])
                continue;
            for (int round = 0; round < kRoundsPerSocket; ++round) {
                const int got = recv->Receive(fds[s]);
                if (got == 0)
                    break;
                const HandlerClock clock{MonotonicMs(), WallMs()};
                std::uint64_t outcomes[kOutcomeCount] = {};
                std::uint64_t sent = 0, oversized = 0;
                for (int i = 0; i < got; ++i) {
                    if (recv->Truncated(i)) {
                        ++oversized;
                        continue;
                    }
                    const Outcome o =
                        m_handler.Handle(recv->Data(i), recv->Length(i), recv->FromAddress(i),
                                         recv->FromPort(i), ports[s], clock, out);
                    ++outcomes[static_cast<int>(o)];
                    if (IsLogged(o)) {
                        LogEvent(o, recv->FromAddress(i), clock.monotonicMs);
                    }
                    for (int k = 0; k < out.count; ++k) {
                        const OutDatagram& d = out.items[static_cast<std::size_t>(k)];
                        const int port = static_cast<int>(d.from);
                        if (w.fds[port] < 0)
                            continue;
                        CSendBatch& b = (*send)[static_cast<std::size_t>(port)];
                        if (b.Full())
                            flush(port);
                        b.Add(d.toAddress, d.toPort, d.data, d.length);
                        ++sent;
                    }
                }
                for (int p = 0; p < kLocalPortCount; ++p)
                    flush(p);
                w.received.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
                w.sent.fetch_add(sent, std::memory_order_relaxed);
                if (oversized)
                    w.oversized.fetch_add(oversized, std::memory_order_relaxed);
                for (int k = 0; k < kOutcomeCount; ++k) {
                    if (outcomes[k]) {
                        w.outcomes[static_cast<std::size_t>(k)].fetch_add(
                            outcomes[k], std::memory_order_relaxed);
                    }
                }
                if (got < kIoBatch)
                    break;
            }
        }
    }
}
