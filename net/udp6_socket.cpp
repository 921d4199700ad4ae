#include "net/udp6_socket.h"

#include "core/sys_inet.h"
#include "net/socket_layer.h"

bool CUdp6Socket::Open(const Ipv6Bytes& local, unsigned scopeId) {
    Close();
    m_socket = OpenUdpSocketIpv6(0, local, scopeId);
    m_scopeId = scopeId;
    return IsOpen();
}

void CUdp6Socket::Close() {
    CloseSocket(m_socket);
    m_socket = kInvalidSocket;
}

std::uint16_t CUdp6Socket::LocalPort() const {
    return IsOpen() ? SocketLocalPort(m_socket) : 0;
}

bool CUdp6Socket::SendTo(const Ipv6Endpoint& to, std::span<const std::uint8_t> bytes) {
    // The interface's index goes with a link-local destination only; a global one needs none.
    return IsOpen() &&
           SendDatagramTo6(m_socket, bytes.data(), bytes.size(), to.address, htons(to.port), 0,
                           IsIpv6LinkLocal(to.address) ? m_scopeId : 0);
}

long CUdp6Socket::Receive(int waitMs, std::span<std::uint8_t> buf, Ipv6Endpoint& from) {
    if (!IsOpen() || WaitReadable({m_socket}, waitMs).empty())
        return -1;
    DatagramSender sender;
    const long n = ReceiveDatagramFrom(m_socket, buf.data(), buf.size(), sender);
    if (n < 0 || !sender.ipv6)
        return -1;
    from = Ipv6Endpoint{sender.address, ntohs(sender.portNet)};
    return n;
}
