#include "tests/support/loopback_peer.h"

#include "core/sockaddr_ipv4.h"
#include "core/win_util.h"

// Winsock twin of loopback_peer.cpp: the same peer's calls for the suites built for Windows.

namespace gwtest {

using std::chrono::milliseconds;

LoopbackPeer::Descriptor::~Descriptor() {
    if (m_fd >= 0)
        ::closesocket(SocketOf(m_fd));
}

LoopbackPeer::LoopbackPeer() : m_fd(HandleOf(OpenNonBlockingUdpSocket())) {
    sockaddr_in sa = Ipv4SocketAddress(LoopbackNet(), 0);
    int len = sizeof sa;
    const SOCKET s = SocketOf(m_fd.Get());
    if (m_fd.Get() >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
        m_port = ntohs(sa.sin_port);
    }
}

bool LoopbackPeer::SendTo(std::uint16_t portHost, const std::uint8_t* bytes,
                          std::size_t len) const {
    const sockaddr_in to = Ipv4SocketAddress(LoopbackNet(), htons(portHost));
    return ::sendto(SocketOf(m_fd.Get()), reinterpret_cast<const char*>(bytes),
                    static_cast<int>(len), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<int>(len);
}

std::optional<Datagram> LoopbackPeer::Receive(milliseconds timeout) const {
    WSAPOLLFD p{SocketOf(m_fd.Get()), POLLRDNORM, 0};
    if (::WSAPoll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return std::nullopt;
    char buf[2048];
    sockaddr_in from{};
    int len = sizeof from;
    const int n = ::recvfrom(SocketOf(m_fd.Get()), buf, sizeof buf, 0,
                             reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0)
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(buf);
    return Datagram{Bytes(bytes, bytes + n), ntohs(from.sin_port)};
}

}  // namespace gwtest
