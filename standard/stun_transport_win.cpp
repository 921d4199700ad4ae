#include "standard/stun_transport_posix.h"

#include <algorithm>

#include "core/sockaddr_ipv4.h"
#include "core/win_util.h"

// Winsock 2 twin of stun_transport_posix.cpp. Socket ids are the sockets as ints
// (net/socket_handle.h says why that is lossless); the wake-up is a loopback socket connected to
// itself, so m_wakeRead and m_wakeWrite are one socket.

namespace {

// Datagrams read from one socket per wake-up at most, so a flood on one socket cannot keep the
// runner from its deadlines.
constexpr int kReadsPerWait = 32;

}  // namespace

CStunSockets::CStunSockets() {
    m_wakeRead = HandleOf(OpenLoopbackWakeSocket());
    m_wakeWrite = m_wakeRead;
}

CStunSockets::~CStunSockets() {
    for (int id : m_open)
        ::closesocket(SocketOf(id));
    if (m_wakeRead >= 0)
        ::closesocket(SocketOf(m_wakeRead));
}

int CStunSockets::Open() {
    const SOCKET s = OpenNonBlockingUdpSocket();
    if (s == INVALID_SOCKET)
        return -1;
    const sockaddr_in local = Ipv4SocketAddress(htonl(INADDR_ANY), 0);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::closesocket(s);
        return -1;
    }
    m_open.push_back(HandleOf(s));
    return m_open.back();
}

bool CStunSockets::Send(int socketId, const Ipv4Endpoint& to, std::span<const std::uint8_t> bytes) {
    if (std::find(m_open.begin(), m_open.end(), socketId) == m_open.end() || bytes.size() > 65535)
        return false;
    const sockaddr_in dst = Ipv4SocketAddress(to.address, htons(to.port));
    const int n = ::sendto(SocketOf(socketId), reinterpret_cast<const char*>(bytes.data()),
                           static_cast<int>(bytes.size()), 0,
                           reinterpret_cast<const sockaddr*>(&dst), sizeof dst);
    return n == static_cast<int>(bytes.size());
}

void CStunSockets::Close(int socketId) {
    const auto it = std::find(m_open.begin(), m_open.end(), socketId);
    if (it == m_open.end())
        return;
    m_open.erase(it);
    ::closesocket(SocketOf(socketId));
}

std::uint16_t CStunSockets::LocalPort(int socketId) const {
    sockaddr_in local{};
    int len = sizeof local;
    if (::getsockname(SocketOf(socketId), reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return 0;
    return ntohs(local.sin_port);
}

void CStunSockets::Wait(int timeoutMs, const DatagramFn& onDatagram) {
    // POLLRDNORM, not POLLIN: WSAPoll refuses POLLPRI, which POLLIN includes.
    std::vector<WSAPOLLFD> fds;
    if (m_wakeRead >= 0)
        fds.push_back({SocketOf(m_wakeRead), POLLRDNORM, 0});
    const std::size_t firstSocket = fds.size();
    for (int id : m_open)
        fds.push_back({SocketOf(id), POLLRDNORM, 0});
    if (fds.empty()) {
        // WSAPoll fails at once on an empty set; a wait with nothing to wait for still waits.
        ::Sleep(static_cast<DWORD>(std::max(timeoutMs, 0)));
        return;
    }
    if (::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), std::max(timeoutMs, 0)) <= 0)
        return;
    if (firstSocket == 1 && fds[0].revents != 0) {
        char drain[64];
        // Bounded: at most a receive buffer's worth of one-byte datagrams can be waiting.
        for (int i = 0; i < 65536 && ::recv(fds[0].fd, drain, sizeof drain, 0) >= 0; ++i) {
        }
    }
    // The handler may close sockets (a test ends); each socket is checked before reading.
    for (std::size_t i = firstSocket; i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLRDNORM | POLLERR)) == 0)
            continue;
        const int id = HandleOf(fds[i].fd);
        for (int k = 0; k < kReadsPerWait; ++k) {
            if (std::find(m_open.begin(), m_open.end(), id) == m_open.end())
                break;
            char buf[1500];
            sockaddr_in from{};
            int len = sizeof from;
            int n =
                ::recvfrom(fds[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            // A longer datagram fills buf and fails; POSIX hands over its first 1500 bytes.
            if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEMSGSIZE)
                n = sizeof buf;
            if (n < 0)
                break;  // WSAEWOULDBLOCK: drained; ICMP errors count as nothing arrived
            onDatagram(id, {from.sin_addr.s_addr, ntohs(from.sin_port)},
                       {reinterpret_cast<const std::uint8_t*>(buf), static_cast<std::size_t>(n)});
        }
    }
}

void CStunSockets::Wake() {
    if (m_wakeWrite < 0)
        return;
    const char one = 1;
    // WSAEWOULDBLOCK means the buffer is full, so a wait will end anyway.
    (void)::send(SocketOf(m_wakeWrite), &one, 1, 0);
}
