// The dispatcher's step rules, the time-out and the prober's life across checks.

#include <gtest/gtest.h>

#include "tests/engine/prober_harness.h"

namespace enginetest {
namespace {

TEST_F(ProberTest, TimeoutFiresOnTheThirteenthTickNotTheTwelfth) {
    prober.StartFilterCheck();
    Tick(12);
    EXPECT_EQ(prober.Step(), StepServer1Binding);
    EXPECT_EQ(prober.TicksLeft(), 0);
    EXPECT_TRUE(prober.ResultLines().empty());
    Tick(1);
    EXPECT_EQ(prober.Step(), StepIdle);
    ASSERT_EQ(prober.ResultLines().size(), 1u);
    EXPECT_EQ(prober.ResultLines()[0], "NAT INCOMING PACKAGES FILTER :    UNKNOWN");
}

TEST_F(ProberTest, ReplyAfterTheTwelfthTickIsStillAccepted) {
    prober.StartFilterCheck();
    Tick(12);
    Server1Binding();
    EXPECT_EQ(prober.Step(), StepChangeAck);
    EXPECT_EQ(prober.TicksLeft(), 12);  // re-armed for the new step
}

TEST_F(ProberTest, TicksWhileIdleLeaveTheCountdownAlone) {
    prober.StartFilterCheck();
    Tick(5);
    Tick(8);  // UNKNOWN and the summary: idle with the counter spent
    ASSERT_EQ(prober.Step(), StepIdle);
    const std::int32_t left = prober.TicksLeft();
    const std::size_t lines = Mark();
    Tick(40);
    EXPECT_EQ(prober.TicksLeft(), left);
    EXPECT_EQ(Mark(), lines);
}

TEST_F(ProberTest, ServerTimeoutLogLine) {
    prober.StartFilterCheck();
    const std::size_t mark = Mark();
    Tick(13);
    const std::vector<std::string> lines = LinesSince(mark);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              "09:05:13 --- I can't receive any response from STUN Server, NAT Check stop!");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "NAT INCOMING PACKAGES FILTER :    UNKNOWN");
}

// A late duplicate of step 1's reply must not retire anything nor disturb the change exchange.
TEST_F(ProberTest, LateBindingReplyInStep2IsIgnoredEntirely) {
    prober.StartFilterCheck();
    Server1Binding();
    const std::size_t completed = net.completed.size();
    const std::size_t sent = net.sent.size();
    const std::size_t mark = Mark();
    Server1Binding(Ip("127.0.0.98"), Port(1));
    EXPECT_EQ(net.completed.size(), completed);
    EXPECT_EQ(net.sent.size(), sent);
    EXPECT_TRUE(LinesSince(mark).empty());
    EXPECT_EQ(prober.Step(), StepChangeAck);
    EXPECT_EQ(prober.Outcome().mappedIp, kMapped);
    ChangeAck();
    EXPECT_EQ(prober.Step(), StepChangeReply);
}

TEST_F(ProberTest, ChangeAckOutsideStep2IsNotRetired) {
    prober.StartFilterCheck();
    ChangeAck();
    EXPECT_TRUE(net.completed.empty());
    EXPECT_EQ(prober.Step(), StepServer1Binding);
}

TEST_F(ProberTest, PortChangeReplyOutsideStep4StillRetires) {
    prober.StartFilterCheck();
    Server1Binding();
    const std::size_t mark = Mark();
    PortChangeReply();
    EXPECT_EQ(net.completed.back(), (CompletedRecord{kServer1, kServer1OtherPort, 0x74777006}));
    EXPECT_EQ(prober.Step(), StepChangeAck);
    EXPECT_TRUE(LinesSince(mark).empty());
    EXPECT_TRUE(prober.ResultLines().empty());
}

TEST_F(ProberTest, FriendReportOutsideStep12GetsNoAnswer) {
    prober.StartFilterCheck();
    FriendReport(50001);
    ReachFriendPhase();
    FriendReport(50001);
    EXPECT_EQ(SentCodes(), (std::vector<std::uint32_t>{0x74777002, 0x74777002, 0x74777003,
                                                       0x7477700C, 0x7F747005, 0x74777007,
                                                       0x74777008, 0x74777009, 0x74777002}));
    EXPECT_EQ(prober.Step(), StepPort9802);
}

TEST_F(ProberTest, RetireOnlyCodes) {
    Deliver(Message(0x7C777010, kFriend, kFriendPort, 4));
    Deliver(Message(0x7C717001, kServer1, kServer1Port, 0));
    const std::vector<CompletedRecord> expected = {
        {kFriend, kFriendPort, 0x74777010},
        {kServer1, kServer1Port, 0x74717001},
    };
    EXPECT_EQ(net.completed, expected);
    EXPECT_TRUE(net.sent.empty());
    EXPECT_TRUE(log.Text().empty());
}

// Each received code against a step that does not accept it: nothing written, sent or moved.
TEST_F(ProberTest, NoStepReactionWhileIdle) {
    const std::uint32_t codes[] = {0x7C777002, 0x7C777003, 0x77747005, 0x7C777006, 0x7C777007,
                                   0x7C777008, 0x7C777009, 0x7C77700A, 0x7C77700B, 0x7C77700D,
                                   0x74777010, 0x7C77700C, 0x7F747005, 0x12345678};
    for (std::uint32_t code : codes)
        Deliver(Message(code, kServer1, kServer1Port));
    EXPECT_TRUE(net.sent.empty());
    EXPECT_TRUE(log.Text().empty());
    EXPECT_EQ(prober.Step(), StepIdle);
    EXPECT_EQ(presenter.shown, 0);
}

TEST_F(ProberTest, SecondCheckStartsWithEmptyResultsAndLoopbackCleared) {
    prober.StartFilterCheck();
    Server1Binding();
    Deliver(Message(0x7477700C, kMapped, kMappedPort));
    ChangeAck();
    ChangeReply();
    ASSERT_EQ(prober.ResultLines()[1], "UDP LOOPBACK TRANSLATION:  YES(GOOD FOR PEER-TO-PEER)");
    Tick(13);  // allocation test: Server1 silent ...
    Tick(13);  // ... and no answer for socket 4: the summary
    ASSERT_EQ(prober.Step(), StepIdle);

    prober.StartFilterCheck();
    EXPECT_TRUE(prober.ResultLines().empty());
    EXPECT_FALSE(prober.Outcome().filterType.has_value());
    Server1Binding();
    ChangeAck();
    ChangeReply();
    ASSERT_EQ(prober.ResultLines().size(), 2u);
    EXPECT_EQ(prober.ResultLines()[1], "UDP LOOPBACK TRANSLATION:  NO");
}

// Without a network module the prober runs its steps and sends nothing; no crash.
TEST_F(ProberTest, NoNetworkModuleSendsNothing) {
    prober.Attach(nullptr);
    prober.StartFilterCheck();
    EXPECT_EQ(LogLines()[0], "Local machine port:[0,0,0,0,0]");
    Server1Binding();
    ChangeAck();
    ChangeReply();
    Tick(13 * 3);
    Deliver(EndpointMessage(0x7477700D, kServer1, kServer1Port, kFriend, kFriendPort, 3));
    Deliver(PortMessage(0x7C77700E, Port(1), kServer1, kServer1Port, 4));
    EXPECT_TRUE(net.sent.empty());
    EXPECT_TRUE(net.completed.empty());
    EXPECT_EQ(prober.Step(), StepIdle);
}

// The dialog's loop handles ticks and deliveries nested in the summary; the prober is idle then,
// so only the responder and the retiring act.
TEST_F(ProberTest, NestedTicksAndDeliveriesInsideTheSummary) {
    presenter.during = [this] {
        EXPECT_EQ(prober.Step(), StepIdle);
        Tick(30);
        Deliver(EndpointMessage(0x7477700D, kServer1, kServer1Port, kFriend, kFriendPort, 3));
        Server1Binding();
    };
    prober.StartFilterCheck();
    Tick(13);
    EXPECT_EQ(presenter.shown, 1);
    EXPECT_EQ(SentCodes(), (std::vector<std::uint32_t>{0x74777002, 0x7477700E, 0x7C77700D}));
    EXPECT_EQ(prober.Step(), StepIdle);
}

// A check started inside the dialog's loop empties the result lines; the report of the check
// that ended must still carry its own lines.
TEST_F(ProberTest, CheckStartedInsideTheDialogDoesNotEmptyTheReport) {
    presenter.during = [this] { prober.StartFilterCheck(); };
    prober.StartFilterCheck();
    Tick(13);
    ASSERT_EQ(presenter.links.size(), 1u);
    EXPECT_NE(presenter.links[0].find("NAT INCOMING PACKAGES FILTER :    UNKNOWN%0a"),
              std::string::npos);
    EXPECT_EQ(prober.Step(), StepServer1Binding);
}

TEST(ProberTexts, VerdictCodesAndTexts) {
    const char* filters[] = {"UNKNOWN",         "OPEN",     "FULL CONE", "IP RESTRICTED",
                             "PORT RESTRICTED", "SYMMETRIC"};
    for (int i = 0; i < 6; ++i)
        EXPECT_STREQ(FilterTypeText(i), filters[i]);
    const char* rules[] = {"UNKNOWN", "NOT SYMMETRIC NAT", "ADDRESS SENSITIVE SYMMETRIC NAT",
                           "PORT SENSITIVE SYMMETRIC NAT"};
    for (int i = 0; i < 4; ++i)
        EXPECT_STREQ(AllocRuleText(i), rules[i]);
}

}  // namespace
}  // namespace enginetest
