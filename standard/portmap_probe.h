#pragma once
// Which port-mapping services the default gateway offers: NAT-PMP (RFC 6886, external address
// request), PCP (RFC 6887, ANNOUNCE) and UPnP's SSDP search (unicast to the gateway's port 1900
// and multicast to 239.255.255.250:1900 at once, as some routers answer only one of them). All
// three run side by side, each on a socket of its own and within its own time budget, so the
// probe ends within one budget when nothing answers. A state machine that changes state only in
// Start, OnDatagram, OnTimer and Stop; it reaches the network through IStunTransport and reads
// no clock (the caller passes the time), so tests drive it with a recording fake. Engine thread
// only (one).
//
// Answers count only from where RFC 6886 and 6887 say they must come (the gateway's port 5351);
// an SSDP reply counts from the gateway's address at any port (a device answers a search from
// whatever port it likes) and only when its LOCATION names that same address, which is then the
// one place the runner fetches a description from.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "standard/endpoint.h"
#include "standard/portmap_codec.h"
#include "standard/stun_check.h"  // IStunTransport

struct PortMapProbeConfig {
    std::uint32_t gatewayNet = 0;  // network order
    std::uint32_t clientNet = 0;   // this computer's address toward it (PCP's client address)
    // Each protocol gives up this long after its first send. NAT-PMP and PCP retransmit after
    // firstRetryMs, doubling (RFC 6886 section 3.1): at 0, 250, 750 and 1750 ms.
    std::uint64_t budgetMs = 2000;
    std::uint64_t firstRetryMs = 250;
    std::uint64_t ssdpRetryMs = 500;  // SSDP searches again at this steady interval
};

struct PortMapDiscovery {
    bool finished = false;
    bool socketsFailed = false;
    std::uint32_t gatewayNet = 0;

    // NAT-PMP: present when the gateway answered at all (any result code).
    bool natPmpPresent = false;
    std::optional<std::uint16_t> natPmpResult;
    std::optional<std::uint32_t> natPmpExternalNet;
    // PCP: present when a PCP response came; natPmpOnly when the answer was NAT-PMP's
    // "unsupported version" instead (RFC 6887 section 9).
    bool pcpPresent = false;
    std::optional<std::uint8_t> pcpResult;
    bool pcpNatPmpOnly = false;
    // UPnP's search: the first usable reply and which of the two searches were answered.
    std::optional<SsdpReply> ssdp;
    std::optional<Endpoint> ssdpFrom;
    bool ssdpUnicast = false;
    bool ssdpMulticast = false;
};

class CPortMapProbe {
public:
    explicit CPortMapProbe(IStunTransport& transport) : m_transport(transport) {}
    ~CPortMapProbe() { Stop(); }
    CPortMapProbe(const CPortMapProbe&) = delete;
    CPortMapProbe& operator=(const CPortMapProbe&) = delete;

    // Opens the sockets and sends the first requests at nowMs (logging them).
    void Start(const PortMapProbeConfig& config, std::uint64_t nowMs);
    void OnDatagram(int socketId, const Endpoint& from, std::span<const std::uint8_t> bytes);
    void OnTimer(std::uint64_t nowMs);
    std::optional<std::uint64_t> NextDeadline() const;
    // Closes the sockets; the outcome stays as it was (finished only when every part ended).
    void Stop();

    bool Running() const { return m_running; }
    const PortMapDiscovery& Outcome() const { return m_outcome; }

private:
    enum Part { kNatPmp, kPcp, kSsdpUnicast, kSsdpMulticast, kParts };
    struct Channel {
        int socket = -1;
        bool done = false;
        std::uint64_t nextSendMs = 0;
        std::uint64_t intervalMs = 0;
        bool doubling = false;
    };
    void Send(Part part);
    void EndPart(Part part);
    void FinishIfDone();
    void OnNatPmp(const Endpoint& from, std::span<const std::uint8_t> bytes);
    void OnPcp(const Endpoint& from, std::span<const std::uint8_t> bytes);
    void OnSsdp(Part part, const Endpoint& from, std::span<const std::uint8_t> bytes);
    void CloseAll();

    IStunTransport& m_transport;
    PortMapProbeConfig m_config;
    PortMapDiscovery m_outcome;
    Channel m_channels[kParts];
    std::uint64_t m_giveUpMs = 0;
    bool m_running = false;
};
