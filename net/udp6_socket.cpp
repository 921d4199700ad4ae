#include "net/udp6_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "core/sockaddr_ipv4.h"

namespace {

sockaddr_in6 At(const Ipv6Bytes& address, std::uint16_t portHost, unsigned scopeId) {
    sockaddr_in6 sa = Ipv6SocketAddress(address, htons(portHost));
    sa.sin6_scope_id = scopeId;
    return sa;
}

}  // namespace

bool CUdp6Socket::Open(const Ipv6Bytes& local, unsigned scopeId) {
    Close();
    const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    const int on = 1;
    const sockaddr_in6 sa = At(local, 0, scopeId);
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return false;
    }
    m_socket = fd;
    m_scopeId = scopeId;
    return true;
}

void CUdp6Socket::Close() {
    if (m_socket != kInvalidSocket)
        ::close(m_socket);
    m_socket = kInvalidSocket;
}

std::uint16_t CUdp6Socket::LocalPort() const {
    sockaddr_in6 sa{};
    socklen_t len = sizeof sa;
    if (m_socket == kInvalidSocket ||
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        return 0;
    }
    return ntohs(sa.sin6_port);
}

bool CUdp6Socket::SendTo(const Ipv6Endpoint& to, std::span<const std::uint8_t> bytes) {
    if (m_socket == kInvalidSocket)
        return false;
    // The interface's index goes with a link-local destination only; a global one needs none.
    const sockaddr_in6 sa = At(to.address, to.port, IsIpv6LinkLocal(to.address) ? m_scopeId : 0);
    return ::sendto(m_socket, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&sa),
                    sizeof sa) >= 0;
}

long CUdp6Socket::Receive(int waitMs, std::span<std::uint8_t> buf, Ipv6Endpoint& from) {
    if (m_socket == kInvalidSocket)
        return -1;
    pollfd p{m_socket, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0)
        return -1;
    sockaddr_in6 sa{};
    socklen_t len = sizeof sa;
    const ssize_t n =
        ::recvfrom(m_socket, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0 || sa.sin6_family != AF_INET6)
        return -1;
    std::memcpy(from.address.data(), &sa.sin6_addr, from.address.size());
    from.port = ntohs(sa.sin6_port);
    return static_cast<long>(n);
}
