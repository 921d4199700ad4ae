// The friend phase (steps 13, 11, 12) and the responder role.

#include <gtest/gtest.h>

#include <ostream>

#include "tests/engine/prober_harness.h"

namespace enginetest {
namespace {

using Bytes = std::vector<std::uint8_t>;
const std::uint32_t kBroadcast = 0xFFFFFFFFu;

TEST_F(ProberTest, FriendPhaseSendsBindingFromSocket4ThenBothSearches) {
    ReachFriendPhase();
    const SentRecord& bind = net.sent.back();
    EXPECT_EQ(bind.Bytes(), (Bytes{0x00, 0x06, 0x74, 0x77, 0x70, 0x02}));
    EXPECT_EQ(bind.slot, 4);
    EXPECT_EQ(bind.address, kServer1);
    EXPECT_EQ(bind.port, kServer1Port);

    const std::size_t before = net.sent.size();
    Port9802Reply(50000);
    EXPECT_EQ(net.completed.back(), (CompletedRecord{kServer1, kServer1Port, 0x74777002}));
    ASSERT_EQ(net.sent.size(), before + 2);
    // Search body: our Server1, 127.0.0.10 port 7000 (0x1B58).
    const Bytes search = {0x00, 0x0C, 0x74, 0x77, 0x70, 0x0D, 0x7F, 0x00, 0x00, 0x0A, 0x1B, 0x58};
    const SentRecord& broadcast = net.sent[before];
    EXPECT_EQ(broadcast.Bytes(), search);
    EXPECT_EQ(broadcast.address, kBroadcast);
    EXPECT_EQ(broadcast.port, Port(9801));
    EXPECT_EQ(broadcast.slot, 3);
    EXPECT_TRUE(broadcast.tracked);
    const SentRecord& direct = net.sent[before + 1];
    EXPECT_EQ(direct.Bytes(), search);
    EXPECT_EQ(direct.address, kFriend);
    EXPECT_EQ(direct.port, Port(9801));
    EXPECT_EQ(direct.slot, 0);
    EXPECT_EQ(prober.Step(), StepFriendSearch);
    EXPECT_EQ(prober.Outcome().friendSockMappedPort, 50000);
}

// With no friend configured (0.0.0.0) only the broadcast goes out: a search "to nobody" would be
// sent to 0.0.0.0, which reaches this very computer on Linux.
// With no friend configured the direct search still goes out, to 0.0.0.0 from socket 0; it is the
// socket layer that refuses that destination.
TEST_F(ProberTest, NoConfiguredFriendStillSendsTheDirectSearch) {
    prober.SetServers(kServer1, kServer1Port, kServer2, kServer2Port, 0);
    ReachFriendPhase();
    const std::size_t before = net.sent.size();
    Port9802Reply(50000);
    ASSERT_EQ(net.sent.size(), before + 2);
    EXPECT_EQ(net.sent[before].address, kBroadcast);
    EXPECT_EQ(net.sent[before + 1].address, 0u);
    EXPECT_EQ(net.sent[before + 1].slot, 0);
}

struct FriendRow {
    const char* name;
    std::uint16_t friendPort;
    const char* verdict;
    bool good;
};

// Rows print as their name, so test names stay readable and stable.
void PrintTo(const FriendRow& row, std::ostream* os) {
    *os << row.name;
}

class FriendVerdictTest : public ProberTest, public ::testing::WithParamInterface<FriendRow> {};

TEST_P(FriendVerdictTest, ComparesThe9802Ports) {
    const FriendRow& row = GetParam();
    ReachFriendPhase();
    Port9802Reply(50000);
    const std::size_t mark = Mark();
    FriendAnswer(Ip("127.0.0.51"), Port(45678));
    // The answer retires the broadcast search, under the broadcast address.
    EXPECT_EQ(net.completed.back(), (CompletedRecord{kBroadcast, Port(45678), 0x7477700D}));
    EXPECT_EQ(prober.Step(), StepFriendPort);
    EXPECT_EQ(prober.TicksLeft(), 12);
    const std::size_t sent = net.sent.size();
    FriendReport(row.friendPort, Ip("127.0.0.51"), Port(45678));
    // The acknowledgement goes back untracked, from the socket the report came in on.
    ASSERT_EQ(net.sent.size(), sent + 1);
    EXPECT_EQ(net.sent.back().Bytes(), (Bytes{0x00, 0x06, 0x7C, 0x77, 0x70, 0x10}));
    EXPECT_EQ(net.sent.back().address, Ip("127.0.0.51"));
    EXPECT_EQ(net.sent.back().port, Port(45678));
    EXPECT_EQ(net.sent.back().slot, 4);
    EXPECT_FALSE(net.sent.back().tracked);

    const std::vector<std::string> lines = LinesSince(mark);
    ASSERT_GE(lines.size(), 7u);
    const std::vector<std::string> head(lines.begin(), lines.begin() + 7);
    const std::vector<std::string> expected = {
        "09:05:00 --- I have found a friend at 127.0.0.51:45678!",
        "09:05:00 --- Wait messages from my friend...",
        "09:05:00 --- Compare my MAPPED-ADDRESS with my friend from STUN Server1",
        "My and My friend's NAT Port: 50000 " + std::to_string(row.friendPort),
        "",
        row.verdict,
        "",  // the summary begins
    };
    EXPECT_EQ(head, expected);
    EXPECT_EQ(prober.ResultLines().back(), row.verdict);
    EXPECT_EQ(prober.Outcome().multiClientGood, row.good);
    EXPECT_EQ(prober.Outcome().friendIp, Ip("127.0.0.51"));
    EXPECT_EQ(prober.Step(), StepIdle);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, FriendVerdictTest,
    ::testing::Values(FriendRow{"Different", 50001,
                                "GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND It", true},
                      FriendRow{"Equal", 50000,
                                "MAYBE NOT GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND IT",
                                false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ProberTest, NoFriendEndsWithoutMultiClientLine) {
    ReachFriendPhase();
    Port9802Reply(50000);
    const std::size_t mark = Mark();
    Tick(12);
    EXPECT_EQ(prober.Step(), StepFriendSearch);
    Tick(1);
    const std::vector<std::string> lines = LinesSince(mark);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "09:05:13 --- I haven't found any friend");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(prober.Step(), StepIdle);
    EXPECT_EQ(prober.ResultLines().size(), 3u);
    EXPECT_FALSE(prober.Outcome().multiClientGood.has_value());
}

TEST_F(ProberTest, FriendWhoseReportNeverComesGivesThePessimisticVerdict) {
    ReachFriendPort();
    const std::size_t mark = Mark();
    Tick(13);
    const std::vector<std::string> lines = LinesSince(mark);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              "09:05:13 --- I can't get any messages from my friend, Maybe something wrong. NAT "
              "Check finish!");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "MAYBE NOT GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND IT");
    EXPECT_EQ(prober.ResultLines().back(),
              "MAYBE NOT GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND IT");
    EXPECT_EQ(prober.Outcome().multiClientGood, false);
    EXPECT_EQ(prober.Step(), StepIdle);
    // A report after the step was left gets no acknowledgement.
    const std::size_t sent = net.sent.size();
    FriendReport(50001);
    EXPECT_EQ(net.sent.size(), sent);
}

TEST_F(ProberTest, NoAnswerForSocket4StopsTheCheck) {
    ReachFriendPhase();
    const std::size_t mark = Mark();
    const std::size_t sent = net.sent.size();
    Tick(13);
    const std::vector<std::string> lines = LinesSince(mark);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "09:05:13 --- I can't receive any response from STUN Server, NAT Check stop!");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(net.sent.size(), sent);  // no search
    EXPECT_EQ(prober.Step(), StepIdle);
    EXPECT_EQ(presenter.shown, 1);
}

TEST_F(ProberTest, FirstAnswerWinsTheSearch) {
    ReachFriendPhase();
    Port9802Reply(50000);
    FriendAnswer(Ip("127.0.0.51"), Port(1111));
    const std::size_t mark = Mark();
    FriendAnswer(Ip("127.0.0.52"), Port(2222));
    EXPECT_TRUE(LinesSince(mark).empty());
    EXPECT_EQ(prober.Outcome().friendIp, Ip("127.0.0.51"));
    // Still retired in any step.
    EXPECT_EQ(net.completed.back(), (CompletedRecord{kBroadcast, Port(2222), 0x7477700D}));
}

// The responder: another copy searches; we ask its Server1 about our 9802 socket and answer it.
TEST_F(ProberTest, ResponderAnswersASearchWhileIdle) {
    ASSERT_EQ(prober.Step(), StepIdle);
    Deliver(EndpointMessage(0x7477700D, Ip("127.0.0.30"), Port(3478), kFriend, Port(9801), 3));
    ASSERT_EQ(net.sent.size(), 2u);
    const SentRecord& ask = net.sent[0];
    EXPECT_EQ(ask.Bytes(), (Bytes{0x00, 0x06, 0x74, 0x77, 0x70, 0x0E}));
    EXPECT_EQ(ask.address, Ip("127.0.0.30"));
    EXPECT_EQ(ask.port, Port(3478));
    EXPECT_EQ(ask.slot, 4);
    EXPECT_TRUE(ask.tracked);
    const SentRecord& answer = net.sent[1];
    EXPECT_EQ(answer.Bytes(), (Bytes{0x00, 0x06, 0x7C, 0x77, 0x70, 0x0D}));
    EXPECT_EQ(answer.address, kFriend);
    EXPECT_EQ(answer.port, Port(9801));
    EXPECT_EQ(answer.slot, 3);
    EXPECT_FALSE(answer.tracked);
    EXPECT_TRUE(net.completed.empty());  // a search answers nothing of ours

    Deliver(PortMessage(0x7C77700E, Port(61000), Ip("127.0.0.30"), Port(3478), 4));
    EXPECT_EQ(net.completed.back(), (CompletedRecord{Ip("127.0.0.30"), Port(3478), 0x7477700E}));
    ASSERT_EQ(net.sent.size(), 3u);
    const SentRecord& report = net.sent[2];
    EXPECT_EQ(report.Bytes(), (Bytes{0x00, 0x08, 0x74, 0x77, 0x70, 0x10, 0xEE, 0x48}));
    EXPECT_EQ(report.address, kFriend);
    EXPECT_EQ(report.port, Port(9801));
    EXPECT_EQ(report.slot, 4);
    EXPECT_TRUE(report.tracked);

    Deliver(Message(0x7C777010, kFriend, Port(9801), 4));
    EXPECT_EQ(net.completed.back(), (CompletedRecord{kFriend, Port(9801), 0x74777010}));
    const std::vector<std::string> expected = {
        "09:05:00 --- Request STUN Server1 my Socket4 MAPPED-ADDRESS...",
        "09:05:00 --- STUN Server1 report my Socket4 MAPPED-ADDRESS as 61000...",
    };
    EXPECT_EQ(LogLines(), expected);
    EXPECT_EQ(prober.Step(), StepIdle);
    EXPECT_EQ(prober.TicksLeft(), 0);
}

TEST_F(ProberTest, ResponderAnswersDuringACheckWithoutMovingTheStep) {
    prober.StartFilterCheck();
    Server1Binding();
    const std::size_t sent = net.sent.size();
    Deliver(EndpointMessage(0x7477700D, Ip("127.0.0.30"), Port(3478), kFriend, Port(9801), 3));
    EXPECT_EQ(SentCodesSince(sent), (std::vector<std::uint32_t>{0x7477700E, 0x7C77700D}));
    EXPECT_EQ(prober.Step(), StepChangeAck);
    EXPECT_EQ(prober.TicksLeft(), 12);
}

TEST_F(ProberTest, ResponderIgnoresItsOwnBroadcast) {
    Deliver(EndpointMessage(0x7477700D, kServer1, kServer1Port, kOwnAddress, Port(9801), 3));
    EXPECT_TRUE(net.sent.empty());
    EXPECT_TRUE(log.Text().empty());
}

// Left open by the protocol: a second Server1 reply after the report was sent has nobody to go to.
TEST_F(ProberTest, ResponderSendsNoReportToAForgottenSearcher) {
    Deliver(EndpointMessage(0x7477700D, Ip("127.0.0.30"), Port(3478), kFriend, Port(9801), 3));
    Deliver(PortMessage(0x7C77700E, Port(61000), Ip("127.0.0.30"), Port(3478), 4));
    const std::size_t sent = net.sent.size();
    Deliver(PortMessage(0x7C77700E, Port(61000), Ip("127.0.0.30"), Port(3478), 4));
    EXPECT_EQ(net.sent.size(), sent);
    EXPECT_EQ(net.completed.back().requestType, 0x7477700Eu);
}

}  // namespace
}  // namespace enginetest
