// The socket layer (POSIX, or Winsock in the Windows build) and the millisecond tick, on
// loopback only.
#include "net/socket_layer.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/socket.h>
#endif

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/sys_inet.h"
#include "net/tick.h"
#include "net/udp6_socket.h"
#include "tests/support/loopback_peer.h"
#ifndef _WIN32
#include "tests/support/proc_self.h"
#endif

namespace {

using namespace gwtest;
using std::chrono::milliseconds;

#ifdef _WIN32
// Winsock describes itself, as the log's "Using ..." line shows it.
TEST(SocketLayer, StartupDescribesWinsock) {
    SocketLayerInfo info;
    ASSERT_TRUE(SocketLayerStartup(info));
    EXPECT_EQ(info.description.rfind("WinSock 2", 0), 0u) << info.description;
    EXPECT_EQ(info.status, "Running");
    EXPECT_EQ(info.versionLow, 2);
    EXPECT_EQ(info.versionHigh, 2);
    SocketLayerCleanup();
}
#else
TEST(SocketLayer, StartupDescribesOurOwnLayer) {
    SocketLayerInfo info;
    ASSERT_TRUE(SocketLayerStartup(info));
    EXPECT_EQ(info.description.rfind("POSIX sockets on Linux ", 0), 0u) << info.description;
    EXPECT_GT(info.description.size(), std::string("POSIX sockets on Linux ").size());
    char line[512];
    std::snprintf(line, sizeof line, "Using %s (Status: %s) with API versions %d.%d to %d.%d",
                  info.description.c_str(), info.status.c_str(), info.versionLow, info.versionHigh,
                  info.highestLow, info.highestHigh);
    EXPECT_EQ(std::string(line),
              "Using " + info.description + " (Status: Running) with API versions 1.0 to 1.0");
    SocketLayerCleanup();
}

TEST(SocketLayer, SocketIsBoundWithSendTimeoutAndOptionalBroadcast) {
    const SocketHandle plain = OpenUdpSocket(0, false);
    const SocketHandle bcast = OpenUdpSocket(0, true);
    ASSERT_NE(plain, kInvalidSocket);
    ASSERT_NE(bcast, kInvalidSocket);
    EXPECT_NE(SocketLocalPort(plain), 0);
    int on = -1;
    socklen_t len = sizeof on;
    ASSERT_EQ(getsockopt(plain, SOL_SOCKET, SO_BROADCAST, &on, &len), 0);
    EXPECT_EQ(on, 0);
    ASSERT_EQ(getsockopt(bcast, SOL_SOCKET, SO_BROADCAST, &on, &len), 0);
    EXPECT_EQ(on, 1);
    timeval tv{};
    len = sizeof tv;
    ASSERT_EQ(getsockopt(plain, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec * 1000 + tv.tv_usec / 1000, 1000);
    CloseSocket(plain);
    CloseSocket(bcast);
}

// A port already in use fails the open, and the half-made socket is not leaked.
TEST(SocketLayer, TakenPortFailsWithoutLeakingADescriptor) {
    const SocketHandle first = OpenUdpSocket(0, false);
    ASSERT_NE(first, kInvalidSocket);
    const std::uint16_t port = SocketLocalPort(first);
    const int before = OpenDescriptors();
    EXPECT_EQ(OpenUdpSocket(port, false), kInvalidSocket);
    EXPECT_EQ(OpenUdpSocket(port, true), kInvalidSocket);
    EXPECT_EQ(OpenDescriptors(), before);
    CloseSocket(first);
    const SocketHandle again = OpenUdpSocket(port, false);  // free once closed
    EXPECT_NE(again, kInvalidSocket);
    CloseSocket(again);
}

#endif  // _WIN32

// A socket of the layer (closed at the end) and a peer, both on system-chosen ports.
struct SocketAndPeer {
    ~SocketAndPeer() { CloseSocket(s); }
    bool Ok() const { return peer.Ok() && s != kInvalidSocket; }
    LoopbackPeer peer;
    const SocketHandle s = OpenUdpSocket(0, false);
};

const Bytes kBindingRequest = {0x00, 0x06, 0x74, 0x77, 0x70, 0x02};

TEST(SocketLayer, DatagramRoundTripReportsTheSenderInNetworkOrder) {
    SocketAndPeer e;
    ASSERT_TRUE(e.Ok());
    ASSERT_TRUE(SendDatagramTo(e.s, kBindingRequest.data(), kBindingRequest.size(), LoopbackNet(),
                               e.peer.PortNet(), 1000));
    auto got = e.peer.Receive(milliseconds(2000));
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->bytes, kBindingRequest);
    EXPECT_EQ(got->fromPortHost, SocketLocalPort(e.s));

    ASSERT_TRUE(e.peer.SendTo(SocketLocalPort(e.s), Bytes{}));  // an empty datagram reads as 0
    ASSERT_TRUE(e.peer.SendTo(SocketLocalPort(e.s), Bytes{1, 2, 3}));
    ASSERT_EQ(WaitReadable({e.s}, 2000), std::vector<SocketHandle>{e.s});
    std::uint8_t buf[64];
    std::uint32_t from = 0;
    std::uint16_t fromPort = 0;
    EXPECT_EQ(ReceiveDatagram(e.s, buf, sizeof buf, from, fromPort), 0);
    EXPECT_EQ(from, LoopbackNet());
    EXPECT_EQ(fromPort, e.peer.PortNet());
    ASSERT_EQ(WaitReadable({e.s}, 2000), std::vector<SocketHandle>{e.s});
    EXPECT_EQ(ReceiveDatagram(e.s, buf, sizeof buf, from, fromPort), 3);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{1, 2, 3}));
    // Nothing left: no block, an error instead.
    EXPECT_EQ(ReceiveDatagram(e.s, buf, sizeof buf, from, fromPort), -1);
}

// Linux would hand a datagram for 0.0.0.0 to this machine; the original platform refuses it.
TEST(SocketLayer, ZeroDestinationIsRefusedAndNothingIsSent) {
    SocketAndPeer e;
    ASSERT_TRUE(e.Ok());
    EXPECT_FALSE(SendDatagramTo(e.s, kBindingRequest.data(), kBindingRequest.size(), 0,
                                e.peer.PortNet(), 1000));
    EXPECT_FALSE(e.peer.Receive(milliseconds(200)).has_value());
}

// Both systems refuse alike before the system is asked: no bytes behind a length, or more than
// one IPv4 datagram carries (Linux would fail the call itself, Winsock takes an int length).
TEST(SocketLayer, UnsendableDatagramsAreRefusedAndNothingIsSent) {
    struct Row {
        const char* name;
        bool noBytes;
        std::size_t len;
    };
    const Row rows[] = {
        {.name = "length without bytes", .noBytes = true, .len = 20},
        {.name = "longer than a datagram", .noBytes = false, .len = 65536},
    };
    SocketAndPeer e;
    ASSERT_TRUE(e.Ok());
    const Bytes big(65536, 0x01);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(SendDatagramTo(e.s, row.noBytes ? nullptr : big.data(), row.len, LoopbackNet(),
                                    e.peer.PortNet(), 1000));
    }
    EXPECT_FALSE(e.peer.Receive(milliseconds(200)).has_value());
}

TEST(SocketLayer, WaitReadableListsReadySocketsInTheOrderGiven) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Ok());
    const SocketHandle a = OpenUdpSocket(0, false);
    const SocketHandle b = OpenUdpSocket(0, false);
    const SocketHandle c = OpenUdpSocket(0, false);
    ASSERT_TRUE(a != kInvalidSocket && b != kInvalidSocket && c != kInvalidSocket);

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitReadable({a, b, c}, 100).empty());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, milliseconds(90));

    ASSERT_TRUE(peer.SendTo(SocketLocalPort(c), Bytes{1}));
    ASSERT_TRUE(peer.SendTo(SocketLocalPort(a), Bytes{2}));
    std::vector<SocketHandle> ready;
    for (int i = 0; i < 100 && ready.size() < 2; ++i)
        ready = WaitReadable({c, b, a}, 20);
    EXPECT_EQ(ready, (std::vector<SocketHandle>{c, a}));
    CloseSocket(a);
    CloseSocket(b);
    CloseSocket(c);
}

// The wake-up ends a wait at once, reports sockets that are ready as well, and is auto-reset:
// however many signals came, one wait consumes them and the next runs to its time-out.
struct WakeupCase {
    const char* name;
    int signals;    // before the wait
    bool datagram;  // one is waiting on the socket
};

TEST(SocketLayer, WakeupEndsOneWaitThenClears) {
    const WakeupCase cases[] = {
        {.name = "one signal", .signals = 1, .datagram = false},
        {.name = "three signals", .signals = 3, .datagram = false},
        {.name = "signal and datagram", .signals = 1, .datagram = true},
    };
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Ok());
    for (const WakeupCase& c : cases) {
        SCOPED_TRACE(c.name);
        CReadWakeup wakeup;
        ASSERT_TRUE(wakeup.Valid());
        const SocketHandle s = OpenUdpSocket(0, false);
        ASSERT_NE(s, kInvalidSocket);
        if (c.datagram) {
            ASSERT_TRUE(peer.SendTo(SocketLocalPort(s), Bytes{1}));
            ASSERT_EQ(WaitReadable({s}, 2000), std::vector<SocketHandle>{s});
        }
        for (int i = 0; i < c.signals; ++i)
            wakeup.Signal();

        auto t0 = std::chrono::steady_clock::now();
        const auto ready = WaitReadable({s}, 10000, &wakeup);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(5000));
        EXPECT_EQ(ready, c.datagram ? std::vector<SocketHandle>{s} : std::vector<SocketHandle>{});
        // Cleared: a wait on the wake-up alone runs to its time-out.
        t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(WaitReadable({}, 50, &wakeup).empty());
        EXPECT_GE(std::chrono::steady_clock::now() - t0, milliseconds(45));
        CloseSocket(s);
    }
}

TEST(SocketLayer, WakeupFromAnotherThreadEndsALongWait) {
#ifndef _WIN32
    const int before = OpenDescriptors();
#endif
    {
        CReadWakeup wakeup;
        ASSERT_TRUE(wakeup.Valid());
        const SocketHandle s = OpenUdpSocket(0, false);
        ASSERT_NE(s, kInvalidSocket);
        std::thread signaller([&] { wakeup.Signal(); });
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(WaitReadable({s}, 10000, &wakeup).empty());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(5000));
        signaller.join();
        CloseSocket(s);
    }
#ifndef _WIN32
    EXPECT_EQ(OpenDescriptors(), before);  // the wake-up closes both of its descriptors
#endif
}

// Both systems read alike: a datagram longer than the buffer gives its first bytes (Winsock fails
// the call), and a send to a port nobody has does not fail the next receive (Winsock would report
// the ICMP error there as WSAECONNRESET).
TEST(SocketLayer, OversizeDatagramAndRefusedSendLeaveReceivesWorking) {
    SocketAndPeer e;
    ASSERT_TRUE(e.Ok());
    std::uint16_t closedPort = 0;
    {
        const LoopbackPeer gone;  // its port is free again once it is closed
        ASSERT_TRUE(gone.Ok());
        closedPort = gone.Port();
    }
    EXPECT_TRUE(SendDatagramTo(e.s, kBindingRequest.data(), kBindingRequest.size(), LoopbackNet(),
                               htons(closedPort), 1000));
    Bytes big(2000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(e.peer.SendTo(SocketLocalPort(e.s), big));
    ASSERT_TRUE(e.peer.SendTo(SocketLocalPort(e.s), Bytes{7}));

    std::uint8_t buf[64];
    std::uint32_t from = 0;
    std::uint16_t fromPort = 0;
    ASSERT_EQ(WaitReadable({e.s}, 2000), std::vector<SocketHandle>{e.s});
    ASSERT_EQ(ReceiveDatagram(e.s, buf, sizeof buf, from, fromPort), 64);
    EXPECT_EQ(Bytes(buf, buf + 64), Bytes(big.begin(), big.begin() + 64));
    EXPECT_EQ(fromPort, e.peer.PortNet());
    ASSERT_EQ(WaitReadable({e.s}, 2000), std::vector<SocketHandle>{e.s});
    ASSERT_EQ(ReceiveDatagram(e.s, buf, sizeof buf, from, fromPort), 1);
    EXPECT_EQ(buf[0], 7);
}

// The IPv6 socket bound to one address (PCP over IPv6's), on ::1: the datagram and its sender
// both ways, nothing to ::, nothing waiting afterwards.
TEST(SocketLayer, Ipv6SocketBoundToAnAddressRoundTrips) {
    Ipv6Bytes loopback{};
    loopback[15] = 1;
    CUdp6Socket a;
    CUdp6Socket b;
    if (!a.Open(loopback, 0))
        GTEST_SKIP() << "no IPv6 loopback here";
    ASSERT_TRUE(b.Open(loopback, 0));
    ASSERT_NE(a.LocalPort(), 0);
    EXPECT_TRUE(a.SendTo({loopback, b.LocalPort()}, kBindingRequest));
    EXPECT_FALSE(a.SendTo({Ipv6Bytes{}, b.LocalPort()}, kBindingRequest));
    std::uint8_t buf[64];
    Ipv6Endpoint from;
    ASSERT_EQ(b.Receive(2000, buf, from), static_cast<long>(kBindingRequest.size()));
    EXPECT_EQ(Bytes(buf, buf + kBindingRequest.size()), kBindingRequest);
    EXPECT_EQ(from, (Ipv6Endpoint{loopback, a.LocalPort()}));
    EXPECT_EQ(b.Receive(0, buf, from), -1);
    a.Close();
    EXPECT_FALSE(a.SendTo({loopback, b.LocalPort()}, kBindingRequest));
}

TEST(Tick, CountsMillisecondsForward) {
    const std::uint32_t t0 = GetTickCountMs();
    std::this_thread::sleep_for(milliseconds(30));
    const std::uint32_t elapsed = GetTickCountMs() - t0;  // unsigned: right across a wrap
    EXPECT_GE(elapsed, 29u);
    EXPECT_LT(elapsed, 2000u);
}

}  // namespace
