#pragma once
// One request's transmissions: when it goes out again, when it is given up, and what its answer
// says of the round trip. Every check that retransmits by its own clock asks one of these
// instead of keeping the rule itself: the standard STUN check (both modes) and the Gatewise
// quick check. (The Gatewise stepwise check keeps its own step time-outs and the network
// module's retransmission, net/pending_table.)
//
// The rules, once for all:
//  - each wait is the first interval, or doubles after every transmission (RFC 5389 7.2.1);
//  - a late timer costs no tries: every transmission goes out, and the next wait counts from
//    the one actually sent, so a timer held up by a busy machine shifts the plan, never shortens
//    it;
//  - a request is given up only when every transmission went out and the wait after the last
//    (and the rule's floor) has passed, or at the cap, whichever comes first;
//  - round trips follow Karn's rule: only an answer to a request sent once is a sample; an answer
//    after a retransmission may belong to any transmission, so it yields only a bound (the time
//    since the first one), never a sample shorter than the time since an earlier transmission.
//
// Pure and clock-free: the caller passes the time. Owner's thread only (the check's).

#include <cstdint>
#include <optional>
#include <vector>

struct ScheduleRule {
    std::uint64_t intervalMs = 500;  // the first wait between transmissions
    bool doubling = false;           // every later wait twice the one before
    int transmissions = 1;           // in all, the first included
    std::uint64_t lastWaitMs = 0;    // the wait after the last transmission
    std::uint64_t minGiveUpMs = 0;   // never given up sooner after the first transmission
    std::uint64_t capMs = 0;         // always given up this long after the first one at the latest

    // RFC 5389's retransmission: rto doubling, rc transmissions, rm x rto after the last.
    static ScheduleRule Rfc5389(std::uint64_t rtoMs, int rc, int rm, std::uint64_t capMs);
    // A fixed interval, the same wait after the last transmission.
    static ScheduleRule Fixed(std::uint64_t intervalMs, int transmissions, std::uint64_t capMs);
    bool operator==(const ScheduleRule&) const = default;
};

// How long after its first transmission a request under rule is given up when nothing answers
// and no timer is late: its worst case.
std::uint64_t GiveUpAfter(const ScheduleRule& rule);

// What one answer says of the path's round trip.
struct RoundTrip {
    std::optional<std::uint64_t> sampleMs;  // Karn: only when the request went out once
    std::uint64_t boundMs = 0;              // the time since the first transmission: an upper bound
};

// What several answers from one party say: the shortest sample, the tightest bound.
struct RoundTripEstimate {
    std::optional<std::uint64_t> sampleMs;
    std::optional<std::uint64_t> boundMs;
    void Add(const RoundTrip& rt);
    bool Known() const { return boundMs.has_value(); }
};

class CRequestSchedule {
public:
    enum class Step : std::uint8_t { None, Send, GiveUp };

    // The first transmission goes out now (the caller sends it).
    void Start(const ScheduleRule& rule, std::uint64_t nowMs);
    // What is due at nowMs, one step per call: a retransmission (counted; the caller sends it),
    // the give-up (the request ends), or nothing.
    Step Due(std::uint64_t nowMs);
    // The answer came at nowMs: the request ends.
    RoundTrip Answered(std::uint64_t nowMs);
    // The same, when the answer names the transmission it answers (number k, 0 the first: each
    // went out under an identity of its own): the round trip is exact however many went out.
    RoundTrip AnsweredBy(std::uint64_t nowMs, int k);
    // Ends the request without an answer or a give-up (cancelled, or the run stopped).
    void Cancel() { m_waiting = false; }

    bool Waiting() const { return m_waiting; }
    int Sent() const { return m_sent; }
    std::uint64_t FirstMs() const { return m_firstMs; }
    // When Due next has something to do; empty when not waiting.
    std::optional<std::uint64_t> NextDeadline() const;
    // When the request will be given up if nothing is late and nothing answers.
    std::uint64_t GiveUpAt() const;

private:
    // The wait after transmission number k (0 = the first).
    std::uint64_t WaitAfter(int k) const;

    ScheduleRule m_rule;
    bool m_waiting = false;
    int m_sent = 0;
    std::uint64_t m_firstMs = 0;
    std::uint64_t m_nextMs = 0;           // the next transmission, while any is left
    std::vector<std::uint64_t> m_sentAt;  // every transmission's time, for AnsweredBy
};

// How the quick modes wait for a request sent after the round trip to its party was measured:
// every factor round trips (a floor of minIntervalMs), transmissions tries, given up capMs after
// the first at the latest. Without a sample (only ambiguous answers: Karn) the interval stays
// the measuring request's, backedOffMs. A path slower than the cap allows (an answer may take
// up to the bound) waits longer: never given up before one interval and two bounds.
struct QuickPolicy {
    std::uint64_t minIntervalMs = 100;
    std::uint64_t factor = 3;
    int transmissions = 6;
    std::uint64_t capMs = 1500;
    // Shorten the interval so that every try fits in the cap (else the cap cuts the tries).
    bool fitTriesInCap = false;
};
ScheduleRule QuickRule(const RoundTripEstimate& rtt, std::uint64_t backedOffMs,
                       const QuickPolicy& policy);
