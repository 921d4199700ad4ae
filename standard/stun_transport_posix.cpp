#include "standard/stun_transport_posix.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/sockaddr_ipv4.h"

namespace {

// Datagrams read from one socket per wake-up at most, so a flood on one socket cannot keep the
// runner from its deadlines.
constexpr int kReadsPerWait = 32;

}  // namespace

CStunSockets::CStunSockets() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        m_wakeRead = fds[0];
        m_wakeWrite = fds[1];
    }
}

CStunSockets::~CStunSockets() {
    for (int fd : m_open)
        ::close(fd);
    if (m_wakeRead >= 0)
        ::close(m_wakeRead);
    if (m_wakeWrite >= 0)
        ::close(m_wakeWrite);
}

int CStunSockets::Open() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const sockaddr_in local = Ipv4SocketAddress(htonl(INADDR_ANY), 0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    m_open.push_back(fd);
    return fd;
}

bool CStunSockets::Send(int socketId, const Ipv4Endpoint& to, std::span<const std::uint8_t> bytes) {
    if (std::find(m_open.begin(), m_open.end(), socketId) == m_open.end())
        return false;
    const sockaddr_in dst = Ipv4SocketAddress(to.address, htons(to.port));
    const ssize_t n = ::sendto(socketId, bytes.data(), bytes.size(), 0,
                               reinterpret_cast<const sockaddr*>(&dst), sizeof dst);
    return n == static_cast<ssize_t>(bytes.size());
}

void CStunSockets::Close(int socketId) {
    const auto it = std::find(m_open.begin(), m_open.end(), socketId);
    if (it == m_open.end())
        return;
    m_open.erase(it);
    ::close(socketId);
}

std::uint16_t CStunSockets::LocalPort(int socketId) const {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(socketId, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return 0;
    return ntohs(local.sin_port);
}

void CStunSockets::Wait(int timeoutMs, const DatagramFn& onDatagram) {
    std::vector<pollfd> fds;
    fds.push_back({m_wakeRead, POLLIN, 0});
    for (int fd : m_open)
        fds.push_back({fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), std::max(timeoutMs, 0)) <= 0)
        return;
    if (fds[0].revents != 0) {
        std::uint8_t drain[64];
        while (::read(m_wakeRead, drain, sizeof drain) > 0) {
        }
    }
    // The handler may close sockets (a test ends); each descriptor is checked before reading.
    for (std::size_t i = 1; i < fds.size(); ++i) {
        if ((fds[i].revents & POLLIN) == 0)
            continue;
        for (int k = 0; k < kReadsPerWait; ++k) {
            if (std::find(m_open.begin(), m_open.end(), fds[i].fd) == m_open.end())
                break;
            std::uint8_t buf[1500];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n =
                ::recvfrom(fds[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0)
                break;  // EAGAIN: drained; ICMP errors (ECONNREFUSED) count as nothing arrived
            onDatagram(fds[i].fd, {from.sin_addr.s_addr, ntohs(from.sin_port)},
                       {buf, static_cast<std::size_t>(n)});
        }
    }
}

void CStunSockets::Wake() {
    const std::uint8_t one = 1;
    const ssize_t ignored = ::write(m_wakeWrite, &one, 1);
    (void)ignored;
}
