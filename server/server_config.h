#pragma once
// gatewise-server's options: parsing, checking and describing them. Main thread only.

#include <cstdint>
#include <string>
#include <vector>

#include "net/address_text.h"
#include "server/probe_handler.h"
#include "server/rate_limiter.h"

struct ServerConfig {
    bool server1 = false;
    std::uint32_t server1Address = 0;  // network order
    std::uint16_t server1Port = 0;     // host order; the server also listens on the next port
    std::uint16_t portChangePort = 0;  // host order; 0 = server1Port + 2

    bool server2 = false;
    std::uint32_t server2Address = 0;  // network order
    std::uint16_t server2Port = 0;     // host order
    std::uint16_t changedPort = 0;     // host order; 0 = server2Port + 1

    bool hasPartner = false;
    std::uint32_t partnerAddress = 0;  // network order
    std::uint16_t partnerPort = 0;     // host order; only a Server1's partner has one

    // Standard STUN over IPv6 (--server1 [A6]:P, --server2 [B6]:Q, beside the IPv4 roles or
    // alone): sockets A6:P, A6:P+1, B6:Q and B6:Q+1. Our own protocol stays on IPv4.
    bool server1v6 = false;
    Ipv6Bytes server1Address6{};
    std::uint16_t server1Port6 = 0;  // host order
    bool server2v6 = false;
    Ipv6Bytes server2Address6{};
    std::uint16_t server2Port6 = 0;  // host order

    std::vector<std::uint8_t> key;  // relay key; empty = none
    std::uint64_t relayWindowMs = 10000;

    // The broadcast addresses of this machine's networks (network order), as the options were
    // checked against: nothing is ever sent there.
    std::vector<std::uint32_t> localBroadcasts;

    RateLimitSettings rate;
    unsigned workers = 0;                 // 0 = one per core
    unsigned statsIntervalSeconds = 300;  // 0 = only on SIGUSR1

    // --metrics: where the Prometheus endpoint listens over TCP, "A:P" as checked (an IPv4
    // address of this machine, spelled out); empty = no endpoint.
    std::string metrics;
};

// One local socket to open: which role port, and where.
struct LocalEndpoint {
    LocalPort port;
    std::uint32_t address;  // network order; IPv4
    std::uint16_t portHost;
    bool ipv6 = false;
    Ipv6Bytes address6{};
};
// "a.b.c.d:port" or "[v6]:port".
std::string FormatLocalEndpoint(const LocalEndpoint& e);

enum class ParseStatus { Ok, Help, Error };
// Fills cfg (defaults applied) or sets error to one line saying what is wrong. Refuses, for the
// server's own addresses and its partner's, the wildcard 0.0.0.0/8, the limited broadcast,
// multicast and the broadcast addresses of this machine's networks (LocalBroadcastAddresses()),
// and a partner that is one of this process's own sockets.
ParseStatus ParseServerArgs(const std::vector<std::string>& args, ServerConfig& cfg,
                            std::string& error);
// The same with the directed broadcast addresses given (network order): for tests.
ParseStatus ParseServerArgs(const std::vector<std::string>& args, ServerConfig& cfg,
                            std::string& error, const std::vector<std::uint32_t>& broadcasts);
// The broadcast addresses of this machine's IPv4 interfaces (network order), from getifaddrs().
std::vector<std::uint32_t> LocalBroadcastAddresses();
const char* ServerUsage();
// What this build lacks, for the end of --help (empty when nothing).
const char* ServerUsageBuildNote();

std::vector<LocalEndpoint> LocalEndpoints(const ServerConfig& cfg);
HandlerRoles RolesOf(const ServerConfig& cfg);
// Why the sockets do not form an RFC 5780 STUN server (one clause), or empty when they do:
// over IPv4, and over IPv6 (then cfg has IPv6 sockets).
std::string WhyNoRfc5780(const ServerConfig& cfg);
std::string WhyNoRfc5780v6(const ServerConfig& cfg);
// The configuration as log lines, key never shown.
std::vector<std::string> DescribeConfig(const ServerConfig& cfg);

// Helpers, exposed for tests. Addresses are dotted quads only (net/address_text.h): a server
// binds exactly the address it is given, so a name that resolves to several would be ambiguous.
bool ParseHexKey(const std::string& text, std::vector<std::uint8_t>& key);
// Why addrNet cannot be a server's or a partner's address (one clause), or empty when it can.
std::string WhyNotHostAddress(std::uint32_t addrNet, const std::vector<std::uint32_t>& broadcasts);
std::string WhyNotHostAddress6(const Ipv6Bytes& address);
// A host-order port as it is held in network order, whatever this machine's byte order.
std::uint16_t PortToNet(std::uint16_t portHost);
