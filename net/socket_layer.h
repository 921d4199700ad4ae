#pragma once
// Thin layer over the platform's UDP sockets (POSIX here). Every socket call of the program goes
// through this file, so a Windows port replaces it and nothing else. Any thread.

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
// Starts the layer (nothing to do on POSIX but to say what it is); true on success.
bool SocketLayerStartup(SocketLayerInfo& info);
void SocketLayerCleanup();

// IPv4 UDP socket bound to 0.0.0.0:portHost (0 = any), with a 1000 ms send time-out and, when
// asked, broadcast permitted. kInvalidSocket on any failure (nothing left open).
SocketHandle OpenUdpSocket(std::uint16_t portHost, bool broadcast);
void CloseSocket(SocketHandle s);
// Local port in host order; 0 when it cannot be read.
std::uint16_t SocketLocalPort(SocketHandle s);

// Waits up to timeoutUs for s to become writable (the outcome is ignored by callers), then sends
// one datagram to addrNet:portNet. A destination of 0.0.0.0 is refused (false, nothing sent), as
// the original platform refuses it. False when the send reports an error.
bool SendDatagramTo(SocketHandle s, const std::uint8_t* bytes, std::size_t len,
                    std::uint32_t addrNet, std::uint16_t portNet, int writableWaitUs);

// Waits up to timeoutMs for any of sockets to become readable; returns the readable ones in the
// order given (empty on time-out or failure).
std::vector<SocketHandle> WaitReadable(const std::vector<SocketHandle>& sockets, int timeoutMs);

// Receives one datagram into buf; returns its length (0 for an empty datagram) or -1 on error.
// fromAddrNet/fromPortNet receive the sender, in network order.
long ReceiveDatagram(SocketHandle s, std::uint8_t* buf, std::size_t cap, std::uint32_t& fromAddrNet,
                     std::uint16_t& fromPortNet);
