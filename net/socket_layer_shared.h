#pragma once
// What socket_layer.cpp (POSIX) and socket_layer_win.cpp (Winsock 2) decide alike, so each twin
// holds only its system's calls. Included by those two files alone. Any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/sockaddr_ipv4.h"
#include "net/socket_handle.h"
#include "net/socket_layer.h"

namespace socket_layer {

// The largest payload one IPv4 datagram can carry is below this; a longer send fails on either
// system, so it is refused before the system is asked.
inline constexpr std::size_t kMaxDatagramBytes = 65535;

// Whether SendDatagramTo may send at all: never to 0.0.0.0 (Windows refuses it as a destination,
// Linux would deliver it to this very machine, which no caller means), never from no bytes, and
// never more than a datagram holds.
inline bool SendAllowed(const std::uint8_t* bytes, std::size_t len, std::uint32_t addrNet) {
    return addrNet != 0 && (bytes != nullptr || len == 0) && len <= kMaxDatagramBytes;
}

// The same for an IPv6 destination: never to ::.
inline bool SendAllowed6(const std::uint8_t* bytes, std::size_t len,
                         const std::array<std::uint8_t, 16>& address) {
    return address != std::array<std::uint8_t, 16>{} && (bytes != nullptr || len == 0) &&
           len <= kMaxDatagramBytes;
}

// A writable wait in microseconds as the milliseconds poll and WSAPoll count: rounded up, so
// 1000 us stays 1 ms and 1 us is not 0.
inline int PollWaitMs(int waitUs) {
    return waitUs <= 0 ? 0 : (waitUs + 999) / 1000;
}

// The sender of a received datagram of either family (from holds a sockaddr_in or sockaddr_in6);
// false for any other family.
inline bool SenderOf(const sockaddr_storage& from, DatagramSender& sender) {
    sender = DatagramSender{};
    if (from.ss_family == AF_INET) {
        sockaddr_in v4{};
        std::memcpy(&v4, &from, sizeof v4);
        std::memcpy(sender.address.data(), &v4.sin_addr, 4);
        sender.portNet = v4.sin_port;
        return true;
    }
    if (from.ss_family == AF_INET6) {
        sockaddr_in6 v6{};
        std::memcpy(&v6, &from, sizeof v6);
        sender.ipv6 = true;
        std::memcpy(sender.address.data(), &v6.sin6_addr, 16);
        sender.portNet = v6.sin6_port;
        return true;
    }
    return false;
}

// The system's part of OpenUdpSocket and OpenUdpSocketIpv6 (in each twin): a UDP socket of
// family bound to local (an address or any, the port asked for), IPv6 ones IPv6 alone; sends never
// block for more than a second. kInvalidSocket on any failure (nothing left open).
SocketHandle OpenBound(int family, const sockaddr* local, int localLen, bool broadcast);
// The system's part of SendDatagramTo and SendDatagramTo6 (in each twin): waits up to
// writableWaitUs for room in s's buffer (the outcome does not matter), then sends to `to`.
bool SendAfterWait(SocketHandle s, const std::uint8_t* bytes, std::size_t len, const sockaddr* to,
                   int toLen, int writableWaitUs);
// The system's part of the receives (in each twin): one datagram into buf without waiting, its
// sender in from; its length, or -1 (nothing there, or an error). A datagram longer than cap is
// cut to cap, on either system.
long ReceiveFrom(SocketHandle s, std::uint8_t* buf, std::size_t cap, sockaddr_storage& from);

// The system's part of WaitReadable (in each twin): polls handles (sockets and wake-up ends) for
// reading up to timeoutMs and sets readable[i] for each one readable or in error (an error is
// reported so the receive call collects and clears it). False on time-out or failure, which the
// caller treats alike: it simply waits again.
bool PollReadable(const std::vector<SocketHandle>& handles, int timeoutMs,
                  std::vector<bool>& readable);

}  // namespace socket_layer
