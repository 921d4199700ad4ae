#include "server/udp_io.h"

#include <algorithm>
#include <cstring>

#include "core/sockaddr_ipv4.h"
#include "core/win_util.h"
#include "net/address_text.h"

// Winsock 2 twin of udp_io.cpp. Windows has no recvmmsg/sendmmsg, so a batch is a loop of
// single non-blocking calls; no SO_REUSEPORT either: workers share a port with SO_REUSEADDR, and
// the system hands each datagram to one of their sockets (the others' workers then idle).

namespace {

// 4 MiB each way: enough for a burst of small datagrams while a worker is busy.
constexpr int kSocketBufferBytes = 4 << 20;

std::string LastError() {
    return SystemErrorText(static_cast<DWORD>(::WSAGetLastError()));
}

}  // namespace

int OpenBoundUdpSocket(int family, const sockaddr* sa, int saLength, const std::string& name,
                       bool reusePort, std::string& error) {
    const SOCKET s = OpenNonBlockingUdpSocket(family);
    if (s == INVALID_SOCKET) {
        error = "socket: " + LastError();
        return -1;
    }
    const BOOL one = TRUE;
    if (reusePort && ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one),
                                  sizeof one) != 0) {
        error = "SO_REUSEADDR: " + LastError();
        ::closesocket(s);
        return -1;
    }
    const DWORD v6only = 1;
    if (family == AF_INET6 &&
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6only),
                     sizeof v6only) != 0) {
        error = "IPV6_V6ONLY: " + LastError();
        ::closesocket(s);
        return -1;
    }
    const int size = kSocketBufferBytes;
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
    if (::bind(s, sa, saLength) != 0) {
        error = "bind " + name + ": " + LastError();
        ::closesocket(s);
        return -1;
    }
    return HandleOf(s);
}

void CloseUdpSocket(int fd) {
    if (fd >= 0)
        ::closesocket(SocketOf(fd));
}

std::uint16_t LocalPortOf(int fd) {
    UdpPeerAddress sa{};
    int len = sizeof sa;
    if (::getsockname(SocketOf(fd), &sa.any, &len) != 0)
        return 0;
    return ntohs(sa.any.sa_family == AF_INET6 ? sa.v6.sin6_port : sa.v4.sin_port);
}

CRecvBatch::CRecvBatch() : m_buffers{}, m_from{}, m_lengths{}, m_truncated{} {}

int CRecvBatch::Receive(int fd) {
    int n = 0;
    // Bounded by the batch: a datagram refused with an ICMP error (where that is still
    // reported) is skipped, the loop still ends after kIoBatch calls.
    for (int call = 0; call < kIoBatch && n < kIoBatch; ++call) {
        int fromLen = sizeof m_from[n];
        const int got = ::recvfrom(SocketOf(fd), reinterpret_cast<char*>(m_buffers[n]),
                                   static_cast<int>(kMaxDatagram), 0, &m_from[n].any, &fromLen);
        if (got >= 0) {
            m_lengths[n] = static_cast<std::size_t>(got);
            m_truncated[n] = false;
            ++n;
            continue;
        }
        const int err = ::WSAGetLastError();
        if (err == WSAEMSGSIZE) {
            // Longer than kMaxDatagram: the buffer is full and the rest is lost, as with MSG_TRUNC.
            m_lengths[n] = kMaxDatagram;
            m_truncated[n] = true;
            ++n;
        } else if (err != WSAECONNRESET) {
            break;  // WSAEWOULDBLOCK: nothing more queued
        }
    }
    return n;
}

CSendBatch::CSendBatch() : m_buffers{}, m_to{}, m_toLengths{}, m_lengths{} {}

void CSendBatch::Queue(const UdpPeerAddress& to, int toLength, const std::uint8_t* data,
                       std::size_t len) {
    if (m_count == kIoBatch || len > sizeof m_buffers[0])
        return;
    const int i = m_count++;
    std::memcpy(m_buffers[i], data, len);
    m_to[i] = to;
    m_toLengths[i] = toLength;
    m_lengths[i] = len;
}

int CSendBatch::Flush(int fd) {
    int failed = 0;
    for (int i = 0; i < m_count; ++i) {
        const int n = ::sendto(SocketOf(fd), reinterpret_cast<const char*>(m_buffers[i]),
                               static_cast<int>(m_lengths[i]), 0, &m_to[i].any, m_toLengths[i]);
        if (n == SOCKET_ERROR)
            ++failed;  // e.g. unreachable destination: drop that one, keep the rest
    }
    m_count = 0;
    return failed;
}

// Never drained: once signalled, every later wait sees it at once.
CWakeup::CWakeup() : m_fd(HandleOf(OpenLoopbackWakeSocket())) {}

CWakeup::~CWakeup() {
    if (m_fd >= 0)
        ::closesocket(SocketOf(m_fd));
}

void CWakeup::Signal() {
    if (m_fd < 0)
        return;
    const char one = 1;
    (void)::send(SocketOf(m_fd), &one, sizeof one, 0);
}

CReadyWaiter::CReadyWaiter(const int* fds, int count, const CWakeup& wakeup)
    : m_fds(fds, fds + count), m_wakeFd(wakeup.Fd()), m_count(count) {}

CReadyWaiter::~CReadyWaiter() = default;

bool CReadyWaiter::Wait(bool* readable, int timeoutMs) {
    for (int i = 0; i < m_count; ++i)
        readable[i] = false;
    if (m_wakeFd < 0)
        return false;
    // POLLRDNORM, not POLLIN: WSAPoll refuses POLLPRI, which POLLIN includes. Closed slots (-1)
    // stay out of the set: poll skips a negative fd, but not every WSAPoll skips INVALID_SOCKET.
    std::vector<WSAPOLLFD> polled;
    std::vector<int> slotOf;  // polled[k] is fds[slotOf[k]]
    polled.reserve(m_fds.size() + 1);
    for (std::size_t i = 0; i < m_fds.size(); ++i) {
        if (m_fds[i] < 0)
            continue;
        polled.push_back({SocketOf(m_fds[i]), POLLRDNORM, 0});
        slotOf.push_back(static_cast<int>(i));
    }
    polled.push_back({SocketOf(m_wakeFd), POLLRDNORM, 0});
    const int n = ::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), timeoutMs);
    if (n == SOCKET_ERROR)
        return false;
    if (polled.back().revents != 0)
        return false;
    for (std::size_t k = 0; k < slotOf.size(); ++k)
        readable[slotOf[k]] = polled[k].revents != 0;
    return true;
}
