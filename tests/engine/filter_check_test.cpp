// The incoming filter and loopback tests (steps 1 to 5).

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

#include "tests/engine/prober_harness.h"

namespace enginetest {
namespace {

using Bytes = std::vector<std::uint8_t>;

enum class S2 { Missing, Same, OtherPort, OtherAddress };

struct FilterRow {
    const char* name;
    bool server1Reply;
    bool changeAck;
    bool changeReply;
    bool mappedLocal;
    S2 server2;
    bool portChangeReply;
    const char* verdict;
    std::int32_t nextStep;  // StepAllocA for a translating NAT, StepIdle after the summary
    std::vector<std::uint32_t> sent;
};

// Rows print as their name, so test names stay readable and stable.
void PrintTo(const FilterRow& row, std::ostream* os) {
    *os << row.name;
}

class FilterDecisionTest : public ProberTest, public ::testing::WithParamInterface<FilterRow> {};

// Every row of the decision table, driven by replies and time-outs (13 ticks) alone.
TEST_P(FilterDecisionTest, VerdictSendsAndNextStep) {
    const FilterRow& row = GetParam();
    const std::uint32_t mapped = row.mappedLocal ? kOwnAddress : kMapped;
    prober.StartFilterCheck();
    if (!row.server1Reply) {
        Tick(13);
    } else {
        Server1Binding(mapped);
        if (!row.changeAck) {
            Tick(13);
        } else {
            ChangeAck();
            // A computer with a public address asks Server2 from socket 1 whether it is alive.
            if (row.mappedLocal && row.server2 == S2::Same)
                Deliver(
                    EndpointMessage(0x7C777002, mapped, kMappedPort, kServer2, kServer2Port, 1));
            if (row.changeReply) {
                ChangeReply();
            } else {
                Tick(13);
                if (!row.mappedLocal) {
                    switch (row.server2) {
                        case S2::Missing:
                            Tick(13);
                            break;
                        case S2::Same:
                            Server2Binding(mapped);
                            break;
                        case S2::OtherPort:
                            Server2Binding(mapped, Port(40001));
                            break;
                        case S2::OtherAddress:
                            Server2Binding(Ip("127.0.0.98"));
                            break;
                    }
                    if (row.server2 == S2::Same) {
                        if (row.portChangeReply) {
                            PortChangeReply();
                        } else {
                            Tick(13);
                        }
                    }
                }
            }
        }
    }

    ASSERT_FALSE(prober.ResultLines().empty());
    EXPECT_EQ(prober.ResultLines()[0],
              std::string("NAT INCOMING PACKAGES FILTER :    ") + row.verdict);
    const bool translating = row.nextStep == StepAllocA;
    // The loopback line follows the filter line for a translating NAT only.
    if (translating) {
        ASSERT_EQ(prober.ResultLines().size(), 2u);
        EXPECT_EQ(prober.ResultLines()[1], "UDP LOOPBACK TRANSLATION:  NO");
    } else {
        EXPECT_EQ(prober.ResultLines().size(), 1u);
        EXPECT_EQ(presenter.shown, 1);
    }
    EXPECT_EQ(prober.Step(), row.nextStep);
    EXPECT_EQ(SentCodes(), row.sent);
    ASSERT_TRUE(prober.Outcome().filterType.has_value());
    EXPECT_STREQ(FilterTypeText(*prober.Outcome().filterType), row.verdict);
    // An UNKNOWN names the silent server: Server1 until it has acknowledged the change request.
    const bool unknown = std::string(row.verdict) == "UNKNOWN";
    EXPECT_EQ(prober.Outcome().silentServer,
              unknown ? std::optional<std::int32_t>(row.changeAck ? 2 : 1) : std::nullopt);
}

const std::uint32_t kBind = 0x74777002, kChange = 0x74777003, kLoop = 0x7477700C,
                    kAck5 = 0x7F747005, kPortChange = 0x74777006, kAllocA = 0x74777007;

// One row per line.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    EveryRow, FilterDecisionTest,
    ::testing::Values(
        FilterRow{.name = "NoServer1Reply", .server1Reply = false, .changeAck = false, .changeReply = false, .mappedLocal = false, .server2 = S2::Missing, .portChangeReply = false, .verdict = "UNKNOWN", .nextStep = StepIdle, .sent = {kBind}},
        FilterRow{.name = "NoChangeAck", .server1Reply = true, .changeAck = false, .changeReply = false, .mappedLocal = false, .server2 = S2::Missing, .portChangeReply = false, .verdict = "UNKNOWN", .nextStep = StepIdle, .sent = {kBind, kChange, kLoop}},
        FilterRow{.name = "Open", .server1Reply = true, .changeAck = true, .changeReply = true, .mappedLocal = true, .server2 = S2::Missing, .portChangeReply = false, .verdict = "OPEN", .nextStep = StepIdle, .sent = {kBind, kChange, kLoop, kBind, kAck5}},
        FilterRow{.name = "FullCone", .server1Reply = true, .changeAck = true, .changeReply = true, .mappedLocal = false, .server2 = S2::Missing, .portChangeReply = false, .verdict = "FULL CONE", .nextStep = StepAllocA, .sent = {kBind, kChange, kLoop, kAck5, kAllocA}},
        FilterRow{.name = "LocalButFiltered", .server1Reply = true, .changeAck = true, .changeReply = false, .mappedLocal = true, .server2 = S2::Same, .portChangeReply = false, .verdict = "SYMMETRIC", .nextStep = StepAllocA, .sent = {kBind, kChange, kLoop, kBind, kAllocA}},
        // A dead Server2 sends no change reply either: that is no filtering.
        FilterRow{.name = "LocalServer2Dead", .server1Reply = true, .changeAck = true, .changeReply = false, .mappedLocal = true, .server2 = S2::Missing, .portChangeReply = false, .verdict = "UNKNOWN", .nextStep = StepIdle, .sent = {kBind, kChange, kLoop, kBind}},
        FilterRow{.name = "NoServer2Reply", .server1Reply = true, .changeAck = true, .changeReply = false, .mappedLocal = false, .server2 = S2::Missing, .portChangeReply = false, .verdict = "UNKNOWN", .nextStep = StepIdle, .sent = {kBind, kChange, kLoop, kBind}},
        FilterRow{.name = "Server2SeesOtherAddress", .server1Reply = true, .changeAck = true, .changeReply = false, .mappedLocal = false, .server2 = S2::OtherAddress, .portChangeReply = false, .verdict = "SYMMETRIC", .nextStep = StepAllocA, .sent = {kBind, kChange, kLoop, kBind, kAllocA}},
        // Address and port must both match to go on to the port change request.
        FilterRow{.name = "Server2SeesOtherPort", .server1Reply = true, .changeAck = true, .changeReply = false, .mappedLocal = false, .server2 = S2::OtherPort, .portChangeReply = false, .verdict = "SYMMETRIC", .nextStep = StepAllocA, .sent = {kBind, kChange, kLoop, kBind, kAllocA}},
        FilterRow{.name = "IpRestricted", .server1Reply = true, .changeAck = true, .changeReply = false, .mappedLocal = false, .server2 = S2::Same, .portChangeReply = true, .verdict = "IP RESTRICTED", .nextStep = StepAllocA, .sent = {kBind, kChange, kLoop, kBind, kPortChange, kAllocA}},
        FilterRow{.name = "PortRestricted", .server1Reply = true, .changeAck = true, .changeReply = false, .mappedLocal = false, .server2 = S2::Same, .portChangeReply = false, .verdict = "PORT RESTRICTED", .nextStep = StepAllocA, .sent = {kBind, kChange, kLoop, kBind, kPortChange, kAllocA}}),
    [](const auto& p) { return std::string(p.param.name); });
// clang-format on

TEST_F(ProberTest, FirstStepsSendExactDatagramsAndRetireFromTheRightPeer) {
    prober.StartFilterCheck();
    ASSERT_EQ(net.sent.size(), 1u);
    const SentRecord& bind = net.sent[0];
    EXPECT_EQ(bind.Bytes(), (Bytes{0x00, 0x06, 0x74, 0x77, 0x70, 0x02}));
    EXPECT_EQ(bind.address, kServer1);
    EXPECT_EQ(bind.port, kServer1Port);
    EXPECT_EQ(bind.slot, 0);
    EXPECT_TRUE(bind.tracked);
    EXPECT_EQ(bind.msg.maxRetries, 3);
    EXPECT_EQ(bind.msg.retryIntervalMs, 3000u);
    EXPECT_EQ(prober.Step(), StepServer1Binding);
    EXPECT_EQ(prober.TicksLeft(), 12);

    Server1Binding();
    ASSERT_EQ(net.sent.size(), 3u);
    // Change request to Server1 carrying Server2 127.0.0.20 port 7100 (0x1BBC).
    EXPECT_EQ(net.sent[1].Bytes(),
              (Bytes{0x00, 0x0C, 0x74, 0x77, 0x70, 0x03, 0x7F, 0x00, 0x00, 0x14, 0x1B, 0xBC}));
    EXPECT_EQ(net.sent[1].address, kServer1);
    EXPECT_EQ(net.sent[1].port, kServer1Port);
    EXPECT_EQ(net.sent[1].slot, 0);
    // Loopback probe to our own mapped address.
    EXPECT_EQ(net.sent[2].Bytes(), (Bytes{0x00, 0x06, 0x74, 0x77, 0x70, 0x0C}));
    EXPECT_EQ(net.sent[2].address, kMapped);
    EXPECT_EQ(net.sent[2].port, kMappedPort);
    EXPECT_TRUE(net.sent[2].tracked);
    EXPECT_EQ(prober.Step(), StepChangeAck);
    EXPECT_EQ(prober.Outcome().mappedIp, kMapped);
    EXPECT_EQ(prober.Outcome().mappedPort, kMappedPort);

    ChangeAck();
    EXPECT_EQ(prober.Step(), StepChangeReply);
    Tick(13);
    ASSERT_EQ(net.sent.size(), 4u);
    EXPECT_EQ(net.sent[3].address, kServer2);
    EXPECT_EQ(net.sent[3].port, kServer2Port);
    EXPECT_EQ(net.sent[3].slot, 0);
    Server2Binding();
    // Port change request to Server1 carrying Server2's port.
    ASSERT_EQ(net.sent.size(), 5u);
    EXPECT_EQ(net.sent[4].Bytes(), (Bytes{0x00, 0x08, 0x74, 0x77, 0x70, 0x06, 0x1B, 0xBC}));
    EXPECT_EQ(net.sent[4].address, kServer1);
    EXPECT_EQ(net.sent[4].port, kServer1Port);
    PortChangeReply();

    const std::vector<CompletedRecord> expected = {
        {kServer1, kServer1Port, 0x74777002},
        {kServer1, kServer1Port, 0x74777003},
        {kServer2, kServer2Port, 0x74777002},
        {kServer1, kServer1OtherPort, 0x74777006},
    };
    EXPECT_EQ(net.completed, expected);
}

TEST_F(ProberTest, FirstTestLogUpToPortRestricted) {
    prober.StartFilterCheck();
    Server1Binding();
    ChangeAck();
    Tick(13);
    Server2Binding();
    Tick(13);
    const std::string ports =
        "Local machine port:[" + std::to_string(net.LocalPort(0)) + "," +
        std::to_string(net.LocalPort(1)) + "," + std::to_string(net.LocalPort(2)) + "," +
        std::to_string(net.LocalPort(3)) + "," + std::to_string(net.LocalPort(4)) + "]";
    const std::vector<std::string> expected = {
        ports,
        "",
        "09:05:00 --- NAT Incoming packages filter check start...",
        "09:05:00 --- Request STUN Server1 my MAPPED-ADDRESS...",
        "09:05:00 --- STUN Server1 reports my UDP address as 127.0.0.99:40000",
        "09:05:00 --- STUN CHANGE-REQUEST requests the server to send the Binding Response with "
        "a different IP and Port...",
        "09:05:00 --- Check NAT udp loopback translation...",
        "09:05:00 --- Receive STUN Server1 CHANGE-REQUEST response",
        "09:05:13 --- Request STUN Server2 my MAPPED-ADDRESS...",
        "09:05:13 --- STUN Server2 reports my UDP address as 127.0.0.99:40000",
        "09:05:13 --- STUN PORT CHANGE-REQUEST requests the server to send the Binding Response "
        "with a different Port...",
        "",
        "NAT INCOMING PACKAGES FILTER :    PORT RESTRICTED",
        "UDP LOOPBACK TRANSLATION:  NO",
        "",
        "09:05:26 --- NAT Port allocate rule check start...",
        "09:05:26 --- Request STUN Server1 socketA my MAPPED-ADDRESS...",
    };
    EXPECT_EQ(LogLines(), expected);
}

TEST_F(ProberTest, OpenComputerWritesNoLoopbackLineAndSummarizesAtOnce) {
    prober.StartFilterCheck();
    Server1Binding(kOwnAddress);
    ChangeAck();
    const std::size_t mark = Mark();
    Deliver(Message(0x77747005, kServer2, Port(7777), 0));
    // The acknowledgement goes back untracked to the sender, from the socket it came in on.
    const SentRecord& ack = net.sent.back();
    EXPECT_EQ(ack.Bytes(), (Bytes{0x00, 0x06, 0x7F, 0x74, 0x70, 0x05}));
    EXPECT_EQ(ack.address, kServer2);
    EXPECT_EQ(ack.port, Port(7777));
    EXPECT_EQ(ack.slot, 0);
    EXPECT_FALSE(ack.tracked);
    // Nothing retires: 0x77747005 answers no request of ours.
    EXPECT_EQ(net.completed.size(), 2u);
    const std::vector<std::string> lines = LinesSince(mark);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "09:05:00 --- Receive STUN Server2 CHANGE-REQUEST response");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "NAT INCOMING PACKAGES FILTER :    OPEN");
    EXPECT_EQ(lines[3], "");  // the summary's frame, no loopback line
    EXPECT_EQ(prober.Step(), StepIdle);
    EXPECT_FALSE(prober.Outcome().loopback.has_value());
}

TEST_F(ProberTest, LoopbackProbeReturningBeforeTheVerdictSaysYes) {
    prober.StartFilterCheck();
    Server1Binding();
    Deliver(Message(0x7477700C, kMapped, kMappedPort, 0));
    // The probe is its own answer, retired under our mapped address.
    EXPECT_EQ(net.completed.back(), (CompletedRecord{kMapped, kMappedPort, 0x7477700C}));
    EXPECT_EQ(prober.Step(), StepChangeAck);  // any step; the step does not move
    ChangeAck();
    ChangeReply();
    ASSERT_EQ(prober.ResultLines().size(), 2u);
    EXPECT_EQ(prober.ResultLines()[1], "UDP LOOPBACK TRANSLATION:  YES(GOOD FOR PEER-TO-PEER)");
    EXPECT_EQ(prober.Outcome().loopback, true);
}

TEST_F(ProberTest, LoopbackProbeAfterTheVerdictChangesNoWrittenLine) {
    ReachAllocation();
    Deliver(Message(0x7477700C, kMapped, kMappedPort, 0));
    EXPECT_EQ(prober.ResultLines()[1], "UDP LOOPBACK TRANSLATION:  NO");
    EXPECT_EQ(prober.Step(), StepAllocA);
}

TEST_F(ProberTest, StartWithAZeroServerValueSendsNothingAndStaysIdle) {
    prober.SetServers(kServer1, 0, kServer2, kServer2Port, 0);
    prober.StartFilterCheck();
    EXPECT_TRUE(net.sent.empty());
    EXPECT_EQ(prober.Step(), StepIdle);
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "09:05:00 --- NAT Incoming packages filter check start...");
}

}  // namespace
}  // namespace enginetest
