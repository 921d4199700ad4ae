#include "net/socket_layer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

#include "core/win_util.h"
#include "net/socket_layer_shared.h"

using socket_layer::PollWaitMs;
using socket_layer::SendAllowed;
using socket_layer::SendAllowed6;
using socket_layer::SenderOf;

bool SocketLayerStartup(SocketLayerInfo& info) {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    info.description = data.szDescription;
    info.status = data.szSystemStatus;
    info.versionLow = LOBYTE(data.wVersion);
    info.versionHigh = HIBYTE(data.wVersion);
    info.highestLow = LOBYTE(data.wHighVersion);
    info.highestHigh = HIBYTE(data.wHighVersion);
    return true;
}

void SocketLayerCleanup() {
    ::WSACleanup();
}

namespace {

// A non-blocking UDP socket of family bound to local (any address, the port asked for); IPv6
// ones take IPv6 alone.
SocketHandle OpenBound(int family, const sockaddr* local, int localLen, bool broadcast) {
    const SOCKET s = OpenNonBlockingUdpSocket(family);
    if (s == INVALID_SOCKET)
        return kInvalidSocket;
    // Nobody else may take the port over with SO_REUSEADDR, as on Linux.
    const BOOL on = TRUE;
    (void)::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                       sizeof on);
    const DWORD v6only = 1;
    const bool optionsSet =
        (!broadcast || ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
                                    sizeof on) == 0) &&
        (family != AF_INET6 ||
         ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6only),
                      sizeof v6only) == 0);
    if (!optionsSet || ::bind(s, local, localLen) != 0) {
        ::closesocket(s);
        return kInvalidSocket;
    }
    return HandleOf(s);
}

// A non-blocking socket, so the wait for room stands in for POSIX's one-second send time-out
// (the outcome does not matter: the send decides).
bool SendAfterWait(SocketHandle s, const std::uint8_t* bytes, std::size_t len, const sockaddr* to,
                   int toLen, int writableWaitUs) {
    WSAPOLLFD p{SocketOf(s), POLLWRNORM, 0};
    (void)::WSAPoll(&p, 1, PollWaitMs(writableWaitUs));
    return ::sendto(SocketOf(s), reinterpret_cast<const char*>(bytes), static_cast<int>(len), 0, to,
                    toLen) != SOCKET_ERROR;
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
        ::closesocket(SocketOf(s));
}

std::uint16_t SocketLocalPort(SocketHandle s) {
    sockaddr_storage sa{};
    int len = sizeof sa;
    DatagramSender local;
    if (::getsockname(SocketOf(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        !SenderOf(sa, local))
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
    m_readEnd = HandleOf(OpenLoopbackWakeSocket());
    m_writeEnd = m_readEnd;  // one socket: Signal sends to itself
}

CReadWakeup::~CReadWakeup() {
    if (m_readEnd >= 0)
        ::closesocket(SocketOf(m_readEnd));  // both ends are this one socket
}

void CReadWakeup::Signal() {
    if (m_writeEnd < 0)
        return;
    const char one = 1;
    // WSAEWOULDBLOCK means the buffer is full, so a wait will end anyway.
    (void)::send(SocketOf(m_writeEnd), &one, sizeof one, 0);
}

void CReadWakeup::Drain() {
    char buf[64];
    // Bounded: at most a receive buffer's worth of one-byte datagrams can be waiting.
    for (int i = 0; i < 65536 && ::recv(SocketOf(m_readEnd), buf, sizeof buf, 0) >= 0; ++i) {
    }
}

bool socket_layer::PollReadable(const std::vector<SocketHandle>& handles, int timeoutMs,
                                std::vector<bool>& readable) {
    std::vector<WSAPOLLFD> fds;
    fds.reserve(handles.size());
    // POLLRDNORM, not POLLIN: WSAPoll refuses POLLPRI, which POLLIN includes.
    for (SocketHandle handle : handles)
        fds.push_back(WSAPOLLFD{SocketOf(handle), POLLRDNORM, 0});
    if (::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs) <= 0)
        return false;
    readable.clear();
    for (const WSAPOLLFD& p : fds)
        readable.push_back((p.revents & (POLLRDNORM | POLLERR)) != 0);
    return true;
}

namespace {

// recvfrom into buf; a datagram longer than buf is read as Linux does (its first cap bytes):
// Winsock fails the call after filling buf.
long ReceiveInto(SocketHandle s, std::uint8_t* buf, std::size_t cap, sockaddr_storage& from) {
    int fromLen = sizeof from;
    const int capInt = static_cast<int>(std::min<std::size_t>(cap, 65535));
    const int n = ::recvfrom(SocketOf(s), reinterpret_cast<char*>(buf), capInt, 0,
                             reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n != SOCKET_ERROR)
        return n;
    return ::WSAGetLastError() == WSAEMSGSIZE ? capInt : -1;
}

}  // namespace

long ReceiveDatagram(SocketHandle s, std::uint8_t* buf, std::size_t cap, std::uint32_t& fromAddrNet,
                     std::uint16_t& fromPortNet) {
    sockaddr_storage from{};
    const long n = ReceiveInto(s, buf, cap, from);
    if (n < 0)
        return -1;
    sockaddr_in v4{};
    std::memcpy(&v4, &from, sizeof v4);
    SenderOf(v4, fromAddrNet, fromPortNet);
    return n;
}

long ReceiveDatagramFrom(SocketHandle s, std::uint8_t* buf, std::size_t cap, DatagramSender& from) {
    sockaddr_storage sa{};
    const long n = ReceiveInto(s, buf, cap, sa);
    if (n < 0)
        return -1;
    SenderOf(sa, from);
    return n;
}
