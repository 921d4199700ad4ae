#include "server/probe_handler.h"

#include "net/messages.h"

namespace {

// First byte of a code: 0x74 marks a request; 0x7C, 0x77 and 0x7F are answers or unasked
// messages, which a server must never answer (two servers would bounce them for ever).
constexpr std::uint8_t kRequestClass = 0x74;

bool IsAnswerClass(std::uint8_t codeClass) {
    return codeClass == 0x7C || codeClass == 0x77 || codeClass == 0x7F;
}

OutDatagram& Add(HandlerOutput& out, LocalPort from, std::uint32_t toAddr, std::uint16_t toPort) {
    OutDatagram& d = out.items[static_cast<std::size_t>(out.count++)];
    d.from = from;
    d.toAddress = toAddr;
    d.toPort = toPort;
    return d;
}

// Server2's 0x77747005 to a client, from the port the client never contacted.
void AddChangedAddressReply(HandlerOutput& out, std::uint32_t toAddr, std::uint16_t toPort) {
    OutDatagram& d = Add(out, LocalPort::Server2Changed, toAddr, toPort);
    d.length = EncodeEmpty(d.data, kMsgChangedAddressReply);
}

bool IsServer1Port(LocalPort p) {
    return p == LocalPort::Server1Main || p == LocalPort::Server1Next;
}

// Which codes each socket serves. Codes meant for a client (loopback probe, friend search, port
// report) never reach a server on purpose and are not answered.
bool Serves(std::uint32_t type, LocalPort arrivedOn) {
    switch (type) {
        case kMsgBindingRequest:
        case kMsgAllocTestA:
        case kMsgAllocTestB:
        case kMsgAllocTestC:
        case kMsgExceptTest1:
        case kMsgExceptTest2:
        case kMsgFriendPortRequest:
            return true;
        case kMsgChangeRequest:
        case kMsgPortChangeRequest:
            return IsServer1Port(arrivedOn);
        default:
            return false;
    }
}

// In RelayCheck's order.
constexpr Outcome kRelayOutcomes[kRelayCheckCount] = {
    Outcome::RelayAccepted, Outcome::RelayMalformed, Outcome::RelayBadMac,
    Outcome::RelayStale,    Outcome::RelayReplayed,  Outcome::RelaySequenceAhead,
};

}  // namespace

const char* LocalPortName(LocalPort port) {
    // In LocalPort's order.
    static const char* const kNames[kLocalPortCount] = {"server1", "server1 next port",
                                                        "server1 port-change port", "server2",
                                                        "server2 changed-address port"};
    const auto i = static_cast<int>(port);
    return i >= 0 && i < kLocalPortCount ? kNames[i] : "?";
}

const char* OutcomeName(Outcome outcome) {
    static const char* const kNames[kOutcomeCount] = {"answered",        "short",
                                                      "bad_length",      "reply_code",
                                                      "unknown_code",    "send_only_port",
                                                      "rate_limited",    "relay_spoofed",
                                                      "relay_malformed", "relay_bad_mac",
                                                      "relay_stale",     "relay_replayed",
                                                      "relay_accepted",  "relay_sequence_ahead"};
    const auto i = static_cast<int>(outcome);
    return i >= 0 && i < kOutcomeCount ? kNames[i] : "?";
}

// One datagram to answer: its code, who sent it and where it arrived.
struct CProbeHandler::Request {
    std::uint32_t type;
    std::uint32_t fromAddrNet;
    std::uint16_t fromPortNet;
    LocalPort arrivedOn;
};

CProbeHandler::CProbeHandler(const HandlerRoles& roles, CRateLimiter& limiter, CRelaySigner* signer,
                             CRelayVerifier* verifier)
    : m_roles(roles), m_limiter(limiter), m_signer(signer), m_verifier(verifier) {}

Outcome CProbeHandler::Handle(const std::uint8_t* data, std::size_t len, std::uint32_t fromAddrNet,
                              std::uint16_t fromPortNet, LocalPort arrivedOn,
                              const HandlerClock& clock, HandlerOutput& out) const {
    out.count = 0;
    if (arrivedOn == LocalPort::Server1PortChange || arrivedOn == LocalPort::Server2Changed)
        return Outcome::DroppedSendOnly;
    if (len < kHeaderLength)
        return Outcome::DroppedShort;
    if (ReadBe16(data) != len)
        return Outcome::DroppedBadLength;
    const Request r{ReadBe32(data + 2), fromAddrNet, fromPortNet, arrivedOn};

    if (r.type == kMsgRelayChange && arrivedOn == LocalPort::Server2Main)
        return HandleRelay(data, len, fromAddrNet, clock, out);
    const auto codeClass = static_cast<std::uint8_t>(r.type >> 24);
    if (codeClass != kRequestClass)
        return IsAnswerClass(codeClass) ? Outcome::DroppedReply : Outcome::DroppedUnknown;
    if (!Serves(r.type, arrivedOn))
        return Outcome::DroppedUnknown;
    if (!m_limiter.Allow(fromAddrNet, clock.monotonicMs))
        return Outcome::RateLimited;
    Answer(r, clock, out);
    return Outcome::Answered;
}

void CProbeHandler::Answer(const Request& r, const HandlerClock& clock, HandlerOutput& out) const {
    const std::uint32_t reply = ReplyCode(r.type);
    if (r.type == kMsgChangeRequest) {
        AnswerChange(r, clock, out);
    } else if (r.type == kMsgBindingRequest) {
        OutDatagram& d = Add(out, r.arrivedOn, r.fromAddrNet, r.fromPortNet);
        d.length = EncodeEndpoint(d.data, reply, r.fromAddrNet, r.fromPortNet);
    } else if (r.type == kMsgPortChangeRequest) {
        OutDatagram& d = Add(out, LocalPort::Server1PortChange, r.fromAddrNet, r.fromPortNet);
        d.length = EncodeEmpty(d.data, reply);
    } else {  // the port-as-seen replies
        OutDatagram& d = Add(out, r.arrivedOn, r.fromAddrNet, r.fromPortNet);
        d.length = EncodePort(d.data, reply, r.fromPortNet);
    }
}

void CProbeHandler::AnswerChange(const Request& r, const HandlerClock& clock,
                                 HandlerOutput& out) const {
    OutDatagram& ack = Add(out, r.arrivedOn, r.fromAddrNet, r.fromPortNet);
    ack.length = EncodeEmpty(ack.data, ReplyCode(r.type));
    // The body names a Server2, but only our own partner is ever asked: otherwise any client
    // could have us send datagrams to an address of its choosing.
    if (m_roles.server2) {
        AddChangedAddressReply(out, r.fromAddrNet, r.fromPortNet);
    } else if (m_roles.hasPartner && m_signer != nullptr) {
        OutDatagram& d =
            Add(out, LocalPort::Server1PortChange, m_roles.partnerAddress, m_roles.partnerPort);
        m_signer->Encode(r.fromAddrNet, r.fromPortNet, clock.wallMs, d.data);
        d.length = kRelayLength;
    }
}

Outcome CProbeHandler::HandleRelay(const std::uint8_t* data, std::size_t len,
                                   std::uint32_t fromAddrNet, const HandlerClock& clock,
                                   HandlerOutput& out) const {
    // Relays are taken only in a split deployment, and only from the partner's address.
    if (m_verifier == nullptr || !m_roles.hasPartner || fromAddrNet != m_roles.partnerAddress) {
        return Outcome::RelaySpoofed;
    }
    RelayRequest r;
    const RelayCheck check = m_verifier->Verify(data, len, clock.wallMs, &r);
    if (check != RelayCheck::Accepted)
        return kRelayOutcomes[static_cast<int>(check)];
    // The answer goes to the client named in the relay, so that address pays the token.
    if (!m_limiter.Allow(r.clientAddress, clock.monotonicMs))
        return Outcome::RateLimited;
    AddChangedAddressReply(out, r.clientAddress, r.clientPort);
    return Outcome::RelayAccepted;
}
