#pragma once
// This computer's default gateway, where a home router's port-mapping services listen, and the
// address this computer reaches it from. default_gateway.cpp reads Linux's routing table;
// default_gateway_win.cpp asks the IP helper. The table's parser is shared (gateway_table.cpp).
// Any thread.

#include <cstdint>
#include <optional>
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
