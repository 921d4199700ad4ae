#pragma once
// Thin layer over the platform's UDP sockets. Every socket call of the client goes through this
// file: socket_layer.cpp (POSIX) or socket_layer_win.cpp (Winsock 2). Any thread.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "net/socket_handle.h"

// What the socket layer reports of itself at start-up (the "Using ..." line of the log).
struct SocketLayerInfo {
    std::string description;  // e.g. "POSIX sockets on Linux 6.1.0-18-amd64"
    std::string status;       // e.g. "Running"
    int versionLow = 0;       // version in use: major, minor
    int versionHigh = 0;
    int highestLow = 0;  // highest version supported: major, minor
    int highestHigh = 0;
};
// Starts the layer (nothing to do on POSIX but to say what it is; WSAStartup on Windows); true
// on success.
bool SocketLayerStartup(SocketLayerInfo& info);
void SocketLayerCleanup();

// IPv4 UDP socket bound to 0.0.0.0:portHost (0 = any), with a 1000 ms send time-out and, when
// asked, broadcast permitted. kInvalidSocket on any failure (nothing left open).
SocketHandle OpenUdpSocket(std::uint16_t portHost, bool broadcast);
// IPv6 UDP socket bound to [local]:portHost (:: and 0: any), IPv6 alone (IPV6_V6ONLY),
// otherwise as OpenUdpSocket without broadcast. A link-local local address needs its
// interface's index as scopeId. kInvalidSocket on any failure (nothing left open).
SocketHandle OpenUdpSocketIpv6(std::uint16_t portHost,
                               const std::array<std::uint8_t, 16>& local = {},
                               unsigned scopeId = 0);
void CloseSocket(SocketHandle s);
// Local port in host order, of either family; 0 when it cannot be read.
std::uint16_t SocketLocalPort(SocketHandle s);

// Waits up to timeoutUs for s to become writable (the outcome is ignored by callers), then sends
// one datagram to addrNet:portNet. A destination of 0.0.0.0 is refused (false, nothing sent), as
// the original platform refuses it. False when the send reports an error.
bool SendDatagramTo(SocketHandle s, const std::uint8_t* bytes, std::size_t len,
                    std::uint32_t addrNet, std::uint16_t portNet, int writableWaitUs);

// The same to an IPv6 peer (16 bytes as on the wire) from an IPv6 socket; :: is refused as
// 0.0.0.0 is. A link-local peer is reached through the interface whose index is scopeId.
bool SendDatagramTo6(SocketHandle s, const std::uint8_t* bytes, std::size_t len,
                     const std::array<std::uint8_t, 16>& address, std::uint16_t portNet,
                     int writableWaitUs, unsigned scopeId = 0);

// Ends a WaitReadable on another thread at once, so a worker that waits a second for datagrams
// can still stop (or start reading) within microseconds. Auto-reset: one wait consumes any
// number of signals. POSIX: a non-blocking self-pipe; Windows: one non-blocking loopback UDP
// socket connected to itself (both ends are that socket).
// Threads: Signal from any thread; one thread at a time waits on it (WaitReadable drains it).
class CReadWakeup {
public:
    CReadWakeup();
    // False when the descriptors could not be had; Signal then does nothing and a wait runs to
    // its time-out.
    bool Valid() const { return m_readEnd >= 0; }
    void Signal();

    // Closes both ends. The pipe has one owner: a wake-up is neither copied nor moved.
    ~CReadWakeup();
    CReadWakeup(const CReadWakeup&) = delete;
    CReadWakeup& operator=(const CReadWakeup&) = delete;

private:
    friend std::vector<SocketHandle> WaitReadable(const std::vector<SocketHandle>&, int,
                                                  CReadWakeup*);
    void Drain();  // empties the pipe: the waiting thread only

    int m_readEnd = -1;
    int m_writeEnd = -1;
};

// Waits up to timeoutMs for any of sockets to become readable, or for wakeup (when given) to be
// signalled, which it then clears; returns the readable sockets in the order given (empty on
// time-out, wake-up alone or failure). With no sockets and no valid wake-up it returns at once.
std::vector<SocketHandle> WaitReadable(const std::vector<SocketHandle>& sockets, int timeoutMs,
                                       CReadWakeup* wakeup = nullptr);

// Receives one datagram into buf; returns its length (0 for an empty datagram) or -1 on error.
// fromAddrNet/fromPortNet receive the sender, in network order.
long ReceiveDatagram(SocketHandle s, std::uint8_t* buf, std::size_t cap, std::uint32_t& fromAddrNet,
                     std::uint16_t& fromPortNet);

// The sender of a datagram on a socket of either family: an IPv4 address in the first four
// bytes (network order, the rest zero), an IPv6 one in all 16.
struct DatagramSender {
    bool ipv6 = false;
    std::array<std::uint8_t, 16> address{};
    std::uint16_t portNet = 0;
};
// As ReceiveDatagram, for a socket of either family.
long ReceiveDatagramFrom(SocketHandle s, std::uint8_t* buf, std::size_t cap, DatagramSender& from);
