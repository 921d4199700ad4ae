#pragma once
// The server's one file of socket calls: batched UDP receive and send, and a wake-up handle for
// stopping workers. udp_io.cpp (Linux: recvmmsg/sendmmsg, epoll, eventfd) or udp_io_win.cpp
// (Winsock 2: one datagram per call, WSAPoll, a loopback socket); sockets are ints on both
// (net/socket_handle.h says why a SOCKET fits).
//
// Each object belongs to one thread; CWakeup::Signal alone may be called from any thread.

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#endif

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Datagrams longer than this are dropped unread: nothing valid comes close.
inline constexpr std::size_t kMaxDatagram = 1500;
inline constexpr int kIoBatch = 64;

// Binds a UDP socket to exactly addrNet:portHost. reusePort lets every worker bind its own
// socket there and the kernel spread sources over them. Returns -1 and sets error on failure.
int OpenUdpSocket(std::uint32_t addrNet, std::uint16_t portHost, bool reusePort,
                  std::string& error);
void CloseUdpSocket(int fd);
// Local port of a bound socket, host order; 0 when it cannot be read.
std::uint16_t LocalPortOf(int fd);

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
    std::uint32_t FromAddress(int i) const {
        return m_from[i].sin_addr.s_addr;
    }  // network order
    std::uint16_t FromPort(int i) const {
        return m_from[i].sin_port;
    }  // network order

private:
    std::uint8_t m_buffers[kIoBatch][kMaxDatagram];
    sockaddr_in m_from[kIoBatch];
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
    // Sends everything added and empties the batch. Returns how many could not be sent.
    int Flush(int fd);

private:
    int m_count = 0;
    // Our own datagrams are at most 78 bytes; a STUN response padded like its request can be
    // a whole datagram.
    std::uint8_t m_buffers[kIoBatch][kMaxDatagram];
    sockaddr_in m_to[kIoBatch];
#ifdef _WIN32
    std::size_t m_lengths[kIoBatch];
#else
    iovec m_iov[kIoBatch];
    mmsghdr m_msgs[kIoBatch];
#endif
};

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
