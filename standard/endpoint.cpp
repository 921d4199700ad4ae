#include "standard/endpoint.h"

#include <cstring>

#include "net/messages.h"

Endpoint::Endpoint(const Ipv4Endpoint& v4) : port(v4.port) {
    std::memcpy(address.data(), &v4.address, 4);
}

Endpoint Endpoint::Ipv6(const std::array<std::uint8_t, 16>& address, std::uint16_t port) {
    Endpoint e;
    e.family = Family::Ipv6;
    e.address = address;
    e.port = port;
    return e;
}

std::uint32_t Endpoint::Ipv4Address() const {
    std::uint32_t a = 0;
    if (IsIpv4())
        std::memcpy(&a, address.data(), 4);
    return a;
}

std::optional<Ipv4Endpoint> Endpoint::AsIpv4() const {
    if (!IsIpv4())
        return std::nullopt;
    return Ipv4Endpoint{Ipv4Address(), port};
}

std::string FormatAddress(const Endpoint& e) {
    if (e.IsIpv4())
        return FormatIpv4(e.Ipv4Address());
    return FormatIpv6(e.address);
}

std::optional<Endpoint> EndpointOfStun(const StunAddress& a) {
    if (a.IsIpv4())
        return Endpoint(Ipv4Endpoint{a.address, HostPort(a.port)});
    if (a.present && a.family == kStunFamilyIpv6)
        return Endpoint::Ipv6(a.address6, HostPort(a.port));
    return std::nullopt;
}

const char* FamilyName(Endpoint::Family family) {
    return family == Endpoint::Family::Ipv4 ? "IPv4" : "IPv6";
}

const char* FamilyKey(Endpoint::Family family) {
    return family == Endpoint::Family::Ipv4 ? "ipv4" : "ipv6";
}

std::string FormatEndpoint(const Endpoint& e) {
    const std::string port = std::to_string(e.port);
    if (e.IsIpv4())
        return FormatAddress(e) + ":" + port;
    return "[" + FormatAddress(e) + "]:" + port;
}
