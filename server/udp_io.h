#pragma once
// The server's one file of socket calls: batched UDP receive and send, and a wake-up handle for
// stopping workers. udp_io.cpp (Linux: recvmmsg/sendmmsg, epoll, eventfd) or udp_io_win.cpp
// (Winsock 2: one datagram per call, WSAPoll, a loopback socket); sockets are ints on both
// (net/socket_handle.h says why a SOCKET fits).
//
// Each object belongs to one thread; CWakeup::Signal alone may be called from any thread.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/sockaddr_ipv4.h"
#include "net/address_text.h"

// Datagrams longer than this are dropped unread: nothing valid comes close.
inline constexpr std::size_t kMaxDatagram = 1500;
inline constexpr int kIoBatch = 64;

// Binds a UDP socket to exactly addrNet:portHost. reusePort lets every worker bind its own
// socket there and the kernel spread sources over them. Returns -1 and sets error on failure.
int OpenUdpSocket(std::uint32_t addrNet, std::uint16_t portHost, bool reusePort,
                  std::string& error);
// The same for an IPv6 address (16 bytes as on the wire); the socket takes IPv6 alone.
int OpenUdpSocket6(const std::array<std::uint8_t, 16>& address, std::uint16_t portHost,
                   bool reusePort, std::string& error);
// What both do, per platform: a UDP socket of family (AF_INET, AF_INET6) bound to sa, which
// errors call `name`.
int OpenBoundUdpSocket(int family, const sockaddr* sa, int saLength, const std::string& name,
                       bool reusePort, std::string& error);
void CloseUdpSocket(int fd);
// Local port of a bound socket, host order; 0 when it cannot be read.
std::uint16_t LocalPortOf(int fd);

// A peer's socket address of either family.
union UdpPeerAddress {
    sockaddr any;
    sockaddr_in v4;
    sockaddr_in6 v6;
};

// Up to kIoBatch datagrams in one call.
class CRecvBatch {
public:
    CRecvBatch();
    // Takes what is queued on fd without waiting. Returns the count; 0 when nothing is queued.
    int Receive(int fd);
    const std::uint8_t* Data(int i) const { return m_buffers[i]; }
#ifdef _WIN32
    std::size_t Length(int i) const {
        return m_lengths[i];
    }
    bool Truncated(int i) const {
        return m_truncated[i];
    }
#else
    std::size_t Length(int i) const {
        return m_msgs[i].msg_len;
    }
    bool Truncated(int i) const {
        return (m_msgs[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
    }
#endif
    // The sender: an IPv6 one on an IPv6 socket, else IPv4.
    bool FromIpv6(int i) const {
        return m_from[i].any.sa_family == AF_INET6;
    }
    std::uint32_t FromAddress(int i) const {
        return m_from[i].v4.sin_addr.s_addr;
    }                                                        // IPv4
    std::array<std::uint8_t, 16> FromAddress6(int i) const;  // IPv6
    std::uint16_t FromPort(int i) const {                    // network order
        return FromIpv6(i) ? m_from[i].v6.sin6_port : m_from[i].v4.sin_port;
    }

private:
    std::uint8_t m_buffers[kIoBatch][kMaxDatagram];
    UdpPeerAddress m_from[kIoBatch];
#ifdef _WIN32
    std::size_t m_lengths[kIoBatch];
    bool m_truncated[kIoBatch];
#else
    iovec m_iov[kIoBatch];
    mmsghdr m_msgs[kIoBatch];
#endif
};

// Collects datagrams for one socket and sends them with as few calls as possible.
class CSendBatch {
public:
    CSendBatch();
    bool Full() const { return m_count == kIoBatch; }
    bool Empty() const { return m_count == 0; }
    // Copies len bytes (at most kMaxDatagram).
    void Add(std::uint32_t toAddrNet, std::uint16_t toPortNet, const std::uint8_t* data,
             std::size_t len);
    // The same to an IPv6 peer (for an IPv6 socket).
    void Add6(const std::array<std::uint8_t, 16>& to, std::uint16_t toPortNet,
              const std::uint8_t* data, std::size_t len);
    // Sends everything added and empties the batch. Returns how many could not be sent.
    int Flush(int fd);

private:
    int m_count = 0;
    // Our own datagrams are at most 78 bytes; a STUN response padded like its request can be
    // a whole datagram.
    void Queue(const UdpPeerAddress& to, int toLength, const std::uint8_t* data, std::size_t len);

    std::uint8_t m_buffers[kIoBatch][kMaxDatagram];
    UdpPeerAddress m_to[kIoBatch];
    int m_toLengths[kIoBatch];
#ifdef _WIN32
    std::size_t m_lengths[kIoBatch];
#else
    iovec m_iov[kIoBatch];
    mmsghdr m_msgs[kIoBatch];
#endif
};

inline int OpenUdpSocket(std::uint32_t addrNet, std::uint16_t portHost, bool reusePort,
                         std::string& error) {
    const sockaddr_in sa = Ipv4SocketAddress(addrNet, htons(portHost));
    return OpenBoundUdpSocket(AF_INET, reinterpret_cast<const sockaddr*>(&sa), sizeof sa,
                              FormatIpv4Endpoint({addrNet, portHost}), reusePort, error);
}

inline int OpenUdpSocket6(const std::array<std::uint8_t, 16>& address, std::uint16_t portHost,
                          bool reusePort, std::string& error) {
    const sockaddr_in6 sa = Ipv6SocketAddress(address, htons(portHost));
    return OpenBoundUdpSocket(AF_INET6, reinterpret_cast<const sockaddr*>(&sa), sizeof sa,
                              FormatIpv6Endpoint({address, portHost}), reusePort, error);
}

inline std::array<std::uint8_t, 16> CRecvBatch::FromAddress6(int i) const {
    std::array<std::uint8_t, 16> a{};
    std::memcpy(a.data(), &m_from[i].v6.sin6_addr, a.size());
    return a;
}

inline void CSendBatch::Add(std::uint32_t toAddrNet, std::uint16_t toPortNet,
                            const std::uint8_t* data, std::size_t len) {
    UdpPeerAddress to{};
    to.v4 = Ipv4SocketAddress(toAddrNet, toPortNet);
    Queue(to, sizeof to.v4, data, len);
}

inline void CSendBatch::Add6(const std::array<std::uint8_t, 16>& to, std::uint16_t toPortNet,
                             const std::uint8_t* data, std::size_t len) {
    UdpPeerAddress peer{};
    peer.v6 = Ipv6SocketAddress(to, toPortNet);
    Queue(peer, sizeof peer.v6, data, len);
}

// Stops workers: once signalled it stays signalled. Any thread may call Signal.
class CWakeup {
public:
    CWakeup();
    ~CWakeup();
    CWakeup(const CWakeup&) = delete;
    CWakeup& operator=(const CWakeup&) = delete;

    bool Valid() const { return m_fd >= 0; }
    void Signal();
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// Waits for any of a fixed set of sockets, or the wake-up handle, to become readable. The set
// is registered once (epoll), so a wait costs the same however many ports a worker serves
// (WSAPoll on Windows, over the handful of sockets a worker has). One thread only.
class CReadyWaiter {
public:
    // fds[i] is reported as index i.
    CReadyWaiter(const int* fds, int count, const CWakeup& wakeup);
    ~CReadyWaiter();
    CReadyWaiter(const CReadyWaiter&) = delete;
    CReadyWaiter& operator=(const CReadyWaiter&) = delete;

#ifdef _WIN32
    bool Valid() const {
        return m_wakeFd >= 0;
    }
#else
    bool Valid() const {
        return m_epoll >= 0;
    }
#endif
    // readable[i] is set for each fds[i] with data. Returns false when the wake-up handle was
    // signalled (or the wait failed for good): the caller should stop.
    bool Wait(bool* readable, int timeoutMs);

private:
#ifdef _WIN32
    std::vector<int> m_fds;  // the sockets, then the wake-up handle last
    int m_wakeFd = -1;
#else
    int m_epoll = -1;
#endif
    int m_count = 0;
};
