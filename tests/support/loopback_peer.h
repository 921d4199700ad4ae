#pragma once
// A plain UDP socket on 127.0.0.1, on a port the system chooses, that plays a server or another
// copy. Every wait is bounded. One thread at a time.

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace gwtest {

using Bytes = std::vector<std::uint8_t>;

// 127.0.0.1 in network order.
std::uint32_t LoopbackNet();

struct Datagram {
    Bytes bytes;
    std::uint16_t fromPortHost = 0;
    // When the kernel queued it at the peer, on the real-time clock (zero where not known):
    // differences between two tell the sender's timing without the receiving thread's wake-up
    // delay.
    std::chrono::nanoseconds arrived{0};
};

class LoopbackPeer {
public:
    LoopbackPeer();

    bool Ok() const { return m_fd.Get() >= 0 && m_port != 0; }
    std::uint16_t Port() const { return m_port; }
    std::uint16_t PortNet() const;

    // One datagram to 127.0.0.1:portHost; false unless all of it was sent.
    bool SendTo(std::uint16_t portHost, const std::uint8_t* bytes, std::size_t len) const;
    bool SendTo(std::uint16_t portHost, const Bytes& bytes) const {
        return SendTo(portHost, bytes.data(), bytes.size());
    }

    // The next datagram, or nothing within timeout.
    std::optional<Datagram> Receive(std::chrono::milliseconds timeout) const;
    // Every datagram that arrives within window (not stopping at the first).
    std::vector<Datagram> ReceiveAll(std::chrono::milliseconds window) const;

private:
    // Closes the descriptor with the peer; a peer is neither copied nor moved.
    class Descriptor {
    public:
        explicit Descriptor(int fd) : m_fd(fd) {}
        ~Descriptor();
        Descriptor(const Descriptor&) = delete;
        Descriptor& operator=(const Descriptor&) = delete;
        int Get() const { return m_fd; }

    private:
        const int m_fd;
    };

    Descriptor m_fd;
    std::uint16_t m_port = 0;
};

}  // namespace gwtest
