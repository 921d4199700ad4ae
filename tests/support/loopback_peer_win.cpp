#include "tests/support/loopback_peer.h"

#include "core/win_util.h"

// Winsock twin of loopback_peer.cpp: the same peer for the suites built for Windows.

namespace gwtest {

using std::chrono::milliseconds;

std::uint32_t LoopbackNet() {
    return htonl(INADDR_LOOPBACK);
}

LoopbackPeer::Descriptor::~Descriptor() {
    if (m_fd >= 0)
        ::closesocket(SocketOf(m_fd));
}

LoopbackPeer::LoopbackPeer() : m_fd(HandleOf(OpenNonBlockingUdpSocket())) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = LoopbackNet();
    int len = sizeof sa;
    const SOCKET s = SocketOf(m_fd.Get());
    if (m_fd.Get() >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
        m_port = ntohs(sa.sin_port);
    }
}

std::uint16_t LoopbackPeer::PortNet() const {
    return htons(m_port);
}

bool LoopbackPeer::SendTo(std::uint16_t portHost, const std::uint8_t* bytes,
                          std::size_t len) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = LoopbackNet();
    to.sin_port = htons(portHost);
    return ::sendto(SocketOf(m_fd.Get()), reinterpret_cast<const char*>(bytes),
                    static_cast<int>(len), 0, reinterpret_cast<sockaddr*>(&to),
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

std::vector<Datagram> LoopbackPeer::ReceiveAll(milliseconds window) const {
    std::vector<Datagram> got;
    const auto end = std::chrono::steady_clock::now() + window;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (auto d = Receive(left))
            got.push_back(std::move(*d));
    }
    return got;
}

}  // namespace gwtest
