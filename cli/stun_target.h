#pragma once
// The servers of --stun and --stun2: HOST[:PORT] as the endpoints to test, one per address
// family the host has. Pure but for the resolver's lookups: any thread.

#include <optional>
#include <string>

#include "core/host_resolver.h"
#include "standard/endpoint.h"

struct StunTarget {
    std::optional<Endpoint> ipv4;
    std::optional<Endpoint> ipv6;
    std::string name;  // a host name as typed, for the log; "" for an address

    bool operator==(const StunTarget&) const = default;
};

// "A.B.C.D[:P]" (IPv4 only), "[A6]:P" or a bare "A6" (IPv6 only), or "NAME[:P]" (its first IPv4
// and its first IPv6 address, through resolve); P defaults to 3478. Refused, with why, for a
// malformed text, a name without any address, and an address no STUN server can have (0.0.0.0,
// ::, broadcast, multicast, IPv4-mapped).
std::optional<StunTarget> ResolveStunTarget(const std::string& text, const HostResolver& resolve,
                                            std::string& why);
