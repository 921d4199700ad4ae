#pragma once
// The quick mode of the check: the same verdicts as the stepwise check, in well under three
// seconds where the round trip to the servers is under half a second, in seven at most on a
// path of 2 s. Engine (user-interface) thread only, the prober's: it changes state only in Start,
// OnFreshMessage, OnMainMessage, OnTimer and Abandon, and reads time from an injected clock, so
// tests drive it with recording networks and explicit milliseconds.
//
// First the round trip to each server is measured (the first binding request/reply pair per
// server). Then every test runs at once, each on a socket of its own so none biases another:
//   fresh slot 0, filter: Server1's binding, then the change request and the loopback probe;
//   fresh slot 1, mapping: a binding to each server (the measurement), then the port change;
//   fresh slot 2, allocation: Server1, Server1's next port and Server2 at once;
//   fresh slots 3 and 4, exceptional behaviour: one request to Server1 each;
//   the network module's 9802 socket: Server1's binding (what copies compare), and its 9801
//   socket (broadcast) and probe socket (configured friend): the friend search, both at once.
// The fresh sockets are a second network module opened for this check alone. Requests go out
// untracked (the network modules never retransmit them); each has a CRequestSchedule, which
// says when it goes out again and when it is given up. The measuring requests are asked again
// every 250 ms, six times at most, and wait kMeasureCapMs for an answer, so a path of up to 2 s
// is measured. The round trips follow Karn's rule: only a reply to a request sent once is a
// sample; one after a retransmission bounds the round trip from above (the time since the first
// transmission). A test's request is then asked again every max(3 x sample, 100 ms), or every
// 250 ms without a sample, six transmissions in all, and given up one interval after the last
// or kTestCapMs after the first, but never before one interval and two bounds have passed: on a
// slow path the tests take longer than kTestCapMs, and the log says so. A reply counts only from
// the party its request went to, on the socket it left from; anything else is dropped and
// counted.

#include <cstdint>
#include <functional>
#include <optional>

#include "core/thread_check.h"
#include "engine/nat_prober.h"
#include "net/messages.h"
#include "net/network_link.h"
#include "standard/request_schedule.h"

// The servers and the configured friend, in network order, as the settings give them.
struct QuickCheckConfig {
    std::uint32_t server1Ip = 0;
    std::uint16_t server1Port = 0;
    std::uint32_t server2Ip = 0;
    std::uint16_t server2Port = 0;
    std::uint32_t friendIp = 0;  // 0: none configured
};

// Sockets of the fresh network module, by slot.
inline constexpr int kQuickFilterSlot = 0;
inline constexpr int kQuickMappingSlot = 1;
inline constexpr int kQuickAllocSlot = 2;
inline constexpr int kQuickExceptSlot1 = 3;
inline constexpr int kQuickExceptSlot2 = 4;

class CQuickCheck {
public:
    using Clock = std::function<std::uint64_t()>;  // milliseconds, monotonic

    // Until a round trip is measured, the measuring requests are asked again after this long.
    static constexpr std::uint64_t kFirstIntervalMs = 250;
    static constexpr std::uint64_t kMinIntervalMs = 100;
    static constexpr std::uint64_t kRoundTripsPerInterval = 3;
    // Six, not four: with a fifth of the datagrams lost each way a round trip fails 36 % of the
    // time, and a run needs several; four tries kept the verdicts in about 87 % of such runs,
    // six in about 98 %. A filtered-by-design wait costs 600 ms at the 100 ms floor.
    static constexpr int kTransmissions = 6;
    // No test waits longer where one interval and two round trips fit in it: the tests then
    // end within three seconds of the start. A slower path stretches it (QuickRule).
    static constexpr std::uint64_t kTestCapMs = 1500;
    // The measuring requests wait this long after the first transmission while neither server
    // has answered: a path of 2 s is measured with room to spare. Once one has, the rest wait
    // as its round trip says (MeasureEndsAt): beside a server that answers at once, a silent
    // one costs 1.5 s, six tries and the wait after the last.
    static constexpr std::uint64_t kMeasureCapMs = 3000;

    // prober writes the verdicts and answers other copies meanwhile; both must outlive this.
    CQuickCheck(CNatProber& prober, Clock clock);
    CQuickCheck(const CQuickCheck&) = delete;
    CQuickCheck& operator=(const CQuickCheck&) = delete;
    void SetClock(Clock clock) { m_clock = std::move(clock); }

    // Starts a run on main (the check module's network module) and fresh (five sockets opened
    // for this run alone); writes its start lines and sends the measuring requests. False, and
    // nothing sent, when a server address or port is zero or either network is missing.
    bool Start(const QuickCheckConfig& config, INetworkLink* main, INetworkLink* fresh);
    // A message that arrived on one of fresh's sockets.
    void OnFreshMessage(const ReceivedMessage& msg);
    // A message that arrived on main's sockets: true when it was the quick check's to take (a
    // reply of its own, or a stranger's imitation of one), false for the prober.
    bool OnMainMessage(const ReceivedMessage& msg);
    // Time has come to the clock's now: retransmits and gives up as due, and ends the run (the
    // prober's summary) when nothing is left to wait for.
    void OnTimer();
    // When OnTimer wants to be called next; empty when nothing waits.
    std::optional<std::uint64_t> NextDeadline() const;
    // Ends a run without its summary (the user stopped it); nothing written.
    void Abandon();

    bool Running() const { return m_phase != Phase::Idle; }
    // Server 1 or 2: the round trip sample, or, when every reply came after a retransmission,
    // the bound (the shortest time from a first transmission to its reply); empty until measured
    // (or when it never answered).
    std::optional<std::uint64_t> RoundTripMs(int server) const;
    const QuickFindings& Findings() const { return m_findings; }
    std::uint64_t DroppedFromStrangers() const { return m_droppedFromStrangers; }
    // For a progress display: what is awaited ("" when idle) and the milliseconds until the run
    // has ended at the latest.
    const char* WaitingFor() const;
    std::uint64_t MsLeft() const;

private:
    enum class Phase : std::uint8_t { Idle, Measure, Tests };
    enum Req : std::uint8_t {
        kFilterBinding,
        kMapBinding1,
        kMapBinding2,
        kChange,
        kLoopback,
        kPortChange,
        kAllocA,
        kAllocB,
        kAllocC,
        kExcept1,
        kExcept2,
        kPort9802,
        kSearchBroadcast,
        kSearchDirect,
        kRequestCount,
    };
    // Where a request goes, and who may answer it.
    enum class Dest : std::uint8_t { Server1, Server1Next, Server2, Mapped, Broadcast, Friend };
    enum class From : std::uint8_t {
        Server1,
        Server1Next,
        Server1AnyPort,  // unasked replies leave from a port of the server's choice
        Server2,
        Server2AnyPort,
        AnySender,  // the loopback probe: its source is whatever the NAT's hairpin makes it
        Searched,   // a friend's answer: checked apart (local network, or the configured friend)
    };
    struct PlannedRequest {
        Req req;
        bool main;  // on the check module's network, else on the fresh one
        int slot;
        std::uint32_t type;
        Dest dest;
        std::uint32_t reply;
        From from;
        Phase phase;
    };
    struct Request {
        CRequestSchedule schedule;  // waiting: sent and still awaited
        NatMessage msg;
    };
    static const PlannedRequest kPlan[kRequestCount];

    void Send(Req req, const ScheduleRule& rule);
    void Transmit(Req req);
    bool IsFrom(const ReceivedMessage& msg, From from) const;
    // Finds the request msg answers on (main, slot); counts a stranger's datagram.
    void Match(const ReceivedMessage& msg, bool main, int slot);
    void Accept(Req req, const ReceivedMessage& msg);
    void OnFriendAnswer(const ReceivedMessage& msg, int slot);
    void OnFriendReport(const ReceivedMessage& msg);
    void StartTests();
    void Advance();
    void Finish();
    const ScheduleRule& RuleFor(Req req) const;
    // The tests' rules, from the measured round trips; logs them.
    void PlanTests();
    bool AnyActive(Phase phase) const;
    // When the measuring requests still waiting are given up: kMeasureCapMs after the start
    // until a reply came, then as that round trip says.
    std::uint64_t MeasureEndsAt() const;
    bool AwaitingFriendReport() const;

    CNatProber& m_prober;
    Clock m_clock;
    QuickCheckConfig m_config;
    INetworkLink* m_main = nullptr;
    INetworkLink* m_fresh = nullptr;
    Phase m_phase = Phase::Idle;
    Request m_requests[kRequestCount];
    QuickFindings m_findings;
    RoundTripEstimate m_rtt1;   // the filter and mapping sockets' bindings to Server1
    RoundTripEstimate m_rtt2;   // the mapping socket's binding to Server2
    ScheduleRule m_rule1;       // the tests' requests to Server1 (and the friend search)
    ScheduleRule m_rule2;       // to Server2
    ScheduleRule m_ruleChange;  // the change request: Server1 relays, Server2 answers
    std::uint64_t m_startMs = 0;
    std::uint64_t m_testsStartMs = 0;
    std::uint64_t m_testsCapMs = kTestCapMs;  // the longest a test may wait in this run
    std::uint64_t m_droppedFromStrangers = 0;
    CThreadChecker m_engineThread;  // debug builds: every entry point on one thread
};
