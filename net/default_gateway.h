#pragma once
// This computer's default gateway, where a home router's port-mapping services listen, and the
// address this computer reaches it from. default_gateway.cpp reads Linux's routing table;
// default_gateway_win.cpp asks the IP helper. The table's parser is shared (gateway_table.cpp).
// Any thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct DefaultGateway {
    std::uint32_t gatewayNet = 0;  // network order
    std::uint32_t localNet = 0;    // this computer's source address toward it; 0 when unknown
};

// The gateway of the best default route in the text of /proc/net/route (network order): an
// up route with a gateway to 0.0.0.0/0, the lowest metric winning. Empty when there is none.
std::optional<std::uint32_t> ParseRouteTable(std::string_view procNetRoute);

// The default gateway, or empty when this computer has no default route through a gateway.
std::optional<DefaultGateway> FindDefaultGateway();

// ---- IPv6 (PCP over IPv6 asks the IPv6 default router) -----------------------------------------

struct DefaultGateway6 {
    std::array<std::uint8_t, 16> gateway{};  // as on the wire; often link-local
    std::array<std::uint8_t, 16> local{};    // this computer's global address on that interface
    unsigned scopeId = 0;  // the interface's index (a link-local gateway needs it)
};

struct Ipv6DefaultRoute {
    std::array<std::uint8_t, 16> gateway{};
    std::string interfaceName;
};
// The next hop of the best default route in the text of /proc/net/ipv6_route: an up route with
// a gateway to ::/0, the lowest metric winning. Empty when there is none.
std::optional<Ipv6DefaultRoute> ParseIpv6RouteTable(std::string_view procNetIpv6Route);

struct Ipv6InterfaceAddress {
    std::array<std::uint8_t, 16> address{};
    unsigned interfaceIndex = 0;
};
// A global unicast address (2000::/3: unique local fc00::/7 is not reachable from outside, so a
// pinhole for it means nothing) of the named interface in the text of /proc/net/if_inet6,
// neither tentative nor deprecated, a stable one before a temporary one. Empty when it has none.
std::optional<Ipv6InterfaceAddress> ParseGlobalIpv6Address(std::string_view procNetIfInet6,
                                                           std::string_view interfaceName);

// The IPv6 default router and this computer's global address toward it, or empty when there is
// no IPv6 default route or no global address on its interface (and on Windows, as yet).
std::optional<DefaultGateway6> FindDefaultGateway6();
