#pragma once
// IPv4 and IPv6 addresses and endpoints as people write them. Any thread (pure functions).
//
// Addresses are held in network order (first octet first in memory, as on the wire); ports in
// host order, as a person reads them.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct Ipv4Endpoint {
    std::uint32_t address = 0;  // network order
    std::uint16_t port = 0;     // host order
    bool operator==(const Ipv4Endpoint&) const = default;
};

// Exactly four decimal octets of 0 to 255 joined by dots; no blanks, no signs and no leading
// zeros (other readers take "010" for octal 8, so it is refused rather than guessed).
std::optional<std::uint32_t> ParseIpv4(std::string_view text);
// "A:P" with A as ParseIpv4 reads it and P a decimal port from minPort to maxPort.
std::optional<Ipv4Endpoint> ParseIpv4Endpoint(std::string_view text, std::uint16_t minPort = 1,
                                              std::uint16_t maxPort = 65535);

// "a.b.c.d", the first octet on the wire first.
std::string FormatIpv4(std::uint32_t addrNet);
// "a.b.c.d:port".
std::string FormatIpv4Endpoint(const Ipv4Endpoint& endpoint);

// Why addrNet (network order) can be no peer's address to send to: "is unspecified (0.0.0.0/8)",
// "is the broadcast address" or "is a multicast address"; nullptr for any other address.
const char* PeerAddressProblem(std::uint32_t addrNet);

// IPv6: the 16 address bytes as on the wire.
using Ipv6Bytes = std::array<std::uint8_t, 16>;
struct Ipv6Endpoint {
    Ipv6Bytes address{};
    std::uint16_t port = 0;  // host order
    bool operator==(const Ipv6Endpoint&) const = default;
};

// RFC 4291 text (with an embedded dotted quad allowed); no zone ("%eth0"), no brackets.
std::optional<Ipv6Bytes> ParseIpv6(std::string_view text);
// "[A]:P" with A as ParseIpv6 reads it and P a decimal port from 1 to 65535.
std::optional<Ipv6Endpoint> ParseIpv6Endpoint(std::string_view text);
// RFC 5952 text ("2001:db8::1"), and "[2001:db8::1]:port".
std::string FormatIpv6(const Ipv6Bytes& address);
std::string FormatIpv6Endpoint(const Ipv6Endpoint& endpoint);
// The IPv6 counterpart of PeerAddressProblem: "is unspecified (::)", "is a multicast address"
// or "is an IPv4-mapped address (::ffff:0:0/96)" (IPv4 travels on IPv4 sockets); nullptr else.
const char* PeerAddressProblem6(const Ipv6Bytes& address);
// ::1, and fe80::/10 (meaningful only with an interface's index).
bool IsIpv6Loopback(const Ipv6Bytes& address);
bool IsIpv6LinkLocal(const Ipv6Bytes& address);
