// The network module on real loopback sockets: receive limits, send order, the pending table
// with its retransmissions, pause, start failure and stop. Every peer is on 127.0.0.1; the
// module's fixed slots are moved to system-chosen ports except in the FixedPorts suite.
#include "net/udp_network.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "net/delivery.h"
#include "net/socket_layer.h"
#include "tests/support/net_module_test.h"

namespace {

using namespace gwtest;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

class UdpNetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Ok());
        net = std::make_unique<CUdpNetwork>(&sink, kAnyPorts);
    }
    // Starts and unpauses, as the check module does.
    void StartRunning() {
        ASSERT_TRUE(net->Start());
        ASSERT_EQ(net->SocketCount(), kSocketSlots);
        net->SetPaused(false);
    }
    // The retransmission scan runs only when the test calls Scan, on a clock that moves only
    // when the test moves it: retransmission times are asserted exactly, without sleeping.
    void UseSteppedTime(std::uint32_t start = 1000) {
        now = start;
        net->SetTickSource([this] { return now.load(); });
        net->SetScanTrigger(CUdpNetwork::ScanTrigger::Manual);
    }
    std::size_t Scan() { return net->ScanRetransmissions(); }
    // The next transmission reaches the peer; Transmit enters a tracked request in the table
    // before it sends, so the table is current once this returns.
    void ExpectTransmission(const LoopbackPeer& to, const Bytes& bytes) {
        const auto d = to.Receive(milliseconds(2000));
        ASSERT_TRUE(d.has_value());
        EXPECT_EQ(d->bytes, bytes);
    }
    // Nothing more is waiting at the peer. On loopback a datagram is in the peer's buffer when
    // sendto returns, so after a later datagram arrived anything sent before it would be here.
    static void ExpectNothingMore(const LoopbackPeer& to) {
        EXPECT_FALSE(to.Receive(milliseconds(0)).has_value());
    }
    // ms later on the stepped clock a scan sends nothing, the table is empty and nothing more
    // reaches the peer.
    void ExpectNothingDueAfter(std::uint32_t ms) {
        now += ms;
        EXPECT_EQ(Scan(), 0u);
        EXPECT_EQ(net->PendingCount(), 0u);
        ExpectNothingMore(peer);
    }
    std::uint16_t SlotPort(int slot) const { return SocketLocalPort(net->GetSocket(slot)); }

    // A tracked request of the given type to a peer, leaving from slot 0.
    NatMessage RequestTo(const LoopbackPeer& to, std::uint32_t type, std::uint32_t intervalMs) {
        NatMessage m = MakeRequest(type, LoopbackNet(), to.PortNet(), net->GetSocket(0));
        m.retryIntervalMs = intervalMs;
        return m;
    }

    LoopbackPeer peer;
    RecordingSink sink;
    std::atomic<std::uint32_t> now{0};  // the stepped clock (ms); outlives the module's threads
    std::unique_ptr<CUdpNetwork> net;
};

const Bytes kAllocTestA = {0x00, 0x06, 0x74, 0x77, 0x70, 0x07};

TEST_F(UdpNetworkTest, Delivers300BytesAndDropsEmptyAndLongerDatagrams) {
    StartRunning();
    const std::uint16_t port = SlotPort(0);
    ASSERT_TRUE(peer.SendTo(port, Bytes{}));
    ASSERT_TRUE(peer.SendTo(port, Bytes(301, 0x11)));
    ASSERT_TRUE(peer.SendTo(port, Bytes(300, 0x5A)));
    ASSERT_TRUE(peer.SendTo(port, Bytes{0x00, 0x06, 0x7C, 0x77, 0x70, 0x02}));
    ASSERT_TRUE(sink.WaitFor(2, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(50));
    const auto got = sink.Messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].length, 300);
    EXPECT_EQ(Bytes(got[0].data, got[0].data + 300), Bytes(300, 0x5A));
    EXPECT_EQ(got[1].length, 6);
    EXPECT_EQ(MessageType(got[1]), 0x7C777002u);
    EXPECT_EQ(Bytes(got[1].data + 6, got[1].data + kReceivedDataSize),
              Bytes(kReceivedDataSize - 6, 0));  // the shorter record reads zeros
    EXPECT_EQ(got[1].fromAddress, LoopbackNet());
    EXPECT_EQ(got[1].fromPort, peer.PortNet());
    EXPECT_EQ(got[1].socket, net->GetSocket(0));
}

TEST_F(UdpNetworkTest, EachSlotReportsItsOwnSocket) {
    StartRunning();
    for (int slot = 0; slot < kSocketSlots; ++slot) {
        ASSERT_TRUE(peer.SendTo(SlotPort(slot), Bytes{static_cast<std::uint8_t>(slot)}));
        ASSERT_TRUE(sink.WaitFor(static_cast<std::size_t>(slot) + 1, milliseconds(3000)));
    }
    const auto got = sink.Messages();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kSocketSlots));
    for (int slot = 0; slot < kSocketSlots; ++slot) {
        EXPECT_EQ(got[static_cast<std::size_t>(slot)].data[0], slot);
        EXPECT_EQ(got[static_cast<std::size_t>(slot)].socket, net->GetSocket(slot));
    }
    int on = 0;  // broadcast is permitted on slot 3 alone
    socklen_t len = sizeof on;
    ASSERT_EQ(getsockopt(net->GetSocket(kSearchSlot), SOL_SOCKET, SO_BROADCAST, &on, &len), 0);
    EXPECT_EQ(on, 1);
    ASSERT_EQ(getsockopt(net->GetSocket(kPort9802Slot), SOL_SOCKET, SO_BROADCAST, &on, &len), 0);
    EXPECT_EQ(on, 0);
    EXPECT_EQ(net->GetSocket(kSocketSlots), kInvalidSocket);
    EXPECT_EQ(net->GetSocket(-1), kInvalidSocket);
}

TEST_F(UdpNetworkTest, SendsLeaveInTheOrderOfTheCalls) {
    StartRunning();
    constexpr int kCount = 20;
    for (int i = 0; i < kCount; ++i) {
        NatMessage m = RequestTo(peer, kMsgBindingRequest, 3000);
        m.retryCount = -1;
        m.data[5] = static_cast<std::uint8_t>(i);  // the type's low byte tells them apart
        net->Send(m);
    }
    for (int i = 0; i < kCount; ++i) {
        auto d = peer.Receive(milliseconds(2000));
        ASSERT_TRUE(d.has_value()) << "datagram " << i;
        EXPECT_EQ(d->bytes, (Bytes{0x00, 0x06, 0x74, 0x77, 0x70, static_cast<std::uint8_t>(i)}));
        EXPECT_EQ(d->fromPortHost, SlotPort(0));
    }
}

// The one test on the real clock and the retransmit thread; the others step both by hand, and
// assert the schedule to the millisecond. The gaps are the kernel's arrival times: this thread
// may wake long after a datagram came (on a busy machine it once took two transmissions 200 ms
// apart for 7 ms apart). They still carry the send thread's delays, so the bound only tells
// "after the interval" from "at the next 50 ms scan".
TEST_F(UdpNetworkTest, UnansweredRequestIsSentThreeTimesThenDropped) {
    StartRunning();
    net->Send(RequestTo(peer, kMsgAllocTestA, 200));
    std::vector<std::chrono::nanoseconds> arrivals;
    for (int i = 0; i < 3; ++i) {
        const auto d = peer.Receive(milliseconds(2000));
        ASSERT_TRUE(d.has_value()) << "transmission " << i;
        EXPECT_EQ(d->bytes, kAllocTestA);
        arrivals.push_back(d->arrived);
    }
    EXPECT_GE(arrivals[1] - arrivals[0], milliseconds(130));
    EXPECT_GE(arrivals[2] - arrivals[1], milliseconds(130));
    ASSERT_TRUE(WaitUntil([&] { return net->PendingCount() == 0; }, milliseconds(2000)));
    // The send thread would pass a fourth within microseconds of the scan that dropped the
    // request; 100 ms is plenty.
    EXPECT_TRUE(peer.ReceiveAll(milliseconds(100)).empty());
}

// Each transmission is due strictly more than the interval after the last one; the request is
// dropped once maxRetries transmissions went unanswered.
struct ScheduleCase {
    const char* name;
    std::uint32_t intervalMs;
    std::int32_t maxRetries;
};

TEST_F(UdpNetworkTest, RetransmissionScheduleOnASteppedClock) {
    const ScheduleCase cases[] = {
        {.name = "short interval", .intervalMs = 100, .maxRetries = 3},
        {.name = "the default request", .intervalMs = 3000, .maxRetries = 3},
        {.name = "never sent again", .intervalMs = 100, .maxRetries = 1},
        {.name = "five transmissions", .intervalMs = 1, .maxRetries = 5},
    };
    UseSteppedTime();
    StartRunning();
    for (const ScheduleCase& c : cases) {
        SCOPED_TRACE(c.name);
        NatMessage m = RequestTo(peer, kMsgAllocTestA, c.intervalMs);
        m.maxRetries = c.maxRetries;
        net->Send(m);
        for (std::int32_t sent = 1;; ++sent) {
            ExpectTransmission(peer, kAllocTestA);
            ASSERT_EQ(net->PendingCount(), 1u);
            now += c.intervalMs;
            EXPECT_EQ(Scan(), 0u);  // exactly the interval: not yet due
            EXPECT_EQ(net->PendingCount(), 1u);
            now += 1;
            if (sent == c.maxRetries) {
                EXPECT_EQ(Scan(), 0u);  // due, and none left: dropped
                break;
            }
            ASSERT_EQ(Scan(), 1u);
        }
        EXPECT_EQ(net->PendingCount(), 0u);
        ExpectNothingMore(peer);
    }
}

TEST_F(UdpNetworkTest, AnswerBeforeTheIntervalRetiresTheRequest) {
    UseSteppedTime();
    StartRunning();
    net->Send(RequestTo(peer, kMsgAllocTestA, 300));
    ExpectTransmission(peer, kAllocTestA);
    ASSERT_TRUE(peer.SendTo(SlotPort(0), Bytes{0x00, 0x08, 0x7C, 0x77, 0x70, 0x07, 0x12, 0x34}));
    ASSERT_TRUE(sink.WaitFor(1, milliseconds(2000)));
    const ReceivedMessage reply = sink.Messages()[0];
    net->CompleteRequest(reply, RequestCodeOf(MessageType(reply)));
    EXPECT_EQ(net->PendingCount(), 0u);
    ExpectNothingDueAfter(301);
}

TEST_F(UdpNetworkTest, UntrackedAnswerIsSentOnceAndNeverTracked) {
    UseSteppedTime();
    StartRunning();
    ReceivedMessage from;
    from.fromAddress = LoopbackNet();
    from.fromPort = peer.PortNet();
    from.socket = net->GetSocket(kPort9802Slot);
    NatMessage answer = MakeAnswer(ReplyCode(kMsgFriendSearch), from);
    answer.retryIntervalMs = 50;
    net->Send(answer);
    auto d = peer.Receive(milliseconds(2000));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->bytes, (Bytes{0x00, 0x06, 0x7C, 0x77, 0x70, 0x0D}));
    EXPECT_EQ(d->fromPortHost, SlotPort(kPort9802Slot));  // from the socket the request came in on
    EXPECT_EQ(net->PendingCount(), 0u);
    ExpectNothingDueAfter(51);
}

TEST_F(UdpNetworkTest, PausedSendsNothingButTracksAndRetransmitsLater) {
    UseSteppedTime();
    ASSERT_TRUE(net->Start());  // paused from construction
    NatMessage lost = RequestTo(peer, kMsgBindingRequest, 3000);
    lost.retryCount = -1;
    net->Send(lost);
    net->Send(RequestTo(peer, kMsgAllocTestA, 400));
    // Tracked while paused: its first transmission is swallowed even if the send thread has not
    // got as far as the socket call when the module resumes.
    ASSERT_TRUE(WaitUntil([&] { return net->PendingCount() == 1; }, milliseconds(1000)));

    net->SetPaused(false);
    // The first transmission was swallowed; the second and third go out. Had anything left
    // while paused, it would have reached the peer before them.
    for (int i = 0; i < 2; ++i) {
        now += 401;
        ASSERT_EQ(Scan(), 1u);
        ExpectTransmission(peer, kAllocTestA);
        ASSERT_EQ(net->PendingCount(), 1u);
    }
    ExpectNothingDueAfter(401);
}

TEST_F(UdpNetworkTest, PausedReadsNothingUntilResumed) {
    ASSERT_TRUE(net->Start());
    ASSERT_TRUE(peer.SendTo(SlotPort(1), Bytes{0x00, 0x06, 0x74, 0x77, 0x70, 0x0C}));
    // Unpaused, the datagram would reach the sink within a millisecond.
    EXPECT_FALSE(sink.WaitFor(1, milliseconds(100)));
    net->SetPaused(false);
    EXPECT_TRUE(sink.WaitFor(1, milliseconds(3000)));
}

TEST_F(UdpNetworkTest, SameRequestTwiceKeepsOneEntryWithTheLaterState) {
    UseSteppedTime();
    StartRunning();
    // The first copy would be dropped after its interval without a retransmission; the second
    // replaces it and so is retransmitted up to three transmissions in all.
    const Bytes allocTestB = {0x00, 0x06, 0x74, 0x77, 0x70, 0x08};
    NatMessage once = RequestTo(peer, kMsgAllocTestB, 100);
    once.maxRetries = 1;
    net->Send(once);
    net->Send(RequestTo(peer, kMsgAllocTestB, 100));
    ExpectTransmission(peer, allocTestB);  // the two first transmissions
    ExpectTransmission(peer, allocTestB);
    EXPECT_EQ(net->PendingCount(), 1u);
    for (int i = 0; i < 2; ++i) {  // the second and third
        now += 101;
        ASSERT_EQ(Scan(), 1u);
        ExpectTransmission(peer, allocTestB);
    }
    ExpectNothingDueAfter(101);
}

TEST_F(UdpNetworkTest, SameTypeToTwoDestinationsIsTrackedIndependently) {
    StartRunning();
    LoopbackPeer other;
    ASSERT_TRUE(other.Ok());
    net->Send(RequestTo(peer, kMsgAllocTestC, 10000));
    net->Send(RequestTo(other, kMsgAllocTestC, 10000));
    ASSERT_TRUE(peer.Receive(milliseconds(2000)).has_value());
    ASSERT_TRUE(other.Receive(milliseconds(2000)).has_value());
    EXPECT_EQ(net->PendingCount(), 2u);

    ReceivedMessage reply;
    reply.fromAddress = LoopbackNet();
    reply.fromPort = other.PortNet();
    net->CompleteRequest(reply, kMsgAllocTestC);
    EXPECT_EQ(net->PendingCount(), 1u);
    net->CompleteRequest(reply, kMsgAllocTestC);  // no longer there: no effect
    EXPECT_EQ(net->PendingCount(), 1u);
}

TEST_F(UdpNetworkTest, ReplyFromAnotherPortDoesNotRetire) {
    StartRunning();
    LoopbackPeer otherPort;
    ASSERT_TRUE(otherPort.Ok());
    net->Send(RequestTo(peer, kMsgBindingRequest, 10000));
    ASSERT_TRUE(peer.Receive(milliseconds(2000)).has_value());

    const Bytes reply = {0x00, 0x06, 0x7C, 0x77, 0x70, 0x02};
    ASSERT_TRUE(otherPort.SendTo(SlotPort(0), reply));
    ASSERT_TRUE(sink.WaitFor(1, milliseconds(2000)));
    ReceivedMessage got = sink.Messages()[0];
    net->CompleteRequest(got, RequestCodeOf(MessageType(got)));
    EXPECT_EQ(net->PendingCount(), 1u);
    // Right port, wrong code: still pending.
    got.fromPort = peer.PortNet();
    net->CompleteRequest(got, kMsgAllocTestA);
    EXPECT_EQ(net->PendingCount(), 1u);

    ASSERT_TRUE(peer.SendTo(SlotPort(0), reply));
    ASSERT_TRUE(sink.WaitFor(2, milliseconds(2000)));
    got = sink.Messages()[1];
    net->CompleteRequest(got, RequestCodeOf(MessageType(got)));
    EXPECT_EQ(net->PendingCount(), 0u);
}

TEST_F(UdpNetworkTest, ZeroDestinationIsRefusedAndStaysTracked) {
    StartRunning();
    NatMessage m = RequestTo(peer, kMsgBindingRequest, 10000);
    m.address = 0;
    net->Send(m);
    // Sends leave in order: the datagram after it is the first the peer sees.
    NatMessage after = RequestTo(peer, kMsgAllocTestA, 10000);
    after.retryCount = -1;
    net->Send(after);
    ExpectTransmission(peer, kAllocTestA);
    ExpectNothingMore(peer);
    EXPECT_EQ(net->PendingCount(), 1u);
}

// sendLength is a 16-bit field over a 256-byte area: a larger value must not read past it.
TEST_F(UdpNetworkTest, OversizedSendLengthSendsNothingAndTheSenderCarriesOn) {
    StartRunning();
    NatMessage bad = RequestTo(peer, kMsgBindingRequest, 10000);
    bad.retryCount = -1;
    bad.sendLength = 1000;
    net->Send(bad);
    NatMessage good = RequestTo(peer, kMsgAllocTestA, 10000);
    good.retryCount = -1;
    net->Send(good);
    ExpectTransmission(peer, kAllocTestA);  // sends leave in order: nothing went before it
    ExpectNothingMore(peer);
}

TEST_F(UdpNetworkTest, StopEndsSendingAndDeliveringAndMayBeRepeated) {
    const int descriptors = OpenDescriptors();
    StartRunning();
    net->Send(RequestTo(peer, kMsgAllocTestA, 100));
    ASSERT_TRUE(peer.Receive(milliseconds(2000)).has_value());
    const auto t0 = Clock::now();
    EXPECT_TRUE(net->Stop());
    EXPECT_LT(Clock::now() - t0, milliseconds(1500));
    EXPECT_TRUE(sink.Cancelled());
    EXPECT_EQ(net->PendingCount(), 1u);  // Stop leaves the table alone

    NatMessage after = RequestTo(peer, kMsgAllocTestB, 100);
    after.retryCount = -1;
    net->Send(after);
    // Past the first request's interval and a scan: no send, no retransmission.
    EXPECT_TRUE(peer.ReceiveAll(milliseconds(200)).empty());
    EXPECT_TRUE(net->Stop());
    // The sockets are closed. (Not asked by binding a freed port again: a system-chosen port may
    // be handed to another process's socket the moment it is free.)
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

// Ports already taken: Start fails, no worker runs, and Stop closes what did open.
TEST_F(UdpNetworkTest, TakenPortFailsStartWithoutThreads) {
    const SocketHandle blocker = OpenUdpSocket(0, false);
    ASSERT_NE(blocker, kInvalidSocket);
    const SocketHandle probe = OpenUdpSocket(0, false);  // a free port for slot 4, to see the shift
    ASSERT_NE(probe, kInvalidSocket);
    const std::uint16_t slot4Port = SocketLocalPort(probe);
    CloseSocket(probe);

    NetworkPorts ports = kAnyPorts;
    ports.slot[kSearchSlot] = SocketLocalPort(blocker);
    ports.slot[kPort9802Slot] = slot4Port;
    net = std::make_unique<CUdpNetwork>(&sink, ports);
    const int descriptors = OpenDescriptors();
    const int threadsBefore = RunningThreads();
    EXPECT_FALSE(net->Start());
    EXPECT_LE(RunningThreads(), threadsBefore);  // an earlier test's may still be leaving
    ASSERT_EQ(net->SocketCount(), 4);
    EXPECT_EQ(SocketLocalPort(net->GetSocket(3)), slot4Port);  // later slots moved down one place
    EXPECT_EQ(net->GetSocket(4), kInvalidSocket);

    net->SetPaused(false);
    ASSERT_TRUE(peer.SendTo(SlotPort(0), Bytes{0x00, 0x06, 0x7C, 0x77, 0x70, 0x02}));
    NatMessage m = RequestTo(peer, kMsgAllocTestA, 100);
    net->Send(m);
    // With workers these would take well under a millisecond.
    EXPECT_FALSE(sink.WaitFor(1, milliseconds(100)));
    EXPECT_FALSE(peer.Receive(milliseconds(50)).has_value());

    const auto t0 = Clock::now();
    EXPECT_TRUE(net->Stop());
    EXPECT_LT(Clock::now() - t0, milliseconds(200));
    EXPECT_EQ(OpenDescriptors(), descriptors);  // the four that opened are closed
    CloseSocket(blocker);
}

// The engine's sink: deliveries go through a handshake to an engine queue that, here, nobody
// runs, as when the engine's thread is the one calling Stop.
class HandshakeSink : public IReceiveSink {
public:
    void OnReceive(const ReceivedMessage* msg) override {
        ++m_calls;
        m_handshake.Deliver(
            *msg, [this](std::function<void()> job) { m_engine.Post(std::move(job)); },
            [this](const ReceivedMessage*) { ++m_handled; });
    }
    void CancelDelivery() override { m_handshake.Cancel(); }

    JobQueue m_engine;
    std::atomic<int> m_handled{0};
    std::atomic<int> m_calls{0};

private:
    CDeliveryHandshake m_handshake;
};

TEST(UdpNetworkStop, ReturnsWithinASecondWhileADeliveryWaits) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.Ok());
    HandshakeSink sink;
    auto net = std::make_unique<CUdpNetwork>(&sink, kAnyPorts);
    ASSERT_TRUE(net->Start());
    net->SetPaused(false);
    const std::uint16_t port = SocketLocalPort(net->GetSocket(2));
    ASSERT_TRUE(peer.SendTo(port, Bytes{0x00, 0x06, 0x7C, 0x77, 0x70, 0x02}));
    ASSERT_TRUE(peer.SendTo(port, Bytes{0x00, 0x06, 0x7C, 0x77, 0x70, 0x07}));
    ASSERT_TRUE(WaitUntil([&] { return sink.m_engine.Posted() == 1; }, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(50));  // the second datagram is queued meanwhile

    const auto t0 = Clock::now();
    EXPECT_TRUE(net->Stop());
    EXPECT_LT(Clock::now() - t0, milliseconds(1300));
    EXPECT_EQ(sink.m_calls, 1);  // the queued second message is never handed to the sink
    net.reset();
    sink.m_engine.RunAll();  // the engine catches up after the module is gone
    EXPECT_EQ(sink.m_handled, 0);
}

// The engine's thread calls Send and CompleteRequest while the workers run.
TEST_F(UdpNetworkTest, SendAndCompleteFromSeveralThreads) {
    StartRunning();
    constexpr int kPerThread = 40;
    auto worker = [&](std::uint8_t tag) {
        for (int i = 0; i < kPerThread; ++i) {
            NatMessage m = RequestTo(peer, kMsgBindingRequest, 10000);
            m.data[4] = tag;
            m.data[5] = static_cast<std::uint8_t>(i);
            net->Send(m);
            ReceivedMessage reply;
            reply.fromAddress = LoopbackNet();
            reply.fromPort = peer.PortNet();
            net->CompleteRequest(reply, ReadBe32(m.data + 2));
        }
    };
    std::thread a(worker, 0x70), b(worker, 0x71);
    a.join();
    b.join();
    std::size_t received = 0;
    while (received < 2 * kPerThread && peer.Receive(milliseconds(1000)))
        ++received;
    EXPECT_EQ(received, 2u * kPerThread);
    EXPECT_LE(net->PendingCount(), 2u * kPerThread);
}

// The interval is measured as an unsigned 32-bit difference, so it holds across the wrap of the
// tick count (every 49.7 days); "greater than" the interval, not "at least".
TEST_F(UdpNetworkTest, RetransmissionIntervalHoldsAcrossTheTickWrap) {
    UseSteppedTime(0xFFFFFFF0u);
    StartRunning();
    net->Send(RequestTo(peer, kMsgAllocTestA, 100));
    ExpectTransmission(peer, kAllocTestA);

    now = 0x00000054u;  // exactly 100 ms later, past the wrap: not yet due
    EXPECT_EQ(Scan(), 0u);
    EXPECT_EQ(net->PendingCount(), 1u);

    now = 0x00000055u;  // 101 ms: due
    ASSERT_EQ(Scan(), 1u);
    ExpectTransmission(peer, kAllocTestA);
    now = 0x00000055u + 101;
    ASSERT_EQ(Scan(), 1u);
    ExpectTransmission(peer, kAllocTestA);  // third transmission
    ASSERT_EQ(net->PendingCount(), 1u);
    ExpectNothingDueAfter(101);  // 0x55 + 202: the third is overdue, none left
}

// The default slots bind the fixed ports of the friend protocol.
TEST(UdpNetworkFixedPorts, DefaultSlotsBind9801And9802) {
    RecordingSink sink;
    CUdpNetwork net(&sink);
    ASSERT_TRUE(net.Start());
    EXPECT_EQ(SocketLocalPort(net.GetSocket(kSearchSlot)), 9801);
    EXPECT_EQ(SocketLocalPort(net.GetSocket(kPort9802Slot)), 9802);
    EXPECT_TRUE(net.Stop());
}

// Another copy on the same machine holds 9802: this one cannot start.
TEST(UdpNetworkFixedPorts, TakenFixedPortFailsStart) {
    const SocketHandle other = OpenUdpSocket(9802, false);
    ASSERT_NE(other, kInvalidSocket) << "port 9802 is in use outside this test";
    RecordingSink sink;
    CUdpNetwork net(&sink);
    const int threadsBefore = RunningThreads();
    EXPECT_FALSE(net.Start());
    EXPECT_LE(RunningThreads(), threadsBefore);  // an earlier test's may still be leaving
    EXPECT_EQ(net.SocketCount(), 4);
    EXPECT_TRUE(net.Stop());
    const SocketHandle again = OpenUdpSocket(9801, true);  // 9801 was released by Stop
    EXPECT_NE(again, kInvalidSocket);
    CloseSocket(again);
    CloseSocket(other);
}

}  // namespace
