#include "tests/support/loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

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
    const int on = 1;
    if (m_fd.Get() >= 0)
        ::setsockopt(m_fd.Get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
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
    iovec iov{buf, sizeof buf};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr mh{};
    mh.msg_name = &from;
    mh.msg_namelen = sizeof from;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(m_fd.Get(), &mh, MSG_DONTWAIT);
    if (n < 0)
        return std::nullopt;
    Datagram d{Bytes(buf, buf + n), ntohs(from.sin_port)};
    for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts{};
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            d.arrived = std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
        }
    }
    return d;
}

}  // namespace gwtest
