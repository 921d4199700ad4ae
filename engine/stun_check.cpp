#include "engine/stun_check.h"

#include <algorithm>
#include <iterator>
#include <random>

#include "core/log.h"
#include "core/text_table.h"
#include "engine/nat_prober.h"
#include "engine/prober_util.h"
#include "net/stun_message.h"

namespace {

std::string Ep(const Ipv4Endpoint& e) {
    return FormatIpv4Endpoint(e);
}

// StunAddress holds the port in network order; Ipv4Endpoint in host order.
Ipv4Endpoint FromStun(const StunAddress& a) {
    return {a.address, prober::HostPort(a.port)};
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
      m_isLocal(IsInterfaceAddress) {}

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
    theLog.WriteLine("");
    theLog.WriteTimedLine("NAT mapping behaviour check start...");

    m_mapSocket = OpenSocket();
    if (m_mapSocket < 0)
        return;
    theLog.WriteTimedLine("Test I: Binding request to %s from a fresh socket...",
                          Ep(config.server).c_str());
    Begin(Phase::MapI, m_mapSocket, config.server, 0, config.server);
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

void CStunCheck::Begin(Phase phase, int socketId, const Ipv4Endpoint& to, std::uint32_t changeFlags,
                       const Ipv4Endpoint& expectFrom) {
    m_phase = phase;
    m_socket = socketId;
    m_to = to;
    m_expectFrom = expectFrom;
    m_changeFlags = changeFlags;
    m_id = m_newId();
    m_sent = 0;
    m_firstSendMs = m_clock();
    const StunTiming& t = m_config.timing;
    // The last transmission goes out at RTO * (2^(Rc-1) - 1); then Rm * RTO more.
    const std::uint64_t lastSend = t.rtoMs * ((std::uint64_t{1} << (t.transmissions - 1)) - 1);
    m_giveUpMs = m_firstSendMs + std::min(lastSend + t.rtoMs * t.lastWaitFactor, t.capMs);
    m_nextSendMs = m_firstSendMs;
    Transmit();
}

bool CStunCheck::Transmit() {
    StunMessage msg;
    msg.cls = StunClass::Request;
    msg.transactionId = m_id;
    msg.hasChangeRequest = m_changeFlags != 0;
    msg.changeFlags = m_changeFlags;
    msg.fingerprint = true;
    std::uint8_t buf[64];
    const std::size_t len = EncodeStun(msg, buf, sizeof buf);
    ++m_sent;
    const StunTiming& t = m_config.timing;
    // The next transmission is RTO * 2^sent after the first one's time, until Rc are out.
    m_nextSendMs = m_sent < t.transmissions
                       ? m_firstSendMs + t.rtoMs * ((std::uint64_t{1} << m_sent) - 1)
                       : m_giveUpMs;
    // A send the system refuses counts as one lost on the way.
    return m_transport.Send(m_socket, m_to, {buf, len});
}

std::optional<std::uint64_t> CStunCheck::NextDeadline() const {
    if (m_phase == Phase::Idle)
        return std::nullopt;
    return std::min(m_nextSendMs, m_giveUpMs);
}

void CStunCheck::OnTimer(std::uint64_t nowMs) {
    // One step per call at most for each kind: a retransmission, else the give-up.
    if (m_phase == Phase::Idle)
        return;
    if (nowMs >= m_giveUpMs) {
        OnTimeout();
        return;
    }
    if (nowMs >= m_nextSendMs)
        Transmit();
}

void CStunCheck::OnDatagram(int socketId, const Ipv4Endpoint& from,
                            std::span<const std::uint8_t> bytes) {
    // Datagrams on a socket of a finished test are late answers to it: nothing to learn.
    if (m_phase == Phase::Idle || socketId != m_socket)
        return;
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
    if (msg.method != kStunMethodBinding || msg.transactionId != m_id) {
        theLog.WriteTimedLine("Ignored a STUN message from %s for another transaction",
                              Ep(from).c_str());
        return;
    }
    if (m_phase == Phase::Hairpin) {
        // Our own request, back through the NAT: the only thing that may arrive here with its ID.
        if (msg.cls == StunClass::Request)
            OnHairpinArrived();
        return;
    }
    if (msg.cls != StunClass::Success && msg.cls != StunClass::Error)
        return;

    const bool change = m_changeFlags != 0;
    const std::optional<Ipv4Endpoint> origin = Ipv4Of(msg.responseOrigin);
    if (!(from == m_expectFrom)) {
        // A change response from the address the request went to is the commonest fault of
        // public servers: they ignore CHANGE-REQUEST. It would read as a filter that lets
        // everything in, so it ends the filtering test instead.
        if (change && from == m_to) {
            ServerLacks5780("it ignores CHANGE-REQUEST (the change response came from " + Ep(from) +
                            ", expected " + Ep(m_expectFrom) + ")");
            Finish();
            return;
        }
        theLog.WriteTimedLine("Ignored a response from %s (expected from %s)", Ep(from).c_str(),
                              Ep(m_expectFrom).c_str());
        return;
    }
    if (change && origin && !(*origin == m_expectFrom)) {
        ServerLacks5780("its change response says RESPONSE-ORIGIN " + Ep(*origin) + ", expected " +
                        Ep(m_expectFrom));
        Finish();
        return;
    }
    if (msg.cls == StunClass::Error) {
        theLog.WriteTimedLine("STUN server %s answers with error %u %s", Ep(from).c_str(),
                              static_cast<unsigned>(msg.errorCode), msg.errorReason.c_str());
        if (change) {
            ServerLacks5780("it refuses CHANGE-REQUEST (error " + std::to_string(msg.errorCode) +
                            ")");
            Finish();
            return;
        }
        OnTimeout();
        return;
    }
    Reply reply;
    if (auto x = Ipv4Of(msg.xorMapped)) {
        reply.mapped = *x;
    } else if (auto m = Ipv4Of(msg.mapped)) {
        reply.mapped = *m;
        reply.legacy = true;
    } else {
        theLog.WriteTimedLine("Ignored a response from %s without an IPv4 mapped address",
                              Ep(from).c_str());
        return;
    }
    reply.other = Ipv4Of(msg.otherAddress);
    reply.origin = origin;
    OnReply(reply);
}

void CStunCheck::ServerLacks5780(const std::string& why) {
    m_outcome.rfc5780 = false;
    if (m_outcome.rfc5780Problem.empty())
        m_outcome.rfc5780Problem = why;
    theLog.WriteTimedLine("The STUN server does not support RFC 5780 behaviour discovery: %s",
                          why.c_str());
}

void CStunCheck::OnReply(const Reply& reply) {
    const Ipv4Endpoint& server = m_config.server;
    const std::string mapped = Ep(reply.mapped);
    switch (m_phase) {
        case Phase::MapI: {
            m_outcome.serverAnswered = true;
            m_outcome.mapped = reply.mapped;
            m_outcome.otherAddress = reply.other;
            m_outcome.responseOrigin = reply.origin;
            m_outcome.legacyServer = reply.legacy;
            m_outcome.mappedIsLocal = m_isLocal(reply.mapped.address);
            theLog.WriteTimedLine("STUN server reports my UDP address as %s", mapped.c_str());
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
            if (why.empty()) {
                m_outcome.rfc5780 = true;
                const Ipv4Endpoint to{reply.other->address, server.port};
                theLog.WriteTimedLine("Test II: Binding request to %s (other IP, primary port)...",
                                      Ep(to).c_str());
                Begin(Phase::MapII, m_mapSocket, to, 0, to);
                return;
            }
            ServerLacks5780(why);
            if (m_config.server2 && !(*m_config.server2 == server)) {
                theLog.WriteTimedLine("Binding request to the second STUN server %s...",
                                      Ep(*m_config.server2).c_str());
                Begin(Phase::MapSecond, m_mapSocket, *m_config.server2, 0, *m_config.server2);
                return;
            }
            AfterMapping();
            return;
        }
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
        case Phase::MapSecond: {
            theLog.WriteTimedLine("The second STUN server reports my UDP address as %s",
                                  mapped.c_str());
            // One socket, two destinations. The same mapping for another IP address rules out
            // both dependent kinds; for the same IP it rules out only address-and-port. A
            // different mapping for another IP says "dependent" but not which kind.
            const bool sameIp = m_config.server2->address == server.address;
            if (reply.mapped == *m_outcome.mapped) {
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
            AfterMapping();
            return;
        }
        case Phase::HairI:
            theLog.WriteTimedLine("STUN server reports my UDP address as %s", mapped.c_str());
            theLog.WriteTimedLine(
                "Binding request to my own mapped address %s from the same "
                "socket...",
                mapped.c_str());
            Begin(Phase::Hairpin, m_hairSocket, reply.mapped, 0, reply.mapped);
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
                                  Ep(m_expectFrom).c_str());
            m_outcome.filtering = StunBehaviour::EndpointIndependent;
            Finish();
            return;
        case Phase::FiltIII:
            theLog.WriteTimedLine("Receive the PORT CHANGE-REQUEST response from %s",
                                  Ep(m_expectFrom).c_str());
            m_outcome.filtering = StunBehaviour::AddressDependent;
            Finish();
            return;
        case Phase::Hairpin:
        case Phase::Idle:
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
    const std::string to = Ep(m_to);
    const double seconds = static_cast<double>(m_giveUpMs - m_firstSendMs) / 1000.0;
    if (m_phase != Phase::Hairpin) {
        theLog.WriteTimedLine("No response from %s in %.1f s (%d transmissions)", to.c_str(),
                              seconds, m_sent);
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
            return;
    }
}

void CStunCheck::AfterMapping() {
    CloseSocket(m_mapSocket);
    if (m_outcome.mapping)
        m_outcome.mappingEndpointIndependent =
            *m_outcome.mapping == StunBehaviour::EndpointIndependent;
    theLog.WriteLine("");
    theLog.WriteTimedLine("NAT hairpinning check start...");
    m_hairSocket = OpenSocket();
    if (m_hairSocket < 0)
        return;
    theLog.WriteTimedLine("Test I: Binding request to %s from a fresh socket...",
                          Ep(m_config.server).c_str());
    Begin(Phase::HairI, m_hairSocket, m_config.server, 0, m_config.server);
}

void CStunCheck::StartFiltering() {
    if (m_outcome.rfc5780 != true) {
        Finish();
        return;
    }
    theLog.WriteLine("");
    theLog.WriteTimedLine("NAT filtering behaviour check start...");
    m_filtSocket = OpenSocket();
    if (m_filtSocket < 0)
        return;
    theLog.WriteTimedLine("Test I: Binding request to %s from a fresh socket...",
                          Ep(m_config.server).c_str());
    Begin(Phase::FiltI, m_filtSocket, m_config.server, 0, m_config.server);
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
    theLog.WriteLine("%s", prober::kAsteriskRow);
    theLog.WriteLine("        STUN NAT Behaviour Discovery Result Summarize");
    theLog.WriteLine("");
    for (const std::string& line : lines)
        theLog.WriteLine("%s", line.c_str());
    theLog.WriteLine("");
    theLog.WriteLine("%s", prober::kAsteriskRow);
}

std::string CStunCheck::StepName() const {
    switch (m_phase) {
        case Phase::Idle:
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
