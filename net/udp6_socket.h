#pragma once
// One UDP socket over IPv6, bound to a given address on a given interface: PCP over IPv6 asks
// the IPv6 default router, often by its link-local address, which means something only with the
// interface's index. The client's other sockets come straight from net/socket_layer.h, as this
// one does underneath. One thread at a time.

#include <cstdint>
#include <span>

#include "net/address_text.h"
#include "net/socket_handle.h"

class CUdp6Socket {
public:
    CUdp6Socket() = default;
    ~CUdp6Socket() { Close(); }
    CUdp6Socket(const CUdp6Socket&) = delete;
    CUdp6Socket& operator=(const CUdp6Socket&) = delete;

    // Binds [local]:0 on interface scopeId (0: none); false on any failure (nothing open).
    bool Open(const Ipv6Bytes& local, unsigned scopeId);
    void Close();
    bool IsOpen() const { return m_socket != kInvalidSocket; }
    // The bound port (host order), 0 when unknown.
    std::uint16_t LocalPort() const;
    // Sends one datagram to `to` on the socket's interface; false when the send reports an error
    // or `to` is ::.
    bool SendTo(const Ipv6Endpoint& to, std::span<const std::uint8_t> bytes);
    // Waits up to waitMs for one datagram: its length (in buf) and sender, or -1 when none came.
    long Receive(int waitMs, std::span<std::uint8_t> buf, Ipv6Endpoint& from);

private:
    SocketHandle m_socket = kInvalidSocket;
    unsigned m_scopeId = 0;
};
