#pragma once
// UDP sockets for the STUN check's runner: fresh sockets on ephemeral ports, one poll over all of
// them, and a wake-up pipe so a stop request ends a wait at once. Platform seam: the one file of
// the STUN check that talks to the system (POSIX; stun_transport_win.cpp on Windows).
//
// Threads: everything on the runner's thread, except Wake (any thread, also a signal handler:
// it only writes one byte to a pipe).

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "net/address_text.h"

class CStunSockets {
public:
    using DatagramFn =
        std::function<void(int socketId, const Ipv4Endpoint& from, std::span<const std::uint8_t>)>;

    CStunSockets();
    ~CStunSockets();
    CStunSockets(const CStunSockets&) = delete;
    CStunSockets& operator=(const CStunSockets&) = delete;

    // A non-blocking UDP socket bound to 0.0.0.0 on an ephemeral port; its id, or -1.
    int Open();
    bool Send(int socketId, const Ipv4Endpoint& to, std::span<const std::uint8_t> bytes);
    void Close(int socketId);
    // The local port of an open socket (host order), 0 when unknown.
    std::uint16_t LocalPort(int socketId) const;

    // Waits up to timeoutMs for a datagram on any open socket or for Wake, then hands every
    // datagram that is waiting (a bounded number per socket) to onDatagram.
    void Wait(int timeoutMs, const DatagramFn& onDatagram);
    void Wake();

private:
    std::vector<int> m_open;  // descriptors; the id is the descriptor
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
};
