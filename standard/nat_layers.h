#pragma once
// How many NATs stand between this computer and the internet, judged from addresses only: the
// router's own external address (from any port-mapping protocol that answered), the mapped
// address a server reports, and the addresses of the routers on the path (--hops). One table of
// address classes decides what an address is. Pure: any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class AddressClass : std::uint8_t {
    Public,
    Private,  // RFC 1918
    Shared,   // RFC 6598: 100.64.0.0/10, the carriers' side of a carrier-grade NAT
    Loopback,
    LinkLocal,
    Reserved,  // any other special-purpose range (RFC 6890): documentation, benchmarking, ...
};

struct AddressClassInfo {
    AddressClass cls = AddressClass::Public;
    const char* range = "";       // "10.0.0.0/8"; "" for public
    const char* name = "public";  // "private (RFC 1918)", "shared address space (RFC 6598)", ...
};
AddressClassInfo ClassifyIpv4(std::uint32_t addressNet);

struct NatLayers {
    std::optional<bool> doubleNat;
    std::optional<bool> cgnat;
    std::optional<std::uint32_t> gatewayExternal;  // network order
    std::optional<std::uint32_t> mapped;
    std::vector<std::string> reasons;  // one sentence per fact that led to a verdict
    std::vector<std::uint32_t> hops;   // routers on the path, nearest first (network order)
    bool operator==(const NatLayers&) const = default;
};

// The verdicts from what is known. hops: the routers that answered a TTL-limited datagram,
// nearest first (empty when not asked). A verdict is set only with a reason for it.
NatLayers JudgeNatLayers(std::optional<std::uint32_t> gatewayExternal,
                         std::optional<std::uint32_t> mapped,
                         const std::vector<std::uint32_t>& hops = {});

// "ONE", "TWO (CARRIER-GRADE)", "TWO" or "NOT DETERMINED".
const char* NatLayersText(const NatLayers& layers);
