#include "server/probe_server.h"

#include <algorithm>
#include <cassert>

#include "net/address_text.h"

namespace {

static_assert(kMaxOutDatagram <= kMaxDatagram, "a reply must fit a send buffer");

// Receive calls on one socket before the others get their turn, so a flood on one port cannot
// starve the rest: 8 x 64 datagrams.
constexpr int kRoundsPerSocket = 8;

// The counters are statistics: no ordering with anything else is needed.
constexpr auto kRelaxed = std::memory_order_relaxed;

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
        case Outcome::RelayBadTarget:
            return true;
        default:
            return false;
    }
}

// Where a socket sits in a worker's list: IPv4 by LocalPort, IPv6 after them.
int SocketSlot(LocalPort port, bool ipv6) {
    return static_cast<int>(port) + (ipv6 ? kLocalPortCount : 0);
}

int OpenEndpoint(const LocalEndpoint& ep, bool reusePort, std::string& error) {
    return ep.ipv6 ? OpenUdpSocket6(ep.address6, ep.portHost, reusePort, error)
                   : OpenUdpSocket(ep.address, ep.portHost, reusePort, error);
}

// SO_REUSEPORT would let us silently share a port with another process of the same user; bind
// each port once without it first so that an occupied port is reported as such.
bool PortsFree(const std::vector<LocalEndpoint>& eps, std::string& error) {
    for (const LocalEndpoint& ep : eps) {
        const int fd = OpenEndpoint(ep, false, error);
        if (fd < 0)
            return false;
        CloseUdpSocket(fd);
    }
    return true;
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
    assert(std::this_thread::get_id() == m_owner && "Start: the owning thread only");
    if (m_running)
        return true;
    if (!m_wakeup.Valid()) {
        error = "cannot create the wake-up handle";
        return false;
    }
    const std::vector<LocalEndpoint> eps = LocalEndpoints(m_cfg);
    if (!PortsFree(eps, error))
        return false;
    const unsigned count =
        m_cfg.workers != 0 ? m_cfg.workers : std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < count; ++i) {
        if (!AddWorker(eps, error)) {
            CloseAll();
            m_workers.clear();
            return false;
        }
    }
    for (auto& w : m_workers) {
        Worker* worker = w.get();
        w->thread = std::thread([this, worker] { Run(*worker); });
    }
    m_running = true;
    return true;
}

bool CProbeServer::AddWorker(const std::vector<LocalEndpoint>& eps, std::string& error) {
    auto w = std::make_unique<Worker>();
    std::fill(std::begin(w->fds), std::end(w->fds), -1);
    Worker& worker = *w;
    m_workers.push_back(std::move(w));
    for (const LocalEndpoint& ep : eps) {
        const int fd = OpenEndpoint(ep, true, error);
        if (fd < 0)
            return false;
        worker.fds[SocketSlot(ep.port, ep.ipv6)] = fd;
    }
    return true;
}

void CProbeServer::Stop() {
    assert(std::this_thread::get_id() == m_owner && "Stop: the owning thread only");
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
        c.received += w->counts.received.load(kRelaxed);
        c.sent += w->counts.sent.load(kRelaxed);
        c.sendFailures += w->counts.sendFailures.load(kRelaxed);
        c.oversized += w->counts.oversized.load(kRelaxed);
        for (std::size_t i = 0; i < c.outcomes.size(); ++i)
            c.outcomes[i] += w->counts.outcomes[i].load(kRelaxed);
    }
    return c;
}

void CProbeServer::LogEvent(Outcome outcome, const std::string& from, std::uint64_t nowMs) {
    std::uint64_t held = 0;
    if (outcome == Outcome::RateLimited) {
        if (m_rateLog.Admit(nowMs, &held)) {
            ServerLog("rate limiting %s (%llu more datagrams dropped since the last such line)",
                      from.c_str(), static_cast<unsigned long long>(held));
        }
        return;
    }
    if (m_relayLog.Admit(nowMs, &held, static_cast<std::size_t>(outcome))) {
        ServerLog("refused relay from %s: %s (%llu more of this kind since its last line)",
                  from.c_str(), OutcomeName(outcome), static_cast<unsigned long long>(held));
    }
}

// What one worker needs besides its sockets: the open ones packed for the waiter, and the
// batches, which at about 100 KiB in all go on the heap rather than the thread's stack.
struct CProbeServer::WorkerIo {
    explicit WorkerIo(Worker& w);
    // Sends what is queued for one socket slot.
    void Flush(int slot);
    // Queues the handler's datagrams on the sockets they leave from; returns how many.
    std::uint64_t QueueOut();
    // Adds what one receive batch counted to the worker's counters.
    void Count(const ServerCounters& batch);

    Worker& worker;
    int fds[kSocketSlots] = {};  // the open sockets, packed; index = the waiter's index
    LocalPort ports[kSocketSlots] = {};
    bool ipv6[kSocketSlots] = {};
    int count = 0;
    CRecvBatch recv;
    std::array<CSendBatch, kSocketSlots> send;  // by socket slot
    HandlerOutput out;
};

CProbeServer::WorkerIo::WorkerIo(Worker& w) : worker(w) {
    for (int i = 0; i < kSocketSlots; ++i) {
        if (w.fds[i] < 0)
            continue;
        fds[count] = w.fds[i];
        ports[count] = static_cast<LocalPort>(i % kLocalPortCount);
        ipv6[count] = i >= kLocalPortCount;
        ++count;
    }
}

void CProbeServer::WorkerIo::Flush(int slot) {
    CSendBatch& b = send[static_cast<std::size_t>(slot)];
    if (b.Empty())
        return;
    const int failed = b.Flush(worker.fds[slot]);
    if (failed > 0)
        worker.counts.sendFailures.fetch_add(static_cast<std::uint64_t>(failed), kRelaxed);
}

std::uint64_t CProbeServer::WorkerIo::QueueOut() {
    std::uint64_t queued = 0;
    for (int k = 0; k < out.count; ++k) {
        const OutDatagram& d = out.items[static_cast<std::size_t>(k)];
        const int slot = SocketSlot(d.from, d.ipv6);
        if (worker.fds[slot] < 0)
            continue;
        CSendBatch& b = send[static_cast<std::size_t>(slot)];
        if (b.Full())
            Flush(slot);
        if (d.ipv6)
            b.Add6(d.toAddress6, d.toPort, d.data, d.length);
        else
            b.Add(d.toAddress, d.toPort, d.data, d.length);
        ++queued;
    }
    return queued;
}

void CProbeServer::WorkerIo::Count(const ServerCounters& batch) {
    CounterSet<std::atomic<std::uint64_t>>& total = worker.counts;
    total.received.fetch_add(batch.received, kRelaxed);
    total.sent.fetch_add(batch.sent, kRelaxed);
    if (batch.oversized)
        total.oversized.fetch_add(batch.oversized, kRelaxed);
    for (std::size_t k = 0; k < batch.outcomes.size(); ++k) {
        if (batch.outcomes[k])
            total.outcomes[k].fetch_add(batch.outcomes[k], kRelaxed);
    }
}

void CProbeServer::Run(Worker& w) {
    const auto io = std::make_unique<WorkerIo>(w);
    CReadyWaiter waiter(io->fds, io->count, m_wakeup);
    if (!waiter.Valid()) {
        ServerLog("worker cannot wait for its sockets; it stops");
        return;
    }
    bool readable[kSocketSlots] = {};
    while (waiter.Wait(readable, -1)) {
        for (int s = 0; s < io->count; ++s) {
            for (int round = 0; readable[s] && round < kRoundsPerSocket; ++round) {
                if (ServeBatch(*io, s) < kIoBatch)
                    break;
            }
        }
    }
}

int CProbeServer::ServeBatch(WorkerIo& io, int socket) {
    const int got = io.recv.Receive(io.fds[socket]);
    if (got == 0)
        return 0;
    const HandlerClock clock{MonotonicMs(), WallMs()};
    ServerCounters counts;  // over this batch
    counts.received = static_cast<std::uint64_t>(got);
    for (int i = 0; i < got; ++i) {
        if (io.recv.Truncated(i)) {
            ++counts.oversized;
            continue;
        }
        const Outcome o =
            io.ipv6[socket]
                ? m_handler.Handle6(io.recv.Data(i), io.recv.Length(i), io.recv.FromAddress6(i),
                                    io.recv.FromPort(i), io.ports[socket], clock, io.out)
                : m_handler.Handle(io.recv.Data(i), io.recv.Length(i), io.recv.FromAddress(i),
                                   io.recv.FromPort(i), io.ports[socket], clock, io.out);
        ++counts.outcomes[static_cast<std::size_t>(o)];
        if (IsLogged(o)) {
            LogEvent(o,
                     io.ipv6[socket] ? FormatIpv6(io.recv.FromAddress6(i))
                                     : FormatIpv4(io.recv.FromAddress(i)),
                     clock.monotonicMs);
        }
        counts.sent += io.QueueOut();
    }
    for (int slot = 0; slot < kSocketSlots; ++slot)
        io.Flush(slot);
    io.Count(counts);
    return got;
}
