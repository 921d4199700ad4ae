#pragma once
// What both modes of the standard STUN check share: the run's sockets and outcome, a request and
// its schedule, how a response is judged, what test I and the second server say, and the
// summary. CStunFullCheck (one request at a time) and CStunQuickCheck (several at once) are the
// two machines over it; CStunCheck picks one. Check thread only (the one that calls Start; a
// thread checker asserts it in debug builds).

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/thread_check.h"
#include "standard/endpoint.h"
#include "standard/request_schedule.h"
#include "standard/stun_check.h"

struct StunMessage;

class CStunMachine {
public:
    using Clock = CStunCheck::Clock;
    using TransactionIdSource = CStunCheck::TransactionIdSource;
    using LocalAddressTest = CStunCheck::LocalAddressTest;
    using LocalMatch = CStunCheck::LocalMatch;

    CStunMachine(IStunTransport& transport, Clock& clock, TransactionIdSource& newId,
                 LocalAddressTest isLocal);
    virtual ~CStunMachine();
    CStunMachine(const CStunMachine&) = delete;
    CStunMachine& operator=(const CStunMachine&) = delete;

    // The entry points of CStunCheck, each mode's own.
    virtual void Start(const StunCheckConfig& config) = 0;
    // Every waiting transaction that is due takes one step: a retransmission, else the give-up.
    void OnTimer(std::uint64_t nowMs);
    // When the next transaction is due, its tests' names, when the last gives up (over Waiting).
    std::optional<std::uint64_t> NextDeadline() const;
    std::string StepName() const;
    std::optional<std::uint64_t> GiveUpAt() const;
    // When the run ends at the latest if nothing answers from now on and no timer is late: the
    // last give-up of the waiting requests and the worst case of those that can still follow.
    std::optional<std::uint64_t> EndAt() const;
    // Parses the datagram (a line in the log for junk) and hands a STUN message on to OnMessage.
    void OnDatagram(int socketId, const Endpoint& from, std::span<const std::uint8_t> bytes);
    void Stop();

    bool Running() const { return m_running; }
    const StunOutcome& Outcome() const { return m_outcome; }

protected:
    // The requests of either mode: mapping I, II, III or the second server; hairpinning I and
    // the request to the own mapping; filtering I, II (change IP and port) and III (change port).
    enum class Test : std::uint8_t {
        MapI,
        MapII,
        MapIII,
        MapSecond,
        HairI,
        Hairpin,
        FiltI,
        FiltII,
        FiltIII,
    };
    static constexpr std::size_t kTests = static_cast<std::size_t>(Test::FiltIII) + 1;
    static const char* TestName(Test test);

    // One request and its retransmissions.
    struct Transaction {
        Test test = Test::MapI;
        int socket = -1;
        Endpoint to;
        Endpoint expectFrom;
        std::uint32_t changeFlags = 0;
        // Every transmission's transaction ID: one for all (RFC 5389's retransmission), or a
        // new one for each try, so that an answer names the try it answers (see Launch).
        std::vector<std::array<std::uint8_t, 12>> ids;
        bool idPerTry = false;
        CRequestSchedule schedule;
        // Which try an answer with this ID answers (0 the first; every try when they share
        // one ID), or -1 when it is no answer of this transaction's.
        int TryOf(const std::array<std::uint8_t, 12>& id) const;
    };
    struct Reply {
        Endpoint mapped;
        std::optional<Endpoint> other;
        std::optional<Endpoint> origin;
        bool legacy = false;
        bool otherFromChanged = false;  // other is CHANGED-ADDRESS (no OTHER-ADDRESS)
    };
    // What a response with the transaction's ID amounts to.
    enum class Judgement : std::uint8_t {
        Ignore,      // logged (or not worth a line) and dropped
        Answer,      // a usable response: the reply
        Hairpinned,  // our own request, back through the NAT
        Refused,     // an error response to a plain request: why (the code and reason)
        Lacks5780,   // the server cannot do this change request: why
        Unusable,    // the answer names an address nobody may send to: why
    };
    struct Judged {
        Judgement judgement = Judgement::Ignore;
        Reply reply;
        std::string why;
    };

    static std::string Ep(const Endpoint& e) { return FormatEndpoint(e); }
    // The transactions still waiting for an answer (none when the run is not running).
    virtual std::vector<const Transaction*> Waiting() const = 0;
    // The longest the requests not sent yet can take after the waiting ones have given up.
    virtual std::uint64_t LaterMs() const = 0;
    // A waiting transaction gave up; then, once every due one has stepped, AfterTimer.
    virtual void OnGaveUp(Transaction& t) = 0;
    virtual void AfterTimer() {}
    // Whether a datagram on socketId may still matter (else it is dropped unread).
    virtual bool Listening(int socketId) const = 0;
    // A STUN message on a socket the mode listens on, parsed.
    virtual void OnMessage(int socketId, const Endpoint& from, const StunMessage& msg) = 0;

    // Resets the outcome, logs the run's start and reads which addresses are this computer's.
    void BeginRun(const StunCheckConfig& config);
    // A request of the mode's own: the full run's one transaction, or one more at once.
    virtual void Request(Test test, int socketId, const Endpoint& to, std::uint32_t changeFlags,
                         const Endpoint& expectFrom) = 0;

    // Logs the check's start ("NAT <check> check start...") and sends its test I to the server
    // from a fresh socket; false when no socket could be opened (the run has then finished).
    bool StartCheck(const char* check, Test testI, int& socketId);
    // After test I: test II where the server can do RFC 5780 (why is ""), else the second
    // server if one is configured; false when neither request went out.
    bool StartMappingTests(const Reply& reply, const std::string& why);
    // The hairpinning test's request to this socket's own mapped address.
    void SendToOwnMapping(const Endpoint& mapped);
    // A new request, sent at once under rule. With idPerTry every retransmission is a new
    // transaction, so the round trip of an answer after a loss is exact, not just bounded.
    void Launch(Transaction& t, Test test, int socketId, const Endpoint& to,
                std::uint32_t changeFlags, const Endpoint& expectFrom, const ScheduleRule& rule,
                bool idPerTry = false);
    // The round trip t's answer (with transaction ID id) says.
    static RoundTrip Answered(Transaction& t, const std::array<std::uint8_t, 12>& id,
                              std::uint64_t nowMs);
    bool Transmit(const Transaction& t);
    // One step of t's schedule at nowMs: a retransmission, or true when it gave up.
    bool StepSchedule(Transaction& t, std::uint64_t nowMs);
    Judged Judge(const Transaction& t, const Endpoint& from, const StunMessage& msg);
    // A response with the transaction's ID from elsewhere than expected (or naming elsewhere in
    // its RESPONSE-ORIGIN); an error response.
    Judged JudgeSource(const Transaction& t, const Endpoint& from,
                       const std::optional<Endpoint>& origin, const StunMessage& msg);
    Judged JudgeError(const Transaction& t, const Endpoint& from, const StunMessage& msg);
    // Test I's bookkeeping; why the server cannot do the RFC 5780 tests ("" when it can).
    std::string TakeTestI(const Reply& reply);
    // The second server's answer against test I's mapped address.
    void TakeSecondServer(const Endpoint& mapped);
    // The mapping test is over: its socket closed, its verdict read as endpoint-independent or not.
    void SettleMapping();
    void ServerLacks5780(const std::string& why);
    static void LogLacks5780(const std::string& why);
    void LogGaveUp(const Transaction& t, bool namesTest) const;
    // Test I gave up: no response, or only answers with another transaction ID; finishes.
    void TestIUnanswered();
    void LogDropped() const;
    // Test I ended without a usable answer: why, when the server did answer (refused, another
    // transaction ID, an unusable address); the run has finished.
    void TestIFailed(const std::string& why);
    // Counts a datagram that answers nothing of this run; an answer from the server's primary
    // address with another transaction ID is remembered for test I's verdict.
    void Drop(const Endpoint& from, const StunMessage* msg);
    // "Receive the [PORT ]CHANGE-REQUEST response from ..." for filtering test II or III.
    static void LogChangeResponse(const Transaction& t);
    void CloseSocket(int& socketId);
    // The run is over: sockets closed, the classic names read and the summary logged.
    void Finish();

    IStunTransport& m_transport;
    Clock& m_clock;
    TransactionIdSource& m_newId;
    LocalAddressTest m_isLocal;
    StunCheckConfig m_config;
    StunOutcome m_outcome;
    bool m_running = false;
    int m_mapSocket = -1;
    int m_hairSocket = -1;
    int m_filtSocket = -1;
    CThreadChecker m_checkThread;
    std::uint64_t m_otherIdAnswers = 0;  // from the primary address, with another transaction ID
    // Datagrams that answered no request of this run (strangers, other transactions, junk):
    // counted, and logged once at the end, so a flood cannot flood the log.
    std::uint64_t m_dropped = 0;

private:
    int OpenSocket();
    void Summarize();
};
