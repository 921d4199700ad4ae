#include "net/address_text.h"

#include <cstring>

namespace {

// A decimal number of at most `digits` digits, none of them a leading zero.
std::optional<std::uint32_t> ParseDecimal(std::string_view text, std::size_t digits) {
    if (text.empty() || text.size() > digits || (text.size() > 1 && text[0] == '0'))
        return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return value;
}

}  // namespace

std::optional<std::uint32_t> ParseIpv4(std::string_view text) {
    std::uint8_t octets[4];
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = i < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos)
            return std::nullopt;
        const std::optional<std::uint32_t> octet = ParseDecimal(text.substr(0, dot), 3);
        if (!octet || *octet > 255)
            return std::nullopt;
        octets[i] = static_cast<std::uint8_t>(*octet);
        text.remove_prefix(i < 3 ? dot + 1 : dot);
    }
    std::uint32_t addrNet;
    static_assert(sizeof addrNet == sizeof octets);
    std::memcpy(&addrNet, octets, sizeof addrNet);
    return addrNet;
}

std::optional<Ipv4Endpoint> ParseIpv4Endpoint(std::string_view text, std::uint16_t minPort,
                                              std::uint16_t maxPort) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    const std::optional<std::uint32_t> address = ParseIpv4(text.substr(0, colon));
    const std::optional<std::uint32_t> port = ParseDecimal(text.substr(colon + 1), 5);
    if (!address || !port || *port < minPort || *port > maxPort)
        return std::nullopt;
    return Ipv4Endpoint{*address, static_cast<std::uint16_t>(*port)};
}

std::string FormatIpv4(std::uint32_t addrNet) {
    std::uint8_t o[4];
    std::memcpy(o, &addrNet, sizeof o);
    return std::to_string(o[0]) + "." + std::to_string(o[1]) + "." + std::to_string(o[2]) + "." +
           std::to_string(o[3]);
}

std::string FormatIpv4Endpoint(const Ipv4Endpoint& endpoint) {
    return FormatIpv4(endpoint.address) + ":" + std::to_string(endpoint.port);
}

const char* PeerAddressProblem(std::uint32_t addrNet) {
    std::uint8_t b[4];
    std::memcpy(b, &addrNet, 4);
    if (b[0] == 0)
        return "is unspecified (0.0.0.0/8)";
    if (addrNet == 0xFFFFFFFFu)
        return "is the broadcast address";
    if ((b[0] & 0xF0) == 224)
        return "is a multicast address";
    return nullptr;
}
