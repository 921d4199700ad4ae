#include "net/socket_layer.h"

#include <cstring>

#include "net/socket_layer_shared.h"

// The parts of socket_layer.h no system is in; socket_layer.cpp (POSIX) or socket_layer_win.cpp
// holds the calls.

std::vector<SocketHandle> WaitReadable(const std::vector<SocketHandle>& sockets, int timeoutMs,
                                       CReadWakeup* wakeup) {
    std::vector<SocketHandle> ready;
    const bool wakeable = wakeup != nullptr && wakeup->Valid();
    if (sockets.empty() && !wakeable)
        return ready;
    // The wake-up end goes last, so the sockets keep their places.
    std::vector<SocketHandle> handles = sockets;
    if (wakeable)
        handles.push_back(wakeup->m_readEnd);
    std::vector<bool> readable;
    if (!socket_layer::PollReadable(handles, timeoutMs, readable))
        return ready;
    if (wakeable && readable.back())
        wakeup->Drain();
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        if (readable[i])
            ready.push_back(sockets[i]);
    }
    return ready;
}

SocketHandle OpenUdpSocket(std::uint16_t portHost, bool broadcast) {
    const sockaddr_in local = Ipv4SocketAddress(htonl(INADDR_ANY), htons(portHost));
    return socket_layer::OpenBound(AF_INET, reinterpret_cast<const sockaddr*>(&local), sizeof local,
                                   broadcast);
}

SocketHandle OpenUdpSocketIpv6(std::uint16_t portHost, const std::array<std::uint8_t, 16>& local,
                               unsigned scopeId) {
    sockaddr_in6 at = Ipv6SocketAddress(local, htons(portHost));
    at.sin6_scope_id = scopeId;
    return socket_layer::OpenBound(AF_INET6, reinterpret_cast<const sockaddr*>(&at), sizeof at,
                                   false);
}

bool SendDatagramTo(SocketHandle s, const std::uint8_t* bytes, std::size_t len,
                    std::uint32_t addrNet, std::uint16_t portNet, int writableWaitUs) {
    if (!socket_layer::SendAllowed(bytes, len, addrNet))
        return false;
    const sockaddr_in to = Ipv4SocketAddress(addrNet, portNet);
    return socket_layer::SendAfterWait(s, bytes, len, reinterpret_cast<const sockaddr*>(&to),
                                       sizeof to, writableWaitUs);
}

bool SendDatagramTo6(SocketHandle s, const std::uint8_t* bytes, std::size_t len,
                     const std::array<std::uint8_t, 16>& address, std::uint16_t portNet,
                     int writableWaitUs, unsigned scopeId) {
    if (!socket_layer::SendAllowed6(bytes, len, address))
        return false;
    sockaddr_in6 to = Ipv6SocketAddress(address, portNet);
    to.sin6_scope_id = scopeId;
    return socket_layer::SendAfterWait(s, bytes, len, reinterpret_cast<const sockaddr*>(&to),
                                       sizeof to, writableWaitUs);
}

long ReceiveDatagram(SocketHandle s, std::uint8_t* buf, std::size_t cap, std::uint32_t& fromAddrNet,
                     std::uint16_t& fromPortNet) {
    DatagramSender from;
    const long n = ReceiveDatagramFrom(s, buf, cap, from);
    // 0.0.0.0:0 for a sender that is not IPv4.
    fromAddrNet = 0;
    fromPortNet = 0;
    if (n >= 0 && !from.ipv6) {
        std::memcpy(&fromAddrNet, from.address.data(), 4);
        fromPortNet = from.portNet;
    }
    return n;
}

long ReceiveDatagramFrom(SocketHandle s, std::uint8_t* buf, std::size_t cap, DatagramSender& from) {
    sockaddr_storage sa{};
    const long n = socket_layer::ReceiveFrom(s, buf, cap, sa);
    if (n >= 0)
        socket_layer::SenderOf(sa, from);
    return n;
}
