#pragma once
// Test helpers: a plain UDP socket on 127.0.0.1 that plays the server or the other copy, and a
// sink that records what the dispatch thread hands over. Every wait here is bounded.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "net/message_sink.h"
#include "net/messages.h"

namespace nettest {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

inline std::uint32_t LoopbackNet() {
    return htonl(INADDR_LOOPBACK);
}

struct Datagram {
    Bytes bytes;
    std::uint16_t fromPortHost = 0;
};

class LoopbackPeer {
public:
    LoopbackPeer() {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = LoopbackNet();
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            socklen_t len = sizeof sa;
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
            m_port = ntohs(sa.sin_port);
        }
    }
    ~LoopbackPeer() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool Ok() const { return m_fd >= 0 && m_port != 0; }
    std::uint16_t Port() const { return m_port; }
    std::uint16_t PortNet() const { return htons(m_port); }

    bool SendTo(std::uint16_t portHost, const Bytes& bytes) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = LoopbackNet();
        to.sin_port = htons(portHost);
        return ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                        sizeof to) == static_cast<ssize_t>(bytes.size());
    }

    // The next datagram, or nothing within timeout.
    std::optional<Datagram> Receive(milliseconds timeout) const {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return std::nullopt;
        std::uint8_t buf[2048];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(m_fd, buf, sizeof buf, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            return std::nullopt;
        return Datagram{Bytes(buf, buf + n), ntohs(from.sin_port)};
    }

    // Every datagram that arrives within window (not stopping at the first).
    std::vector<Datagram> ReceiveAll(milliseconds window) const {
        std::vector<Datagram> got;
        const auto end = std::chrono::steady_clock::now() + window;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            if (auto d = Receive(left))
                got.push_back(std::move(*d));
        }
        return got;
    }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

class RecordingSink : public IReceiveSink {
public:
    void OnReceive(const ReceivedMessage* msg) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_messages.push_back(*msg);
        }
        m_changed.notify_all();
    }
    void CancelDelivery() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
    }

    // True once at least count messages arrived, false after timeout.
    bool WaitFor(std::size_t count, milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_messages.size() >= count; });
    }
    std::vector<ReceivedMessage> Messages() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }
    bool Cancelled() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_cancelled;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<ReceivedMessage> m_messages;  // guarded by m_mutex
    bool m_cancelled = false;                 // guarded by m_mutex
};

}  // namespace nettest
