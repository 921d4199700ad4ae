#pragma once
// UDP sockets for the standard checks' runner: fresh sockets on ephemeral ports, one wait over all
// of them, and a wake-up so a stop request ends a wait at once. A thin adapter over the client's
// socket layer (net/socket_layer.h), which holds every system call; socket ids are small numbers
// of this class's own, not the system's handles.
//
// Threads: everything on the runner's thread, except Wake (any thread, also a signal handler:
// the socket layer's wake-up only writes one byte).

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "net/socket_handle.h"
#include "net/socket_layer.h"
#include "standard/endpoint.h"
#include "standard/stun_check.h"

class CStunSockets {
public:
    using DatagramFn =
        std::function<void(int socketId, const Endpoint& from, std::span<const std::uint8_t>)>;

    CStunSockets();
    ~CStunSockets();
    CStunSockets(const CStunSockets&) = delete;
    CStunSockets& operator=(const CStunSockets&) = delete;

    // A UDP socket bound to 0.0.0.0 (IPv4) or :: (IPv6, IPv6 alone) on an ephemeral port; its
    // id, or -1.
    int Open(Endpoint::Family family = Endpoint::Family::Ipv4);
    // To a destination of the socket's family; refused (false) for the other family, 0.0.0.0
    // and ::.
    bool Send(int socketId, const Endpoint& to, std::span<const std::uint8_t> bytes);
    void Close(int socketId);
    // The local port of an open socket (host order), 0 when unknown.
    std::uint16_t LocalPort(int socketId) const;

    // Waits up to timeoutMs for a datagram on any open socket or for Wake, then hands every
    // datagram that is waiting (a bounded number per socket) to onDatagram.
    void Wait(int timeoutMs, const DatagramFn& onDatagram);
    void Wake() { m_wakeup.Signal(); }

private:
    struct Open_ {
        int id;
        SocketHandle handle;
        Endpoint::Family family;
    };
    SocketHandle HandleOf(int socketId) const;

    std::vector<Open_> m_open;
    int m_nextId = 1;
    CReadWakeup m_wakeup;
};

// The sockets as a check's transport (IStunTransport), for the runners.
class CStunSocketsTransport : public IStunTransport {
public:
    explicit CStunSocketsTransport(CStunSockets& s) : m_s(s) {}
    int Open() override { return m_s.Open(Endpoint::Family::Ipv4); }
    int OpenIpv6() override { return m_s.Open(Endpoint::Family::Ipv6); }
    bool Send(int id, const Endpoint& to, std::span<const std::uint8_t> b) override {
        return m_s.Send(id, to, b);
    }
    void Close(int id) override { m_s.Close(id); }

private:
    CStunSockets& m_s;
};
