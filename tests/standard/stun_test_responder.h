#pragma once
// A tiny RFC 5780 STUN server for loopback tests: 127.0.0.2 and 127.0.0.3, each on the same two
// ports, answering Binding requests as CHANGE-REQUEST asks (or, ignoreChange, from where the
// request went, as many public servers do). Header-only so the engine and the client tests share
// it. Start/Stop and the accessors on the test thread; the answering runs on a thread of its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "net/address_text.h"
#include "net/stun_message.h"

class CTestStunResponder {
public:
    CTestStunResponder() = default;
    ~CTestStunResponder() { Stop(); }
    CTestStunResponder(const CTestStunResponder&) = delete;
    CTestStunResponder& operator=(const CTestStunResponder&) = delete;

    bool Start(bool ignoreChange = false) {
        m_ignoreChange = ignoreChange;
        for (int attempt = 0; attempt < 50 && !Bound(); ++attempt)
            BindAll();
        if (!Bound())
            return false;
        m_thread = std::thread([this] { Serve(); });
        return true;
    }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        for (auto& row : m_fd) {
            for (int& fd : row) {
                if (fd >= 0)
                    ::close(fd);
                fd = -1;
            }
        }
    }
    // Before Start: answers carry no OTHER-ADDRESS, as servers without RFC 5780 send.
    void SetNoOtherAddress() { m_noOther = true; }
    Ipv4Endpoint Primary() const { return {Ip(0), m_port[0]}; }
    Ipv4Endpoint Other() const { return {Ip(1), m_port[1]}; }
    int Requests() const { return m_requests; }

private:
    static std::uint32_t Ip(int i) { return inet_addr(i == 0 ? "127.0.0.2" : "127.0.0.3"); }
    bool Bound() const { return m_fd[1][1] >= 0; }
    static int BindOne(std::uint32_t ip, std::uint16_t port) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = ip;
        a.sin_port = htons(port);
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return fd;
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    static std::uint16_t PortOf(int fd) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    // The same ephemeral port on both addresses, twice; any clash starts over.
    void BindAll() {
        Stop();
        m_stop = false;
        for (int p = 0; p < 2; ++p) {
            m_fd[0][p] = BindOne(Ip(0), 0);
            if (m_fd[0][p] < 0)
                return;
            m_port[p] = PortOf(m_fd[0][p]);
            m_fd[1][p] = BindOne(Ip(1), m_port[p]);
            if (m_fd[1][p] < 0)
                return;
        }
    }
    void Serve() {
        pollfd fds[4];
        for (int i = 0; i < 4; ++i)
            fds[i] = {m_fd[i / 2][i % 2], POLLIN, 0};
        while (!m_stop) {
            if (::poll(fds, 4, 50) <= 0)
                continue;
            for (int i = 0; i < 4; ++i) {
                if (fds[i].revents & POLLIN)
                    AnswerOne(i / 2, i % 2);
            }
        }
    }
    void AnswerOne(int ipIdx, int portIdx) {
        std::uint8_t buf[1500];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(m_fd[ipIdx][portIdx], buf, sizeof buf, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        StunMessage req;
        if (n <= 0 || ParseStun(buf, static_cast<std::size_t>(n), req) != StunParseError::None ||
            req.cls != StunClass::Request)
            return;
        ++m_requests;
        if (!m_ignoreChange) {
            ipIdx ^= req.ChangeIp() ? 1 : 0;
            portIdx ^= req.ChangePort() ? 1 : 0;
        }
        StunMessage r;
        r.cls = StunClass::Success;
        r.transactionId = req.transactionId;
        r.xorMapped = StunIpv4(from.sin_addr.s_addr, from.sin_port);
        r.responseOrigin = StunIpv4(Ip(ipIdx), htons(m_port[portIdx]));
        if (!m_noOther)
            r.otherAddress = StunIpv4(Ip(1), htons(m_port[1]));
        r.fingerprint = true;
        std::uint8_t out[512];
        const std::size_t outLen = EncodeStun(r, out, sizeof out);
        ::sendto(m_fd[ipIdx][portIdx], out, outLen, 0, reinterpret_cast<sockaddr*>(&from),
                 sizeof from);
    }

    int m_fd[2][2] = {{-1, -1}, {-1, -1}};  // [address][port]
    std::uint16_t m_port[2] = {0, 0};       // host order
    bool m_ignoreChange = false;            // set before the thread starts
    bool m_noOther = false;                 // the same
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_requests{0};
    std::thread m_thread;
};
