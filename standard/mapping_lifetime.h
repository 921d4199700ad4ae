#pragma once
// How long the NAT keeps an idle UDP mapping (RFC 5780 section 4.6), and how often a
// peer-to-peer application must send to keep one. A state machine that changes state only in
// Start, OnDatagram, OnTimer and Stop, over IStunTransport and an injected clock, like CStunCheck:
// tests drive it with a fake and explicit milliseconds. Check thread only (the one that calls
// Start).
//
// The method. One socket, Y, learns its own mapping and sends every probe. A trial opens a fresh
// socket X, sends a Binding request from it to the server and, once answered, leaves it idle for
// T; then Y sends a Binding request with RESPONSE-PORT set to X's mapped port, and the server
// answers to Y's source address (the NAT's) at that port. If X hears it, its mapping lived at
// least T. Both go to the server's primary address, so the answer comes from the very address
// and port X sent to: whatever the NAT filters, only an expired mapping can keep it out. A probe
// is sent probeTransmissions times before its trial counts as expired, so a lost datagram is not
// taken for an expiry.
//
// The search. A control trial (T = 0) first: it shows the server honours RESPONSE-PORT and the
// NAT lets its answer in. Then the doubling trials (firstIdleMs, twice that, ... below maxMs, and
// maxMs) all at once, each on its own fresh socket: the first expiry ends the doubling (the longer
// trials are dropped). Then one trial at a time bisects the range until it is at most 1 s or 10 %
// of the lower bound wide, whichever is larger, while a trial still fits before the end. Every
// trial has a fresh socket: a probe to an expired mapping leaves state in the NAT that changes
// the next mapping of the same local port. The whole test ends within Bound() of its start.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/thread_check.h"
#include "standard/endpoint.h"
#include "standard/request_schedule.h"
#include "standard/stun_check.h"

struct StunMessage;

struct LifetimeConfig {
    Endpoint server;                      // primary address, resolved
    std::string serverName;               // as the user wrote it, for the log ("" = dotted)
    std::uint64_t maxMs = kDefaultMaxMs;  // the longest idle time tried
    std::uint64_t firstIdleMs = 5000;     // the first doubling trial's
    StunTiming timing;                    // the Binding requests' retransmission
    // A probe goes out probeTransmissions times, probeIntervalMs apart, and is given up
    // probeLastWaitMs after the last. The tries are close together, so that a lost answer
    // cannot make a mapping near its end look expired by much more than the resolution; the
    // last wait covers a slow path.
    std::uint64_t probeIntervalMs = 250;
    int probeTransmissions = 4;
    std::uint64_t probeLastWaitMs = 2000;

    static constexpr std::uint64_t kDefaultMaxMs = 180'000;
    static constexpr std::uint64_t kLimitMaxMs = 1'200'000;
};

// The answer every trial's socket gets comes from the address it sent its Binding request to.
inline constexpr const char* kLifetimeMethod = "response-port-same-address";

struct LifetimeOutcome {
    bool finished = false;  // reached the summary
    bool interrupted = false;
    bool socketsFailed = false;

    Endpoint server;
    std::uint64_t maxMs = 0;
    bool serverAnswered = false;
    std::optional<Endpoint> mapped;  // the control trial's mapped address
    // Why there is no result although the test ran to its end ("" otherwise).
    std::string problem;
    // The longest idle time a mapping was seen to survive (0: the control trial), and the
    // shortest after which one had expired; both whole seconds.
    std::optional<std::uint64_t> aliveMs;
    std::optional<std::uint64_t> expiredMs;

    std::vector<std::string> lines;  // the verdict lines of the summary, as logged

    // A range was measured: at least the control trial and one more trial's result.
    bool Determined() const { return aliveMs && (expiredMs || *aliveMs > 0); }
    // Send something at least this often (whole seconds, at least 1 s): a margin of a fifth, at
    // least 1 s, below aliveMs. Empty when not determined.
    std::optional<std::uint64_t> KeepaliveMs() const;
    bool operator==(const LifetimeOutcome&) const = default;
};

// "MAPPING LIFETIME: at least 20 s, at most 22 s", "... more than 180 s", "... at least 40 s"
// (longer trials were lost), or "... NOT DETERMINED".
std::string LifetimeText(const LifetimeOutcome& o);

class CMappingLifetime {
public:
    using Clock = CStunCheck::Clock;
    using TransactionIdSource = CStunCheck::TransactionIdSource;

    CMappingLifetime(IStunTransport& transport, Clock clock);
    ~CMappingLifetime();
    CMappingLifetime(const CMappingLifetime&) = delete;
    CMappingLifetime& operator=(const CMappingLifetime&) = delete;

    void SetTransactionIdSource(TransactionIdSource source) { m_newId = std::move(source); }

    // How long a test with this configuration takes at most.
    static std::uint64_t Bound(const LifetimeConfig& config);

    // Starts a test (logging its start); a test in progress is stopped first.
    void Start(const LifetimeConfig& config);
    void OnDatagram(int socketId, const Endpoint& from, std::span<const std::uint8_t> bytes);
    void OnTimer(std::uint64_t nowMs);
    std::optional<std::uint64_t> NextDeadline() const;
    // Ends a test in progress without its summary; closes its sockets.
    void Stop();

    bool Running() const { return m_running; }
    const LifetimeOutcome& Outcome() const { return m_outcome; }
    // The idle times of the trials in progress, shortest first (for a progress display).
    std::vector<std::uint64_t> TrialsInProgress() const;
    // When the test ends at the latest (empty when idle).
    std::optional<std::uint64_t> EndsBy() const;

private:
    using Id = std::array<std::uint8_t, 12>;
    struct Request {
        Id id{};
        CRequestSchedule schedule;
    };
    enum class TrialState : std::uint8_t { Binding, Idle, Probing };
    struct Trial {
        std::uint64_t idleMs = 0;
        int socket = -1;
        TrialState state = TrialState::Binding;
        Request binding;
        Request probe;
        Endpoint mapped;
        std::uint64_t idleFrom = 0;  // when its Binding answer arrived
    };
    enum class Phase : std::uint8_t { Control, Doubling, Bisecting };

    void Send(int socketId, const Request& r, std::optional<std::uint16_t> responsePort);
    void StartRequest(int socketId, Request& r, const ScheduleRule& rule,
                      std::optional<std::uint16_t> responsePort);
    bool OpenTrial(std::uint64_t idleMs);
    void StartProbe(Trial& t);
    // A trial's end: the mapping lived, expired, or the trial says nothing (its Binding request
    // was never answered).
    enum class Result : std::uint8_t { Alive, Expired, Void };
    void EndTrial(std::size_t index, Result result);
    void OnControl(Result result);
    void StartDoubling();
    void NextBisection();
    void OnYDatagram(const Endpoint& from, const StunMessage& msg);
    void OnXDatagram(std::size_t index, const Endpoint& from, const StunMessage& msg);
    void ControlReady();
    void Fail(const std::string& problem);
    void CloseAll();
    void Finish();
    ScheduleRule BindingRule() const;
    ScheduleRule ProbeRule() const;
    static std::uint64_t ProbeSpanMs(const LifetimeConfig& c);

    IStunTransport& m_transport;
    Clock m_clock;
    TransactionIdSource m_newId;
    LifetimeConfig m_config;
    LifetimeOutcome m_outcome;
    bool m_running = false;
    Phase m_phase = Phase::Control;
    std::uint64_t m_startMs = 0;
    std::uint64_t m_endMs = 0;  // no trial starts that could not end before this
    int m_ySocket = -1;
    Request m_yBinding;
    std::optional<Endpoint> m_yMapped;
    std::vector<Trial> m_trials;
    int m_voidInARow = 0;
    std::uint64_t m_dropped = 0;
    CThreadChecker m_checkThread;
};
