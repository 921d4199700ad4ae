// The port-mapping codecs over any bytes: NAT-PMP, PCP and SSDP answers come from whatever is on
// the local network. No crash, no read past the input; what a parser accepts keeps its promises:
// a NAT-PMP response has version 0 and the response bit, a PCP response a length the RFC
// allows, an SSDP reply an http:// LOCATION of bounded length without control characters. The
// same bytes as the text of /proc/net/ipv6_route and /proc/net/if_inet6 (PCP over IPv6 finds its
// router and address there): a default route has a gateway, an address found is global.

#include <string>

#include "fuzz/fuzz_input.h"
#include "net/default_gateway.h"
#include "standard/portmap_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    if (const auto r = ParseNatPmpResponse(bytes)) {
        if (size < 8 || data[0] != kNatPmpVersion || (data[1] & kNatPmpResponseBit) == 0)
            FuzzFail("a NAT-PMP response without its header");
        if (NatPmpResultName(r->resultCode) == nullptr)
            FuzzFail("a result without a name");
    }
    PcpResponse pcp;
    switch (ParsePcpResponse(bytes, pcp)) {
        case PcpAnswer::Response:
            if (size % 4 != 0 || size < kPcpHeaderLength || size > kPcpMaxLength)
                FuzzFail("a PCP response of a length the RFC does not allow");
            if (pcp.opcode == kPcpMap && size < kPcpHeaderLength + kPcpMapPayloadLength)
                FuzzFail("a MAP response without its payload");
            break;
        case PcpAnswer::NatPmpOnly:
            if (data[0] != kNatPmpVersion)
                FuzzFail("NAT-PMP-only from a datagram of another version");
            break;
        case PcpAnswer::NotPcp:
            break;
    }
    if (const auto r = ParseSsdpReply(bytes)) {
        if (r->location.rfind("http://", 0) != 0 || r->location.size() > 512)
            FuzzFail("an SSDP LOCATION that is no bounded http:// URL");
        for (char c : r->location + r->st + r->server) {
            if (static_cast<unsigned char>(c) < 0x20)
                FuzzFail("a control character in an SSDP reply");
        }
        (void)UrlHostIpv4(r->location);
    }
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto r = ParseIpv6RouteTable(text); r && r->gateway == Ipv6DefaultRoute{}.gateway)
        FuzzFail("a default route without a gateway");
    if (const auto a = ParseGlobalIpv6Address(text, "eth0"); a && (a->address[0] & 0xE0) != 0x20)
        FuzzFail("a global address outside 2000::/3");
    return 0;
}
