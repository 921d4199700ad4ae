#include "net/socket_layer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "net/socket_layer_shared.h"

using socket_layer::PollWaitMs;
using socket_layer::SendAllowed;
using socket_layer::SendAllowed6;
using socket_layer::SenderOf;

namespace {

// Our own layer has no versions of its own to negotiate; it reports 1.0 as both in use and highest.
constexpr int kLayerMajor = 1;
constexpr int kLayerMinor = 0;

}  // namespace

bool SocketLayerStartup(SocketLayerInfo& info) {
    utsname u{};
    std::string release = "unknown";
    if (uname(&u) == 0)
        release = u.release;
    info.description = "POSIX sockets on Linux " + release;
    info.status = "Running";
    info.versionLow = kLayerMajor;
    info.versionHigh = kLayerMinor;
    info.highestLow = kLayerMajor;
    info.highestHigh = kLayerMinor;
    return true;
}

void SocketLayerCleanup() {}

namespace {

// A UDP socket of family bound to local (any address, the port asked for), with a 1000 ms send
// time-out; IPv6 ones take IPv6 alone.
SocketHandle OpenBound(int family, const sockaddr* local, socklen_t localLen, bool broadcast) {
    const int s = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return kInvalidSocket;
    const int on = 1;
    const bool optionsSet =
        (!broadcast || ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0) &&
        (family != AF_INET6 || ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0);
    // A send never blocks a worker for more than a second.
    const timeval sendTimeout{1, 0};
    if (!optionsSet || ::bind(s, local, localLen) != 0 ||
        ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout) != 0) {
        ::close(s);
        return kInvalidSocket;
    }
    return s;
}

// Waits up to writableWaitUs for room in s's buffer (the outcome does not matter: the send
// decides), then sends.
bool SendAfterWait(SocketHandle s, const std::uint8_t* bytes, std::size_t len, const sockaddr* to,
                   socklen_t toLen, int writableWaitUs) {
    pollfd p{s, POLLOUT, 0};
    (void)::poll(&p, 1, PollWaitMs(writableWaitUs));
    return ::sendto(s, bytes, len, 0, to, toLen) >= 0;
}

}  // namespace

SocketHandle OpenUdpSocket(std::uint16_t portHost, bool broadcast) {
    const sockaddr_in local = Ipv4SocketAddress(htonl(INADDR_ANY), htons(portHost));
    return OpenBound(AF_INET, reinterpret_cast<const sockaddr*>(&local), sizeof local, broadcast);
}

SocketHandle OpenUdpSocketIpv6(std::uint16_t portHost) {
    const sockaddr_in6 local = Ipv6SocketAddress({}, htons(portHost));
    return OpenBound(AF_INET6, reinterpret_cast<const sockaddr*>(&local), sizeof local, false);
}

void CloseSocket(SocketHandle s) {
    if (s != kInvalidSocket)
        ::close(s);
}

std::uint16_t SocketLocalPort(SocketHandle s) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    DatagramSender local;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || !SenderOf(sa, local))
        return 0;
    return ntohs(local.portNet);
}

bool SendDatagramTo(SocketHandle s, const std::uint8_t* bytes, std::size_t len,
                    std::uint32_t addrNet, std::uint16_t portNet, int writableWaitUs) {
    if (!SendAllowed(bytes, len, addrNet))
        return false;
    const sockaddr_in to = Ipv4SocketAddress(addrNet, portNet);
    return SendAfterWait(s, bytes, len, reinterpret_cast<const sockaddr*>(&to), sizeof to,
                         writableWaitUs);
}

bool SendDatagramTo6(SocketHandle s, const std::uint8_t* bytes, std::size_t len,
                     const std::array<std::uint8_t, 16>& address, std::uint16_t portNet,
                     int writableWaitUs) {
    if (!SendAllowed6(bytes, len, address))
        return false;
    const sockaddr_in6 to = Ipv6SocketAddress(address, portNet);
    return SendAfterWait(s, bytes, len, reinterpret_cast<const sockaddr*>(&to), sizeof to,
                         writableWaitUs);
}

CReadWakeup::CReadWakeup() {
    int ends[2] = {-1, -1};
    if (::pipe(ends) != 0)
        return;
    for (int fd : ends) {
        // Non-blocking both ways: a full pipe is already signalled, an empty one drained.
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
            ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
            ::close(ends[0]);
            ::close(ends[1]);
            return;
        }
    }
    m_readEnd = ends[0];
    m_writeEnd = ends[1];
}

CReadWakeup::~CReadWakeup() {
    if (m_readEnd >= 0) {
        ::close(m_readEnd);
        ::close(m_writeEnd);
    }
}

void CReadWakeup::Signal() {
    if (m_writeEnd < 0)
        return;
    const std::uint8_t one = 1;
    // EAGAIN means the pipe is full, so a wait will end anyway.
    [[maybe_unused]] const ssize_t n = ::write(m_writeEnd, &one, sizeof one);
}

void CReadWakeup::Drain() {
    std::uint8_t buf[64];
    while (::read(m_readEnd, buf, sizeof buf) > 0) {
    }
}

bool socket_layer::PollReadable(const std::vector<SocketHandle>& handles, int timeoutMs,
                                std::vector<bool>& readable) {
    std::vector<pollfd> fds;
    fds.reserve(handles.size());
    for (SocketHandle fd : handles)
        fds.push_back(pollfd{fd, POLLIN, 0});
    // A failure such as EINTR counts as a time-out.
    if (::poll(fds.data(), fds.size(), timeoutMs) <= 0)
        return false;
    readable.clear();
    for (const pollfd& p : fds)
        readable.push_back((p.revents & (POLLIN | POLLERR)) != 0);
    return true;
}

long ReceiveDatagram(SocketHandle s, std::uint8_t* buf, std::size_t cap, std::uint32_t& fromAddrNet,
                     std::uint16_t& fromPortNet) {
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    // Non-blocking: a datagram announced by poll may still be discarded (bad checksum), and the
    // receive thread must never block where Stop cannot reach it.
    const ssize_t n =
        ::recvfrom(s, buf, cap, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0)
        return -1;
    SenderOf(from, fromAddrNet, fromPortNet);
    return static_cast<long>(n);
}

long ReceiveDatagramFrom(SocketHandle s, std::uint8_t* buf, std::size_t cap, DatagramSender& from) {
    sockaddr_storage sa{};
    socklen_t saLen = sizeof sa;
    const ssize_t n =
        ::recvfrom(s, buf, cap, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &saLen);
    if (n < 0)
        return -1;
    SenderOf(sa, from);
    return static_cast<long>(n);
}
