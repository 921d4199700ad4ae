#include "tests/support/loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace gwtest {

using std::chrono::milliseconds;

std::uint32_t LoopbackNet() {
    return htonl(INADDR_LOOPBACK);
}

LoopbackPeer::Descriptor::~Descriptor() {
    if (m_fd >= 0)
        ::close(m_fd);
}

LoopbackPeer::LoopbackPeer() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = LoopbackNet();
    socklen_t len = sizeof sa;
    if (m_fd.Get() >= 0 && ::bind(m_fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        ::getsockname(m_fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
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
    return ::sendto(m_fd.Get(), bytes, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
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
