// The one retransmission rule, on a fake clock: when each transmission goes out, when the request
// is given up, and what an answer says of the round trip.

#include "standard/request_schedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Driven {
    std::vector<std::uint64_t> sends;
    std::uint64_t endMs = 0;  // given up, or answered
    RoundTrip rt;
};

// Starts at 0 and follows the deadlines; lateMs delays the timer call that would make the second
// transmission; an answer arrives at answerMs (if any) and ends the request.
Driven Drive(const ScheduleRule& rule, std::uint64_t lateMs = 0,
             std::optional<std::uint64_t> answerMs = std::nullopt) {
    CRequestSchedule s;
    Driven run;
    s.Start(rule, 0);
    run.sends.push_back(0);
    for (int steps = 0; s.Waiting() && steps < 100; ++steps) {
        std::uint64_t now = *s.NextDeadline();
        if (run.sends.size() == 1)
            now += lateMs;
        if (answerMs && *answerMs <= now) {
            run.rt = s.Answered(*answerMs);
            run.endMs = *answerMs;
            return run;
        }
        if (s.Due(now) == CRequestSchedule::Step::Send)
            run.sends.push_back(now);
        run.endMs = now;
    }
    return run;
}

struct ScheduleRow {
    const char* name;
    ScheduleRule rule;
    std::uint64_t lateMs;
    std::vector<std::uint64_t> sends;
    std::uint64_t giveUpMs;
};

class ScheduleTest : public ::testing::TestWithParam<ScheduleRow> {};

TEST_P(ScheduleTest, SendsAndGivesUpOnTime) {
    const ScheduleRow& row = GetParam();
    const Driven run = Drive(row.rule, row.lateMs);
    EXPECT_EQ(run.sends, row.sends);
    EXPECT_EQ(run.endMs, row.giveUpMs);
}

ScheduleRule Floor(ScheduleRule rule, std::uint64_t minGiveUpMs) {
    rule.minGiveUpMs = minGiveUpMs;
    return rule;
}

// clang-format off
const ScheduleRow kScheduleRows[] = {
    // RFC 5389's doubling, cut by the 9.5 s cap before the sixth transmission (due at 15.5 s).
    {"Rfc5389Doubling", ScheduleRule::Rfc5389(500, 7, 16, 9500), 0, {0, 500, 1500, 3500, 7500}, 9500},
    {"Rfc5389LastWait", ScheduleRule::Rfc5389(100, 3, 4, 10000), 0, {0, 100, 300}, 700},
    {"FixedInterval", ScheduleRule::Fixed(100, 6, 1500), 0, {0, 100, 200, 300, 400, 500}, 600},
    {"CapCutsTheTries", ScheduleRule::Fixed(900, 6, 1500), 0, {0, 900}, 1500},
    {"FloorWaitsPastTheLastTry", Floor(ScheduleRule::Fixed(250, 6, 1500), 3000), 0, {0, 250, 500, 750, 1000, 1250}, 3000},
    // A timer 700 ms late sends the late try and counts every later wait from it.
    {"LateTimerCostsNoTries", ScheduleRule::Fixed(100, 6, 2000), 700, {0, 800, 900, 1000, 1100, 1200}, 1300},
    {"LateTimerStillMeetsTheCap", ScheduleRule::Fixed(100, 6, 1000), 700, {0, 800, 900}, 1000},
    {"LateDoubling", ScheduleRule::Rfc5389(500, 7, 16, 9500), 700, {0, 1200, 2200, 4200, 8200}, 9500},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Schedule, ScheduleTest, ::testing::ValuesIn(kScheduleRows),
                         [](const auto& p) { return std::string(p.param.name); });

// A path of rttMs that loses nothing, an answer to the first transmission: whatever
// transmission it lands after, Karn's rule keeps every sample at the true round trip or none,
// the bound is never below it, and a later request waiting by the quick rule built from it
// is still waiting when its own answer comes.
TEST(Schedule, AnswersAfterARetransmissionNeverShortenTheRoundTrip) {
    const QuickPolicy policies[] = {{.capMs = 1500}, {.capMs = 2000, .fitTriesInCap = true}};
    for (const std::uint64_t rtt : {10, 100, 249, 251, 500, 600, 760, 1000, 1500, 2000}) {
        for (const std::uint64_t measureInterval : {250, 500}) {
            const ScheduleRule measuring =
                Floor(ScheduleRule::Fixed(measureInterval, 6, 3000), 3000);
            const Driven measured = Drive(measuring, 0, rtt);
            ASSERT_EQ(measured.endMs, rtt) << rtt;
            EXPECT_EQ(measured.rt.boundMs, rtt);
            if (measured.rt.sampleMs) {
                EXPECT_EQ(*measured.rt.sampleMs, rtt);
            }
            EXPECT_EQ(measured.rt.sampleMs.has_value(), measured.sends.size() == 1) << rtt;
            RoundTripEstimate estimate;
            estimate.Add(measured.rt);
            for (const QuickPolicy& policy : policies) {
                const ScheduleRule later = QuickRule(estimate, measureInterval, policy);
                EXPECT_EQ(Drive(later, 0, rtt).endMs, rtt) << rtt << " ms path gave up first";
                // A lost first try: the second one's answer still fits.
                EXPECT_GE(later.minGiveUpMs, later.intervalMs + rtt);
            }
        }
    }
}

struct QuickRow {
    const char* name;
    RoundTripEstimate rtt;
    QuickPolicy policy;
    std::uint64_t intervalMs;
    std::uint64_t capMs;
};

class QuickRuleTest : public ::testing::TestWithParam<QuickRow> {};

TEST_P(QuickRuleTest, IntervalAndCapFollowTheRoundTrip) {
    const QuickRow& row = GetParam();
    const ScheduleRule rule = QuickRule(row.rtt, 250, row.policy);
    EXPECT_EQ(rule.intervalMs, row.intervalMs);
    EXPECT_EQ(rule.capMs, row.capMs);
    EXPECT_EQ(rule.transmissions, 6);
}

// clang-format off
const QuickRow kQuickRows[] = {
    {"FloorOf100ms", {10, 10}, {}, 100, 1500},
    {"ThreeRoundTrips", {300, 300}, {}, 900, 1500},
    {"TriesFitTheCap", {300, 300}, {.capMs = 2000, .fitTriesInCap = true}, 333, 2000},
    // Only an ambiguous answer: the measuring interval stays; the cap makes room for the bound.
    {"KarnKeepsTheBackedOffInterval", {std::nullopt, 760}, {}, 250, 1770},
    {"SlowPathStretchesTheCap", {2000, 2000}, {}, 6000, 10000},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Schedule, QuickRuleTest, ::testing::ValuesIn(kQuickRows),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Schedule, EstimateKeepsTheShortestSampleAndTightestBound) {
    RoundTripEstimate e;
    e.Add({std::nullopt, 900});
    EXPECT_FALSE(e.sampleMs);
    e.Add({40, 40});
    e.Add({60, 60});
    EXPECT_EQ(e.sampleMs, 40u);
    EXPECT_EQ(e.boundMs, 40u);
}

// Each try under an identity of its own: the answer to the second try is exact, not a bound.
TEST(Schedule, AnAnswerThatNamesItsTryIsExact) {
    CRequestSchedule s;
    s.Start(ScheduleRule::Fixed(500, 6, 3000), 0);
    ASSERT_EQ(s.Due(500), CRequestSchedule::Step::Send);
    const RoundTrip rt = s.AnsweredBy(540, 1);
    EXPECT_EQ(rt.sampleMs, 40u);
    EXPECT_EQ(rt.boundMs, 40u);
    EXPECT_FALSE(s.Waiting());
}

}  // namespace
