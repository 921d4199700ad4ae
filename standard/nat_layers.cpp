#include "standard/nat_layers.h"

#include <iterator>

#include "core/sys_inet.h"
#include "net/address_text.h"

namespace {

struct Row {
    std::uint32_t prefixHost;
    int length;
    AddressClass cls;
    const char* range;
    const char* name;
};

// Special-purpose IPv4 ranges (RFC 6890 and its updates); the first match wins, so the
// narrower rows come before the wider ones that hold them.
constexpr Row kTable[] = {
    {0x00000000, 8, AddressClass::Reserved, "0.0.0.0/8", "\"this network\" (RFC 791)"},
    {0x0A000000, 8, AddressClass::Private, "10.0.0.0/8", "private (RFC 1918)"},
    {0x64400000, 10, AddressClass::Shared, "100.64.0.0/10", "shared address space (RFC 6598)"},
    {0x7F000000, 8, AddressClass::Loopback, "127.0.0.0/8", "loopback"},
    {0xA9FE0000, 16, AddressClass::LinkLocal, "169.254.0.0/16", "link-local (RFC 3927)"},
    {0xAC100000, 12, AddressClass::Private, "172.16.0.0/12", "private (RFC 1918)"},
    {0xC0000000, 24, AddressClass::Reserved, "192.0.0.0/24", "IETF protocol assignments"},
    {0xC0000200, 24, AddressClass::Reserved, "192.0.2.0/24", "documentation (RFC 5737)"},
    {0xC0586300, 24, AddressClass::Reserved, "192.88.99.0/24", "6to4 relay anycast"},
    {0xC0A80000, 16, AddressClass::Private, "192.168.0.0/16", "private (RFC 1918)"},
    {0xC6120000, 15, AddressClass::Reserved, "198.18.0.0/15", "benchmarking (RFC 2544)"},
    {0xC6336400, 24, AddressClass::Reserved, "198.51.100.0/24", "documentation (RFC 5737)"},
    {0xCB007100, 24, AddressClass::Reserved, "203.0.113.0/24", "documentation (RFC 5737)"},
    {0xE0000000, 4, AddressClass::Reserved, "224.0.0.0/4", "multicast"},
    {0xF0000000, 4, AddressClass::Reserved, "240.0.0.0/4", "reserved (RFC 1112)"},
};

std::string Ip(std::uint32_t a) {
    return FormatIpv4(a);
}

}  // namespace

AddressClassInfo ClassifyIpv4(std::uint32_t addressNet) {
    const std::uint32_t host = ntohl(addressNet);
    for (const Row& r : kTable) {
        const std::uint32_t mask = r.length == 0 ? 0 : ~std::uint32_t{0} << (32 - r.length);
        if ((host & mask) == r.prefixHost)
            return {r.cls, r.range, r.name};
    }
    return {};
}

NatLayers JudgeNatLayers(std::optional<std::uint32_t> gatewayExternal,
                         std::optional<std::uint32_t> mapped,
                         const std::vector<std::uint32_t>& hops) {
    NatLayers l;
    l.gatewayExternal = gatewayExternal;
    l.mapped = mapped;
    l.hops = hops;
    if (gatewayExternal) {
        const AddressClassInfo c = ClassifyIpv4(*gatewayExternal);
        const std::string ext = Ip(*gatewayExternal);
        if (c.cls == AddressClass::Shared) {
            l.doubleNat = l.cgnat = true;
            l.reasons.push_back("the router's external address " + ext + " is in " + c.range +
                                ", the " + c.name + " carriers use inside a carrier-grade NAT");
        } else if (c.cls != AddressClass::Public) {
            l.doubleNat = true;
            l.reasons.push_back("the router's external address " + ext + " is " + c.name + " (" +
                                c.range + "): another NAT stands in front of the router");
        }
        if (mapped && *mapped != *gatewayExternal) {
            l.doubleNat = true;
            l.reasons.push_back("the router's external address " + ext +
                                " is not the mapped address " + Ip(*mapped) +
                                " the server reports: another NAT stands between the router and "
                                "the internet");
        } else if (mapped && c.cls == AddressClass::Public) {
            l.doubleNat = false;
            l.reasons.push_back("the router's external address " + ext +
                                " is the mapped address the server reports");
        }
    }
    // The path: a router answering from the shared address space is a carrier's NAT.
    for (std::size_t i = 0; i < hops.size(); ++i) {
        const AddressClassInfo c = ClassifyIpv4(hops[i]);
        if (c.cls == AddressClass::Shared && i > 0) {
            l.doubleNat = l.cgnat = true;
            l.reasons.push_back("router " + std::to_string(i + 1) + " on the path, " + Ip(hops[i]) +
                                ", answers from " + c.range + ", the " + c.name);
            break;
        }
    }
    if (l.doubleNat == false && !l.cgnat)
        l.cgnat = false;
    return l;
}

const char* NatLayersText(const NatLayers& l) {
    if (!l.doubleNat)
        return "NOT DETERMINED";
    if (!*l.doubleNat)
        return "ONE";
    return l.cgnat == true ? "TWO (CARRIER-GRADE)" : "TWO";
}
