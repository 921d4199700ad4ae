// Replies are believed only from the party their request went to, on the socket it left from.
// Every row is an off-path forgery that once chose a verdict or a logged address.

#include <gtest/gtest.h>

#include <ostream>

#include "tests/engine/prober_harness.h"

namespace enginetest {
namespace {

struct ForgeryRow {
    const char* name;
    ProbeStep step;  // reached with every earlier reply present
    std::uint32_t code;
    std::uint32_t from;
    std::uint16_t fromPort;
    int slot;
};

void PrintTo(const ForgeryRow& row, std::ostream* os) {
    *os << row.name;
}

class ForgeryTest : public ProberTest, public ::testing::WithParamInterface<ForgeryRow> {
protected:
    void Reach(ProbeStep step) {
        switch (step) {
            case StepServer1Binding:
                prober.StartFilterCheck();
                break;
            case StepChangeReply:
                prober.StartFilterCheck();
                Server1Binding();
                ChangeAck();
                break;
            case StepPortChangeReply:
                prober.StartFilterCheck();
                Server1Binding();
                ChangeAck();
                Tick(13);
                Server2Binding();
                break;
            case StepAllocA:
                ReachAllocation();
                break;
            case StepAllocB:
                ReachAllocation();
                AllocReply(0x7C777007, 40000);
                break;
            case StepFriendSearch:
                ReachFriendPhase();
                Port9802Reply(50000);
                break;
            case StepFriendPort:
                ReachFriendPort();
                break;
            default:
                FAIL() << "no way to step " << step;
        }
        ASSERT_EQ(prober.Step(), step);
    }
};

// The forged datagram changes no step, no verdict, no logged line, and is counted.
TEST_P(ForgeryTest, StrangersDatagramIsDroppedAndCounted) {
    const ForgeryRow& row = GetParam();
    Reach(row.step);
    const std::size_t mark = Mark();
    const std::vector<std::string> verdicts = prober.ResultLines();
    Deliver(EndpointMessage(row.code, kStranger, Port(1), row.from, row.fromPort, row.slot));
    EXPECT_EQ(prober.Step(), row.step);
    EXPECT_EQ(prober.ResultLines(), verdicts);
    EXPECT_TRUE(LinesSince(mark).empty());
    EXPECT_EQ(prober.DroppedFromStrangers(), 1u);
}

// One row per line.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    EveryParty, ForgeryTest,
    ::testing::Values(
        ForgeryRow{.name = "MappedAddressFromStranger", .step = StepServer1Binding, .code = 0x7C777002, .from = kStranger, .fromPort = kServer1Port, .slot = 0},
        ForgeryRow{.name = "MappedAddressFromServer2", .step = StepServer1Binding, .code = 0x7C777002, .from = kServer2, .fromPort = kServer2Port, .slot = 0},
        ForgeryRow{.name = "MappedAddressOnAnotherSocket", .step = StepServer1Binding, .code = 0x7C777002, .from = kServer1, .fromPort = kServer1Port, .slot = 3},
        ForgeryRow{.name = "ChangeReplyFromStranger", .step = StepChangeReply, .code = 0x77747005, .from = kStranger, .fromPort = kServer2Port, .slot = 0},
        ForgeryRow{.name = "ChangeReplyFromServer1", .step = StepChangeReply, .code = 0x77747005, .from = kServer1, .fromPort = kServer1Port, .slot = 0},
        ForgeryRow{.name = "ChangeReplyOn9801", .step = StepChangeReply, .code = 0x77747005, .from = kServer2, .fromPort = kServer2Port, .slot = 3},
        ForgeryRow{.name = "PortChangeReplyFromStranger", .step = StepPortChangeReply, .code = 0x7C777006, .from = kStranger, .fromPort = kServer1OtherPort, .slot = 0},
        ForgeryRow{.name = "PortChangeReplyOn9802", .step = StepPortChangeReply, .code = 0x7C777006, .from = kServer1, .fromPort = kServer1OtherPort, .slot = 4},
        ForgeryRow{.name = "AllocReplyFromStranger", .step = StepAllocA, .code = 0x7C777007, .from = kStranger, .fromPort = kServer1Port, .slot = 0},
        ForgeryRow{.name = "SecondPortReplyFromFirstPort", .step = StepAllocB, .code = 0x7C777008, .from = kServer1, .fromPort = kServer1Port, .slot = 0},
        ForgeryRow{.name = "FriendAnswerFromBeyondTheLocalNetwork", .step = StepFriendSearch, .code = 0x7C77700D, .from = kStranger, .fromPort = Port(9801), .slot = 3},
        ForgeryRow{.name = "FriendAnswerOnSocket0FromAnother", .step = StepFriendSearch, .code = 0x7C77700D, .from = Ip("127.0.0.51"), .fromPort = Port(9801), .slot = 0},
        ForgeryRow{.name = "FriendReportFromAnother", .step = StepFriendPort, .code = 0x74777010, .from = Ip("127.0.0.51"), .fromPort = kFriendPort, .slot = 4}),
    [](const auto& p) { return std::string(p.param.name); });
// clang-format on

// Port-restricted path, forgeries of the two unsolicited replies arrive while their steps wait.
TEST_F(ProberTest, ForgedUnsolicitedRepliesLeavePortRestricted) {
    prober.StartFilterCheck();
    Server1Binding();
    ChangeAck();
    for (int slot : {0, 3, 4})
        Deliver(Message(0x77747005, kStranger, kServer2Port, slot));
    Tick(13);
    Server2Binding();
    for (int slot : {0, 3, 4})
        Deliver(Message(0x7C777006, kStranger, kServer1OtherPort, slot));
    Deliver(Message(0x7C777006, kServer1, kServer1OtherPort, 4));
    Tick(13);
    EXPECT_EQ(prober.ResultLines()[0], "NAT INCOMING PACKAGES FILTER :    PORT RESTRICTED");
    EXPECT_EQ(prober.DroppedFromStrangers(), 7u);
}

// The loopback probe's source depends on the NAT, so only its socket tells: not on socket 0, no.
TEST_F(ProberTest, LoopbackProbeOnAnotherSocketIsNoLoopback) {
    prober.StartFilterCheck();
    Server1Binding();
    Deliver(Message(0x7477700C, kMapped, kMappedPort, 3));
    ChangeAck();
    ChangeReply();
    EXPECT_EQ(prober.ResultLines()[1], "UDP LOOPBACK TRANSLATION:  NO");
    EXPECT_EQ(prober.DroppedFromStrangers(), 1u);
}

// A stranger's own search makes it the responder's last searcher; its report must still not be
// taken as the report of the friend this check found.
TEST_F(ProberTest, StrangerSearchingFirstCannotReportAsTheFriend) {
    ReachFriendPort();
    Deliver(EndpointMessage(0x7477700D, Ip("127.0.0.30"), Port(3478), kStranger, Port(9801), 3));
    FriendReport(50000, kStranger, Port(9801));
    EXPECT_EQ(prober.Step(), StepFriendPort);
    EXPECT_FALSE(prober.Outcome().multiClientGood.has_value());
}

// A 0x7C77700E nobody asked for wrote a log line each: a flood grew the log without limit.
TEST_F(ProberTest, UnaskedServerRepliesToTheResponderWriteNothing) {
    for (int i = 0; i < 1000; ++i)
        Deliver(PortMessage(0x7C77700E, Port(61000), kStranger, Port(3478), 4));
    EXPECT_TRUE(log.Text().empty());
    EXPECT_TRUE(net.sent.empty());
    EXPECT_EQ(prober.DroppedFromStrangers(), 1000u);
    // Asked, it is answered once; its duplicate, on 9801 or again, is not.
    Deliver(EndpointMessage(0x7477700D, Ip("127.0.0.30"), Port(3478), kFriend, Port(9801), 3));
    Deliver(PortMessage(0x7C77700E, Port(61000), Ip("127.0.0.30"), Port(3478), 3));
    Deliver(PortMessage(0x7C77700E, Port(61000), Ip("127.0.0.30"), Port(3478), 4));
    Deliver(PortMessage(0x7C77700E, Port(61000), Ip("127.0.0.30"), Port(3478), 4));
    EXPECT_EQ(LogLines().size(), 2u);
    EXPECT_EQ(prober.DroppedFromStrangers(), 1002u);
}

// The responder listed the interfaces and resolved the host name for every search, before its
// rate limit: a flood of searches was a flood of name lookups.
TEST_F(ProberTest, SearchFloodReadsTheLocalAddressesOncePerSecond) {
    std::uint64_t nowMs = 5000;
    prober.ResponderLimit().SetClock([&nowMs] { return nowMs; });
    for (int second = 0; second < 3; ++second) {
        for (int i = 0; i < 500; ++i) {
            Deliver(EndpointMessage(0x7477700D, Ip("127.0.0.30"), Port(3478),
                                    Ip("127.0.0.49") + htonl(static_cast<std::uint32_t>(i % 9)),
                                    Port(9801), 3));
            nowMs += 2;
        }
    }
    EXPECT_EQ(localAddressReads, 3);
    EXPECT_EQ(prober.ResponderLimit().RefusedForRate(), 1500u - 12u);
}

// A dead Server2 behind a public address used to read as SYMMETRIC with exit status 0.
TEST_F(ProberTest, DeadServer2IsNoFilteringOnAPublicAddress) {
    prober.StartFilterCheck();
    Server1Binding(kOwnAddress);
    const SentRecord& probe = net.sent.back();
    EXPECT_EQ(probe.code, 0x74777002u);
    EXPECT_EQ(probe.address, kServer2);
    EXPECT_EQ(probe.slot, 1);
    ChangeAck();
    const std::size_t mark = Mark();
    Tick(13);
    const std::vector<std::string> lines = LinesSince(mark);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(
        lines[0],
        "09:05:13 --- STUN Server2 has no response, NAT Incoming packages filter check stop.");
    EXPECT_EQ(lines[2], "NAT INCOMING PACKAGES FILTER :    UNKNOWN");
    EXPECT_EQ(prober.Step(), StepIdle);
}

}  // namespace
}  // namespace enginetest
