#pragma once
// The IPv4 socket address every socket file fills in before bind, sendto or connect, on either
// system (sockaddr_in is the same record in BSD sockets and Winsock 2), and its IPv6 twin
// (sockaddr_in6 likewise). Any thread.

#include <array>
#include <cstdint>
#include <cstring>

#include "core/sys_inet.h"

#ifndef _WIN32
#include <netinet/in.h>
#endif

// addrNet:portNet, both already in network order.
inline sockaddr_in Ipv4SocketAddress(std::uint32_t addrNet, std::uint16_t portNet) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addrNet;
    sa.sin_port = portNet;
    return sa;
}

// address (16 bytes as on the wire):portNet, the port in network order.
inline sockaddr_in6 Ipv6SocketAddress(const std::array<std::uint8_t, 16>& address,
                                      std::uint16_t portNet) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    std::memcpy(&sa.sin6_addr, address.data(), address.size());
    sa.sin6_port = portNet;
    return sa;
}
