// The port allocation rule (steps 6 to 8) and exceptional behaviour (steps 9 and 10) tests.

#include <gtest/gtest.h>

#include <ostream>

#include "tests/engine/prober_harness.h"

namespace enginetest {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct RuleRow {
    const char* name;
    std::uint16_t a, b, c;
    const char* rule;
    bool exceptionalRuns;
};

// Rows print as their name, so test names stay readable and stable.
void PrintTo(const RuleRow& row, std::ostream* os) {
    *os << row.name;
}

class AllocationRuleTest : public ProberTest, public ::testing::WithParamInterface<RuleRow> {};

TEST_P(AllocationRuleTest, RuleLineAndWhatFollows) {
    const RuleRow& row = GetParam();
    ReachAllocation();
    AllocReply(0x7C777007, row.a);
    AllocReply(0x7C777008, row.b);
    AllocReply(0x7C777009, row.c);
    ASSERT_EQ(prober.ResultLines().size(), 3u);
    EXPECT_EQ(prober.ResultLines()[2], std::string("PORT ALLOCATION RULE :    ") + row.rule);
    EXPECT_STREQ(AllocRuleText(prober.Outcome().allocRule.value()), row.rule);
    if (row.exceptionalRuns) {
        EXPECT_EQ(prober.Step(), StepExcept1);
        EXPECT_EQ(net.sent.back().code, 0x7477700Au);
        EXPECT_EQ(net.sent.back().slot, 1);
    } else {
        EXPECT_EQ(prober.Step(), StepPort9802);
        EXPECT_EQ(net.sent.back().code, 0x74777002u);
        EXPECT_EQ(net.sent.back().slot, 4);
    }
}

INSTANTIATE_TEST_SUITE_P(
    ThreeRules, AllocationRuleTest,
    ::testing::Values(
        RuleRow{"AllEqual", 40000, 40000, 40000, "NOT SYMMETRIC NAT", false},
        RuleRow{"Server2Differs", 40000, 40000, 40010, "ADDRESS SENSITIVE SYMMETRIC NAT", true},
        // The third port is not consulted once the first two differ.
        RuleRow{"SecondPortDiffers", 40000, 40001, 40000, "PORT SENSITIVE SYMMETRIC NAT", true}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ProberTest, AllocationRequestsGoToServer1BothPortsThenServer2) {
    ReachAllocation();
    const std::size_t first = net.sent.size() - 1;
    AllocReply(0x7C777007, 40000);
    AllocReply(0x7C777008, 40000);
    ASSERT_EQ(net.sent.size(), first + 3);
    const SentRecord& a = net.sent[first];
    const SentRecord& b = net.sent[first + 1];
    const SentRecord& c = net.sent[first + 2];
    EXPECT_EQ(a.Bytes(), (Bytes{0x00, 0x06, 0x74, 0x77, 0x70, 0x07}));
    EXPECT_EQ(a.address, kServer1);
    EXPECT_EQ(a.port, kServer1Port);
    EXPECT_EQ(b.Bytes(), (Bytes{0x00, 0x06, 0x74, 0x77, 0x70, 0x08}));
    EXPECT_EQ(b.address, kServer1);
    EXPECT_EQ(b.port, Port(7001));  // Server1's port + 1, counted in host order
    EXPECT_EQ(c.Bytes(), (Bytes{0x00, 0x06, 0x74, 0x77, 0x70, 0x09}));
    EXPECT_EQ(c.address, kServer2);
    EXPECT_EQ(c.port, kServer2Port);
    for (const SentRecord* r : {&a, &b, &c}) {
        EXPECT_EQ(r->slot, 0);
        EXPECT_TRUE(r->tracked);
    }
    EXPECT_EQ(net.completed.back(), (CompletedRecord{kServer1, kServer1OtherPort, 0x74777008}));
}

TEST_F(ProberTest, AllocationLogWithAllReplies) {
    ReachAllocation();
    const std::size_t mark = Mark();
    AllocReply(0x7C777007, 40000);
    AllocReply(0x7C777008, 40000);
    AllocReply(0x7C777009, 40000);
    const std::vector<std::string> expected = {
        "09:05:00 --- STUN Server1 socketA reports my UDP NAT Port as 40000",
        "09:05:00 --- Request STUN Server1 socketB my MAPPED-ADDRESS...",
        "09:05:00 --- STUN Server1 socketB reports my UDP NAT Port as 40000",
        "09:05:00 --- Request STUN Server2 socketA my MAPPED-ADDRESS...",
        "09:05:00 --- STUN Server2 socketA reports my UDP NAT Port as 40000",
        "",
        "PORT ALLOCATION RULE :    NOT SYMMETRIC NAT",
        "",
        "09:05:00 --- Request STUN Server1 my 9802 MAPPED-ADDRESS",
    };
    EXPECT_EQ(LinesSince(mark), expected);
}

struct MissingRow {
    const char* name;
    int repliesBefore;  // how many of A, B, C arrive before the silence
    const char* line;
};

void PrintTo(const MissingRow& row, std::ostream* os) {
    *os << row.name;
}

class AllocationMissingTest : public ProberTest,
                              public ::testing::WithParamInterface<MissingRow> {};

// A silent server stops the test with its own line, the rule reads UNKNOWN and the exceptional
// test is skipped; the check goes on with the friend phase.
TEST_P(AllocationMissingTest, NoResponseLineUnknownRuleThenFriendPhase) {
    const MissingRow& row = GetParam();
    ReachAllocation();
    const std::uint32_t codes[] = {0x7C777007, 0x7C777008, 0x7C777009};
    for (int i = 0; i < row.repliesBefore; ++i)
        AllocReply(codes[i], 40000);
    const std::size_t mark = Mark();
    Tick(13);
    const std::vector<std::string> expected = {
        std::string("09:05:13 --- ") + row.line,
        "",
        "PORT ALLOCATION RULE :    UNKNOWN",
        "",
        "09:05:13 --- Request STUN Server1 my 9802 MAPPED-ADDRESS",
    };
    EXPECT_EQ(LinesSince(mark), expected);
    EXPECT_EQ(prober.Step(), StepPort9802);
    EXPECT_EQ(prober.Outcome().allocRule, AllocUnknown);
}

INSTANTIATE_TEST_SUITE_P(
    ThreeOutcomes, AllocationMissingTest,
    ::testing::Values(
        MissingRow{"Server1Port", 0,
                   "STUN Server1 has no response, NAT Port Allocation Rule check stop."},
        MissingRow{"Server1PortPlusOne", 1,
                   "STUN Server1 has no response, NAT Port Allocation Rule check stop."},
        MissingRow{"Server2", 2,
                   "STUN Server2 has no response, NAT Port Allocation Rule check stop."}),
    [](const auto& p) { return std::string(p.param.name); });

struct ExceptRow {
    const char* name;
    bool keepFirst, keepSecond;
    const char* line;
};

// Rows print as their name, so test names stay readable and stable.
void PrintTo(const ExceptRow& row, std::ostream* os) {
    *os << row.name;
}

class ExceptionalTest : public ProberTest, public ::testing::WithParamInterface<ExceptRow> {};

TEST_P(ExceptionalTest, BothPortsKeptMeansExceptional) {
    const ExceptRow& row = GetParam();
    ReachAllocation();
    AllocReply(0x7C777007, 40000);
    AllocReply(0x7C777008, 40002);
    AllocReply(0x7C777009, 40004);
    ASSERT_EQ(prober.Step(), StepExcept1);
    const std::size_t sentBefore = net.sent.size();
    const std::uint16_t p1 = row.keepFirst ? net.LocalPort(1) : 1;
    const std::uint16_t p2 = row.keepSecond ? net.LocalPort(2) : 2;
    const std::size_t mark = Mark();
    AllocReply(0x7C77700A, p1);
    ASSERT_EQ(prober.Step(), StepExcept2);
    ASSERT_EQ(net.sent.size(), sentBefore + 1);
    EXPECT_EQ(net.sent.back().Bytes(), (Bytes{0x00, 0x06, 0x74, 0x77, 0x70, 0x0B}));
    EXPECT_EQ(net.sent.back().slot, 2);
    EXPECT_EQ(net.sent.back().address, kServer1);
    EXPECT_EQ(net.sent.back().port, kServer1Port);
    AllocReply(0x7C77700B, p2);
    const std::vector<std::string> lines = LinesSince(mark);
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], row.line);  // no blank line and nothing timed before it
    EXPECT_EQ(prober.ResultLines().back(), row.line);
    EXPECT_EQ(prober.Outcome().exceptional, row.keepFirst && row.keepSecond);
    EXPECT_EQ(prober.Step(), StepPort9802);
}

INSTANTIATE_TEST_SUITE_P(
    KeptPorts, ExceptionalTest,
    ::testing::Values(
        ExceptRow{"Both", true, true, "NAT PORT ALLOCATE RULE HAS EXCEPTIONAL BEHAVIOR."},
        ExceptRow{"FirstOnly", true, false, "NAT PORT ALLOCATE RULE HAS NO EXCEPTIONAL BEHAVIOR."},
        ExceptRow{"SecondOnly", false, true, "NAT PORT ALLOCATE RULE HAS NO EXCEPTIONAL BEHAVIOR."},
        ExceptRow{"None", false, false, "NAT PORT ALLOCATE RULE HAS NO EXCEPTIONAL BEHAVIOR."}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ProberTest, ExceptionalTestStartLineAndMissingReply) {
    ReachAllocation();
    AllocReply(0x7C777007, 40000);
    AllocReply(0x7C777008, 40001);
    const std::size_t mark = Mark();
    AllocReply(0x7C777009, 40002);
    std::vector<std::string> expected = {
        "09:05:00 --- STUN Server2 socketA reports my UDP NAT Port as 40002",
        "",
        "PORT ALLOCATION RULE :    PORT SENSITIVE SYMMETRIC NAT",
        "",
        "09:05:00 --- NAT Port allocate rule Exceptional Behavior check start...",
    };
    EXPECT_EQ(LinesSince(mark), expected);
    AllocReply(0x7C77700A, 1234);
    const std::size_t mark2 = Mark();
    Tick(13);  // socket 2's reply never comes
    expected = {
        "09:05:13 --- STUN Server1 has no response, NAT Port allocate rule Exceptional Behavior "
        "check stop.",
        "",
        "09:05:13 --- Request STUN Server1 my 9802 MAPPED-ADDRESS",
    };
    EXPECT_EQ(LinesSince(mark2), expected);
    EXPECT_EQ(prober.ResultLines().size(), 3u);  // no exceptional line
    EXPECT_FALSE(prober.Outcome().exceptional.has_value());
}

// A reply for another step still retires its request and changes nothing else.
TEST_F(ProberTest, AllocationReplyOutOfStepOnlyRetires) {
    ReachAllocation();
    const std::size_t mark = Mark();
    const std::size_t sent = net.sent.size();
    AllocReply(0x7C777009, 40000);
    AllocReply(0x7C77700B, 40000);
    EXPECT_EQ(prober.Step(), StepAllocA);
    EXPECT_EQ(net.sent.size(), sent);
    EXPECT_TRUE(LinesSince(mark).empty());
    ASSERT_GE(net.completed.size(), 2u);
    EXPECT_EQ(net.completed[net.completed.size() - 2].requestType, 0x74777009u);
    EXPECT_EQ(net.completed.back().requestType, 0x7477700Bu);
}

}  // namespace
}  // namespace enginetest
