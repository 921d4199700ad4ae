#include "standard/stun_machine.h"

#include <algorithm>
#include <iterator>

#include "core/clean_text.h"
#include "core/log.h"
#include "core/text_table.h"
#include "core/verdicts.h"
#include "net/messages.h"
#include "net/stun_message.h"

namespace {

// Why a server-given endpoint may not be sent to ("" when it may): what it names never belongs
// to a STUN server or to this computer's mapping, and sending there would reach other hosts.
std::string WhyUnusable(const char* what, const Endpoint& e) {
    const char* problem =
        e.IsIpv4() ? PeerAddressProblem(e.Ipv4Address()) : PeerAddressProblem6(e.address);
    if (problem)
        return std::string(what) + " " + FormatEndpoint(e) + " " + problem;
    if (e.port == 0)
        return std::string(what) + " " + FormatEndpoint(e) + " names port 0";
    return {};
}

constexpr std::size_t kBehaviours =
    static_cast<std::size_t>(StunBehaviour::AddressAndPortDependent) + 1;

const char* UpperBehaviour(StunBehaviour b) {
    static constexpr const char* kNames[] = {"ENDPOINT-INDEPENDENT", "ADDRESS-DEPENDENT",
                                             "ADDRESS-AND-PORT-DEPENDENT"};
    static_assert(std::size(kNames) == kBehaviours);
    return TextOf(kNames, b);
}

}  // namespace

const char* StunBehaviourName(StunBehaviour b) {
    static constexpr const char* kNames[] = {"endpoint-independent", "address-dependent",
                                             "address-and-port-dependent"};
    static_assert(std::size(kNames) == kBehaviours);
    return TextOf(kNames, b);
}

CStunMachine::CStunMachine(IStunTransport& transport, Clock& clock, TransactionIdSource& newId,
                           LocalAddressTest isLocal)
    : m_transport(transport), m_clock(clock), m_newId(newId), m_isLocal(std::move(isLocal)) {}

CStunMachine::~CStunMachine() {
    CloseSocket(m_mapSocket);
    CloseSocket(m_hairSocket);
    CloseSocket(m_filtSocket);
}

const char* CStunMachine::TestName(Test test) {
    static constexpr const char* kNames[] = {
        "mapping test I",    "mapping test II",    "mapping test III",
        "the second server", "hairpinning test I", "hairpinned request",
        "filtering test I",  "filtering test II",  "filtering test III"};
    static_assert(std::size(kNames) == kTests);
    return TextOf(kNames, test);
}

void CStunMachine::BeginRun(const StunCheckConfig& config) {
    m_checkThread.Check();
    m_config = config;
    m_outcome = StunOutcome{};
    m_dropped = m_otherIdAnswers = 0;
    m_outcome.server = config.server;
    m_outcome.server2 = config.server2;
    m_running = true;

    theLog.WriteLine("");
    theLog.WriteTimedLine("Start STUN NAT behaviour discovery (RFC 5389/5780)...");
    theLog.WriteLine("");
    theLog.WriteLine("STUN Server Information:");
    const auto serverLine = [](const char* what, const Endpoint& e, const std::string& name) {
        if (name.empty())
            theLog.WriteLine("    %s: %s", what, Ep(e).c_str());
        else
            theLog.WriteLine("    %s: %s (%s)", what, Ep(e).c_str(), name.c_str());
    };
    serverLine("STUN server", config.server, config.serverName);
    if (config.server2)
        serverLine("Second STUN server", *config.server2, {});
    if (!config.server.IsIpv4())
        theLog.WriteLine("    Every test over IPv6");
}

void CStunMachine::Stop() {
    m_checkThread.Check();
    if (!m_running)
        return;
    m_running = false;
    m_outcome.interrupted = true;
    LogDropped();
    CloseSocket(m_mapSocket);
    CloseSocket(m_hairSocket);
    CloseSocket(m_filtSocket);
}

int CStunMachine::OpenSocket() {
    const int id = m_transport.OpenFor(m_config.server.family);
    if (id < 0) {
        m_outcome.socketsFailed = true;
        theLog.WriteTimedLine("Cannot open a UDP socket, STUN check stop!");
        Finish();
    }
    return id;
}

void CStunMachine::CloseSocket(int& socketId) {
    if (socketId >= 0)
        m_transport.Close(socketId);
    socketId = -1;
}

bool CStunMachine::StartCheck(const char* check, Test testI, int& socketId) {
    theLog.WriteLine("");
    theLog.WriteTimedLine("NAT %s check start...", check);
    socketId = OpenSocket();
    if (socketId < 0)
        return false;
    const Endpoint& server = m_config.server;
    theLog.WriteTimedLine("Test I: Binding request to %s from a fresh socket...",
                          Ep(server).c_str());
    Request(testI, socketId, server, 0, server);
    return true;
}

bool CStunMachine::StartMappingTests(const Reply& reply, const std::string& why) {
    const Endpoint& server = m_config.server;
    if (why.empty()) {
        m_outcome.rfc5780 = true;
        Endpoint to = *reply.other;
        to.port = server.port;
        theLog.WriteTimedLine("Test II: Binding request to %s (other IP, primary port)...",
                              Ep(to).c_str());
        Request(Test::MapII, m_mapSocket, to, 0, to);
        return true;
    }
    ServerLacks5780(why);
    if (m_config.server2 && m_config.server2->SameFamily(server) &&
        !(*m_config.server2 == server)) {
        theLog.WriteTimedLine("Binding request to the second STUN server %s...",
                              Ep(*m_config.server2).c_str());
        Request(Test::MapSecond, m_mapSocket, *m_config.server2, 0, *m_config.server2);
        return true;
    }
    return false;
}

void CStunMachine::SendToOwnMapping(const Endpoint& mapped) {
    theLog.WriteTimedLine("Binding request to my own mapped address %s from the same socket...",
                          Ep(mapped).c_str());
    Request(Test::Hairpin, m_hairSocket, mapped, 0, mapped);
}

void CStunMachine::Launch(Transaction& t, Test test, int socketId, const Endpoint& to,
                          std::uint32_t changeFlags, const Endpoint& expectFrom,
                          const ScheduleRule& rule, bool idPerTry) {
    t.test = test;
    t.socket = socketId;
    t.to = to;
    t.expectFrom = expectFrom;
    t.changeFlags = changeFlags;
    t.ids.assign(1, m_newId());
    t.idPerTry = idPerTry;
    t.schedule.Start(rule, m_clock());
    Transmit(t);
}

bool CStunMachine::Transmit(const Transaction& t) {
    StunMessage msg;
    msg.cls = StunClass::Request;
    msg.transactionId = t.ids.back();
    msg.hasChangeRequest = t.changeFlags != 0;
    msg.changeFlags = t.changeFlags;
    msg.fingerprint = true;
    std::uint8_t buf[64];
    const std::size_t len = EncodeStun(msg, buf, sizeof buf);
    // A send the system refuses counts as one lost on the way.
    return m_transport.Send(t.socket, t.to, {buf, len});
}

void CStunMachine::OnTimer(std::uint64_t nowMs) {
    m_checkThread.Check();
    if (!m_running)
        return;
    for (const Transaction* waiting : Waiting()) {
        // This machine's own transaction, reached through the view the deadlines use.
        Transaction& t = *const_cast<Transaction*>(waiting);
        if (StepSchedule(t, nowMs)) {
            OnGaveUp(t);
            if (!m_running)
                return;
        }
    }
    AfterTimer();
}

std::optional<std::uint64_t> CStunMachine::NextDeadline() const {
    std::optional<std::uint64_t> next;
    for (const Transaction* t : Waiting())
        next = std::min(next.value_or(UINT64_MAX), t->schedule.NextDeadline().value_or(UINT64_MAX));
    return next;
}

std::optional<std::uint64_t> CStunMachine::GiveUpAt() const {
    std::optional<std::uint64_t> last;
    for (const Transaction* t : Waiting())
        last = std::max(last.value_or(0), t->schedule.GiveUpAt());
    return last;
}

std::optional<std::uint64_t> CStunMachine::EndAt() const {
    const std::optional<std::uint64_t> giveUp = GiveUpAt();
    if (!giveUp)
        return std::nullopt;
    return *giveUp + LaterMs();
}

std::string CStunMachine::StepName() const {
    std::string names;
    for (const Transaction* t : Waiting())
        names += (names.empty() ? "" : ", ") + std::string(TestName(t->test));
    return names;
}

int CStunMachine::Transaction::TryOf(const std::array<std::uint8_t, 12>& id) const {
    for (std::size_t k = 0; k < ids.size(); ++k) {
        if (ids[k] == id)
            return static_cast<int>(k);
    }
    return -1;
}

RoundTrip CStunMachine::Answered(Transaction& t, const std::array<std::uint8_t, 12>& id,
                                 std::uint64_t nowMs) {
    return t.idPerTry ? t.schedule.AnsweredBy(nowMs, t.TryOf(id)) : t.schedule.Answered(nowMs);
}

bool CStunMachine::StepSchedule(Transaction& t, std::uint64_t nowMs) {
    switch (t.schedule.Due(nowMs)) {
        case CRequestSchedule::Step::Send:
            if (t.idPerTry)
                t.ids.push_back(m_newId());
            Transmit(t);
            return false;
        case CRequestSchedule::Step::GiveUp:
            return true;
        case CRequestSchedule::Step::None:
            return false;
    }
    return false;
}

void CStunMachine::OnDatagram(int socketId, const Endpoint& from,
                              std::span<const std::uint8_t> bytes) {
    m_checkThread.Check();
    // Datagrams on a socket of a finished test are late answers to it: nothing to learn.
    if (!m_running || socketId < 0 || !Listening(socketId))
        return;
    // Every request of ours carries the magic cookie, and an answer echoes it with the rest of
    // the ID (an RFC 3489 server echoes all 128 bits): without it, it answers someone else.
    StunMessage msg;
    if (!LooksLikeStun(bytes.data(), bytes.size()) ||
        ParseStun(bytes.data(), bytes.size(), msg) != StunParseError::None || !msg.IsRfc5389()) {
        Drop(from, nullptr);
        return;
    }
    OnMessage(socketId, from, msg);
}

CStunMachine::Judged CStunMachine::Judge(const Transaction& t, const Endpoint& from,
                                         const StunMessage& msg) {
    Judged j;
    if (t.test == Test::Hairpin) {
        // Our own request, back through the NAT: the only thing that may arrive here with its ID.
        if (msg.cls == StunClass::Request)
            j.judgement = Judgement::Hairpinned;
        return j;
    }
    if (msg.cls != StunClass::Success && msg.cls != StunClass::Error)
        return j;
    // RFC 3489 servers name the address a response leaves from in SOURCE-ADDRESS.
    std::optional<Endpoint> origin = EndpointOfStun(msg.responseOrigin);
    if (!origin)
        origin = EndpointOfStun(msg.sourceAddress);
    if (!(from == t.expectFrom) || (t.changeFlags != 0 && origin && !(*origin == t.expectFrom)))
        return JudgeSource(t, from, origin, msg);
    if (msg.cls == StunClass::Error)
        return JudgeError(t, from, msg);
    if (auto x = EndpointOfStun(msg.xorMapped)) {
        j.reply.mapped = *x;
    } else if (auto m = EndpointOfStun(msg.mapped)) {
        j.reply.mapped = *m;
        j.reply.legacy = true;
    } else {
        Drop(from, nullptr);  // no mapped address: nothing to learn from it
        return j;
    }
    j.reply.other = EndpointOfStun(msg.otherAddress);
    if (!j.reply.other) {
        j.reply.other = EndpointOfStun(msg.changedAddress);
        j.reply.otherFromChanged = j.reply.other.has_value();
    }
    j.reply.origin = origin;
    // The server saw this socket's datagram: its source is of the socket's family.
    if (!j.reply.mapped.SameFamily(t.to))
        j.why =
            "its answer names the mapped address " + Ep(j.reply.mapped) + " of the other family";
    else
        j.why = WhyUnusable("its answer names the mapped address", j.reply.mapped);
    j.judgement = j.why.empty() ? Judgement::Answer : Judgement::Unusable;
    return j;
}

CStunMachine::Judged CStunMachine::JudgeSource(const Transaction& t, const Endpoint& from,
                                               const std::optional<Endpoint>& origin,
                                               const StunMessage& msg) {
    Judged j;
    if (t.changeFlags == 0) {
        Drop(from, &msg);
        return j;
    }
    j.judgement = Judgement::Lacks5780;
    if (from == t.expectFrom) {
        j.why = "its change response says RESPONSE-ORIGIN " + Ep(*origin) + ", expected " +
                Ep(t.expectFrom);
    } else if (from == t.to) {
        // The commonest fault of public servers: they ignore CHANGE-REQUEST. Believed, the
        // response would read as a filter that lets everything in.
        j.why = "it ignores CHANGE-REQUEST (the change response came from " + Ep(from) +
                ", expected " + Ep(t.expectFrom) + ")";
    } else {
        // Our transaction ID from a third place (an OTHER-ADDRESS it does not answer from): read
        // as nothing, the missing answer would pass for a filter.
        j.why = "it answers CHANGE-REQUEST from " + Ep(from) + ", not from " + Ep(t.expectFrom);
    }
    return j;
}

CStunMachine::Judged CStunMachine::JudgeError(const Transaction& t, const Endpoint& from,
                                              const StunMessage& msg) {
    // The reason phrase is the server's text: cleaned before it reaches a log or terminal.
    const std::string reason =
        msg.hasErrorCode ? std::to_string(msg.errorCode) + " " + CleanNetworkText(msg.errorReason)
                         : std::string("(no ERROR-CODE)");
    theLog.WriteTimedLine("STUN server %s answers with error %s", Ep(from).c_str(), reason.c_str());
    Judged j;
    if (t.changeFlags != 0) {
        j.judgement = Judgement::Lacks5780;
        j.why = "it refuses CHANGE-REQUEST (error " + std::to_string(msg.errorCode) + ")";
    } else {
        j.judgement = Judgement::Refused;
        j.why = "the server refused: " + reason;
    }
    return j;
}

void CStunMachine::ServerLacks5780(const std::string& why) {
    m_outcome.rfc5780 = false;
    if (m_outcome.rfc5780Problem.empty())
        m_outcome.rfc5780Problem = why;
    LogLacks5780(why);
}

void CStunMachine::LogLacks5780(const std::string& why) {
    theLog.WriteTimedLine("The STUN server does not support RFC 5780 behaviour discovery: %s",
                          why.c_str());
}

void CStunMachine::LogGaveUp(const Transaction& t, bool namesTest) const {
    const std::uint64_t waited = m_clock() - t.schedule.FirstMs();
    const double seconds = static_cast<double>(waited) / 1000.0;
    if (t.test == Test::Hairpin) {
        theLog.WriteTimedLine("My own request did not come back in %.1f s", seconds);
        return;
    }
    if (namesTest)
        theLog.WriteTimedLine("No response from %s in %.1f s (%d transmissions, %s)",
                              Ep(t.to).c_str(), seconds, t.schedule.Sent(), TestName(t.test));
    else
        theLog.WriteTimedLine("No response from %s in %.1f s (%d transmissions)", Ep(t.to).c_str(),
                              seconds, t.schedule.Sent());
}

void CStunMachine::LogChangeResponse(const Transaction& t) {
    theLog.WriteTimedLine("Receive the %sCHANGE-REQUEST response from %s",
                          t.test == Test::FiltIII ? "PORT " : "", Ep(t.expectFrom).c_str());
}

void CStunMachine::TestIFailed(const std::string& why) {
    m_outcome.serverProblem = why;
    theLog.WriteTimedLine("The STUN server's answer cannot be used: %s, STUN check stop!",
                          why.c_str());
    Finish();
}

void CStunMachine::Drop(const Endpoint& from, const StunMessage* msg) {
    ++m_dropped;
    if (msg && (msg->cls == StunClass::Success || msg->cls == StunClass::Error) &&
        from == m_config.server)
        ++m_otherIdAnswers;
}

void CStunMachine::TestIUnanswered() {
    if (m_otherIdAnswers > 0) {
        TestIFailed("answers carry another transaction ID (" + Ep(m_config.server) + ")");
        return;
    }
    theLog.WriteTimedLine("I can't receive any response from the STUN server, STUN check stop!");
    Finish();
}

void CStunMachine::LogDropped() const {
    if (m_dropped > 0)
        theLog.WriteTimedLine(
            "Dropped %llu datagrams that answered no request of this run (not STUN, malformed, "
            "another transaction or an unexpected sender)",
            static_cast<unsigned long long>(m_dropped));
}

std::string CStunMachine::TakeTestI(const Reply& reply) {
    const Endpoint& server = m_config.server;
    m_outcome.serverAnswered = true;
    m_outcome.mapped = reply.mapped;
    m_outcome.otherAddress = reply.other;
    m_outcome.responseOrigin = reply.origin;
    m_outcome.legacyServer = reply.legacy;
    const LocalMatch local = m_isLocal(reply.mapped);
    m_outcome.mappedIsLocal = local == LocalMatch::Own;
    if (!reply.mapped.IsIpv4() && local != LocalMatch::Own)
        m_outcome.mappedKeepsInterfaceId = local == LocalMatch::SameInterfaceId;
    theLog.WriteTimedLine("STUN server reports my UDP address as %s", Ep(reply.mapped).c_str());
    theLog.WriteTimedLine(
        "OTHER-ADDRESS %s, RESPONSE-ORIGIN %s",
        reply.other && !reply.otherFromChanged ? Ep(*reply.other).c_str() : "none",
        reply.origin ? Ep(*reply.origin).c_str() : "none");
    if (reply.otherFromChanged) {
        m_outcome.rfc3489 = true;
        theLog.WriteTimedLine("RFC 3489 server: using CHANGED-ADDRESS %s as its other address",
                              Ep(*reply.other).c_str());
    }
    // RFC 5780 needs a second IP address and a second port; with either one shared the
    // tests below would compare a thing with itself.
    std::string why;
    if (!reply.other)
        why = reply.legacy ? "no OTHER-ADDRESS (an RFC 3489 server: MAPPED-ADDRESS only)"
                           : "no OTHER-ADDRESS in its response";
    else if (!reply.other->SameFamily(server))
        why = "its OTHER-ADDRESS " + Ep(*reply.other) + " is of the other family";
    else if (const std::string bad = WhyUnusable("its other address", *reply.other); !bad.empty())
        why = bad;
    else if (*reply.other == server)
        why = "its OTHER-ADDRESS is its primary address " + Ep(server);
    else if (reply.other->SameAddress(server))
        why = "its OTHER-ADDRESS " + Ep(*reply.other) + " has the primary IP address";
    else if (reply.other->port == server.port)
        why = "its OTHER-ADDRESS " + Ep(*reply.other) + " has the primary port";
    return why;
}

void CStunMachine::TakeSecondServer(const Endpoint& mapped) {
    // One socket, two destinations. The same mapping for another IP address rules out both
    // dependent kinds; for the same IP it rules out only address-and-port. A different mapping
    // for another IP says "dependent" but not which kind.
    const bool sameIp = m_config.server2->SameAddress(m_config.server);
    if (mapped == *m_outcome.mapped) {
        if (!sameIp)
            m_outcome.mapping = StunBehaviour::EndpointIndependent;
        else
            theLog.WriteTimedLine(
                "Both servers share an IP address: endpoint-independent and "
                "address-dependent mapping look alike");
    } else {
        m_outcome.mappingEndpointIndependent = false;
        if (sameIp)
            m_outcome.mapping = StunBehaviour::AddressAndPortDependent;
    }
}

void CStunMachine::SettleMapping() {
    CloseSocket(m_mapSocket);
    if (m_outcome.mapping)
        m_outcome.mappingEndpointIndependent =
            *m_outcome.mapping == StunBehaviour::EndpointIndependent;
}

void CStunMachine::Finish() {
    m_running = false;
    LogDropped();
    CloseSocket(m_mapSocket);
    CloseSocket(m_hairSocket);
    CloseSocket(m_filtSocket);
    StunOutcome& o = m_outcome;
    o.finished = true;
    // The classic names. OPEN: no translation and nothing filtered; SYMMETRIC: any mapping that
    // is not endpoint-independent; the three cones: endpoint-independent mapping by filter.
    if (o.mappedIsLocal == true && o.filtering == StunBehaviour::EndpointIndependent) {
        o.classicFilter = FilterOpen;
    } else if (o.mappingEndpointIndependent == false) {
        o.classicFilter = FilterSymmetric;
    } else if (o.mappingEndpointIndependent == true && o.filtering) {
        // The three cones, by StunBehaviour.
        static constexpr std::int32_t kCones[] = {FilterFullCone, FilterIpRestricted,
                                                  FilterPortRestricted};
        static_assert(std::size(kCones) == kBehaviours);
        o.classicFilter = kCones[static_cast<std::size_t>(*o.filtering)];
    }
    if (o.mapping) {
        static constexpr std::int32_t kRules[] = {AllocNotSymmetric, AllocAddressSensitive,
                                                  AllocPortSensitive};
        static_assert(std::size(kRules) == kBehaviours);
        o.classicAlloc = kRules[static_cast<std::size_t>(*o.mapping)];
    }
    Summarize();
}

void CStunMachine::Summarize() {
    const StunOutcome& o = m_outcome;
    std::vector<std::string>& lines = m_outcome.lines;
    lines.clear();
    constexpr const char* kNotDetermined = "NOT DETERMINED";
    lines.push_back(std::string("MAPPED ADDRESS :    ") +
                    (o.mapped ? Ep(*o.mapped) : std::string(kNotDetermined)));
    std::string mapping = kNotDetermined;
    if (o.mapping) {
        mapping = UpperBehaviour(*o.mapping);
        if (o.classicAlloc)
            mapping += std::string(" (") + AllocRuleText(*o.classicAlloc) + ")";
    } else if (o.mappingEndpointIndependent == false) {
        mapping = "NOT ENDPOINT-INDEPENDENT (SYMMETRIC NAT)";
    }
    lines.push_back("NAT MAPPING BEHAVIOUR :    " + mapping);
    lines.push_back(std::string("NAT FILTERING BEHAVIOUR :    ") +
                    (o.filtering ? UpperBehaviour(*o.filtering) : kNotDetermined));
    if (o.classicFilter) {
        lines.push_back(std::string("NAT INCOMING PACKAGES FILTER :    ") +
                        FilterTypeText(*o.classicFilter));
    }
    lines.push_back(std::string("HAIRPINNING :    ") +
                    (o.hairpinning ? (*o.hairpinning ? "YES" : "NO") : kNotDetermined));
    if (o.rfc5780 == true && o.rfc3489)
        lines.push_back(
            "STUN SERVER :    RFC 3489 SERVER, DOES THE RFC 5780 TESTS (CHANGED-ADDRESS)");
    else if (o.rfc5780 == true)
        lines.push_back("STUN SERVER :    SUPPORTS RFC 5780");
    else if (o.rfc5780 == false)
        lines.push_back("STUN SERVER :    NO RFC 5780 SUPPORT: " + o.rfc5780Problem);
    else if (!o.serverProblem.empty())
        lines.push_back("STUN SERVER :    NO USABLE RESPONSE: " + o.serverProblem);
    else
        lines.push_back("STUN SERVER :    NO RESPONSE");

    LogFramedSummary("STUN NAT Behaviour Discovery Result Summarize", lines);
}
