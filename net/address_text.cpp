#include "net/address_text.h"

#include <cstring>

#include "core/sys_inet.h"

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

std::optional<Ipv6Bytes> ParseIpv6(std::string_view text) {
    // inet_pton wants a terminated string; no IPv6 text is longer than this.
    char buffer[64] = {};
    if (text.empty() || text.size() >= sizeof buffer || text.find('%') != std::string_view::npos)
        return std::nullopt;
    std::memcpy(buffer, text.data(), text.size());
    Ipv6Bytes address{};
    if (inet_pton(AF_INET6, buffer, address.data()) != 1)
        return std::nullopt;
    return address;
}

std::optional<Ipv6Endpoint> ParseIpv6Endpoint(std::string_view text) {
    const std::size_t close = text.rfind("]:");
    if (text.empty() || text[0] != '[' || close == std::string_view::npos)
        return std::nullopt;
    const std::optional<Ipv6Bytes> address = ParseIpv6(text.substr(1, close - 1));
    const std::optional<std::uint32_t> port = ParseDecimal(text.substr(close + 2), 5);
    if (!address || !port || *port < 1 || *port > 65535)
        return std::nullopt;
    return Ipv6Endpoint{*address, static_cast<std::uint16_t>(*port)};
}

std::string FormatIpv6(const Ipv6Bytes& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET6, address.data(), text, sizeof text) == nullptr)
        return "?";
    return text;
}

std::string FormatIpv6Endpoint(const Ipv6Endpoint& endpoint) {
    return "[" + FormatIpv6(endpoint.address) + "]:" + std::to_string(endpoint.port);
}

bool IsIpv6Loopback(const Ipv6Bytes& address) {
    return address == Ipv6Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
}

bool IsIpv6LinkLocal(const Ipv6Bytes& address) {
    return address[0] == 0xFE && (address[1] & 0xC0) == 0x80;
}

const char* PeerAddressProblem6(const Ipv6Bytes& address) {
    static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (address == Ipv6Bytes{})
        return "is unspecified (::)";
    if (address[0] == 0xFF)
        return "is a multicast address";
    if (std::memcmp(address.data(), kMappedPrefix, sizeof kMappedPrefix) == 0)
        return "is an IPv4-mapped address (::ffff:0:0/96)";
    return nullptr;
}
