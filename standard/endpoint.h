#pragma once
// An address and port of either family, as the standard checks hold them. Any thread (a plain
// value).

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "net/address_text.h"
#include "net/stun_message.h"

struct Endpoint {
    enum class Family : std::uint8_t { Ipv4, Ipv6 };

    Family family = Family::Ipv4;
    // Network order: an IPv4 address in the first four bytes (the rest zero), IPv6 in all 16.
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;  // host order

    Endpoint() = default;
    // Every IPv4 endpoint is one (so IPv4 callers need not change).
    Endpoint(const Ipv4Endpoint& v4);  // NOLINT(google-explicit-constructor)
    static Endpoint Ipv6(const std::array<std::uint8_t, 16>& address, std::uint16_t port);

    bool IsIpv4() const { return family == Family::Ipv4; }
    bool SameFamily(const Endpoint& other) const { return family == other.family; }
    // The IPv4 address in network order; 0 for IPv6.
    std::uint32_t Ipv4Address() const;
    std::optional<Ipv4Endpoint> AsIpv4() const;
    bool SameAddress(const Endpoint& other) const {
        return family == other.family && address == other.address;
    }
    bool operator==(const Endpoint&) const = default;
};

// An address attribute of a STUN message as an endpoint of its family (the attribute holds the
// port in network order, the endpoint in host order); none when the attribute is absent.
std::optional<Endpoint> EndpointOfStun(const StunAddress& a);

// "a.b.c.d:port", or "[v6]:port" for IPv6 (RFC 5952 text).
std::string FormatEndpoint(const Endpoint& e);
// The address alone: "a.b.c.d" or "v6".
std::string FormatAddress(const Endpoint& e);
// "IPv4" or "IPv6", for the log; "ipv4" or "ipv6", for JSON.
const char* FamilyName(Endpoint::Family family);
const char* FamilyKey(Endpoint::Family family);
