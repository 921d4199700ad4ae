#pragma once
// gatewise-server's Prometheus endpoint (--metrics): what the workers count, the rate table's
// fill and this process's CPU time, memory, start time and open files, in the Prometheus text
// exposition format at http://ADDRESS:PORT/metrics (docs/server.md lists every metric).
//
// Built with prometheus-cpp where it is found (metrics.cpp: its CivetWeb-based exposer serves
// the page); elsewhere metrics_none.cpp stands in and --metrics is refused.
//
// A scrape reads the server's counters (relaxed atomics) and the rate table's fill (one relaxed
// atomic): it never takes a lock a packet worker takes, so a slow or hostile HTTP client can
// cost the UDP path CPU time at most, never a wait.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "server/probe_server.h"

// False when this build has no metrics endpoint.
bool MetricsBuilt();

// How the endpoint bounds its HTTP clients. A scrape is one short GET, so these leave a
// Prometheus server plenty of room and a stalled or malicious client little.
struct MetricsLimits {
    unsigned threads = 4;              // connections served at once
    unsigned queue = 8;                // accepted connections waiting for a thread
    unsigned requestTimeoutMs = 3000;  // the whole request, from the first byte, at most
    unsigned maxRequestBytes = 8192;   // request line and headers
};

// This process's figures, from /proc/self.
struct ProcessStats {
    double cpuSeconds = 0;  // user and system
    double residentBytes = 0;
    double virtualBytes = 0;
    double startTimeSeconds = 0;  // since 1970 UTC
    double openFds = 0;
};
// False when /proc/self cannot be read (then the process metrics are left out).
bool ReadProcessStats(ProcessStats& out);

struct MetricsSnapshot {
    ServerCounters counters;
    std::size_t rateTableOccupied = 0;
    std::size_t rateTableCapacity = 0;
    unsigned workers = 0;
    bool haveProcess = false;
    ProcessStats process;
};
// Any thread, once server.Start has returned.
MetricsSnapshot TakeMetricsSnapshot(const CProbeServer& server);
// The snapshot as the endpoint serves it (without the exposer's own scrape metrics). Pure.
std::string MetricsText(const MetricsSnapshot& snapshot);

// The HTTP side. Start, Port, Stop and the destructor: the thread that made it. The server
// must outlive it (Stop or destroy this first).
class CMetricsEndpoint {
public:
    explicit CMetricsEndpoint(const CProbeServer& server, const MetricsLimits& limits = {});
    ~CMetricsEndpoint();
    CMetricsEndpoint(const CMetricsEndpoint&) = delete;
    CMetricsEndpoint& operator=(const CMetricsEndpoint&) = delete;

    // listen: "A:P" as --metrics was checked (port 0: any free port, for tests).
    // On failure nothing listens and error says why.
    bool Start(const std::string& listen, std::string& error);
    // The port it listens on, 0 when not started.
    std::uint16_t Port() const;
    // Closes the listening socket and every connection, and joins the HTTP threads.
    void Stop();

private:
    struct Impl;
    // Unused in a build without metrics (metrics_none.cpp).
    [[maybe_unused]] const CProbeServer& m_server;
    [[maybe_unused]] const MetricsLimits m_limits;
    std::unique_ptr<Impl> m_impl;
};
