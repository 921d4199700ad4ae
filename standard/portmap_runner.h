#pragma once
// The port-mapping check over real sockets: finds the default gateway, runs CPortMapProbe
// (NAT-PMP, PCP, SSDP side by side), asks UPnP for the gateway's status and external address,
// and with verify maps one UDP port per protocol that answered, has a STUN server send to the
// external address and port the router reported (RFC 5780 RESPONSE-PORT) and deletes the
// mapping again. Every mapping made is written down before its request goes out and deleted
// before Run returns, whatever ended the run (a stop request included), and the log says so.
// Then it judges the NAT layers (standard/nat_layers.h) and logs a framed summary. Where this
// computer has a global IPv6 address and an IPv6 default router, it also asks PCP over IPv6
// there (standard/pcp6_pinhole.h) and, with verify, opens a pinhole and deletes it again.
//
// Threads: Run on one thread (it blocks it); RequestStop from any thread (also a signal
// relay): it cuts the waits short, never the deletions.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "net/default_gateway.h"
#include "net/path_hops.h"
#include "standard/endpoint.h"
#include "standard/nat_layers.h"
#include "standard/portmap_probe.h"
#include "standard/stun_sockets.h"
#include "standard/upnp_client.h"

struct PortMapRunConfig {
    bool verify = false;                  // map a port per protocol and see whether packets come in
    std::optional<Endpoint> server;       // a STUN server (RESPONSE-PORT) for the mapped address
    std::optional<std::uint32_t> mapped;  // a mapped address known from a run before
    std::uint64_t budgetMs = 2000;        // each protocol's, and each exchange of the verify step
    std::uint32_t leaseSeconds = 120;     // the longest a verify mapping may live
    // Name the routers toward the server (TTL 1 to 4, net/path_hops.h): a carrier's NAT
    // answers from 100.64.0.0/10.
    bool hops = false;
};

struct PortMapProtocol {
    bool present = false;
    std::optional<int> resultCode;  // NAT-PMP's and PCP's last answer
    std::string result;             // its name ("SUCCESS", "NO_RESOURCES", ...)
    std::optional<std::uint32_t> externalNet;
    std::optional<bool> connected;  // UPnP only
    std::string error;
    std::optional<bool> inbound;  // empty: not tried
    std::string inboundNote;      // why not tried, or what the mapping was
};

// PCP over IPv6, asked only where there is an IPv6 default router and a global address.
struct PortMapPcp6 {
    std::optional<Ipv6Bytes> gateway;  // the router asked; empty: not asked
    std::optional<Ipv6Bytes> address;  // this computer's global address (the pinhole's)
    bool present = false;              // a PCP answer came
    std::optional<int> resultCode;     // the MAP's answer, else the ANNOUNCE's
    std::string result;
    std::optional<Ipv6Endpoint> pinhole;  // what the router opened (verify)
};

struct PortMapOutcome {
    bool finished = false;
    bool interrupted = false;
    bool socketsFailed = false;
    bool upnpAvailable = false;  // this build can ask UPnP
    std::optional<std::uint32_t> gatewayNet;
    PortMapProtocol upnp, natPmp, pcp;
    bool pcpNatPmpOnly = false;
    PortMapPcp6 pcp6;
    bool ssdpUnicast = false, ssdpMulticast = false;
    std::optional<bool> inbound;  // any protocol's inbound test: yes if one let a packet in
    NatLayers layers;
    std::vector<std::string> lines;    // the summary's verdict lines, as logged
    std::vector<std::string> cleanup;  // what happened to every mapping made, as logged
};

class CPortMapRunner {
public:
    using GatewayFinder = std::function<std::optional<DefaultGateway>()>;
    using Gateway6Finder = std::function<std::optional<DefaultGateway6>()>;
    CPortMapRunner();
    CPortMapRunner(const CPortMapRunner&) = delete;
    CPortMapRunner& operator=(const CPortMapRunner&) = delete;

    // Tests: another gateway lookup, another UPnP client (null: none).
    void SetGatewayFinder(GatewayFinder f) { m_findGateway = std::move(f); }
    void SetGateway6Finder(Gateway6Finder f) { m_findGateway6 = std::move(f); }
    void SetUpnpClient(std::unique_ptr<IUpnpClient> c, bool available);

    PortMapOutcome Run(const PortMapRunConfig& config);
    void RequestStop();

private:
    using Accept = std::function<bool(int socketId, const Endpoint& from,
                                      std::span<const std::uint8_t> bytes)>;
    struct Mapping {
        int protocol;  // 0 UPnP, 1 NAT-PMP, 2 PCP
        std::uint16_t internalPort;
        std::uint16_t externalPort;
        PcpNonce nonce;
    };
    std::uint64_t NowMs() const;
    bool Stopped() const { return m_stop.load(); }
    // Sends bytes from socketId to `to` at once and again after 250, 500, 1000 ms ... until
    // accept takes a datagram (true) or budgetMs passes (false). A stop request ends the wait
    // unless ignoreStop (the deletions).
    bool Exchange(int socketId, const Endpoint& to, std::span<const std::uint8_t> bytes,
                  std::uint64_t budgetMs, const Accept& accept, bool ignoreStop = false);
    void Discover(const PortMapRunConfig& config, PortMapOutcome& o);
    void AskUpnp(const std::string& location, std::uint64_t budgetMs, PortMapOutcome& o);
    std::optional<std::uint32_t> AskMapped(const Endpoint& server, std::uint64_t budgetMs);
    void Verify(const PortMapRunConfig& config, PortMapOutcome& o);
    std::optional<std::uint16_t> MapPort(int protocol, std::uint16_t internalPort,
                                         const PortMapRunConfig& config, PortMapOutcome& o);
    std::optional<bool> Inbound(const Endpoint& server, int mappedSocket,
                                std::uint16_t externalPort, std::uint64_t budgetMs,
                                std::string& note);
    void DeleteAll(PortMapOutcome& o);
    // PCP over IPv6: asks, and with verify opens and deletes a pinhole (also when stopped).
    void AskPcp6(const PortMapRunConfig& config, PortMapOutcome& o);
    std::vector<std::uint32_t> TraceHops(const Endpoint& server);

    CStunSockets m_sockets;
    std::atomic<bool> m_stop{false};
    GatewayFinder m_findGateway;
    Gateway6Finder m_findGateway6;
    std::unique_ptr<IUpnpClient> m_upnp;
    bool m_upnpAvailable = false;
    DefaultGateway m_gateway;
    std::vector<Mapping> m_made;  // every mapping asked for and not yet deleted
};

// The protocols this build can probe, for the log and --help: "NAT-PMP, PCP, UPnP" or
// "NAT-PMP, PCP (this build has no UPnP)".
std::string PortMapProtocolsText();

// The verdict lines from the outcome's facts (and inbound: yes when any protocol's inbound test
// let a packet in), logged in the framed summary "Port Mapping Check Result Summarize".
void SummarizePortMap(PortMapOutcome& outcome);

// One sentence for "What this means for peer-to-peer", from the outcome's facts alone.
std::string PortMapMeaningSentence(const PortMapOutcome& outcome);
