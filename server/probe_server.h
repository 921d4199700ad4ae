#pragma once
// The running server: one worker thread per core, each with its own socket on every local
// port (SO_REUSEPORT), so the kernel spreads clients over the workers and no datagram is ever
// handed from one thread to another.
//
// Start, Stop, WorkerCount and the destructor: the thread that made the object (asserted in
// debug builds). Counters, RateTableOccupied and RateTableCapacity: any thread once Start has
// returned; none of them takes a lock the workers take.
// Lock order: no lock is held here; the handler takes the rate limiter's shard locks and the
// relay verifier's lock one at a time, never one inside another.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/probe_handler.h"
#include "server/rate_limiter.h"
#include "server/relay.h"
#include "server/server_config.h"
#include "server/server_log.h"
#include "server/udp_io.h"

// What the workers count: plain numbers in a snapshot, atomics in each worker.
template <class T>
struct CounterSet {
    T received{};
    T sent{};
    T sendFailures{};
    T oversized{};
    std::array<T, kOutcomeCount> outcomes{};
};
using ServerCounters = CounterSet<std::uint64_t>;

class CProbeServer {
public:
    explicit CProbeServer(const ServerConfig& cfg);
    ~CProbeServer();
    CProbeServer(const CProbeServer&) = delete;
    CProbeServer& operator=(const CProbeServer&) = delete;

    // Once per object. Opens every socket for every worker, then starts the workers. On failure
    // nothing is left open and error says which address and port failed.
    bool Start(std::string& error);
    // Wakes the workers, joins them and closes the sockets; the counters stay readable.
    // Safe to call twice.
    void Stop();

    ServerCounters Counters() const;
    unsigned WorkerCount() const { return static_cast<unsigned>(m_workers.size()); }
    std::size_t RateTableOccupied() const { return m_limiter.Occupied(); }
    std::size_t RateTableCapacity() const { return m_limiter.Capacity(); }

private:
    // A worker's sockets: IPv4 ones by LocalPort, then the IPv6 ones (standard STUN only).
    static constexpr int kSocketSlots = 2 * kLocalPortCount;
    struct Worker {
        int fds[kSocketSlots];  // by SocketSlot; -1 where this process has no such socket
        std::thread thread;
        // Written by the worker, read by Counters(); relaxed: they are statistics.
        CounterSet<std::atomic<std::uint64_t>> counts;
    };

    struct WorkerIo;

    // A worker's loop: waits for its sockets and serves each readable one in turn.
    void Run(Worker& w);
    // Takes one receive batch from a socket (index into io's packed list) and answers it.
    // Returns how many datagrams it took.
    int ServeBatch(WorkerIo& io, int socket);
    void LogEvent(Outcome outcome, const std::string& from, std::uint64_t nowMs);
    // Opens a new worker's socket on every local port. On failure the caller closes them all.
    bool AddWorker(const std::vector<LocalEndpoint>& eps, std::string& error);
    void CloseAll();

    const ServerConfig m_cfg;
    CRateLimiter m_limiter;
    std::unique_ptr<CRelaySigner> m_signer;
    std::unique_ptr<CRelayVerifier> m_verifier;
    CProbeHandler m_handler;
    CWakeup m_wakeup;
    // At most one refused-relay line per 10 s for each kind of refusal (by Outcome), so that
    // spoofing noise never hides a stale clock or a key mismatch.
    CLogThrottle m_relayLog{10000, kOutcomeCount};
    CLogThrottle m_rateLog{10000};  // at most one rate-limit line per 10 s
    std::vector<std::unique_ptr<Worker>> m_workers;
    bool m_running = false;
    const std::thread::id m_owner = std::this_thread::get_id();  // the thread that made it
};
