#include "standard/stun_check.h"

#include <algorithm>
#include <iterator>
#include <random>

#include "core/log.h"
#include "core/text_table.h"
#include "core/verdicts.h"
#include "net/local_address.h"
#include "net/messages.h"
#include "net/stun_message.h"

namespace {

std::string Ep(const Ipv4Endpoint& e) {
    return FormatIpv4Endpoint(e);
}

// StunAddress holds the port in network order; Ipv4Endpoint in host order.
Ipv4Endpoint FromStun(const StunAddress& a) {
    return {a.address, HostPort(a.port)};
}

std::optional<Ipv4Endpoint> Ipv4Of(const StunAddress& a) {
    if (!a.IsIpv4())
        return std::nullopt;
    return FromStun(a);
}

std::array<std::uint8_t, 12> RandomTransactionId() {
    // 96 bits from the system's entropy source (getrandom on Linux): RFC 5389 wants them
    // unpredictable, so an off-path sender cannot forge a response.
    std::random_device rd;
    std::array<std::uint8_t, 12> id{};
    for (std::size_t i = 0; i < id.size(); i += 4) {
        const std::uint32_t r = rd();
        for (std::size_t k = 0; k < 4; ++k)
            id[i + k] = static_cast<std::uint8_t>(r >> (8 * k));
    }
    return id;
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

CStunCheck::CStunCheck(IStunTransport& transport, Clock clock)
    : m_transport(transport),
      m_clock(std::move(clock)),
      m_newId(RandomTransactionId),
      m_isLocal([](std::uint32_t addrNet) { return ReadLocalAddresses().IsOwn(addrNet); }) {}

CStunCheck::~CStunCheck() {
    CloseSocket(m_mapSocket);
    CloseSocket(m_hairSocket);
    CloseSocket(m_filtSocket);
}

void CStunCheck::Start(const StunCheckConfig& config) {
    Stop();
    m_config = config;
    m_outcome = StunOutcome{};
    m_outcome.server = config.server;
    m_outcome.server2 = config.server2;
    m_startMs = m_clock();

    theLog.WriteLine("");
    theLog.WriteTimedLine("Start STUN NAT behaviour discovery (RFC 5389/5780)...");
    theLog.WriteLine("");
    theLog.WriteLine("STUN Server Information:");
    const auto serverLine = [](const char* what, const Ipv4Endpoint& e, const std::string& name) {
        if (name.empty())
            theLog.WriteLine("    %s: %s", what, Ep(e).c_str());
        else
            theLog.WriteLine("    %s: %s (%s)", what, Ep(e).c_str(), name.c_str());
    };
    serverLine("STUN server", config.server, config.serverName);
    if (config.server2)
        serverLine("Second STUN server", *config.server2, {});
    if (config.quick) {
        theLog.WriteLine("");
        theLog.WriteTimedLine(
            "Quick mode: after test I the tests run at once, each on a fresh socket, and wait "
            "for a missing response as long as the measured round trip asks");
        m_phase = Phase::Quick;
        m_slots = {};
        m_quickRtoMs = config.quickTiming.firstRtoMs;
        m_mapDone = m_hairDone = m_filtDone = false;
        m_filtProblem.clear();
    }
    StartCheck("mapping behaviour", Phase::MapI, m_mapSocket);
}

void CStunCheck::Stop() {
    if (m_phase == Phase::Idle)
        return;
    m_phase = Phase::Idle;
    m_outcome.interrupted = true;
    CloseSocket(m_mapSocket);
    CloseSocket(m_hairSocket);
    CloseSocket(m_filtSocket);
}

int CStunCheck::OpenSocket() {
    const int id = m_transport.Open();
    if (id < 0) {
        m_outcome.socketsFailed = true;
        theLog.WriteTimedLine("Cannot open a UDP socket, STUN check stop!");
        Finish();
    }
    return id;
}

void CStunCheck::CloseSocket(int& socketId) {
    if (socketId >= 0)
        m_transport.Close(socketId);
    socketId = -1;
}

void CStunCheck::Arm(Transaction& t, Phase phase, int socketId, const Ipv4Endpoint& to,
                     std::uint32_t changeFlags, const Ipv4Endpoint& expectFrom,
                     std::uint64_t intervalMs, int transmissions, std::uint64_t capMs) {
    t.phase = phase;
    t.socket = socketId;
    t.to = to;
    t.expectFrom = expectFrom;
    t.changeFlags = changeFlags;
    t.id = m_newId();
    t.sent = 0;
    t.intervalMs = intervalMs;
    t.firstSendMs = m_clock();
    t.lastSendMs = t.firstSendMs;
    t.nextSendMs = t.firstSendMs;
    std::uint64_t total = 0;
    if (intervalMs == 0) {
        // The last transmission goes out at RTO * (2^(Rc-1) - 1); then Rm * RTO more.
        const StunTiming& rfc = m_config.timing;
        total = rfc.rtoMs * ((std::uint64_t{1} << (rfc.transmissions - 1)) - 1) +
                rfc.rtoMs * static_cast<std::uint64_t>(rfc.lastWaitFactor);
    } else {
        // One interval after each transmission, the last included.
        total = intervalMs * static_cast<std::uint64_t>(transmissions);
    }
    t.giveUpMs = t.firstSendMs + std::min(total, capMs);
}

void CStunCheck::Begin(Phase phase, int socketId, const Ipv4Endpoint& to, std::uint32_t changeFlags,
                       const Ipv4Endpoint& expectFrom) {
    m_phase = phase;
    const StunTiming& t = m_config.timing;
    Arm(m_txn, phase, socketId, to, changeFlags, expectFrom, 0, t.transmissions, t.capMs);
    Transmit(m_txn);
}

void CStunCheck::Launch(Phase phase, int socketId, const Ipv4Endpoint& to,
                        std::uint32_t changeFlags, const Ipv4Endpoint& expectFrom) {
    if (m_phase == Phase::Quick)
        QuickLaunch(phase, socketId, to, changeFlags, expectFrom);
    else
        Begin(phase, socketId, to, changeFlags, expectFrom);
}

bool CStunCheck::StartCheck(const char* check, Phase testI, int& socketId) {
    theLog.WriteLine("");
    theLog.WriteTimedLine("NAT %s check start...", check);
    socketId = OpenSocket();
    if (socketId < 0)
        return false;
    const Ipv4Endpoint& server = m_config.server;
    theLog.WriteTimedLine("Test I: Binding request to %s from a fresh socket...",
                          Ep(server).c_str());
    Launch(testI, socketId, server, 0, server);
    return true;
}

bool CStunCheck::Transmit(Transaction& t) {
    StunMessage msg;
    msg.cls = StunClass::Request;
    msg.transactionId = t.id;
    msg.hasChangeRequest = t.changeFlags != 0;
    msg.changeFlags = t.changeFlags;
    msg.fingerprint = true;
    std::uint8_t buf[64];
    const std::size_t len = EncodeStun(msg, buf, sizeof buf);
    ++t.sent;
    t.lastSendMs = m_clock();
    if (t.intervalMs == 0) {
        // The next transmission is RTO * 2^sent after the first one's time, until Rc are out.
        const StunTiming& rfc = m_config.timing;
        t.nextSendMs = t.sent < rfc.transmissions
                           ? t.firstSendMs + rfc.rtoMs * ((std::uint64_t{1} << t.sent) - 1)
                           : t.giveUpMs;
    } else {
        const int transmissions = m_config.quickTiming.transmissions;
        t.nextSendMs = t.sent < transmissions
                           ? t.firstSendMs + t.intervalMs * static_cast<std::uint64_t>(t.sent)
                           : t.giveUpMs;
    }
    // A send the system refuses counts as one lost on the way.
    return m_transport.Send(t.socket, t.to, {buf, len});
}

std::optional<std::uint64_t> CStunCheck::NextDeadline() const {
    if (m_phase == Phase::Idle)
        return std::nullopt;
    if (m_phase != Phase::Quick)
        return std::min(m_txn.nextSendMs, m_txn.giveUpMs);
    std::optional<std::uint64_t> next;
    for (const Slot& s : m_slots) {
        if (s.state == SlotState::Waiting)
            next =
                std::min(next.value_or(s.txn.giveUpMs), std::min(s.txn.nextSendMs, s.txn.giveUpMs));
    }
    return next;
}

std::optional<std::uint64_t> CStunCheck::GiveUpAt() const {
    if (m_phase == Phase::Idle)
        return std::nullopt;
    if (m_phase != Phase::Quick)
        return m_txn.giveUpMs;
    std::optional<std::uint64_t> last;
    for (const Slot& s : m_slots) {
        if (s.state == SlotState::Waiting)
            last = std::max(last.value_or(0), s.txn.giveUpMs);
    }
    return last;
}

void CStunCheck::OnTimer(std::uint64_t nowMs) {
    if (m_phase == Phase::Idle)
        return;
    if (m_phase == Phase::Quick) {
        QuickOnTimer(nowMs);
        return;
    }
    // One step per call at most for each kind: a retransmission, else the give-up.
    if (nowMs >= m_txn.giveUpMs) {
        OnTimeout();
        return;
    }
    if (nowMs >= m_txn.nextSendMs)
        Transmit(m_txn);
}

void CStunCheck::OnDatagram(int socketId, const Ipv4Endpoint& from,
                            std::span<const std::uint8_t> bytes) {
    // Datagrams on a socket of a finished test are late answers to it: nothing to learn.
    if (m_phase == Phase::Idle)
        return;
    if (m_phase == Phase::Quick) {
        if (socketId < 0 ||
            (socketId != m_mapSocket && socketId != m_hairSocket && socketId != m_filtSocket))
            return;
    } else if (socketId != m_txn.socket) {
        return;
    }
    if (!LooksLikeStun(bytes.data(), bytes.size())) {
        theLog.WriteTimedLine("Ignored a datagram from %s that is no STUN message",
                              Ep(from).c_str());
        return;
    }
    StunMessage msg;
    if (const StunParseError e = ParseStun(bytes.data(), bytes.size(), msg);
        e != StunParseError::None) {
        theLog.WriteTimedLine("Ignored a malformed STUN message from %s: %s", Ep(from).c_str(),
                              StunParseErrorText(e));
        return;
    }
    if (m_phase == Phase::Quick) {
        QuickOnDatagram(socketId, from, msg);
        return;
    }
    if (msg.method != kStunMethodBinding || msg.transactionId != m_txn.id) {
        theLog.WriteTimedLine("Ignored a STUN message from %s for another transaction",
                              Ep(from).c_str());
        return;
    }
    Judged j = Judge(m_txn, from, msg);
    switch (j.judgement) {
        case Judgement::Ignore:
            return;
        case Judgement::Hairpinned:
            OnHairpinArrived();
            return;
        case Judgement::Lacks5780:
            ServerLacks5780(j.why);
            Finish();
            return;
        case Judgement::Refused:
            OnTimeout();
            return;
        case Judgement::Answer:
            OnReply(j.reply);
            return;
    }
}

CStunCheck::Judged CStunCheck::Judge(const Transaction& t, const Ipv4Endpoint& from,
                                     const StunMessage& msg) {
    Judged j;
    if (t.phase == Phase::Hairpin) {
        // Our own request, back through the NAT: the only thing that may arrive here with its ID.
        if (msg.cls == StunClass::Request)
            j.judgement = Judgement::Hairpinned;
        return j;
    }
    if (msg.cls != StunClass::Success && msg.cls != StunClass::Error)
        return j;

    const bool change = t.changeFlags != 0;
    const std::optional<Ipv4Endpoint> origin = Ipv4Of(msg.responseOrigin);
    if (!(from == t.expectFrom)) {
        // A change response from the address the request went to is the commonest fault of
        // public servers: they ignore CHANGE-REQUEST. It would read as a filter that lets
        // everything in, so it ends the filtering test instead.
        if (change && from == t.to) {
            j.judgement = Judgement::Lacks5780;
            j.why = "it ignores CHANGE-REQUEST (the change response came from " + Ep(from) +
                    ", expected " + Ep(t.expectFrom) + ")";
            return j;
        }
        theLog.WriteTimedLine("Ignored a response from %s (expected from %s)", Ep(from).c_str(),
                              Ep(t.expectFrom).c_str());
        return j;
    }
    if (change && origin && !(*origin == t.expectFrom)) {
        j.judgement = Judgement::Lacks5780;
        j.why = "its change response says RESPONSE-ORIGIN " + Ep(*origin) + ", expected " +
                Ep(t.expectFrom);
        return j;
    }
    if (msg.cls == StunClass::Error) {
        theLog.WriteTimedLine("STUN server %s answers with error %u %s", Ep(from).c_str(),
                              static_cast<unsigned>(msg.errorCode), msg.errorReason.c_str());
        if (change) {
            j.judgement = Judgement::Lacks5780;
            j.why = "it refuses CHANGE-REQUEST (error " + std::to_string(msg.errorCode) + ")";
            return j;
        }
        j.judgement = Judgement::Refused;
        return j;
    }
    if (auto x = Ipv4Of(msg.xorMapped)) {
        j.reply.mapped = *x;
    } else if (auto m = Ipv4Of(msg.mapped)) {
        j.reply.mapped = *m;
        j.reply.legacy = true;
    } else {
        theLog.WriteTimedLine("Ignored a response from %s without an IPv4 mapped address",
                              Ep(from).c_str());
        return j;
    }
    j.reply.other = Ipv4Of(msg.otherAddress);
    j.reply.origin = origin;
    j.judgement = Judgement::Answer;
    return j;
}

void CStunCheck::ServerLacks5780(const std::string& why) {
    m_outcome.rfc5780 = false;
    if (m_outcome.rfc5780Problem.empty())
        m_outcome.rfc5780Problem = why;
    LogLacks5780(why);
}

void CStunCheck::LogLacks5780(const std::string& why) {
    theLog.WriteTimedLine("The STUN server does not support RFC 5780 behaviour discovery: %s",
                          why.c_str());
}

std::string CStunCheck::TakeTestI(const Reply& reply) {
    const Ipv4Endpoint& server = m_config.server;
    m_outcome.serverAnswered = true;
    m_outcome.mapped = reply.mapped;
    m_outcome.otherAddress = reply.other;
    m_outcome.responseOrigin = reply.origin;
    m_outcome.legacyServer = reply.legacy;
    m_outcome.mappedIsLocal = m_isLocal(reply.mapped.address);
    theLog.WriteTimedLine("STUN server reports my UDP address as %s", Ep(reply.mapped).c_str());
    theLog.WriteTimedLine("OTHER-ADDRESS %s, RESPONSE-ORIGIN %s",
                          reply.other ? Ep(*reply.other).c_str() : "none",
                          reply.origin ? Ep(*reply.origin).c_str() : "none");
    // RFC 5780 needs a second IP address and a second port; with either one shared the
    // tests below would compare a thing with itself.
    std::string why;
    if (!reply.other)
        why = reply.legacy ? "no OTHER-ADDRESS (an RFC 3489 server: MAPPED-ADDRESS only)"
                           : "no OTHER-ADDRESS in its response";
    else if (*reply.other == server)
        why = "its OTHER-ADDRESS is its primary address " + Ep(server);
    else if (reply.other->address == server.address)
        why = "its OTHER-ADDRESS " + Ep(*reply.other) + " has the primary IP address";
    else if (reply.other->port == server.port)
        why = "its OTHER-ADDRESS " + Ep(*reply.other) + " has the primary port";
    return why;
}

bool CStunCheck::StartMappingTests(const Reply& reply, const std::string& why) {
    const Ipv4Endpoint& server = m_config.server;
    if (why.empty()) {
        m_outcome.rfc5780 = true;
        const Ipv4Endpoint to{reply.other->address, server.port};
        theLog.WriteTimedLine("Test II: Binding request to %s (other IP, primary port)...",
                              Ep(to).c_str());
        Launch(Phase::MapII, m_mapSocket, to, 0, to);
        return true;
    }
    ServerLacks5780(why);
    if (m_config.server2 && !(*m_config.server2 == server)) {
        theLog.WriteTimedLine("Binding request to the second STUN server %s...",
                              Ep(*m_config.server2).c_str());
        Launch(Phase::MapSecond, m_mapSocket, *m_config.server2, 0, *m_config.server2);
        return true;
    }
    return false;
}

void CStunCheck::TakeSecondServer(const Ipv4Endpoint& mapped) {
    // One socket, two destinations. The same mapping for another IP address rules out both
    // dependent kinds; for the same IP it rules out only address-and-port. A different mapping
    // for another IP says "dependent" but not which kind.
    const bool sameIp = m_config.server2->address == m_config.server.address;
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

void CStunCheck::SettleMapping() {
    CloseSocket(m_mapSocket);
    if (m_outcome.mapping)
        m_outcome.mappingEndpointIndependent =
            *m_outcome.mapping == StunBehaviour::EndpointIndependent;
}

void CStunCheck::SendToOwnMapping(const Ipv4Endpoint& mapped) {
    theLog.WriteTimedLine("Binding request to my own mapped address %s from the same socket...",
                          Ep(mapped).c_str());
    Launch(Phase::Hairpin, m_hairSocket, mapped, 0, mapped);
}

void CStunCheck::OnReply(const Reply& reply) {
    const Ipv4Endpoint& server = m_config.server;
    const std::string mapped = Ep(reply.mapped);
    switch (m_phase) {
        case Phase::MapI:
            if (!StartMappingTests(reply, TakeTestI(reply)))
                AfterMapping();
            return;
        case Phase::MapII:
            theLog.WriteTimedLine("STUN server reports my UDP address as %s", mapped.c_str());
            if (reply.mapped == *m_outcome.mapped) {
                m_outcome.mapping = StunBehaviour::EndpointIndependent;
                AfterMapping();
                return;
            }
            m_mapII = reply.mapped;
            theLog.WriteTimedLine("Test III: Binding request to %s (other IP, other port)...",
                                  Ep(*m_outcome.otherAddress).c_str());
            Begin(Phase::MapIII, m_mapSocket, *m_outcome.otherAddress, 0, *m_outcome.otherAddress);
            return;
        case Phase::MapIII:
            theLog.WriteTimedLine("STUN server reports my UDP address as %s", mapped.c_str());
            m_outcome.mapping = reply.mapped == m_mapII ? StunBehaviour::AddressDependent
                                                        : StunBehaviour::AddressAndPortDependent;
            AfterMapping();
            return;
        case Phase::MapSecond:
            theLog.WriteTimedLine("The second STUN server reports my UDP address as %s",
                                  mapped.c_str());
            TakeSecondServer(reply.mapped);
            AfterMapping();
            return;
        case Phase::HairI:
            theLog.WriteTimedLine("STUN server reports my UDP address as %s", mapped.c_str());
            SendToOwnMapping(reply.mapped);
            return;
        case Phase::FiltI:
            theLog.WriteTimedLine("STUN server reports my UDP address as %s", mapped.c_str());
            theLog.WriteTimedLine(
                "Test II: CHANGE-REQUEST asks for the response from the other IP and port %s...",
                Ep(*m_outcome.otherAddress).c_str());
            Begin(Phase::FiltII, m_filtSocket, server, kStunChangeIp | kStunChangePort,
                  *m_outcome.otherAddress);
            return;
        case Phase::FiltII:
            theLog.WriteTimedLine("Receive the CHANGE-REQUEST response from %s",
                                  Ep(m_txn.expectFrom).c_str());
            m_outcome.filtering = StunBehaviour::EndpointIndependent;
            Finish();
            return;
        case Phase::FiltIII:
            theLog.WriteTimedLine("Receive the PORT CHANGE-REQUEST response from %s",
                                  Ep(m_txn.expectFrom).c_str());
            m_outcome.filtering = StunBehaviour::AddressDependent;
            Finish();
            return;
        case Phase::Hairpin:
        case Phase::Idle:
        case Phase::Quick:
            return;
    }
}

void CStunCheck::OnHairpinArrived() {
    theLog.WriteTimedLine("My own request came back through the NAT");
    m_outcome.hairpinning = true;
    CloseSocket(m_hairSocket);
    StartFiltering();
}

void CStunCheck::OnTimeout() {
    const std::string to = Ep(m_txn.to);
    const double seconds = static_cast<double>(m_txn.giveUpMs - m_txn.firstSendMs) / 1000.0;
    if (m_phase != Phase::Hairpin) {
        theLog.WriteTimedLine("No response from %s in %.1f s (%d transmissions)", to.c_str(),
                              seconds, m_txn.sent);
    }
    switch (m_phase) {
        case Phase::MapI:
            theLog.WriteTimedLine(
                "I can't receive any response from the STUN server, STUN check "
                "stop!");
            Finish();
            return;
        case Phase::MapII:
        case Phase::MapIII:
            ServerLacks5780("no answer from its other address " + to);
            AfterMapping();
            return;
        case Phase::MapSecond:
            AfterMapping();
            return;
        case Phase::FiltI:
            Finish();
            return;
        case Phase::HairI:
            CloseSocket(m_hairSocket);
            StartFiltering();
            return;
        case Phase::Hairpin:
            theLog.WriteTimedLine("My own request did not come back in %.1f s", seconds);
            m_outcome.hairpinning = false;
            CloseSocket(m_hairSocket);
            StartFiltering();
            return;
        case Phase::FiltII: {
            const Ipv4Endpoint from{m_config.server.address, m_outcome.otherAddress->port};
            theLog.WriteTimedLine(
                "Test III: PORT CHANGE-REQUEST asks for the response from the other port %s...",
                Ep(from).c_str());
            Begin(Phase::FiltIII, m_filtSocket, m_config.server, kStunChangePort, from);
            return;
        }
        case Phase::FiltIII:
            m_outcome.filtering = StunBehaviour::AddressAndPortDependent;
            Finish();
            return;
        case Phase::Idle:
        case Phase::Quick:
            return;
    }
}

void CStunCheck::AfterMapping() {
    SettleMapping();
    StartCheck("hairpinning", Phase::HairI, m_hairSocket);
}

void CStunCheck::StartFiltering() {
    if (m_outcome.rfc5780 != true) {
        Finish();
        return;
    }
    StartCheck("filtering behaviour", Phase::FiltI, m_filtSocket);
}

void CStunCheck::Finish() {
    m_phase = Phase::Idle;
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
        switch (*o.filtering) {
            case StunBehaviour::EndpointIndependent:
                o.classicFilter = FilterFullCone;
                break;
            case StunBehaviour::AddressDependent:
                o.classicFilter = FilterIpRestricted;
                break;
            case StunBehaviour::AddressAndPortDependent:
                o.classicFilter = FilterPortRestricted;
                break;
        }
    }
    if (o.mapping) {
        switch (*o.mapping) {
            case StunBehaviour::EndpointIndependent:
                o.classicAlloc = AllocNotSymmetric;
                break;
            case StunBehaviour::AddressDependent:
                o.classicAlloc = AllocAddressSensitive;
                break;
            case StunBehaviour::AddressAndPortDependent:
                o.classicAlloc = AllocPortSensitive;
                break;
        }
    }
    Summarize();
}

void CStunCheck::Summarize() {
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
    if (o.rfc5780 == true)
        lines.push_back("STUN SERVER :    SUPPORTS RFC 5780");
    else if (o.rfc5780 == false)
        lines.push_back("STUN SERVER :    NO RFC 5780 SUPPORT: " + o.rfc5780Problem);
    else
        lines.push_back("STUN SERVER :    NO RESPONSE");

    theLog.WriteLine("");
    theLog.WriteLine("%s", kAsteriskRow);
    theLog.WriteLine("        STUN NAT Behaviour Discovery Result Summarize");
    theLog.WriteLine("");
    for (const std::string& line : lines)
        theLog.WriteLine("%s", line.c_str());
    theLog.WriteLine("");
    theLog.WriteLine("%s", kAsteriskRow);
}

std::string CStunCheck::StepName() const {
    if (m_phase != Phase::Quick)
        return PhaseName(m_phase);
    std::string names;
    for (const Slot& slot : m_slots) {
        if (slot.state == SlotState::Waiting)
            names += (names.empty() ? "" : ", ") + std::string(PhaseName(slot.txn.phase));
    }
    return names;
}

const char* CStunCheck::PhaseName(Phase phase) {
    switch (phase) {
        case Phase::Idle:
        case Phase::Quick:
            return "";
        case Phase::MapI:
            return "mapping test I";
        case Phase::MapII:
            return "mapping test II";
        case Phase::MapIII:
            return "mapping test III";
        case Phase::MapSecond:
            return "the second server";
        case Phase::HairI:
            return "hairpinning test I";
        case Phase::Hairpin:
            return "hairpinned request";
        case Phase::FiltI:
            return "filtering test I";
        case Phase::FiltII:
            return "filtering test II";
        case Phase::FiltIII:
            return "filtering test III";
    }
    return "";
}

// Quick mode.

void CStunCheck::QuickLaunch(Phase phase, int socketId, const Ipv4Endpoint& to,
                             std::uint32_t changeFlags, const Ipv4Endpoint& expectFrom) {
    Slot& slot = SlotOf(phase);
    slot.state = SlotState::Waiting;
    const StunQuickTiming& q = m_config.quickTiming;
    Arm(slot.txn, phase, socketId, to, changeFlags, expectFrom, m_quickRtoMs, q.transmissions,
        phase == Phase::MapI ? q.firstCapMs : q.capMs);
    Transmit(slot.txn);
}

void CStunCheck::QuickOnDatagram(int socketId, const Ipv4Endpoint& from, const StunMessage& msg) {
    Slot* slot = nullptr;
    for (Slot& s : m_slots) {
        if (s.state == SlotState::Waiting && s.txn.socket == socketId &&
            s.txn.id == msg.transactionId)
            slot = &s;
    }
    if (msg.method != kStunMethodBinding || slot == nullptr) {
        theLog.WriteTimedLine("Ignored a STUN message from %s for another transaction",
                              Ep(from).c_str());
        return;
    }
    const Judged j = Judge(slot->txn, from, msg);
    const Phase phase = slot->txn.phase;
    switch (j.judgement) {
        case Judgement::Ignore:
            return;
        case Judgement::Hairpinned:
            theLog.WriteTimedLine("My own request came back through the NAT");
            slot->state = SlotState::Answered;
            break;
        case Judgement::Lacks5780:
            // Only change requests get here: the filtering test ends without a verdict.
            LogLacks5780(j.why);
            if (m_filtProblem.empty())
                m_filtProblem = j.why;
            QuickCancel({Phase::FiltI, Phase::FiltII, Phase::FiltIII});
            break;
        case Judgement::Refused:
            slot->state = SlotState::GaveUp;
            if (phase == Phase::MapI) {
                QuickGiveUp(*slot);
                return;
            }
            break;
        case Judgement::Answer:
            slot->state = SlotState::Answered;
            slot->mapped = j.reply.mapped;
            switch (phase) {
                case Phase::MapI:
                    QuickAfterTestI(j.reply);
                    if (m_phase != Phase::Quick)
                        return;  // a socket could not be opened
                    break;
                case Phase::MapSecond:
                    theLog.WriteTimedLine("The second STUN server reports my UDP address as %s",
                                          Ep(j.reply.mapped).c_str());
                    break;
                case Phase::HairI:
                    theLog.WriteTimedLine("STUN server reports my UDP address as %s (%s)",
                                          Ep(j.reply.mapped).c_str(), PhaseName(phase));
                    SendToOwnMapping(j.reply.mapped);
                    break;
                case Phase::FiltII:
                    theLog.WriteTimedLine("Receive the CHANGE-REQUEST response from %s",
                                          Ep(slot->txn.expectFrom).c_str());
                    break;
                case Phase::FiltIII:
                    theLog.WriteTimedLine("Receive the PORT CHANGE-REQUEST response from %s",
                                          Ep(slot->txn.expectFrom).c_str());
                    break;
                default:
                    // The tests' answers interleave: each line names its test.
                    theLog.WriteTimedLine("STUN server reports my UDP address as %s (%s)",
                                          Ep(j.reply.mapped).c_str(), PhaseName(phase));
                    break;
            }
            break;
    }
    QuickDecide();
}

void CStunCheck::QuickOnTimer(std::uint64_t nowMs) {
    // Every transaction that is due takes one step: a retransmission, else the give-up.
    for (Slot& slot : m_slots) {
        if (slot.state != SlotState::Waiting)
            continue;
        if (nowMs >= slot.txn.giveUpMs) {
            slot.state = SlotState::GaveUp;
            QuickGiveUp(slot);
            if (m_phase != Phase::Quick)
                return;
        } else if (nowMs >= slot.txn.nextSendMs) {
            Transmit(slot.txn);
        }
    }
    QuickDecide();
}

void CStunCheck::QuickGiveUp(Slot& slot) {
    const Transaction& t = slot.txn;
    const double seconds = static_cast<double>(t.giveUpMs - t.firstSendMs) / 1000.0;
    if (t.phase == Phase::Hairpin) {
        theLog.WriteTimedLine("My own request did not come back in %.1f s", seconds);
        return;
    }
    theLog.WriteTimedLine("No response from %s in %.1f s (%d transmissions, %s)", Ep(t.to).c_str(),
                          seconds, t.sent, PhaseName(t.phase));
    if (t.phase == Phase::MapI) {
        theLog.WriteTimedLine(
            "I can't receive any response from the STUN server, STUN check stop!");
        Finish();
    }
}

void CStunCheck::QuickCancel(std::initializer_list<Phase> phases) {
    for (const Phase p : phases) {
        Slot& slot = SlotOf(p);
        if (slot.state == SlotState::Waiting)
            slot.state = SlotState::Cancelled;
    }
}

void CStunCheck::QuickAfterTestI(const Reply& reply) {
    const Ipv4Endpoint& server = m_config.server;
    const Transaction& testI = SlotOf(Phase::MapI).txn;
    const std::string why = TakeTestI(reply);
    // The time since the last transmission: the true round trip or more, whichever transmission
    // the answer belongs to.
    const StunQuickTiming& q = m_config.quickTiming;
    const std::uint64_t rtt = m_clock() - testI.lastSendMs;
    const std::uint64_t room = std::max<std::uint64_t>(
        q.capMs / static_cast<std::uint64_t>(std::max(q.transmissions, 1)), 1);
    m_quickRtoMs = std::min(std::max(rtt * q.rttFactor, q.minRtoMs), room);
    const std::uint64_t giveUp =
        std::min(m_quickRtoMs * static_cast<std::uint64_t>(q.transmissions), q.capMs);
    theLog.WriteTimedLine(
        "Round trip %llu ms: quick mode retransmits every %llu ms, %d transmissions, and gives "
        "up after %.1f s",
        static_cast<unsigned long long>(rtt), static_cast<unsigned long long>(m_quickRtoMs),
        q.transmissions, static_cast<double>(giveUp) / 1000.0);

    StartMappingTests(reply, why);
    if (why.empty()) {
        // Sent at once; its answer counts only when test II's mapped address differs from I's.
        theLog.WriteTimedLine("Test III: Binding request to %s (other IP, other port), at once...",
                              Ep(*reply.other).c_str());
        QuickLaunch(Phase::MapIII, m_mapSocket, *reply.other, 0, *reply.other);
    }

    if (!StartCheck("hairpinning", Phase::HairI, m_hairSocket))
        return;
    if (m_outcome.rfc5780 != true) {
        m_filtDone = true;
        return;
    }
    if (!StartCheck("filtering behaviour", Phase::FiltI, m_filtSocket))
        return;
    // All three at once: each change response passes the filter or not by what the socket sent,
    // and every request goes to the same primary address.
    theLog.WriteTimedLine(
        "Test II: CHANGE-REQUEST asks for the response from the other IP and port %s, at once...",
        Ep(*reply.other).c_str());
    QuickLaunch(Phase::FiltII, m_filtSocket, server, kStunChangeIp | kStunChangePort, *reply.other);
    const Ipv4Endpoint portFrom{server.address, reply.other->port};
    theLog.WriteTimedLine(
        "Test III: PORT CHANGE-REQUEST asks for the response from the other port %s, at once...",
        Ep(portFrom).c_str());
    QuickLaunch(Phase::FiltIII, m_filtSocket, server, kStunChangePort, portFrom);
}

void CStunCheck::QuickDecide() {
    if (m_phase != Phase::Quick || SlotOf(Phase::MapI).state != SlotState::Answered)
        return;
    if (!m_mapDone)
        DecideMapping();
    if (!m_hairDone)
        DecideHairpin();
    if (!m_filtDone)
        DecideFiltering();
    bool waiting = false;
    for (const Slot& slot : m_slots)
        waiting = waiting || slot.state == SlotState::Waiting;
    // Nothing left to wait for ends the run whatever the tests say, so it can never hang.
    if ((m_mapDone && m_hairDone && m_filtDone) || !waiting) {
        if (m_outcome.rfc5780 != true) {
            // The full run would not have filtered at all.
            m_outcome.filtering.reset();
        } else if (!m_filtProblem.empty()) {
            m_outcome.rfc5780 = false;
            m_outcome.rfc5780Problem = m_filtProblem;
        }
        Finish();
    }
}

void CStunCheck::MappingDone() {
    m_mapDone = true;
    QuickCancel({Phase::MapII, Phase::MapIII, Phase::MapSecond});
    SettleMapping();
}

void CStunCheck::DecideMapping() {
    const Slot& ii = SlotOf(Phase::MapII);
    const Slot& iii = SlotOf(Phase::MapIII);
    const Slot& second = SlotOf(Phase::MapSecond);
    const Ipv4Endpoint& mapped = *m_outcome.mapped;
    if (second.state != SlotState::Unused) {
        if (second.state == SlotState::Waiting)
            return;
        if (second.state == SlotState::Answered)
            TakeSecondServer(second.mapped);
        MappingDone();
        return;
    }
    if (ii.state == SlotState::Unused) {
        MappingDone();  // no RFC 5780 and no second server: nothing more to ask
        return;
    }
    if (ii.state == SlotState::Waiting)
        return;
    if (ii.state == SlotState::GaveUp) {
        ServerLacks5780("no answer from its other address " + Ep(ii.txn.to));
        MappingDone();
        return;
    }
    if (ii.mapped == mapped) {
        m_outcome.mapping = StunBehaviour::EndpointIndependent;
        MappingDone();
        return;
    }
    if (iii.state == SlotState::Waiting)
        return;
    if (iii.state == SlotState::Answered) {
        m_outcome.mapping = iii.mapped == ii.mapped ? StunBehaviour::AddressDependent
                                                    : StunBehaviour::AddressAndPortDependent;
    } else {
        ServerLacks5780("no answer from its other address " + Ep(iii.txn.to));
    }
    MappingDone();
}

void CStunCheck::DecideHairpin() {
    const Slot& hairI = SlotOf(Phase::HairI);
    const Slot& hairpin = SlotOf(Phase::Hairpin);
    if (hairI.state == SlotState::Waiting || hairpin.state == SlotState::Waiting)
        return;
    if (hairpin.state == SlotState::Answered)
        m_outcome.hairpinning = true;
    else if (hairpin.state == SlotState::GaveUp)
        m_outcome.hairpinning = false;
    m_hairDone = true;
    CloseSocket(m_hairSocket);
}

void CStunCheck::DecideFiltering() {
    const Slot& i = SlotOf(Phase::FiltI);
    const Slot& ii = SlotOf(Phase::FiltII);
    const Slot& iii = SlotOf(Phase::FiltIII);
    const auto done = [this] {
        m_filtDone = true;
        QuickCancel({Phase::FiltI, Phase::FiltII, Phase::FiltIII});
        CloseSocket(m_filtSocket);
    };
    // A problem with the server (found here or by the mapping test) ends the test unjudged.
    if (!m_filtProblem.empty() || m_outcome.rfc5780 != true) {
        done();
        return;
    }
    if (ii.state == SlotState::Answered) {
        m_outcome.filtering = StunBehaviour::EndpointIndependent;
        done();
        return;
    }
    // Test III's answer means address-dependent only once test II has certainly gone unanswered.
    if (ii.state == SlotState::Waiting)
        return;
    if (iii.state == SlotState::Answered) {
        m_outcome.filtering = StunBehaviour::AddressDependent;
        done();
        return;
    }
    if (iii.state == SlotState::Waiting || i.state == SlotState::Waiting)
        return;
    // Neither change response, and test I tells whether the server answers this socket at all.
    if (i.state == SlotState::Answered)
        m_outcome.filtering = StunBehaviour::AddressAndPortDependent;
    done();
}
