// The responder's limit: a flood of friend searches naming any address as "Server1" must not turn
// this copy into a reflector, while a real search is still answered as before.

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/responder_limit.h"
#include "tests/engine/prober_harness.h"

namespace enginetest {
namespace {

using Decision = CResponderLimit::Decision;

// An address nobody should be made to receive our requests: the flood names it as Server1.
const std::uint32_t kVictim = Ip("127.0.0.200");
const std::uint16_t kVictimPort = Port(53);

std::uint32_t Searcher(int i) {
    return Ip("127.1.0.0") + htonl(static_cast<std::uint32_t>(i) + 1);
}

class ResponderLimitUnit : public ::testing::Test {
protected:
    void SetUp() override {
        limit.SetClock([this] { return nowMs; });
    }
    std::uint64_t nowMs = 1'000'000;
    CResponderLimit limit;
};

TEST_F(ResponderLimitUnit, AtMostFourSearchesInAnyWindowOfOneSecond) {
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(limit.AdmitSearch(Searcher(i), kVictim, kVictimPort), Decision::Answer) << i;
        nowMs += 100;
    }
    // t = 400 ms: the window holds four answers.
    EXPECT_EQ(limit.AdmitSearch(Searcher(4), kVictim, kVictimPort), Decision::Refuse);
    nowMs += 599;  // t = 999: the first answer is still inside the window
    EXPECT_EQ(limit.AdmitSearch(Searcher(5), kVictim, kVictimPort), Decision::Refuse);
    nowMs += 1;  // t = 1000: it has left, and exactly one place is free
    EXPECT_EQ(limit.AdmitSearch(Searcher(6), kVictim, kVictimPort), Decision::Answer);
    EXPECT_EQ(limit.AdmitSearch(Searcher(7), kVictim, kVictimPort), Decision::Refuse);
    nowMs += 100;  // t = 1100: the second has left
    EXPECT_EQ(limit.AdmitSearch(Searcher(8), kVictim, kVictimPort), Decision::Answer);
    EXPECT_EQ(limit.RefusedForRate(), 3u);
}

// A clock that steps back (a test's, or a broken one) must not reopen the window.
TEST_F(ResponderLimitUnit, ClockGoingBackDoesNotReopenTheWindow) {
    for (int i = 0; i < 4; ++i)
        limit.AdmitSearch(Searcher(i), kVictim, kVictimPort);
    nowMs -= 5000;
    EXPECT_EQ(limit.AdmitSearch(Searcher(9), kVictim, kVictimPort), Decision::Refuse);
}

TEST_F(ResponderLimitUnit, OneOutstandingRequestPerSearcherUntilAnsweredOrExpired) {
    const std::uint32_t a = Searcher(0);
    EXPECT_EQ(limit.AdmitSearch(a, kVictim, kVictimPort), Decision::Answer);
    EXPECT_EQ(limit.AdmitSearch(a, kVictim, kVictimPort), Decision::AnswerOnly);
    EXPECT_EQ(limit.HeldForOutstanding(), 1u);
    // A reply from another port of that host is not the one our request waits for.
    limit.OnServerReply(kVictim, Port(54));
    nowMs += 1000;
    EXPECT_EQ(limit.AdmitSearch(a, kVictim, kVictimPort), Decision::AnswerOnly);
    limit.OnServerReply(kVictim, kVictimPort);
    EXPECT_EQ(limit.OutstandingCount(), 0u);
    nowMs += 1000;
    EXPECT_EQ(limit.AdmitSearch(a, kVictim, kVictimPort), Decision::Answer);
    // Never answered: after the network module's last transmission (9 s) and a second's grace
    // the searcher may ask again.
    nowMs += CResponderLimit::kOutstandingMs - 1;
    EXPECT_EQ(limit.AdmitSearch(a, kVictim, kVictimPort), Decision::AnswerOnly);
    nowMs += 1;
    EXPECT_EQ(limit.AdmitSearch(a, kVictim, kVictimPort), Decision::Answer);
}

// The table of outstanding requests stays bounded whatever the clock does.
TEST_F(ResponderLimitUnit, OutstandingTableIsBoundedUnderAFloodOfSearchers) {
    for (int i = 0; i < 5000; ++i) {
        nowMs += 10;
        limit.AdmitSearch(Searcher(i), kVictim, kVictimPort);
        ASSERT_LE(limit.OutstandingCount(), CResponderLimit::kMaxOutstanding);
    }
    // 4 per second for 10 s at most.
    EXPECT_LE(limit.OutstandingCount(), 40u);
}

class ResponderFloodTest : public ProberTest {
protected:
    void SetUp() override {
        ProberTest::SetUp();
        prober.ResponderLimit().SetClock([this] { return nowMs; });
    }
    void Search(std::uint32_t from, std::uint16_t fromPort = Port(9801),
                std::uint32_t server = kVictim, std::uint16_t serverPort = kVictimPort) {
        Deliver(EndpointMessage(0x7477700D, server, serverPort, from, fromPort, 3));
    }
    std::size_t CountSent(std::uint32_t code, std::size_t from = 0) const {
        return static_cast<std::size_t>(
            std::count_if(net.sent.begin() + static_cast<std::ptrdiff_t>(from), net.sent.end(),
                          [code](const SentRecord& r) { return r.code == code; }));
    }
    std::uint64_t nowMs = 5'000'000;
};

TEST_F(ResponderFloodTest, FloodOfSearchesGivesBoundedSendsAndNoExtraLogLines) {
    for (int i = 0; i < 1000; ++i)
        Search(Searcher(i));
    EXPECT_EQ(CountSent(0x7477700E), 4u);
    EXPECT_EQ(CountSent(0x7C77700D), 4u);
    EXPECT_EQ(net.sent.size(), 8u);
    EXPECT_EQ(LogLines().size(), 4u);  // one "Request STUN Server1 ..." per answered search
    EXPECT_EQ(prober.ResponderLimit().RefusedForRate(), 996u);
    EXPECT_EQ(prober.Step(), StepIdle);
}

// Ten simulated seconds at 1000 searches per second: what leaves stays at the limit's rate.
TEST_F(ResponderFloodTest, SustainedFloodStaysAtTheLimitEverySecond) {
    int searcher = 0;
    for (int second = 0; second < 10; ++second) {
        const std::size_t before = net.sent.size();
        for (int i = 0; i < 1000; ++i) {
            nowMs += 1;
            Search(Searcher(searcher++ % 50000));
        }
        EXPECT_LE(net.sent.size() - before, 2 * CResponderLimit::kSearchesPerWindow) << second;
    }
    EXPECT_LE(CountSent(0x7477700E), 40u);
}

TEST_F(ResponderFloodTest, RealSearchAfterTheFloodIsAnsweredInFull) {
    for (int i = 0; i < 200; ++i)
        Search(Searcher(i));
    nowMs += 1000;
    const std::size_t sent = net.sent.size();
    const std::size_t mark = Mark();
    Search(kFriend, Port(9801), Ip("127.0.0.30"), Port(3478));
    ASSERT_EQ(net.sent.size(), sent + 2);
    EXPECT_EQ(net.sent[sent].code, 0x7477700Eu);
    EXPECT_EQ(net.sent[sent].address, Ip("127.0.0.30"));
    EXPECT_EQ(net.sent[sent].port, Port(3478));
    EXPECT_EQ(net.sent[sent + 1].code, 0x7C77700Du);
    EXPECT_EQ(net.sent[sent + 1].address, kFriend);

    Deliver(PortMessage(0x7C77700E, Port(61000), Ip("127.0.0.30"), Port(3478), 4));
    ASSERT_EQ(net.sent.size(), sent + 3);
    EXPECT_EQ(net.sent.back().code, 0x74777010u);
    EXPECT_EQ(net.sent.back().address, kFriend);
    const std::vector<std::string> expected = {
        "09:05:00 --- Request STUN Server1 my Socket4 MAPPED-ADDRESS...",
        "09:05:00 --- STUN Server1 report my Socket4 MAPPED-ADDRESS as 61000...",
    };
    EXPECT_EQ(LinesSince(mark), expected);
}

// A searcher's broadcast and its direct search both arrive: both are answered, Server1 is asked
// once, and the one report goes to the searcher.
TEST_F(ResponderFloodTest, BroadcastAndDirectSearchFromOneCopyAskServer1Once) {
    Search(kFriend, Port(9801), Ip("127.0.0.30"), Port(3478));
    Search(kFriend, Port(45678), Ip("127.0.0.30"), Port(3478));
    EXPECT_EQ(SentCodes(), (std::vector<std::uint32_t>{0x7477700E, 0x7C77700D, 0x7C77700D}));
    EXPECT_EQ(net.sent[2].port, Port(45678));
    EXPECT_EQ(LogLines().size(), 1u);
    Deliver(PortMessage(0x7C77700E, Port(61000), Ip("127.0.0.30"), Port(3478), 4));
    EXPECT_EQ(net.sent.back().code, 0x74777010u);
    EXPECT_EQ(net.sent.back().address, kFriend);
    // The searcher's next retransmission, after the answer, asks Server1 again as it always did.
    nowMs += 3000;
    const std::size_t sent = net.sent.size();
    Search(kFriend, Port(45678), Ip("127.0.0.30"), Port(3478));
    EXPECT_EQ(SentCodesSince(sent), (std::vector<std::uint32_t>{0x7477700E, 0x7C77700D}));
}

// Two copies, each both searcher and responder, over the fake: the checking copy's verdict is the
// same with the limit in place.
TEST_F(ResponderFloodTest, TwoCopyCheckStillReachesItsVerdict) {
    ReachFriendPort();
    // Meanwhile a flood arrives at the checking copy: its own step must not move.
    for (int i = 0; i < 100; ++i)
        Search(Searcher(i));
    EXPECT_EQ(prober.Step(), StepFriendPort);
    FriendReport(50001);
    EXPECT_EQ(prober.ResultLines().back(),
              "GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND It");
    EXPECT_EQ(prober.Step(), StepIdle);
}

}  // namespace
}  // namespace enginetest
