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

SocketHandle OpenUdpSocket(std::uint16_t portHost, bool broadcast) {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return kInvalidSocket;
    if (broadcast) {
        const int on = 1;
        if (::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
            ::close(s);
            return kInvalidSocket;
        }
    }
    const sockaddr_in local = Ipv4SocketAddress(htonl(INADDR_ANY), htons(portHost));
    if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(s);
        return kInvalidSocket;
    }
    // A send never blocks a worker for more than a second.
    const timeval sendTimeout{1, 0};
    if (::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout) != 0) {
        ::close(s);
        return kInvalidSocket;
    }
    return s;
}

void CloseSocket(SocketHandle s) {
    if (s != kInvalidSocket)
        ::close(s);
}

std::uint16_t SocketLocalPort(SocketHandle s) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) {
        return 0;
    }
    return ntohs(sa.sin_port);
}

bool SendDatagramTo(SocketHandle s, const std::uint8_t* bytes, std::size_t len,
                    std::uint32_t addrNet, std::uint16_t portNet, int writableWaitUs) {
    if (!SendAllowed(bytes, len, addrNet))
        return false;
    pollfd p{s, POLLOUT, 0};
    (void)::poll(&p, 1,
                 PollWaitMs(writableWaitUs));  // the outcome does not matter: the send decides
    const sockaddr_in to = Ipv4SocketAddress(addrNet, portNet);
    const ssize_t n = ::sendto(s, bytes, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return n >= 0;
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
