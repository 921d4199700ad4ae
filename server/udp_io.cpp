#include "server/udp_io.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/sockaddr_ipv4.h"
#include "net/address_text.h"

namespace {

// 4 MiB each way: enough for a burst of small datagrams while a worker is busy; the kernel caps
// it at net.core.rmem_max / wmem_max.
constexpr int kSocketBufferBytes = 4 << 20;
constexpr int kMaxWaitEvents = 16;
constexpr std::uint32_t kWakeupIndex = 0xFFFFFFFF;

}  // namespace

int OpenBoundUdpSocket(int family, const sockaddr* sa, int saLength, const std::string& name,
                       bool reusePort, std::string& error) {
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int one = 1;
    if (reusePort && ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
        error = std::string("SO_REUSEPORT: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (family == AF_INET6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0) {
        error = std::string("IPV6_V6ONLY: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    const int size = kSocketBufferBytes;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    if (::bind(fd, sa, static_cast<socklen_t>(saLength)) != 0) {
        error = "bind " + name + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

void CloseUdpSocket(int fd) {
    if (fd >= 0)
        ::close(fd);
}

std::uint16_t LocalPortOf(int fd) {
    UdpPeerAddress sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd, &sa.any, &len) != 0)
        return 0;
    return ntohs(sa.any.sa_family == AF_INET6 ? sa.v6.sin6_port : sa.v4.sin_port);
}

CRecvBatch::CRecvBatch() : m_buffers{}, m_from{}, m_iov{}, m_msgs{} {
    for (int i = 0; i < kIoBatch; ++i) {
        m_iov[i].iov_base = m_buffers[i];
        m_iov[i].iov_len = kMaxDatagram;
    }
}

int CRecvBatch::Receive(int fd) {
    for (int i = 0; i < kIoBatch; ++i) {
        m_msgs[i].msg_hdr = msghdr{};
        m_msgs[i].msg_hdr.msg_name = &m_from[i];
        m_msgs[i].msg_hdr.msg_namelen = sizeof m_from[i];
        m_msgs[i].msg_hdr.msg_iov = &m_iov[i];
        m_msgs[i].msg_hdr.msg_iovlen = 1;
        m_msgs[i].msg_len = 0;
    }
    const int n = ::recvmmsg(fd, m_msgs, kIoBatch, MSG_DONTWAIT, nullptr);
    return n < 0 ? 0 : n;
}

CSendBatch::CSendBatch() : m_buffers{}, m_to{}, m_toLengths{}, m_iov{}, m_msgs{} {}

void CSendBatch::Queue(const UdpPeerAddress& to, int toLength, const std::uint8_t* data,
                       std::size_t len) {
    if (m_count == kIoBatch || len > sizeof m_buffers[0])
        return;
    const int i = m_count++;
    std::memcpy(m_buffers[i], data, len);
    m_to[i] = to;
    m_toLengths[i] = toLength;
    m_iov[i].iov_base = m_buffers[i];
    m_iov[i].iov_len = len;
    m_msgs[i].msg_hdr = msghdr{};
    m_msgs[i].msg_hdr.msg_name = &m_to[i];
    m_msgs[i].msg_hdr.msg_namelen = static_cast<socklen_t>(toLength);
    m_msgs[i].msg_hdr.msg_iov = &m_iov[i];
    m_msgs[i].msg_hdr.msg_iovlen = 1;
}

int CSendBatch::Flush(int fd) {
    int done = 0;
    int failed = 0;
    // Each pass either sends at least one datagram or skips the one that failed, so this ends
    // after at most m_count passes.
    while (done < m_count) {
        const int n = ::sendmmsg(fd, m_msgs + done, static_cast<unsigned>(m_count - done), 0);
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            ++failed;  // e.g. unreachable destination: drop that one, keep the rest
            ++done;
        }
    }
    m_count = 0;
    return failed;
}

CWakeup::CWakeup() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CWakeup::~CWakeup() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void CWakeup::Signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_fd, &one, sizeof one);
}

CReadyWaiter::CReadyWaiter(const int* fds, int count, const CWakeup& wakeup)
    : m_epoll(::epoll_create1(EPOLL_CLOEXEC)), m_count(count) {
    if (m_epoll < 0)
        return;
    bool ok = true;
    for (int i = 0; i < count; ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<std::uint32_t>(i);
        ok = ok && ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fds[i], &ev) == 0;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = kWakeupIndex;
    ok = ok && ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, wakeup.Fd(), &ev) == 0;
    if (!ok) {
        ::close(m_epoll);
        m_epoll = -1;
    }
}

CReadyWaiter::~CReadyWaiter() {
    if (m_epoll >= 0)
        ::close(m_epoll);
}

bool CReadyWaiter::Wait(bool* readable, int timeoutMs) {
    for (int i = 0; i < m_count; ++i)
        readable[i] = false;
    if (m_epoll < 0)
        return false;
    epoll_event events[kMaxWaitEvents];
    const int n = ::epoll_wait(m_epoll, events, kMaxWaitEvents, timeoutMs);
    if (n < 0)
        return errno == EINTR;
    bool stop = false;
    for (int i = 0; i < n; ++i) {
        const std::uint32_t idx = events[i].data.u32;
        if (idx == kWakeupIndex) {
            stop = true;
        } else if (idx < static_cast<std::uint32_t>(m_count)) {
            readable[idx] = true;
        }
    }
    return !stop;
}
