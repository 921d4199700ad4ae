#include "server/probe_handler.h"

#include <algorithm>
#include <vector>

#include "net/address_text.h"
#include "net/messages.h"
#include "net/stun_message.h"

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

// The same to a STUN peer of either family, on that family's socket.
OutDatagram& AddTo(HandlerOutput& out, LocalPort from, const StunAddress& to,
                   std::uint16_t toPort) {
    OutDatagram& d = Add(out, from, to.address, toPort);
    d.ipv6 = to.family == kStunFamilyIpv6;
    d.toAddress6 = to.address6;
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

// How many unknown attribute types a 420 response lists at most: each costs the request at
// least 4 bytes and the response 2, so the size rule holds anyway; this bounds the work.
constexpr std::size_t kMaxUnknownListed = 16;

constexpr std::uint16_t kStunUnknownAttributeCode = 420;
const char* const kStunUnknownAttributeReason = "Unknown Attribute";
constexpr std::uint16_t kStunBadRequestCode = 400;
const char* const kStunBadRequestReason = "Bad Request";

bool IsServer2StunPort(LocalPort p) {
    return p == LocalPort::Server2Main || p == LocalPort::Server2Changed;
}

// The most a STUN response may be, in bytes, for a request of requestLength from a peer of
// family. Over IPv6 the rule counts whole packets, its 48 bytes of IPv6 and UDP headers each
// way: an RFC 5780 response names three IPv6 addresses (24 bytes each), and a bare 20-byte
// request must still get one (a 148-byte packet for 68, as IPv4's 104 for 48).
std::size_t StunSizeAllowance(std::uint8_t family, std::size_t requestLength) {
    constexpr std::size_t kIpv6UdpHeaders = 48;
    if (family == kStunFamilyIpv6)
        return kStunMaxAmplification * (requestLength + kIpv6UdpHeaders) - kIpv6UdpHeaders;
    return kStunMaxAmplification * requestLength;
}

bool IsNextPort(LocalPort p) {
    return p == LocalPort::Server1Next || p == LocalPort::Server2Changed;
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
                                                      "relay_accepted",  "relay_sequence_ahead",
                                                      "stun_answered",   "stun_error",
                                                      "stun_malformed",  "stun_ignored",
                                                      "stun_oversized",  "stun_rfc3489_answered",
                                                      "bad_source",      "relay_bad_target",
                                                      "stun_bad_request"};
    const auto i = static_cast<int>(outcome);
    return i >= 0 && i < kOutcomeCount ? kNames[i] : "?";
}

LocalPort StunAlternate(LocalPort at, bool changeIp, bool changePort) {
    const bool second = IsServer2StunPort(at) != changeIp;
    const bool next = IsNextPort(at) != changePort;
    if (second)
        return next ? LocalPort::Server2Changed : LocalPort::Server2Main;
    return next ? LocalPort::Server1Next : LocalPort::Server1Main;
}

LocalPort StunOtherAddress(LocalPort at) {
    return StunAlternate(at, !IsServer2StunPort(at), true);
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
    // The kernel drops most such sources already; a forged one must not get an answer (or a
    // relay) aimed at a broadcast or at one of our own sockets.
    if (!MaySendTo(fromAddrNet, fromPortNet))
        return Outcome::DroppedBadSource;
    // No datagram of our own protocol passes either test (their bytes 4 and 5 are the low half
    // of a 0x7x77700x code; their first two bytes are their length, at least 6), so the two
    // protocols share every socket.
    if (LooksLikeStun(data, len) || LooksLikeRfc3489Request(data, len))
        return HandleStun(data, len, StunIpv4(fromAddrNet, fromPortNet), arrivedOn, clock, out);
    if (arrivedOn == LocalPort::Server1PortChange || arrivedOn == LocalPort::Server2Changed)
        return Outcome::DroppedSendOnly;
    if (len < kHeaderLength)
        return Outcome::DroppedShort;
    if (ReadBe16(data) != len)
        return Outcome::DroppedBadLength;
    const Request r{ReadBe32(data + 2), fromAddrNet, fromPortNet, arrivedOn};

    if (r.type == kMsgRelayChange && arrivedOn == LocalPort::Server2Main)
        return HandleRelay(data, len, fromAddrNet, clock, out);
    if (r.type == kMsgRelayStun && arrivedOn == LocalPort::Server2Main) {
        if (m_verifier == nullptr || !m_roles.hasPartner || fromAddrNet != m_roles.partnerAddress)
            return Outcome::RelaySpoofed;
        return HandleStunRelay(data, len, clock, out);
    }
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
    if (!MaySendTo(r.clientAddress, r.clientPort))
        return Outcome::RelayBadTarget;
    // The answer goes to the client named in the relay, so that address pays the token.
    if (!m_limiter.Allow(r.clientAddress, clock.monotonicMs))
        return Outcome::RateLimited;
    AddChangedAddressReply(out, r.clientAddress, r.clientPort);
    return Outcome::RelayAccepted;
}

bool CProbeHandler::MaySendTo(std::uint32_t addr, std::uint16_t port) const {
    if (PeerAddressProblem(addr) != nullptr)
        return false;
    const std::vector<std::uint32_t>& b = m_roles.localBroadcasts;
    if (std::find(b.begin(), b.end(), addr) != b.end())
        return false;
    for (int i = 0; i < kLocalPortCount; ++i) {
        const auto p = static_cast<LocalPort>(i);
        const auto k = static_cast<std::size_t>(i);
        // A split Server2 only guesses its partner's sockets; a Server1 knows Server2's.
        if ((IsLocal(p) || !m_roles.server2) && m_roles.stunAddress[k] != 0 &&
            m_roles.stunAddress[k] == addr && m_roles.stunPort[k] == port) {
            return false;
        }
    }
    return true;
}

Outcome CProbeHandler::Handle6(const std::uint8_t* data, std::size_t len, const Ipv6Bytes& from,
                               std::uint16_t fromPortNet, LocalPort arrivedOn,
                               const HandlerClock& clock, HandlerOutput& out) const {
    out.count = 0;
    const StunAddress peer = StunIpv6(from, fromPortNet);
    if (!MaySendToPeer(peer, fromPortNet))
        return Outcome::DroppedBadSource;
    // Our own protocol holds IPv4 addresses, and RFC 3489 defines no IPv6 form.
    if (!LooksLikeStun(data, len))
        return Outcome::DroppedUnknown;
    return HandleStun(data, len, peer, arrivedOn, clock, out);
}

bool CProbeHandler::MaySendToPeer(const StunAddress& peer, std::uint16_t port) const {
    if (peer.family != kStunFamilyIpv6)
        return MaySendTo(peer.address, port);
    if (PeerAddressProblem6(peer.address6) != nullptr)
        return false;
    for (int i = 0; i < kLocalPortCount; ++i) {
        const auto p = static_cast<LocalPort>(i);
        const auto k = static_cast<std::size_t>(i);
        if (IsLocalIn(kStunFamilyIpv6, p) && m_roles.stunAddress6[k] == peer.address6 &&
            m_roles.stunPort6[k] == port) {
            return false;
        }
    }
    return true;
}

bool CProbeHandler::IsLocalIn(std::uint8_t family, LocalPort port) const {
    if (family != kStunFamilyIpv6)
        return IsLocal(port);
    if (port == LocalPort::Server1PortChange)
        return false;  // only our own protocol sends from it
    return IsServer2StunPort(port) ? m_roles.server2v6 : m_roles.server1v6;
}

StunAddress CProbeHandler::StunSocket(std::uint8_t family, LocalPort port) const {
    const auto i = static_cast<std::size_t>(port);
    if (family == kStunFamilyIpv6)
        return StunIpv6(m_roles.stunAddress6[i], m_roles.stunPort6[i]);
    return StunIpv4(m_roles.stunAddress[i], m_roles.stunPort[i]);
}

bool CProbeHandler::IsLocal(LocalPort port) const {
    switch (port) {
        case LocalPort::Server1Main:
        case LocalPort::Server1Next:
        case LocalPort::Server1PortChange:
            return m_roles.server1;
        case LocalPort::Server2Main:
        case LocalPort::Server2Changed:
            return m_roles.server2;
    }
    return false;
}

Outcome CProbeHandler::HandleStun(const std::uint8_t* data, std::size_t len,
                                  const StunAddress& from, LocalPort arrivedOn,
                                  const HandlerClock& clock, HandlerOutput& out) const {
    const std::uint8_t family = from.family;
    const std::uint16_t fromPortNet = from.port;
    const bool rfc5780 = Rfc5780In(family);
    // The port-change port only ever sends; Server2's changed-address port receives STUN only
    // as the fourth address of an RFC 5780 server (clients send to OTHER-ADDRESS).
    if (!IsLocalIn(family, arrivedOn) || arrivedOn == LocalPort::Server1PortChange ||
        (arrivedOn == LocalPort::Server2Changed && !rfc5780)) {
        return Outcome::DroppedSendOnly;
    }
    StunMessage req;
    if (ParseStun(data, len, req) != StunParseError::None)
        return Outcome::StunMalformed;
    // Responses and indications (a Binding indication is a keep-alive) get nothing, nor do
    // methods other than Binding: answering them could only help a reflector.
    if (req.cls != StunClass::Request || req.method != kStunMethodBinding)
        return Outcome::StunIgnored;
    // An RFC 3489 request is answered in its own form: its whole 128-bit ID echoed, no
    // FINGERPRINT, no PADDING (not an attribute of that RFC).
    const bool rfc3489 = !req.IsRfc5389();
    const Outcome answered = rfc3489 ? Outcome::Stun3489Answered : Outcome::StunAnswered;
    const bool padded = req.hasPadding && !rfc3489;

    std::vector<std::uint16_t> refused(
        req.unknownRequired.begin(),
        req.unknownRequired.begin() +
            static_cast<std::ptrdiff_t>(std::min(req.unknownRequired.size(), kMaxUnknownListed)));
    const bool changeIp = req.ChangeIp();
    const bool changePort = req.ChangePort();
    const LocalPort answerFrom = StunAlternate(arrivedOn, changeIp, changePort);
    const bool relay = !IsLocalIn(family, answerFrom);
    const auto refuse = [&refused](std::uint16_t type) {
        if (refused.size() < kMaxUnknownListed)
            refused.push_back(type);
    };
    // A change is made only with all four addresses, and a split Server2 cannot ask Server1
    // (relays go one way), nor can anyone over IPv6 (relays hold IPv4 clients): all are
    // answered as a server without an alternate address does.
    const bool canRelay = family == kStunFamilyIpv4 && m_signer != nullptr && m_roles.hasPartner;
    if ((changeIp || changePort) && (!rfc5780 || (relay && !canRelay))) {
        refuse(kStunAttrChangeRequest);
    } else if (relay && padded && !m_signer->Keyed()) {
        // An unkeyed Server2 cannot tell our relay from a forged one, so it never pads.
        refuse(kStunAttrPadding);
    }
    // RESPONSE-PORT (RFC 5780 section 7.5): the response goes to the request's source address
    // at that port, never anywhere else. RFC 3489 has no such attribute, and a relay carries no
    // second port, so a change the partner must make cannot be combined with it.
    std::uint16_t sendToPort = fromPortNet;
    bool badRequest = false;
    if (req.hasResponsePort) {
        if (rfc3489 || relay) {
            refuse(kStunAttrResponsePort);
        } else if (req.responsePort == 0 || req.hasPadding) {
            badRequest = true;
        } else if (!MaySendToPeer(from, req.responsePort)) {
            return Outcome::DroppedBadSource;
        } else {
            sendToPort = req.responsePort;
        }
    }
    const bool allowed = family == kStunFamilyIpv6
                             ? m_limiter.Allow6(from.address6, clock.monotonicMs)
                             : m_limiter.Allow(from.address, clock.monotonicMs);
    if (!allowed)
        return Outcome::RateLimited;

    if (!refused.empty() || badRequest) {
        StunMessage e;
        e.cls = StunClass::Error;
        e.cookie = req.cookie;
        e.transactionId = req.transactionId;
        e.hasErrorCode = true;
        if (refused.empty()) {
            e.errorCode = kStunBadRequestCode;
            e.errorReason = kStunBadRequestReason;
        } else {
            e.errorCode = kStunUnknownAttributeCode;
            e.errorReason = kStunUnknownAttributeReason;
            e.unknownAttributes = refused;
        }
        // RFC 3489 fills an odd list to a multiple of 4 bytes by repeating a type.
        if (rfc3489 && refused.size() % 2 != 0)
            e.unknownAttributes.push_back(refused.back());
        e.fingerprint = !rfc3489;
        const std::size_t n = StunEncodedLength(e);
        if (n == 0 || n > kMaxOutDatagram || (!padded && n > StunSizeAllowance(family, len))) {
            return Outcome::StunOversized;
        }
        OutDatagram& d = AddTo(out, arrivedOn, from, fromPortNet);
        d.length = static_cast<std::uint16_t>(EncodeStun(e, d.data, sizeof d.data));
        return refused.empty() ? Outcome::StunBadRequest : Outcome::StunError;
    }
    const std::uint16_t padding = padded ? req.paddingLength : kRelayNoPadding;
    if (!relay) {
        const Outcome o = AddStunResponse(req.cookie, req.transactionId, from, sendToPort,
                                          answerFrom, arrivedOn, len, padding, out);
        return o == Outcome::StunAnswered ? answered : o;
    }
    StunRelayRequest r;
    r.base.clientAddress = from.address;  // IPv4: canRelay
    r.base.clientPort = fromPortNet;
    r.base.timestampMs = clock.wallMs;
    r.transactionId = req.transactionId;
    r.answerFromNext = answerFrom == LocalPort::Server2Changed;
    r.arrivedOnNext = arrivedOn == LocalPort::Server1Next;
    r.requestLength = static_cast<std::uint16_t>(std::min<std::size_t>(len, 0xFFFF));
    r.paddingLength = padding;
    r.rfc3489 = rfc3489;
    r.idHead = req.cookie;
    OutDatagram& d =
        Add(out, LocalPort::Server1PortChange, m_roles.partnerAddress, m_roles.partnerPort);
    d.length = m_signer->EncodeStun(r, d.data);
    return answered;
}

Outcome CProbeHandler::HandleStunRelay(const std::uint8_t* data, std::size_t len,
                                       const HandlerClock& clock, HandlerOutput& out) const {
    StunRelayRequest r;
    const RelayCheck check = m_verifier->VerifyStun(data, len, clock.wallMs, &r);
    if (check != RelayCheck::Accepted)
        return kRelayOutcomes[static_cast<int>(check)];
    if (!MaySendTo(r.base.clientAddress, r.base.clientPort))
        return Outcome::RelayBadTarget;
    std::size_t requestLength = r.requestLength;
    if (!m_verifier->Keyed()) {
        // Without a key anyone who can send from the partner's address writes these fields:
        // the relay itself is the request, and PADDING (which may exceed it) is refused.
        if (r.paddingLength != kRelayNoPadding)
            return Outcome::StunOversized;
        requestLength = std::min(requestLength, len);
    }
    if (!m_limiter.Allow(r.base.clientAddress, clock.monotonicMs))
        return Outcome::RateLimited;
    const LocalPort from = r.answerFromNext ? LocalPort::Server2Changed : LocalPort::Server2Main;
    const LocalPort arrivedOn = r.arrivedOnNext ? LocalPort::Server1Next : LocalPort::Server1Main;
    const Outcome o =
        AddStunResponse(r.rfc3489 ? r.idHead : kStunMagicCookie, r.transactionId,
                        StunIpv4(r.base.clientAddress, r.base.clientPort), r.base.clientPort, from,
                        arrivedOn, requestLength, r.paddingLength, out);
    return o == Outcome::StunAnswered ? Outcome::RelayAccepted : o;
}

Outcome CProbeHandler::AddStunResponse(std::uint32_t cookie,
                                       const std::array<std::uint8_t, 12>& transactionId,
                                       const StunAddress& to, std::uint16_t sendToPort,
                                       LocalPort answerFrom, LocalPort arrivedOn,
                                       std::size_t requestLength, std::uint16_t paddingLength,
                                       HandlerOutput& out) const {
    const auto at = [this, &to](LocalPort p) { return StunSocket(to.family, p); };
    StunMessage m;
    m.cls = StunClass::Success;
    m.cookie = cookie;
    m.transactionId = transactionId;
    m.mapped = to;
    const StunAddress other =
        Rfc5780In(to.family) ? at(StunOtherAddress(arrivedOn)) : StunAddress{};
    if (m.IsRfc5389()) {
        // MAPPED-ADDRESS too, for clients that read only that.
        m.xorMapped = m.mapped;
        m.responseOrigin = at(answerFrom);
        m.otherAddress = other;
        m.fingerprint = true;
    } else {
        m.sourceAddress = at(answerFrom);
        m.changedAddress = other;
        paddingLength = kRelayNoPadding;
    }
    const bool padded = paddingLength != kRelayNoPadding;
    if (padded) {
        // Padded like the request, as far as one datagram allows.
        m.hasPadding = true;
        m.paddingLength = 0;
        const std::size_t bare = StunEncodedLength(m);
        const std::size_t room =
            kMaxOutDatagram > bare ? (kMaxOutDatagram - bare) & ~std::size_t{3} : 0;
        m.paddingLength = static_cast<std::uint16_t>(std::min<std::size_t>(paddingLength, room));
    }
    const std::size_t n = StunEncodedLength(m);
    if (n == 0 || n > kMaxOutDatagram ||
        (!padded && n > StunSizeAllowance(to.family, requestLength)))
        return Outcome::StunOversized;
    OutDatagram& d = AddTo(out, answerFrom, to, sendToPort);
    d.length = static_cast<std::uint16_t>(EncodeStun(m, d.data, sizeof d.data));
    return Outcome::StunAnswered;
}
