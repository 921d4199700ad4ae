#pragma once
// The IPv4 socket address every socket file fills in before bind, sendto or connect, on either
// system (sockaddr_in is the same record in BSD sockets and Winsock 2). Any thread.

#include <cstdint>

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
