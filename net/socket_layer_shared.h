#pragma once
// What socket_layer.cpp (POSIX) and socket_layer_win.cpp (Winsock 2) decide alike, so each twin
// holds only its system's calls. Included by those two files alone. Any thread.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/sockaddr_ipv4.h"
#include "net/socket_handle.h"

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

// A writable wait in microseconds as the milliseconds poll and WSAPoll count: rounded up, so
// 1000 us stays 1 ms and 1 us is not 0.
inline int PollWaitMs(int waitUs) {
    return waitUs <= 0 ? 0 : (waitUs + 999) / 1000;
}

// The sender of a received datagram, network order; 0.0.0.0:0 when it is not IPv4.
inline void SenderOf(const sockaddr_in& from, std::uint32_t& addrNet, std::uint16_t& portNet) {
    const bool ipv4 = from.sin_family == AF_INET;
    addrNet = ipv4 ? static_cast<std::uint32_t>(from.sin_addr.s_addr) : 0;
    portNet = ipv4 ? from.sin_port : 0;
}

// The system's part of WaitReadable (in each twin): polls handles (sockets and wake-up ends) for
// reading up to timeoutMs and sets readable[i] for each one readable or in error (an error is
// reported so the receive call collects and clears it). False on time-out or failure, which the
// caller treats alike: it simply waits again.
bool PollReadable(const std::vector<SocketHandle>& handles, int timeoutMs,
                  std::vector<bool>& readable);

}  // namespace socket_layer
