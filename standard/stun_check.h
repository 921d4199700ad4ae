#pragma once
// Standard STUN behaviour discovery (RFC 5389 Binding, RFC 5780 tests, RFC 4787 words): a state
// machine that changes state only in Start, OnDatagram, OnTimer and Stop. It reaches the network
// through IStunTransport and reads time from an injected clock, so tests drive it with a
// recording fake and explicit milliseconds. Engine thread only (whichever thread owns it; one).
//
// The tests run one after another, each on sockets of its own so none can bias the next:
//   1. mapping (socket M): test I to the primary address; with a usable OTHER-ADDRESS test II to
//      (other IP, primary port) and test III to the other address; without one, and with a
//      second server, one Binding to the second server from the same socket;
//   2. hairpinning (socket H): test I, then a Binding request to the mapped address from H;
//   3. filtering (socket F, only with a usable OTHER-ADDRESS): test I, then CHANGE-REQUEST
//      change-IP-and-port (test II), then change-port (test III).
// Every response must carry the transaction ID of the transaction in progress and come from the
// address its request went to (for a change request: from where RFC 5780 says the server must
// answer, RESPONSE-ORIGIN included); anything else is logged and ignored.
// The full run is CStunFullCheck, quick mode CStunQuickCheck (each its own small machine over
// the rules they share, CStunMachine); CStunCheck runs whichever the configuration asks for.
//
// Quick mode (config.quick) reaches the same verdicts sooner: mapping test I alone first, to
// learn OTHER-ADDRESS and the round trip; then the three tests at once, each on its own socket as
// above, and within a test every request that does not depend on an earlier answer at once too
// (mapping II and III; filtering I, II and III). Every later request retransmits at a fixed
// interval derived from the round trip (StunQuickTiming, the request schedule's QuickRule). The
// verdicts are read from the same answers as in the full run: filtering III counts only once
// filtering II has given up, mapping III only when II differs from I, and a problem the mapping
// test finds with the server wins over the filtering test's and drops its verdict, as the full run
// would never have filtered.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "standard/endpoint.h"

struct StunMessage;

// What the check needs of the network: fresh UDP sockets. Called on the check's thread only.
class IStunTransport {
public:
    virtual ~IStunTransport() = default;
    // A new IPv4 UDP socket on an ephemeral local port (any local address); its id (>= 0), or -1
    // when none can be opened.
    virtual int Open() = 0;
    // The same for IPv6 (IPv6 alone); -1 from a transport without IPv6.
    virtual int OpenIpv6() { return -1; }
    // A socket of family (the family of the peer it will talk to).
    int OpenFor(Endpoint::Family family) {
        return family == Endpoint::Family::Ipv4 ? Open() : OpenIpv6();
    }
    // One datagram; false when the system refused it (the check then waits as for a loss).
    virtual bool Send(int socketId, const Endpoint& to, std::span<const std::uint8_t> bytes) = 0;
    virtual void Close(int socketId) = 0;
};

// RFC 4787 behaviour of a mapping or a filter.
enum class StunBehaviour : std::uint8_t {
    EndpointIndependent,
    AddressDependent,
    AddressAndPortDependent,
};
// "endpoint-independent", "address-dependent", "address-and-port-dependent".
const char* StunBehaviourName(StunBehaviour b);

// Retransmission of one request (RFC 5389 section 7.2.1). The RFC's own total is 39.5 s, far
// too long for a diagnostic that runs up to eight transactions in a row, so a transaction gives
// up after capMs at most: with the defaults it sends at 0, 500, 1500, 3500 and 7500 ms and gives
// up at 9500 ms.
struct StunTiming {
    std::uint64_t rtoMs = 500;   // first retransmission time-out; doubles each time
    int transmissions = 7;       // Rc: transmissions in all
    int lastWaitFactor = 16;     // Rm: the wait after the last one, in RTOs
    std::uint64_t capMs = 9500;  // give up this long after the first transmission
};

// Retransmission in quick mode: a fixed interval, no doubling. Test I to the server goes before
// any round trip is known, at RFC 5389's first interval (0, 0.5, ... 2.5 s; gives up at 3 s), so
// a path of up to 500 ms is measured on its first answer; every later request waits
// max(rttFactor x RTT, minRtoMs) between its transmissions, but never so long that its
// transmissions and the wait after the last exceed capMs. The round trip follows Karn's rule:
// test I answered after its first transmission gives a sample; answered after a retransmission it
// gives only a bound (the time since the first), the interval stays test I's, and no request waits
// less than one interval and two bounds, however long that is (a slow path, said in the log).
struct StunQuickTiming {
    std::uint64_t firstRtoMs = 500;  // test I's interval
    std::uint64_t minRtoMs = 100;    // the floor of the interval
    std::uint64_t rttFactor = 3;     // the interval in round trips
    // Per request; gives up one interval after the last. With a fifth of the datagrams lost each
    // way a round trip fails 36 % of the time: six tries all fail 0.2 % of the time, four 1.7 %,
    // and a run needs four or five requests answered.
    int transmissions = 6;
    std::uint64_t capMs = 2000;       // give up this long after the first transmission at most
    std::uint64_t firstCapMs = 3000;  // the same for test I
};

// Every test of a run goes over the server's family (IPv4 or IPv6), from sockets of that family.
struct StunCheckConfig {
    Endpoint server;  // primary address, resolved
    // --stun2: a second server, for the mapping test only; asked only when of server's family.
    std::optional<Endpoint> server2;
    std::string serverName;  // as the user wrote it, for the log ("" = dotted)
    StunTiming timing;       // the full run's
    bool quick = false;      // quick mode (see the top of this file)
    StunQuickTiming quickTiming{};
};

// What one run found. Every optional is empty when its test did not run or did not finish,
// which is distinct from a negative answer.
struct StunOutcome {
    bool finished = false;  // reached the summary (false: stopped, or never started)
    bool interrupted = false;
    bool socketsFailed = false;  // a fresh socket could not be opened

    Endpoint server;
    std::optional<Endpoint> server2;
    bool serverAnswered = false;
    std::optional<Endpoint> mapped;          // test I on the mapping socket
    std::optional<Endpoint> otherAddress;    // OTHER-ADDRESS of test I
    std::optional<Endpoint> responseOrigin;  // RESPONSE-ORIGIN of test I
    bool legacyServer = false;               // answered with MAPPED-ADDRESS only (RFC 3489)
    bool rfc3489 = false;  // no OTHER-ADDRESS, so its CHANGED-ADDRESS was taken instead
    // Why the server's answers to test I could not be used at all ("the server refused: 420
    // ...", "answers carry another transaction ID", an unusable mapped address); "" otherwise.
    std::string serverProblem;
    // Whether the server supports RFC 5780 as far as these tests need it; empty when it never
    // answered. When false, rfc5780Problem says why in one phrase.
    std::optional<bool> rfc5780;
    std::string rfc5780Problem;

    std::optional<StunBehaviour> mapping;
    // Known also when the kind is not: a second server without RFC 5780 tells EI or not.
    std::optional<bool> mappingEndpointIndependent;
    std::optional<StunBehaviour> filtering;
    std::optional<bool> hairpinning;
    std::optional<bool> mappedIsLocal;  // the mapped address is one of this computer's own
    // IPv6, when the mapped address is not this computer's: it ends in the interface identifier
    // (the low 64 bits) of one of this computer's addresses, as prefix translation keeps it.
    std::optional<bool> mappedKeepsInterfaceId;

    // The classic names, where they correspond: NatFilterType and PortAllocRule codes.
    std::optional<std::int32_t> classicFilter;
    std::optional<std::int32_t> classicAlloc;

    std::vector<std::string> lines;  // the verdict lines of the summary, as logged

    // Something was found: at least the mapped address.
    bool Determined() const { return mapped.has_value(); }
    bool operator==(const StunOutcome&) const = default;
};

// After a finished run whose server could not do the RFC 5780 tests and left the mapping
// behaviour open, with no second server on another IP address given: the line that suggests one,
// ending with how to give it in the program at hand ("run again with --stun2 HOST[:PORT]"); ""
// otherwise.
std::string SecondServerSuggestion(const StunOutcome& outcome, const char* how);

class CStunMachine;

// 96 bits from the system's entropy source: RFC 5389 wants transaction IDs unpredictable, so
// that an off-path sender cannot forge a response. Any thread.
std::array<std::uint8_t, 12> RandomStunTransactionId();

class CStunCheck {
public:
    using Clock = std::function<std::uint64_t()>;  // milliseconds, monotonic
    using TransactionIdSource = std::function<std::array<std::uint8_t, 12>()>;
    // How an address stands to this computer's own: one of them; an IPv6 address that only ends
    // in the interface identifier of one (its low 64 bits); neither.
    enum class LocalMatch : std::uint8_t { Other, Own, SameInterfaceId };
    using LocalAddressTest = std::function<LocalMatch(const Endpoint& address)>;

    // transport and clock must outlive the check. Transaction IDs come from std::random_device
    // and the local-address test is this computer's address set (read once a run) unless
    // replaced below.
    CStunCheck(IStunTransport& transport, Clock clock);
    ~CStunCheck();
    CStunCheck(const CStunCheck&) = delete;
    CStunCheck& operator=(const CStunCheck&) = delete;

    // Tests: deterministic IDs, a made-up set of local addresses.
    void SetTransactionIdSource(TransactionIdSource source) { m_newId = std::move(source); }
    void SetLocalAddressTest(LocalAddressTest test) { m_isLocal = std::move(test); }

    // Starts a run (logging its start) in the mode config asks for; a run in progress is
    // stopped first.
    void Start(const StunCheckConfig& config);
    // A datagram that arrived on one of the sockets the check opened.
    void OnDatagram(int socketId, const Endpoint& from, std::span<const std::uint8_t> bytes);
    // Time has come to nowMs: retransmits and gives up as due.
    void OnTimer(std::uint64_t nowMs);
    // When OnTimer wants to be called next; empty when nothing waits (idle or finished).
    std::optional<std::uint64_t> NextDeadline() const;
    // Ends a run in progress without its summary; closes its sockets.
    void Stop();

    bool Running() const;
    const StunOutcome& Outcome() const;
    // What is being waited for, for a progress display ("" when idle; in quick mode every
    // request waited for, joined by ", "), and when the last of them gives up (empty when idle).
    std::string StepName() const;
    std::optional<std::uint64_t> GiveUpAt() const;
    // When the run ends at the latest if nothing answers from now on and no timer is late (empty
    // when idle). Quick mode before test I's answer counts the later requests at their usual cap
    // (StunQuickTiming::capMs); a slow path found then moves it later.
    std::optional<std::uint64_t> EndAt() const;

private:
    IStunTransport& m_transport;
    Clock m_clock;
    TransactionIdSource m_newId;
    LocalAddressTest m_isLocal;
    std::unique_ptr<CStunMachine> m_machine;  // the run's mode; empty before the first Start
    StunOutcome m_idle;                       // the outcome before the first run
};
