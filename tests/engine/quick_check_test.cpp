// The quick check: against a scripted NAT and scripted servers, however slow the path, it writes
// the verdict lines the stepwise check writes against the same script; its retransmissions
// follow the measured round trip on the fake clock; strangers' datagrams are dropped and counted.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <ostream>
#include <set>

#include "engine/quick_check.h"
#include "tests/engine/prober_harness.h"

namespace enginetest {
namespace {

// Test names are the rows' names.
template <class Row>
std::string NameOf(const ::testing::TestParamInfo<Row>& row) {
    return row.param.name;
}

enum class Filter { None, IpRestricted, PortRestricted };
enum class Mapping { Independent, AddressDependent, PortDependent };
enum class Friend { None, GoodNat, BadNat, ReportLost };

// A path between this computer and the servers: a NAT (or none, mappedLocal), two servers
// answering as the probe servers do, and perhaps a friend on the local network.
struct PathScript {
    const char* name;
    bool mappedLocal = false;  // no NAT: the public address is this computer's own
    Filter filter = Filter::None;
    Mapping mapping = Mapping::Independent;
    bool hairpin = false;
    bool keepsLocalPort = false;  // the public port of a socket's first mapping is its local one
    bool server1Alive = true;
    bool server2Alive = true;
    Friend buddy = Friend::None;
    const char* filterLine;  // what both checks must find
    int changeAcksLost = 0;  // Server1's first acknowledgements of the change request lost
    // The quick check's path: every datagram the servers (and, for its port report, the friend)
    // send arrives this long after the one it answers left; the NAT's own turn-round and the
    // friend's answer to the search come at once. The stepwise check gets its replies at once.
    std::uint64_t replyDelayMs = 2;
    std::uint64_t withinMs = 3000;  // the quick check ends sooner
};

void PrintTo(const PathScript& row, std::ostream* os) {
    *os << row.name;
}

const std::uint16_t kS1Next = Port(7001);
const std::uint16_t kS1PortChange = Port(7002);  // the servers' send-only ports
const std::uint16_t kS2Changed = Port(7101);

// Plays the NAT and the servers for whatever the check sends, on either recording network.
class ScriptedPath {
public:
    // Answers only what is sent from now on.
    ScriptedPath(const PathScript& script, CRecordingNetwork& main, CRecordingNetwork* fresh)
        : m_s(script),
          m_main(main),
          m_fresh(fresh),
          m_mainDone(main.sent.size()),
          m_freshDone(fresh != nullptr ? fresh->sent.size() : 0) {}

    struct Arrival {
        bool main;
        ReceivedMessage msg;
        bool local = false;  // from the NAT itself or the local network: no path delay
    };

    // Turns everything sent since the last call into the datagrams that come back.
    std::deque<Arrival> Answer() {
        std::deque<Arrival> out;
        Collect(m_main, true, m_mainDone, out);
        if (m_fresh != nullptr)
            Collect(*m_fresh, false, m_freshDone, out);
        return out;
    }
    // Whether a datagram from ip:port passes the NAT to the socket now.
    bool Passes(bool main, int slot, std::uint32_t ip, std::uint16_t port) const {
        const auto it = m_contacted.find({main, slot});
        if (m_s.filter == Filter::None)
            return true;
        if (it == m_contacted.end())
            return false;
        for (const auto& [cip, cport] : it->second) {
            if (cip == ip && (m_s.filter == Filter::IpRestricted || cport == port))
                return true;
        }
        return false;
    }

private:
    using Dest = std::pair<std::uint32_t, std::uint16_t>;
    std::uint32_t PublicIp() const { return m_s.mappedLocal ? kOwnAddress : kMapped; }
    std::uint16_t PublicPort(const CRecordingNetwork& net, bool main, int slot,
                             const Dest& to) const {
        const std::uint16_t local = net.LocalPort(slot);
        if (m_s.mappedLocal)
            return local;
        const std::uint16_t base =
            m_s.keepsLocalPort ? local
                               : static_cast<std::uint16_t>(50000 + (main ? 0 : 100) + slot * 10);
        int offset = 0;
        if (m_s.mapping == Mapping::AddressDependent && to.first == kServer2)
            offset = 2;
        if (m_s.mapping == Mapping::PortDependent)
            offset = to.first == kServer2 ? 2 : (to.second == kServer1Port ? 0 : 1);
        return static_cast<std::uint16_t>(base + offset);
    }
    ReceivedMessage Make(const CRecordingNetwork& net, int slot, const std::uint8_t* bytes,
                         std::uint16_t len, std::uint32_t from, std::uint16_t fromPort) const {
        ReceivedMessage m;
        MakeReceived(m, bytes, len, from, fromPort, net.GetSocket(slot));
        return m;
    }
    void Collect(CRecordingNetwork& net, bool main, std::size_t& done, std::deque<Arrival>& out) {
        for (; done < net.sent.size(); ++done) {
            const SentRecord& r = net.sent[done];
            const Dest to{r.address, r.port};
            m_contacted[{main, r.slot}].insert(to);
            const bool toS1 = r.address == kServer1 && m_s.server1Alive;
            const bool toS2 = r.address == kServer2 && m_s.server2Alive;
            const std::uint16_t pub = PublicPort(net, main, r.slot, to);
            std::uint8_t b[12];
            const auto from = [&](std::uint16_t len, std::uint32_t ip, std::uint16_t port) {
                out.push_back({main, Make(net, r.slot, b, len, ip, port)});
            };
            switch (r.code) {
                case 0x74777002:
                    if (toS1 || toS2)
                        from(EncodeEndpoint(b, 0x7C777002, PublicIp(), Port(pub)), r.address,
                             r.port);
                    break;
                case 0x74777003:
                    if (!toS1)
                        break;
                    if (m_changeAcksLost < m_s.changeAcksLost)
                        ++m_changeAcksLost;
                    else
                        from(EncodeEmpty(b, 0x7C777003), kServer1, kServer1Port);
                    if (m_s.server2Alive)
                        from(EncodeEmpty(b, 0x77747005), kServer2, kS2Changed);
                    break;
                case 0x74777006:
                    if (toS1)
                        from(EncodeEmpty(b, 0x7C777006), kServer1, kS1PortChange);
                    break;
                case 0x74777007:
                case 0x74777008:
                case 0x74777009:
                case 0x7477700A:
                case 0x7477700B:
                    if (toS1 || toS2)
                        from(EncodePort(b, r.code | kReplyBit, Port(pub)), r.address, r.port);
                    break;
                case 0x7477700C:
                    // The NAT turns it round itself, sooner than any server answers.
                    if (m_s.hairpin) {
                        const std::uint16_t len = EncodeEmpty(b, 0x7477700C);
                        out.push_front({main, Make(net, r.slot, b, len, PublicIp(), r.port), true});
                    }
                    break;
                case 0x7477700D:
                    AnswerSearch(net, main, r, out);
                    break;
                default:
                    break;
            }
        }
    }
    void AnswerSearch(CRecordingNetwork& net, bool main, const SentRecord& r,
                      std::deque<Arrival>& out) {
        // The friend hears the broadcast (it is on the local network) and answers once.
        if (m_s.buddy == Friend::None || r.address != 0xFFFFFFFFu || m_friendAnswered)
            return;
        m_friendAnswered = true;
        std::uint8_t b[12];
        std::uint16_t len = EncodeEmpty(b, 0x7C77700D);
        out.push_back({main, Make(net, r.slot, b, len, kFriend, kFriendPort), true});
        if (m_s.buddy == Friend::ReportLost)
            return;
        // The report follows the friend's own round trip to its Server1: the path's delay.
        // Our 9802 socket's public port towards Server1, which a bad NAT gives the friend too.
        const std::uint16_t ours = PublicPort(m_main, true, 4, {kServer1, kServer1Port});
        const std::uint16_t theirs =
            m_s.buddy == Friend::BadNat ? ours : static_cast<std::uint16_t>(ours + 7);
        len = EncodePort(b, 0x74777010, Port(theirs));
        out.push_back({main, Make(net, r.slot, b, len, kFriend, kFriendPort)});
    }

    const PathScript& m_s;
    CRecordingNetwork& m_main;
    CRecordingNetwork* m_fresh;
    std::size_t m_mainDone;
    std::size_t m_freshDone;
    bool m_friendAnswered = false;
    int m_changeAcksLost = 0;
    std::map<std::pair<bool, int>, std::set<Dest>> m_contacted;
};

class QuickCheckTest : public ProberTest {
protected:
    void SetUp() override {
        ProberTest::SetUp();
        quick.SetClock([this] { return nowMs; });
    }
    QuickCheckConfig Config(std::uint32_t friendIp = kFriend) const {
        return {.server1Ip = kServer1,
                .server1Port = kServer1Port,
                .server2Ip = kServer2,
                .server2Port = kServer2Port,
                .friendIp = friendIp};
    }
    // Server1's or Server2's binding reply on a fresh socket.
    ReceivedMessage EndpointReply(int slot, std::uint32_t from, std::uint16_t fromPort) const {
        std::uint8_t b[12];
        const std::uint16_t len = EncodeEndpoint(b, 0x7C777002, kMapped, kMappedPort);
        ReceivedMessage m;
        MakeReceived(m, b, len, from, fromPort, fresh.GetSocket(slot));
        return m;
    }
    // Starts at 0 ms and answers the three round-trip measurements rttMs later (Server1 on both
    // sockets, Server2 on the mapping socket), so every test is under way; false when Start fails.
    // With lostUntilMs, the first measuring requests are lost and the replies answer the
    // retransmissions made then.
    bool StartMeasured(std::uint32_t friendIp, std::uint64_t rttMs, std::uint64_t lostUntilMs = 0) {
        nowMs = 0;
        if (!quick.Start(Config(friendIp), &net, &fresh))
            return false;
        if (lostUntilMs > 0) {
            nowMs = lostUntilMs;
            quick.OnTimer();
        }
        nowMs += rttMs;
        quick.OnFreshMessage(EndpointReply(kQuickFilterSlot, kServer1, kServer1Port));
        quick.OnFreshMessage(EndpointReply(kQuickMappingSlot, kServer1, kServer1Port));
        quick.OnFreshMessage(EndpointReply(kQuickMappingSlot, kServer2, kServer2Port));
        return true;
    }
    // Hands an arrival over as the check module routes it during a quick check.
    void Route(const ScriptedPath& path, const ScriptedPath::Arrival& a, bool quickRun) {
        const int slot = (a.main ? net : fresh).SlotOf(a.msg.socket);
        const bool fromFriend = a.msg.fromAddress == kFriend;
        if (!fromFriend && !path.Passes(a.main, slot, a.msg.fromAddress, a.msg.fromPort))
            return;
        if (!a.main) {
            quick.OnFreshMessage(a.msg);
        } else if (!quickRun || !quick.OnMainMessage(a.msg)) {
            prober.HandleMessage(&a.msg);
        }
    }
    // The stepwise check against the script: replies at once, a tick whenever nothing comes.
    std::vector<std::string> RunFull(const PathScript& script) {
        ScriptedPath path(script, net, nullptr);
        prober.StartFilterCheck();
        for (int ticks = 0; prober.Step() != StepIdle && ticks < 400;) {
            std::deque<ScriptedPath::Arrival> arrivals = path.Answer();
            if (arrivals.empty()) {
                Tick();
                ++ticks;
            }
            for (const auto& a : arrivals)
                Route(path, a, false);
        }
        EXPECT_EQ(prober.Step(), StepIdle);
        return prober.ResultLines();
    }
    // The quick check against the script: every reply in flight for the script's delay (local
    // ones for 1 ms), the clock stepped to each arrival or deadline, whichever comes first.
    std::vector<std::string> RunQuick(const PathScript& script) {
        ScriptedPath path(script, net, &fresh);
        nowMs = 1000;
        EXPECT_TRUE(quick.Start(Config(), &net, &fresh));
        std::multimap<std::uint64_t, ScriptedPath::Arrival> inFlight;
        for (int events = 0; quick.Running() && events < 2000; ++events) {
            for (ScriptedPath::Arrival& a : path.Answer())
                inFlight.emplace(nowMs + (a.local ? 1 : script.replyDelayMs), std::move(a));
            const auto next = quick.NextDeadline();
            if (!inFlight.empty() && (!next || inFlight.begin()->first <= *next)) {
                nowMs = std::max(nowMs, inFlight.begin()->first);
                const ScriptedPath::Arrival a = inFlight.begin()->second;
                inFlight.erase(inFlight.begin());
                Route(path, a, true);
                continue;
            }
            if (!next)
                break;
            nowMs = std::max(nowMs, *next);
            quick.OnTimer();
        }
        EXPECT_FALSE(quick.Running());
        return prober.ResultLines();
    }

    CRecordingNetwork fresh;
    std::uint64_t nowMs = 1000;
    CQuickCheck quick{prober, [this] { return nowMs; }};
};

class QuickVerdictTest : public QuickCheckTest, public ::testing::WithParamInterface<PathScript> {};

// One row per NAT behaviour and path: the quick check's verdict lines are the stepwise check's,
// and it ends within three seconds even where replies are filtered by design, or, on a slow
// path, within the row's bound and saying so in the log.
TEST_P(QuickVerdictTest, SameVerdictLinesAsTheStepwiseCheckWellUnderThreeSeconds) {
    const PathScript& row = GetParam();
    const std::vector<std::string> full = RunFull(row);
    ASSERT_FALSE(full.empty());
    EXPECT_EQ(full.front(), std::string("NAT INCOMING PACKAGES FILTER :    ") + row.filterLine);
    const CheckOutcome fullOutcome = prober.Outcome();

    const std::size_t mark = Mark();
    const std::vector<std::string> quickLines = RunQuick(row);
    EXPECT_EQ(quickLines, full);
    EXPECT_EQ(prober.Outcome().filterType, fullOutcome.filterType);
    EXPECT_EQ(prober.Outcome().silentServer, fullOutcome.silentServer);
    EXPECT_EQ(prober.Outcome().exceptional, fullOutcome.exceptional);
    EXPECT_EQ(prober.Outcome().multiClientGood, fullOutcome.multiClientGood);
    EXPECT_LT(nowMs - 1000, row.withinMs);
    EXPECT_EQ(quick.DroppedFromStrangers(), 0u);
    // The same summary block closes the quick log.
    const std::vector<std::string> lines = LinesSince(mark);
    const bool saysSlow = std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("The path to the servers is slow: ") != std::string::npos;
    });
    EXPECT_TRUE(nowMs - 1000 < 3000 || saysSlow) << "took " << nowMs - 1000 << " ms unsaid";
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 1], "Press F5 to start...");
    EXPECT_EQ(presenter.shownLines, full);
}

// clang-format off
const PathScript kPaths[] = {
    {.name = "Open", .mappedLocal = true, .filterLine = "OPEN"},
    {.name = "Firewall", .mappedLocal = true, .filter = Filter::PortRestricted, .filterLine = "SYMMETRIC"},
    {.name = "FirewallServer2Silent", .mappedLocal = true, .filter = Filter::PortRestricted, .server2Alive = false, .filterLine = "UNKNOWN"},
    {.name = "FullConeHairpinGoodFriend", .hairpin = true, .buddy = Friend::GoodNat, .filterLine = "FULL CONE"},
    {.name = "IpRestricted", .filter = Filter::IpRestricted, .filterLine = "IP RESTRICTED"},
    {.name = "PortRestrictedBadFriend", .filter = Filter::PortRestricted, .buddy = Friend::BadNat, .filterLine = "PORT RESTRICTED"},
    {.name = "PortRestrictedFriendReportLost", .filter = Filter::PortRestricted, .buddy = Friend::ReportLost, .filterLine = "PORT RESTRICTED"},
    {.name = "AddressSensitive", .filter = Filter::PortRestricted, .mapping = Mapping::AddressDependent, .filterLine = "SYMMETRIC"},
    {.name = "PortSensitiveKeepsLocalPorts", .filter = Filter::PortRestricted, .mapping = Mapping::PortDependent, .keepsLocalPort = true, .filterLine = "SYMMETRIC"},
    {.name = "FullConeServer2Silent", .server2Alive = false, .filterLine = "UNKNOWN"},
    {.name = "Server1Silent", .server1Alive = false, .filterLine = "UNKNOWN"},
    // Slow paths, nothing lost: a reply lands after one or more retransmissions (every 250 ms
    // while measuring), so it bounds the round trip and gives no sample. The bounds: the
    // measurement (the delay, or 3 s with a silent Server2) and the tests' cap, stretched to one
    // interval and two bounds (which an unanswered friend search waits out).
    {.name = "FullConeHairpinGoodFriend500ms", .hairpin = true, .buddy = Friend::GoodNat, .filterLine = "FULL CONE", .replyDelayMs = 500, .withinMs = 3000},
    {.name = "Open760ms", .mappedLocal = true, .filterLine = "OPEN", .replyDelayMs = 760, .withinMs = 3000},
    {.name = "PortRestrictedBadFriend760ms", .filter = Filter::PortRestricted, .buddy = Friend::BadNat, .filterLine = "PORT RESTRICTED", .replyDelayMs = 760, .withinMs = 760 + 1770 + 10},
    {.name = "IpRestricted1s", .filter = Filter::IpRestricted, .filterLine = "IP RESTRICTED", .replyDelayMs = 1000, .withinMs = 1000 + 2250 + 10},
    {.name = "AddressSensitive1500ms", .filter = Filter::PortRestricted, .mapping = Mapping::AddressDependent, .filterLine = "SYMMETRIC", .replyDelayMs = 1500, .withinMs = 1500 + 3250 + 10},
    {.name = "FirewallServer2Silent1500ms", .mappedLocal = true, .filter = Filter::PortRestricted, .server2Alive = false, .filterLine = "UNKNOWN", .replyDelayMs = 1500, .withinMs = 3000 + 3250 + 10},
    {.name = "Open2s", .mappedLocal = true, .filterLine = "OPEN", .replyDelayMs = 2000, .withinMs = 2000 + 4250 + 10},
    {.name = "PortRestrictedBadFriend2s", .filter = Filter::PortRestricted, .buddy = Friend::BadNat, .filterLine = "PORT RESTRICTED", .replyDelayMs = 2000, .withinMs = 2000 + 4250 + 10},
    {.name = "FullConeHairpinGoodFriend2s", .hairpin = true, .buddy = Friend::GoodNat, .filterLine = "FULL CONE", .replyDelayMs = 2000, .withinMs = 2000 + 4250 + 10},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(QuickCheck, QuickVerdictTest, ::testing::ValuesIn(kPaths),
                         NameOf<PathScript>);

// When the first allocation request leaves and every later transmission of it, in ms after
// the start, for a path whose round trip is rtt and where that request is never answered.
struct TimingRow {
    const char* name;
    std::uint64_t rttMs;
    std::vector<std::uint64_t> sends;
    std::uint64_t endMs;  // the run ends when the last test gives up
};

class QuickTimingTest : public QuickCheckTest, public ::testing::WithParamInterface<TimingRow> {};

TEST_P(QuickTimingTest, RetransmitsAfterThreeRoundTripsSixTimesThenGivesUpAtTheCap) {
    const TimingRow& row = GetParam();
    // The three measuring replies; nothing else is ever answered.
    ASSERT_TRUE(StartMeasured(0, row.rttMs));
    ASSERT_EQ(quick.RoundTripMs(1), row.rttMs);
    ASSERT_EQ(quick.RoundTripMs(2), row.rttMs);
    std::vector<std::uint64_t> sends;
    std::size_t seen = 0;
    for (int steps = 0; quick.Running() && steps < 100; ++steps) {
        for (; seen < fresh.sent.size(); ++seen) {
            if (fresh.sent[seen].code == 0x74777007)
                sends.push_back(nowMs);
        }
        nowMs = quick.NextDeadline().value_or(nowMs);
        quick.OnTimer();
    }
    EXPECT_EQ(sends, row.sends);
    EXPECT_EQ(nowMs, row.endMs);
    EXPECT_FALSE(quick.Running());
    // Nothing goes out tracked: the network modules must not retransmit behind the clock's back.
    for (const SentRecord& r : fresh.sent)
        EXPECT_FALSE(r.tracked);
}

// clang-format off
const TimingRow kTimings[] = {
    {.name = "FloorOf100ms", .rttMs = 10, .sends = {10, 110, 210, 310, 410, 510}, .endMs = 610},
    {.name = "ThreeRoundTrips", .rttMs = 50, .sends = {50, 200, 350, 500, 650, 800}, .endMs = 950},
    {.name = "CapBeforeTheThirdTry", .rttMs = 300, .sends = {300, 1200}, .endMs = 1800},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(QuickCheck, QuickTimingTest, ::testing::ValuesIn(kTimings),
                         NameOf<TimingRow>);

// The verdict needs Server1's acknowledgement as much as Server2's reply: a lost one is asked for
// again, however soon the reply came.
TEST_F(QuickCheckTest, ALostChangeAcknowledgementIsAskedForAgain) {
    const PathScript path = {
        .name = "FullConeAckLost", .filterLine = "FULL CONE", .changeAcksLost = 2};
    const std::vector<std::string> lines = RunQuick(path);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "NAT INCOMING PACKAGES FILTER :    FULL CONE");
}

// A reply after a retransmission may answer either transmission (Karn): it gives no sample,
// only a bound, and the tests ask again at the measuring interval, not at 3 x anything.
TEST_F(QuickCheckTest, AReplyAfterARetransmissionIsNoSampleSoTheMeasuringIntervalStays) {
    ASSERT_TRUE(StartMeasured(0, 2, 250));
    EXPECT_EQ(quick.RoundTripMs(1), 252u);  // the bound
    EXPECT_EQ(quick.RoundTripMs(2), 252u);
    const std::size_t before = fresh.sent.size();
    nowMs = 252 + 249;
    quick.OnTimer();
    EXPECT_EQ(fresh.sent.size(), before);
    nowMs = 252 + 250;
    quick.OnTimer();
    EXPECT_GT(fresh.sent.size(), before);
}

// What the log says of the round trips and, when the tests may outlast the usual cap, of that.
struct RoundTripLogRow {
    const char* name;
    std::uint64_t lostUntilMs;  // the measuring replies answer a retransmission made then
    std::uint64_t rttMs;
    const char* roundTrips;
    const char* slow;  // "": no such line
};

class QuickRoundTripLogTest : public QuickCheckTest,
                              public ::testing::WithParamInterface<RoundTripLogRow> {};

TEST_P(QuickRoundTripLogTest, SaysSampleOrBoundAndASlowPath) {
    const RoundTripLogRow& row = GetParam();
    const std::size_t mark = Mark();
    ASSERT_TRUE(StartMeasured(0, row.rttMs, row.lostUntilMs));
    std::vector<std::string> said;
    for (const std::string& line : LinesSince(mark)) {
        for (const char* start : {"Round trip to ", "The path to the servers is slow"}) {
            const std::size_t at = line.find(start);
            if (at != std::string::npos)
                said.push_back(line.substr(at));
        }
    }
    std::vector<std::string> expected = {row.roundTrips};
    if (*row.slow != '\0')
        expected.emplace_back(row.slow);
    EXPECT_EQ(said, expected);
}

// clang-format off
const RoundTripLogRow kRoundTripLogs[] = {
    {"Sampled", 0, 6, "Round trip to STUN Server1 6 ms, to STUN Server2 6 ms: each test asks again after 100/100 ms, 6 times at most, all at once now...", ""},
    {"BoundOnly", 750, 10, "Round trip to STUN Server1 at most 760 ms, to STUN Server2 at most 760 ms: each test asks again after 250/250 ms, 6 times at most, all at once now...",
     "The path to the servers is slow: the tests may take up to 1770 ms (1500 ms at most on a usual path)..."},
    {"SlowSample", 0, 400, "Round trip to STUN Server1 400 ms, to STUN Server2 400 ms: each test asks again after 1200/1200 ms, 6 times at most, all at once now...",
     "The path to the servers is slow: the tests may take up to 2000 ms (1500 ms at most on a usual path)..."},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(QuickCheck, QuickRoundTripLogTest, ::testing::ValuesIn(kRoundTripLogs),
                         NameOf<RoundTripLogRow>);

// A timer held up by a busy machine sends what is due instead of giving up with tries unsent;
// the cap still ends the request.
TEST_F(QuickCheckTest, ALateTimerCostsNoTriesButTheCapHolds) {
    ASSERT_TRUE(StartMeasured(0, 10));
    const auto allocSends = [this] {
        return std::count_if(fresh.sent.begin(), fresh.sent.end(),
                             [](const SentRecord& r) { return r.code == 0x74777007; });
    };
    ASSERT_EQ(allocSends(), 1);
    nowMs = 10 + 700;  // past six intervals of 100 ms, with one try sent
    quick.OnTimer();
    EXPECT_EQ(allocSends(), 2);
    nowMs = 10 + 1500;  // the cap
    quick.OnTimer();
    EXPECT_EQ(allocSends(), 2);
    EXPECT_FALSE(quick.Running());
}

TEST_F(QuickCheckTest, SilentServersAreAskedSixTimesThenTheVerdictIsUnknown) {
    nowMs = 0;
    ASSERT_TRUE(quick.Start(Config(), &net, &fresh));
    std::vector<std::uint64_t> sends;
    for (int steps = 0; quick.Running() && steps < 100; ++steps) {
        for (std::size_t i = sends.size() * 3; i < fresh.sent.size(); i += 3)
            sends.push_back(nowMs);
        nowMs = quick.NextDeadline().value_or(nowMs);
        quick.OnTimer();
    }
    // Waited for as long as a path of 2 s needs (a reply after the last try still counts).
    EXPECT_EQ(sends, (std::vector<std::uint64_t>{0, 250, 500, 750, 1000, 1250}));
    EXPECT_EQ(nowMs, 3000u);
    EXPECT_EQ(prober.ResultLines(),
              (std::vector<std::string>{"NAT INCOMING PACKAGES FILTER :    UNKNOWN"}));
    EXPECT_TRUE(net.sent.empty());  // no test, no search, after a silent Server1
}

// A stranger's datagram, or a party's on the wrong socket or from the wrong port.
struct StrangerRow {
    const char* name;
    bool main;
    int slot;
    std::uint32_t code;
    std::uint32_t from;
    std::uint16_t fromPort;
};

class QuickStrangerTest : public QuickCheckTest,
                          public ::testing::WithParamInterface<StrangerRow> {};

TEST_P(QuickStrangerTest, IsDroppedAndCountedAndChangesNothing) {
    const StrangerRow& row = GetParam();
    ASSERT_TRUE(StartMeasured(kFriend, 5));
    ASSERT_TRUE(quick.Running());  // every test is now under way
    const QuickFindings before = quick.Findings();
    const CRecordingNetwork& link = row.main ? net : fresh;
    std::uint8_t b[12];
    const std::uint16_t len = EncodeEndpoint(b, row.code, kMapped, Port(1234));
    ReceivedMessage m;
    MakeReceived(m, b, len, row.from, row.fromPort, link.GetSocket(row.slot));
    if (row.main) {
        EXPECT_TRUE(quick.OnMainMessage(m));
    } else {
        quick.OnFreshMessage(m);
    }
    EXPECT_EQ(quick.DroppedFromStrangers(), 1u);
    EXPECT_EQ(quick.Findings(), before);
}

// clang-format off
const StrangerRow kStrangers[] = {
    {.name = "BindingReplyFromAStranger", .main = false, .slot = kQuickFilterSlot, .code = 0x7C777002, .from = kStranger, .fromPort = kServer1Port},
    {.name = "BindingReplyFromServer1sOtherPort", .main = false, .slot = kQuickFilterSlot, .code = 0x7C777002, .from = kServer1, .fromPort = kServer1OtherPort},
    {.name = "ChangedAddressReplyFromServer1", .main = false, .slot = kQuickFilterSlot, .code = 0x77747005, .from = kServer1, .fromPort = kServer1Port},
    {.name = "ChangedAddressReplyOnTheMappingSocket", .main = false, .slot = kQuickMappingSlot, .code = 0x77747005, .from = kServer2, .fromPort = kServer2Port},
    {.name = "AllocationReplyOnTheFilterSocket", .main = false, .slot = kQuickFilterSlot, .code = 0x7C777007, .from = kServer1, .fromPort = kServer1Port},
    {.name = "AllocationCReplyFromServer1", .main = false, .slot = kQuickAllocSlot, .code = 0x7C777009, .from = kServer1, .fromPort = kServer1Port},
    {.name = "PortChangeReplyFromServer2", .main = false, .slot = kQuickMappingSlot, .code = 0x7C777006, .from = kServer2, .fromPort = kServer2Port},
    {.name = "Port9802ReplyFromAStranger", .main = true, .slot = kPort9802Slot, .code = 0x7C777002, .from = kStranger, .fromPort = kServer1Port},
    {.name = "FriendAnswerFromOffTheLocalNetwork", .main = true, .slot = kSearchSlot, .code = 0x7C77700D, .from = kStranger, .fromPort = kFriendPort},
    {.name = "FriendAnswerOnTheProbeSocketFromNoConfiguredFriend", .main = true, .slot = kProbeSlot, .code = 0x7C77700D, .from = Ip("127.0.0.49"), .fromPort = kFriendPort},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(QuickCheck, QuickStrangerTest, ::testing::ValuesIn(kStrangers),
                         NameOf<StrangerRow>);

TEST_F(QuickCheckTest, FriendReportOnlyFromTheFriendFoundAndAcknowledged) {
    ASSERT_TRUE(StartMeasured(kFriend, 5));
    // Both searches left at once: the broadcast from 9801 and the direct one from the probe
    // socket; the 9802 binding from 9802.
    std::set<std::pair<std::uint32_t, int>> mainSent;
    for (const SentRecord& r : net.sent)
        mainSent.insert({r.code, r.slot});
    EXPECT_EQ(mainSent, (std::set<std::pair<std::uint32_t, int>>{{0x74777002, kPort9802Slot},
                                                                 {0x7477700D, kSearchSlot},
                                                                 {0x7477700D, kProbeSlot}}));
    ASSERT_TRUE(quick.OnMainMessage(Message(0x7C77700D, kFriend, kFriendPort, kSearchSlot)));
    ASSERT_EQ(quick.Findings().friendIp, kFriend);
    const std::size_t sentBefore = net.sent.size();
    ASSERT_TRUE(quick.OnMainMessage(PortMessage(0x74777010, Port(999), kStranger, kFriendPort, 3)));
    EXPECT_EQ(quick.DroppedFromStrangers(), 1u);
    EXPECT_FALSE(quick.Findings().friendReport);
    ASSERT_TRUE(quick.OnMainMessage(PortMessage(0x74777010, Port(999), kFriend, kFriendPort, 3)));
    EXPECT_EQ(quick.Findings().friendReport, Port(999));
    ASSERT_EQ(net.sent.size(), sentBefore + 1);
    EXPECT_EQ(net.sent.back().code, 0x7C777010u);
    EXPECT_FALSE(net.sent.back().tracked);
    // Another copy's search still reaches the prober, which answers it as always.
    EXPECT_FALSE(quick.OnMainMessage(
        EndpointMessage(0x7477700D, kServer1, kServer1Port, kFriend, kFriendPort, kSearchSlot)));
}

}  // namespace
}  // namespace enginetest
