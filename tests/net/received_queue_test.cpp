// The received queue under a flood, and what an idle module costs. Every peer is on 127.0.0.1;
// the module's fixed slots are moved to system-chosen ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "net/socket_layer.h"
#include "tests/support/net_module_test.h"

namespace {

using namespace gwtest;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

const Bytes kJunk = {0x00, 0x06, 0x7C, 0x77, 0x70, 0x99};
const Bytes kReal = {0x00, 0x06, 0x7C, 0x77, 0x70, 0x0D};

// A started, resumed module on system-chosen ports. With a closed gate its sink stands for an
// engine that is busy until the test opens the gate, so the queue fills as it would behind a slow
// user-interface thread; the sink checks that no two deliveries ever overlap.
template <RecordingSink::Gate kGate>
class RunningModule : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.Start());
        net.SetPaused(false);
    }
    RecordingSink sink{kGate};
    CUdpNetwork net{&sink, kAnyPorts};
};
using UdpNetworkFlood = RunningModule<RecordingSink::Gate::Closed>;
using UdpNetworkIdle = RunningModule<RecordingSink::Gate::Open>;

// Regression: the queue was unbounded, so a flood on 9801/9802 grew memory without limit while
// the engine was busy. Now each socket holds at most its share of kReceivedQueueLimit and what is
// dropped is counted; a reply on the probe socket is still queued while the flooded ones are full
// (a check lost its changed-address reply that way), and once the engine catches up a real
// message sent after the flood is delivered.
TEST_F(UdpNetworkFlood, QueueStaysBoundedAndALaterMessageStillArrives) {
    LoopbackPeer flooder;
    LoopbackPeer peer;
    ASSERT_TRUE(flooder.Ok() && peer.Ok());
    const std::uint16_t ports[] = {SocketLocalPort(net.GetSocket(kSearchSlot)),
                                   SocketLocalPort(net.GetSocket(kPort9802Slot))};

    // Flood both fixed-port slots until well past the limit (bounded in count and time; the
    // kernel drops some itself when the receive thread falls behind).
    const auto deadline = Clock::now() + milliseconds(10000);
    std::size_t sent = 0;
    while (net.ReceivedDropped() < 2000 && sent < 500000 && Clock::now() < deadline) {
        for (int i = 0; i < 128; ++i, ++sent)
            flooder.SendTo(ports[sent % 2], kJunk);
    }
    ASSERT_GE(net.ReceivedDropped(), 2000u) << "sent " << sent;
    EXPECT_EQ(net.ReceivedQueuePeak(), 2 * kReceivedPerSocketLimit);
    EXPECT_LE(net.ReceivedQueueLength(), kReceivedQueueLimit);

    // The two flooded shares are full; the probe socket's is not.
    const std::size_t queued = net.ReceivedQueueLength();
    ASSERT_TRUE(peer.SendTo(SocketLocalPort(net.GetSocket(0)), kReal));
    ASSERT_TRUE(WaitUntil([&] { return net.ReceivedQueueLength() > queued; }, milliseconds(5000)));

    const std::uint32_t realType = ReadBe32(kReal.data() + 2);
    const auto realOn = [&](int slot) {
        const auto got = sink.Messages();
        return std::any_of(got.begin(), got.end(), [&](const ReceivedMessage& m) {
            return MessageType(m) == realType && m.socket == net.GetSocket(slot);
        });
    };
    sink.Open();
    ASSERT_TRUE(WaitUntil([&] { return realOn(0); }, milliseconds(10000)));
    ASSERT_TRUE(WaitUntil([&] { return net.ReceivedQueueLength() == 0; }, milliseconds(10000)));
    // Datagrams still in the kernel's buffers may trickle in; the real one comes after them.
    ASSERT_TRUE(peer.SendTo(ports[1], kReal));
    ASSERT_TRUE(WaitUntil([&] { return realOn(kPort9802Slot); }, milliseconds(5000)));
    const auto got = sink.Messages();
    EXPECT_GE(got.size(), 2 * kReceivedPerSocketLimit + 2);  // the shares, the probe, the last
    EXPECT_EQ(got.back().fromPort, peer.PortNet());
    EXPECT_EQ(got.back().socket, net.GetSocket(kPort9802Slot));
    EXPECT_LE(net.ReceivedQueuePeak(), kReceivedQueueLimit);
    EXPECT_FALSE(sink.Overlapped());
    EXPECT_TRUE(net.Stop());
}

// A burst is handed over one message at a time, in arrival order, from all sockets.
TEST_F(UdpNetworkFlood, BurstIsDeliveredInOrderOneAtATime) {
    sink.Open();
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Ok());
    constexpr int kCount = 300;
    for (int i = 0; i < kCount; ++i) {
        const Bytes d = {0x00,
                         0x08,
                         0x7C,
                         0x77,
                         0x70,
                         0x02,
                         static_cast<std::uint8_t>(i >> 8),
                         static_cast<std::uint8_t>(i)};
        ASSERT_TRUE(peer.SendTo(SocketLocalPort(net.GetSocket(0)), d));
        if (i % 50 == 49) {  // stay inside the socket's receive buffer
            ASSERT_TRUE(WaitUntil([&] { return sink.Messages().size() >= std::size_t(i) + 1; },
                                  milliseconds(5000)));
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return sink.Messages().size() == kCount; }, milliseconds(5000)));
    const auto got = sink.Messages();
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(ReadBe16(got[static_cast<std::size_t>(i)].data + 6), i);
    EXPECT_FALSE(sink.Overlapped());
    EXPECT_EQ(net.ReceivedDropped(), 0u);
    EXPECT_TRUE(net.Stop());
}

// Regression for the idle cost: the dispatch thread looked at its queue every millisecond and
// the retransmission scan ran every 50 ms on an empty table. Idle, only the receive thread's
// one-second wait may wake the module.
TEST_F(UdpNetworkIdle, SleepsUntilThereIsWork) {
    std::this_thread::sleep_for(milliseconds(100));  // let the workers reach their waits
    const auto before = SwitchesByThread();
    // Half a second: the old polls would show 500 (dispatch) and 10 (scan) wake-ups.
    std::this_thread::sleep_for(milliseconds(500));
    const auto after = SwitchesByThread();
    for (const char* name : {"gw-receive", "gw-dispatch", "gw-send", "gw-retransmit"}) {
        ASSERT_TRUE(after.count(name)) << name << " is not running under its name";
        // The receive thread wakes once a second (its wait may end in the window); the others
        // not.
        const long allowed = std::string(name) == "gw-receive" ? 3 : 1;
        EXPECT_LE(after.at(name) - before.at(name), allowed) << name;
    }
    EXPECT_TRUE(net.Stop());
}

// The scan sleeps while the table is empty; a request entered later must still wake it, or
// the request would never be sent again.
TEST_F(UdpNetworkIdle, ScanWakesForARequestAfterTheTableEmptied) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Ok());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        NatMessage m = MakeRequest(kMsgAllocTestA, LoopbackNet(), peer.PortNet(), net.GetSocket(0));
        m.retryIntervalMs = 10;
        m.maxRetries = 2;
        net.Send(m);
        ASSERT_TRUE(peer.Receive(milliseconds(2000)).has_value());
        ASSERT_TRUE(peer.Receive(milliseconds(2000)).has_value()) << "never sent again";
        ASSERT_TRUE(WaitUntil([&] { return net.PendingCount() == 0; }, milliseconds(2000)));
        // Longer than the 50 ms scan period: the scan is back asleep on the empty table.
        std::this_thread::sleep_for(milliseconds(80));
    }
    EXPECT_TRUE(net.Stop());
}

// Stop wakes every sleeping worker at once, the receive thread in its one-second wait too.
TEST_F(UdpNetworkIdle, StopOfAnIdleModuleEndsEveryThread) {
    std::this_thread::sleep_for(milliseconds(50));
    const auto t0 = Clock::now();
    EXPECT_TRUE(net.Stop());
    EXPECT_LT(Clock::now() - t0, milliseconds(200));
    EXPECT_TRUE(NoThreadCalled("gw-dispatch", milliseconds(500)));
    EXPECT_TRUE(NoThreadCalled("gw-retransmit", milliseconds(500)));
}

}  // namespace
