#include "standard/stun_sockets.h"

#include <algorithm>

#include "net/messages.h"

namespace {

// Datagrams read from one socket per wake-up at most, so a flood on one socket cannot keep the
// runner from its deadlines.
constexpr int kReadsPerWait = 32;
// A send waits this long at most for room in the socket's buffer.
constexpr int kWritableWaitUs = 1000;

}  // namespace

CStunSockets::CStunSockets() = default;

CStunSockets::~CStunSockets() {
    for (const Open_& o : m_open)
        CloseSocket(o.handle);
}

int CStunSockets::Open(Endpoint::Family family) {
    const SocketHandle h =
        family == Endpoint::Family::Ipv4 ? OpenUdpSocket(0, false) : OpenUdpSocketIpv6(0);
    if (h == kInvalidSocket)
        return -1;
    m_open.push_back({m_nextId, h, family});
    return m_nextId++;
}

SocketHandle CStunSockets::HandleOf(int socketId) const {
    const auto it = std::find_if(m_open.begin(), m_open.end(),
                                 [socketId](const Open_& o) { return o.id == socketId; });
    return it == m_open.end() ? kInvalidSocket : it->handle;
}

bool CStunSockets::Send(int socketId, const Endpoint& to, std::span<const std::uint8_t> bytes) {
    const auto it = std::find_if(m_open.begin(), m_open.end(),
                                 [socketId](const Open_& o) { return o.id == socketId; });
    if (it == m_open.end() || it->family != to.family)
        return false;
    if (to.IsIpv4())
        return SendDatagramTo(it->handle, bytes.data(), bytes.size(), to.Ipv4Address(),
                              NetPort(to.port), kWritableWaitUs);
    return SendDatagramTo6(it->handle, bytes.data(), bytes.size(), to.address, NetPort(to.port),
                           kWritableWaitUs);
}

void CStunSockets::Close(int socketId) {
    const auto it = std::find_if(m_open.begin(), m_open.end(),
                                 [socketId](const Open_& o) { return o.id == socketId; });
    if (it == m_open.end())
        return;
    CloseSocket(it->handle);
    m_open.erase(it);
}

std::uint16_t CStunSockets::LocalPort(int socketId) const {
    const SocketHandle h = HandleOf(socketId);
    return h == kInvalidSocket ? 0 : SocketLocalPort(h);
}

void CStunSockets::Wait(int timeoutMs, const DatagramFn& onDatagram) {
    std::vector<SocketHandle> handles;
    for (const Open_& o : m_open)
        handles.push_back(o.handle);
    const std::vector<SocketHandle> readable =
        WaitReadable(handles, std::max(timeoutMs, 0), &m_wakeup);
    // The handler may close sockets (a test ends): each one is looked up again before reading.
    for (const SocketHandle h : readable) {
        for (int k = 0; k < kReadsPerWait; ++k) {
            const auto it = std::find_if(m_open.begin(), m_open.end(),
                                         [h](const Open_& o) { return o.handle == h; });
            if (it == m_open.end())
                break;
            std::uint8_t buf[1500];
            DatagramSender from;
            const long n = ReceiveDatagramFrom(h, buf, sizeof buf, from);
            if (n < 0)
                break;  // drained; ICMP errors (ECONNREFUSED) count as nothing arrived
            Endpoint sender = Endpoint::Ipv6(from.address, HostPort(from.portNet));
            if (!from.ipv6)
                sender.family = Endpoint::Family::Ipv4;  // its address in the first four bytes
            onDatagram(it->id, sender, {buf, static_cast<std::size_t>(n)});
        }
    }
}
