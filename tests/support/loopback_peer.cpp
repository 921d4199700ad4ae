#include "tests/support/loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/sockaddr_ipv4.h"

// The peer's POSIX calls; loopback_peer_shared.cpp holds the rest.

namespace gwtest {

using std::chrono::milliseconds;

LoopbackPeer::Descriptor::~Descriptor() {
    if (m_fd >= 0)
        ::close(m_fd);
}

LoopbackPeer::LoopbackPeer() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in sa = Ipv4SocketAddress(LoopbackNet(), 0);
    socklen_t len = sizeof sa;
    if (m_fd.Get() >= 0 && ::bind(m_fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        ::getsockname(m_fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
        m_port = ntohs(sa.sin_port);
    }
}

bool LoopbackPeer::SendTo(std::uint16_t portHost, const std::uint8_t* bytes,
                          std::size_t len) const {
    const sockaddr_in to = Ipv4SocketAddress(LoopbackNet(), htons(portHost));
    return ::sendto(m_fd.Get(), bytes, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(len);
}

std::optional<Datagram> LoopbackPeer::Receive(milliseconds timeout) const {
    pollfd p{m_fd.Get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return std::nullopt;
    std::uint8_t buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(m_fd.Get(), buf, sizeof buf, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0)
        return std::nullopt;
    return Datagram{Bytes(buf, buf + n), ntohs(from.sin_port)};
}

}  // namespace gwtest
