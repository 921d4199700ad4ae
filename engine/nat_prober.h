#pragma once
// The NAT check engine: a fixed sequence of steps, each waiting for one message or its time-out.
// Engine (user-interface) thread only: driven by HandleMessage and OnTick, never by itself.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/thread_check.h"
#include "core/verdicts.h"
#include "engine/prober_util.h"
#include "engine/responder_limit.h"
#include "net/messages.h"
#include "net/network_link.h"

class IResultPresenter;

enum ProbeStep : std::int32_t {
    StepIdle = 0,
    StepServer1Binding = 1,
    StepChangeAck = 2,
    StepChangeReply = 3,
    StepPortChangeReply = 4,
    StepServer2Binding = 5,
    StepAllocA = 6,
    StepAllocB = 7,
    StepAllocC = 8,
    StepExcept1 = 9,
    StepExcept2 = 10,
    StepFriendSearch = 11,
    StepFriendPort = 12,
    StepPort9802 = 13,
};

// What the last (or current) check found, for machine-readable output. A verdict that was not
// written (its test did not run or did not finish) is empty, which is distinct from "no".
struct CheckOutcome {
    std::optional<std::int32_t> filterType;  // NatFilterType, once its line is written
    std::optional<bool> loopback;            // once the loopback line is written
    std::optional<std::int32_t> allocRule;   // PortAllocRule, once its line is written
    std::optional<bool> exceptional;         // once the exceptional-behaviour line is written
    std::optional<bool> multiClientGood;     // once the multi-client line is written
    std::uint32_t mappedIp = 0;              // Server1's report for socket 0 (network order)
    std::uint16_t mappedPort = 0;            // network order; 0 = none
    std::optional<std::uint16_t> allocPortA, allocPortB, allocPortC;  // host order, as seen
    std::optional<std::uint16_t> exceptPort1, exceptPort2;            // host order
    std::optional<std::uint16_t> friendSockMappedPort;                // host order
    std::optional<std::uint16_t> friendReportedPort;                  // host order
    std::optional<std::uint32_t> friendIp;                            // network order
    // 1 or 2: the server whose silence ended the filter test with UNKNOWN; empty otherwise.
    std::optional<std::int32_t> silentServer;
};

// What a quick check saw, reply by reply (addresses and ports in network order, as they travel);
// an empty optional is a reply that never came. The prober turns it into the verdict lines the
// stepwise check writes for the same replies (ReportQuickFindings).
struct QuickFindings {
    struct Mapping {
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        bool operator==(const Mapping&) const = default;
    };
    // The filter socket: Server1's binding reply, then the change request and the loopback probe.
    std::optional<Mapping> server1;
    bool changeAcked = false;    // Server1 acknowledged the change request
    bool changeReplied = false;  // Server2's unasked reply came through the NAT
    bool loopback = false;       // the loopback probe came back
    // The mapping socket: one binding to each server, then the port change request.
    std::optional<Mapping> mappingServer1;
    std::optional<Mapping> mappingServer2;
    bool portChangeReplied = false;  // Server1's reply from another port came through
    // The allocation socket (Server1, Server1's next port, Server2) and the two exceptional ones.
    std::optional<std::uint16_t> allocA, allocB, allocC;
    std::optional<std::uint16_t> except1, except2;
    std::uint16_t exceptLocal1 = 0;  // host order: the two sockets' local ports
    std::uint16_t exceptLocal2 = 0;
    // The several copies test, on the fixed ports: Server1's report for 9802, the friend that
    // answered the search first (0: none) and its port report.
    std::optional<std::uint16_t> port9802;
    std::uint32_t friendIp = 0;
    std::uint16_t friendPort = 0;
    std::optional<std::uint16_t> friendReport;
    bool operator==(const QuickFindings&) const = default;
};

class CNatProber {
public:
    CNatProber();
    virtual ~CNatProber();
    CNatProber(const CNatProber&) = delete;
    CNatProber& operator=(const CNatProber&) = delete;

    // Takes the network module the next check (and the responder) uses; not owned.
    void Attach(INetworkLink* network) { m_network = network; }
    void SetServers(std::uint32_t server1Ip, std::uint16_t server1Port, std::uint32_t server2Ip,
                    std::uint16_t server2Port, std::uint32_t friendIp);
    void HandleMessage(const ReceivedMessage* msg);
    void OnTick(int unused);
    void ArmTimeout() { m_ticksLeft = prober::kTimeoutTicks; }
    // True when addr (network order) is one of this computer's own addresses. The addresses are
    // read at most once per kLocalAddressRefreshMs: a read lists the interfaces and may ask a
    // name server, and the responder must not do that for every datagram of a flood.
    bool IsLocalAddress(std::uint32_t addr) const;
    static constexpr std::uint64_t kLocalAddressRefreshMs = 1000;
    // This computer's addresses and networks, read as IsLocalAddress reads them.
    const LocalAddressSet& LocalAddresses() const;

    // Begins a check (first test).
    void StartFilterCheck();
    // Empties the verdict lines and the outcome, as a check's start does.
    void ResetResults();
    // Ends a quick check: the observations and verdict lines the stepwise check writes for the
    // same replies, then the summary (the same block, presenter and report). The prober stays
    // idle throughout; only the shared verdict fields and the outcome change.
    void ReportQuickFindings(const QuickFindings& findings);

    // Seams. The presenter shows the result dialog (none: the dialog counts as cancelled); the
    // settings path is where SummarizeResults reads the report recipient (empty: beside the
    // executable); the local-address source replaces the system's lookup in tests (empty: the
    // system's again). The clock of the responder limit also times the local-address cache.
    void SetResultPresenter(IResultPresenter* presenter) { m_presenter = presenter; }
    void SetSettingsPath(std::string path) { m_settingsPath = std::move(path); }
    void SetLocalAddressSource(std::function<LocalAddressSet()> source);

    std::int32_t Step() const { return m_step; }
    std::int32_t TicksLeft() const { return m_ticksLeft; }
    // Ends a check without a verdict (the user stopped it): idle at once, nothing written, no
    // presenter. The caller stops the network module first, so the abandoned check's replies
    // and retransmissions are gone with it.
    void Abandon() {
        m_engineThread.Check();
        m_step = StepIdle;
        m_ticksLeft = 0;
    }
    const std::vector<std::string>& ResultLines() const { return m_resultLines; }
    const CheckOutcome& Outcome() const { return m_outcome; }
    // The mailto: link SummarizeResults would open for the current result lines.
    std::string BuildReportLink() const;
    // What bounds the answering of other copies' searches (its clock seam, its counters).
    CResponderLimit& ResponderLimit() { return m_responderLimit; }
    // Datagrams dropped because they did not come from the party their code answers for: not
    // from the server or friend the request went to, or not on the socket it left from.
    std::uint64_t DroppedFromStrangers() const { return m_droppedFromStrangers; }

private:
    // Dispatcher targets, one per (code, step) pair; see HandleMessage.
    void OnServer1BindingReply(const ReceivedMessage& msg);
    void OnChangeAck(const ReceivedMessage& msg);
    void OnChangeReply(const ReceivedMessage& msg);
    void OnServer2BindingReply(const ReceivedMessage& msg);
    void OnPortChangeReply(const ReceivedMessage& msg);
    void OnAllocReplyA(const ReceivedMessage& msg);
    void OnAllocReplyB(const ReceivedMessage& msg);
    void OnAllocReplyC(const ReceivedMessage& msg);
    void OnExceptReply1(const ReceivedMessage& msg);
    void OnExceptReply2(const ReceivedMessage& msg);
    void OnPort9802Reply(const ReceivedMessage& msg);
    void OnFriendAnswer(const ReceivedMessage& msg);
    void OnFriendReport(const ReceivedMessage& msg);
    // Responder role, in any step.
    void OnFriendSearchReceived(const ReceivedMessage& msg);
    void OnFriendPortReply(const ReceivedMessage& msg);
    void OnStepTimeout();
    void OnChangeReplyTimeout();

    // The tests and their verdicts, in the order a check runs them.
    void ReportFilterResult();
    void StartAllocationCheck();
    void ReportAllocationResult(int outcome);
    void StartExceptionalCheck();
    void ReportExceptionalResult(int outcome);
    void StartFriendPortQuery();
    void OnFriendPortQueryDone(int outcome);
    void StartFriendSearch();
    void OnFriendSearchOutcome(int outcome);
    // The verdict lines, shared by the stepwise and the quick check; each writes its line(s)
    // and records the outcome, and starts nothing.
    void WriteFilterVerdict();
    void WriteAllocationVerdict(int outcome);
    bool AllocRuleIsSymmetric() const;
    void WriteExceptionalVerdict(int outcome, std::uint16_t localPort1, std::uint16_t localPort2);
    void WriteFriendFound(std::uint32_t ip, std::uint16_t port);
    void WriteMultiClientVerdict(std::uint16_t reportedPort);
    void WriteFriendReportMissing();
    // "STUN ServerN reports my UDP address as ..." (server 1 or 2).
    void WriteReportedAddress(int server, std::uint32_t ip, std::uint16_t port);
    // "STUN Server1 socketA reports my UDP NAT Port as ..." (which: 0 = A, 1 = B, 2 = C).
    void WriteAllocPort(int which, std::uint16_t port);
    // The quick check's filter verdict, with the no-response lines the stepwise check writes.
    std::int32_t QuickFilterType(const QuickFindings& f);
    // Ends every check: idle first, then the framed block, the presenter and the report.
    void SummarizeResults();
    std::string BuildReportLinkFor(const std::vector<std::string>& lines) const;

    // Network seams: with no network module attached nothing is sent and no socket exists.
    void SendMessage(const NatMessage& msg);
    // A tracked request of type to ip:port (network order) from the socket of slot.
    void Ask(std::uint32_t type, std::uint32_t ip, std::uint16_t port, int slot);
    // The next step, with its time-out armed.
    void AwaitStep(ProbeStep step);
    void Retire(const ReceivedMessage& msg, std::uint32_t requestType);
    SocketHandle Socket(int slot) const;
    std::uint16_t LocalPort(int slot) const;  // host order; 0 without a socket
    void AddResultLine(const std::string& line);
    // Who a reply must come from: a server at the port the request went to, or (for the replies
    // a server sends unasked) at any port of its address.
    enum class Party { Server1, Server1Second, Server1AnyPort, Server2, Server2AnyPort };
    // True when msg arrived on the socket of slot from party; otherwise counts it as a stranger's.
    bool FromParty(const ReceivedMessage& msg, int slot, Party party);
    // The replies retired in any step; false for any other type.
    bool HandleAnyStepReply(const ReceivedMessage& msg, std::uint32_t type);
    bool FromFriendSearchParty(const ReceivedMessage& msg);
    // Server1's second port (network order): the next number after its first.
    std::uint16_t Server1SecondPort() const;
    void ConfirmServer2(const ReceivedMessage& msg);

    std::int32_t m_filterType = FilterUnknown;
    std::int32_t m_allocRule = AllocUnknown;
    std::uint16_t m_allocPortA = 0;
    std::uint16_t m_allocPortB = 0;
    std::uint16_t m_allocPortC = 0;
    std::uint16_t m_exceptPort1 = 0;
    std::uint16_t m_exceptPort2 = 0;
    std::int32_t m_loopbackSeen = 0;
    std::int32_t m_step = StepIdle;
    std::uint32_t m_friendIp = 0;
    std::uint16_t m_friendPort = 0;
    std::uint16_t m_friendSockMappedPort = 0;
    // The friend this check found. m_friendIp is also the responder's (the last searcher
    // answered), so a stranger's search must not make its report acceptable.
    std::uint32_t m_foundFriendIp = 0;
    INetworkLink* m_network = nullptr;
    std::int32_t m_ticksLeft = 0;
    std::uint32_t m_mappedIp = 0;
    std::uint16_t m_mappedPort = 0;
    std::uint32_t m_server1Ip = 0;
    std::uint16_t m_server1Port = 0;
    std::uint32_t m_server2Ip = 0;
    std::uint16_t m_server2Port = 0;
    std::uint32_t m_configFriendIp = 0;
    std::vector<std::string> m_resultLines;

    CheckOutcome m_outcome;
    IResultPresenter* m_presenter = nullptr;
    std::string m_settingsPath;
    std::function<LocalAddressSet()> m_localSource;
    mutable LocalAddressSet m_local;
    mutable std::optional<std::uint64_t> m_localReadMs;  // empty: never read
    CResponderLimit m_responderLimit;
    std::uint64_t m_droppedFromStrangers = 0;
    CThreadChecker m_engineThread;  // debug builds: every entry point on one thread
    // A computer with a public address reads a missing change reply as filtering. That verdict
    // needs Server2 to be alive, so Server2 is asked from socket 1 (socket 0's mapping is the
    // one under test) alongside the change request.
    enum class Server2Probe { NotAsked, Asked, Answered };
    Server2Probe m_server2Probe = Server2Probe::NotAsked;
};
