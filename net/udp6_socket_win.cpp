// The Windows build does not ask PCP over IPv6 yet (FindDefaultGateway6 finds no router there),
// so its socket never opens.

#include "net/udp6_socket.h"

bool CUdp6Socket::Open(const Ipv6Bytes& /*local*/, unsigned /*scopeId*/) {
    return false;
}

void CUdp6Socket::Close() {
    m_socket = kInvalidSocket;
}

std::uint16_t CUdp6Socket::LocalPort() const {
    return 0;
}

bool CUdp6Socket::SendTo(const Ipv6Endpoint& /*to*/, std::span<const std::uint8_t> /*bytes*/) {
    return false;
}

long CUdp6Socket::Receive(int /*waitMs*/, std::span<std::uint8_t> /*buf*/, Ipv6Endpoint& /*from*/) {
    return -1;
}
