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

// A UDP socket of family bound to local (an address or any, the port asked for), with a 1000 ms
// send time-out; IPv6 ones take IPv6 alone.
SocketHandle socket_layer::OpenBound(int family, const sockaddr* local, int localLen,
                                     bool broadcast) {
    const int s = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return kInvalidSocket;
    const int on = 1;
    const bool optionsSet =
        (!broadcast || ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0) &&
        (family != AF_INET6 || ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0);
    // A send never blocks a worker for more than a second.
    const timeval sendTimeout{1, 0};
    if (!optionsSet || ::bind(s, local, static_cast<socklen_t>(localLen)) != 0 ||
        ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout) != 0) {
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
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    DatagramSender local;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || !SenderOf(sa, local))
        return 0;
    return ntohs(local.portNet);
}

bool socket_layer::SendAfterWait(SocketHandle s, const std::uint8_t* bytes, std::size_t len,
                                 const sockaddr* to, int toLen, int writableWaitUs) {
    pollfd p{s, POLLOUT, 0};
    (void)::poll(&p, 1,
                 PollWaitMs(writableWaitUs));  // the outcome does not matter: the send decides
    return ::sendto(s, bytes, len, 0, to, static_cast<socklen_t>(toLen)) >= 0;
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

long socket_layer::ReceiveFrom(SocketHandle s, std::uint8_t* buf, std::size_t cap,
                               sockaddr_storage& from) {
    socklen_t fromLen = sizeof from;
    // Non-blocking: a datagram announced by poll may still be discarded (bad checksum), and the
    // receive thread must never block where Stop cannot reach it.
    const ssize_t n =
        ::recvfrom(s, buf, cap, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
    return n < 0 ? -1 : static_cast<long>(n);
}
