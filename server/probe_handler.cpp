#include "server/probe_handler.h"

#include "net/messages.h"

namespace {

// First byte of a code: 0x74 marks a request; 0x7C, 0x77 and 0x7F are answers or unasked
// messages, which a server must never answer (two servers would bounce them for ever).
constexpr std::uint8_t kRequestClass = 0x74;

OutDatagram& Add(HandlerOutput& out, LocalPort from, std::uint32_t toAddr, std::uint16_t toPort) {
    OutDatagram& d = out.items[static_cast<std::size_t>(out.count++)];
    d.from = from;
    d.toAddress = toAddr;
    d.toPort = toPort;
    return d;
}

bool IsServer1Port(LocalPort p) {
    return p == LocalPort::Server1Main || p == LocalPort::Server1Next;
}

}  // namespace

const char* LocalPortName(LocalPort port) {
    switch (port) {
        case LocalPort::Server1Main:
            return "server1";
        case LocalPort::Server1Next:
            return "server1 next port";
        case LocalPort::Server1PortChange:
            return "server1 port-change port";
        case LocalPort::Server2Main:
            return "server2";
        case LocalPort::Server2Changed:
            return "server2 changed-address port";
    }
    return "?";
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

CProbeHandler::CProbeHandler(const HandlerRoles& roles, CRateLimiter& limiter, CRelaySigner* signer,
                             CRelayVerifier* verifier)
    : m_roles(roles), m_limiter(limiter), m_signer(signer), m_verifier(verifier) {}

Outcome CProbeHandler::Handle(const std::uint8_t* data, std::size_t len, std::uint32_t fromAddrNet,
                              std::uint16_t fromPortNet, LocalPort arrivedOn,
                              const HandlerClock& clock, HandlerOutput& out) const {
    out.count = 0;
    if (arrivedOn == LocalPort::Server1PortChange || arrivedOn == LocalPort::Server2Changed) {
        return Outcome::DroppedSendOnly;
    }
    if (len < kHeaderLength)
        return Outcome::DroppedShort;
    if (ReadBe16(data) != len)
        return Outcome::DroppedBadLength;
    const std::uint32_t type = ReadBe32(data + 2);

    if (type == kMsgRelayChange && arrivedOn == LocalPort::Server2Main) {
        return HandleRelay(data, len, fromAddrNet, clock, out);
    }
    if ((type >> 24) != kRequestClass) {
        return (type >> 24) == 0x7C || (type >> 24) == 0x77 || (type >> 24) == 0x7F
                   ? Outcome::DroppedReply
                   : Outcome::DroppedUnknown;
    }

    // Which codes each socket serves. Codes meant for a client (loopback probe, friend search,
    // port report) never reach a server on purpose and are not answered.
    bool served = false;
    switch (type) {
        case kMsgBindingRequest:
        case kMsgAllocTestA:
        case kMsgAllocTestB:
        case kMsgAllocTestC:
        case kMsgExceptTest1:
        case kMsgExceptTest2:
        case kMsgFriendPortRequest:
            served = true;
            break;
        case kMsgChangeRequest:
        case kMsgPortChangeRequest:
            served = IsServer1Port(arrivedOn);
            break;
        default:
            break;
    }
    if (!served)
        return Outcome::DroppedUnknown;
    if (!m_limiter.Allow(fromAddrNet, clock.monotonicMs))
        return Outcome::RateLimited;

    const std::uint32_t reply = ReplyCode(type);
    switch (type) {
        case kMsgBindingRequest: {
            OutDatagram& d = Add(out, arrivedOn, fromAddrNet, fromPortNet);
            d.length = EncodeEndpoint(d.data, reply, fromAddrNet, fromPortNet);
            break;
        }
        case kMsgChangeRequest: {
            OutDatagram& ack = Add(out, arrivedOn, fromAddrNet, fromPortNet);
            ack.length = EncodeEmpty(ack.data, reply);
            // The body names a Server2, but only our own partner is ever asked: otherwise any
            // client could have us send datagrams to an address of its choosing.
            if (m_roles.server2) {
                OutDatagram& d = Add(out, LocalPort::Server2Changed, fromAddrNet, fromPortNet);
                d.length = EncodeEmpty(d.data, kMsgChangedAddressReply);
            } else if (m_roles.hasPartner && m_signer != nullptr) {
                OutDatagram& d = Add(out, LocalPort::Server1PortChange, m_roles.partnerAddress,
                                     m_roles.partnerPort);
                m_signer->Encode(fromAddrNet, fromPortNet, clock.wallMs, d.data);
                d.length = kRelayLength;
            }
            break;
        }
        case kMsgPortChangeRequest: {
            OutDatagram& d = Add(out, LocalPort::Server1PortChange, fromAddrNet, fromPortNet);
            d.length = EncodeEmpty(d.data, reply);
            break;
        }
        default: {  // the port-as-seen replies
            OutDatagram& d = Add(out, arrivedOn, fromAddrNet, fromPortNet);
            d.length = EncodePort(d.data, reply, fromPortNet);
            break;
        }
    }
    return Outcome::Answered;
}

Outcome CProbeHandler::HandleRelay(const std::uint8_t* data, std::size_t len,
                                   std::uint32_t fromAddrNet, const HandlerClock& clock,
                                   HandlerOutput& out) const {
    // Relays are taken only in a split deployment, and only from the partner's address.
    if (m_verifier == nullptr || !m_roles.hasPartner || fromAddrNet != m_roles.partnerAddress) {
        return Outcome::RelaySpoofed;
    }
    RelayRequest r;
    switch (m_verifier->Verify(data, len, clock.wallMs, &r)) {
        case RelayCheck::Accepted:
            break;
        case RelayCheck::Malformed:
            return Outcome::RelayMalformed;
        case RelayCheck::BadMac:
            return Outcome::RelayBadMac;
        case RelayCheck::Stale:
            return Outcome::RelayStale;
        case RelayCheck::Replayed:
            return Outcome::RelayReplayed;
        case RelayCheck::SequenceAhead:
            return Outcome::RelaySequenceAhead;
    }
    // The answer goes to the client named in the relay, so that address pays the token.
    if (!m_limiter.Allow(r.clientAddress, clock.monotonicMs))
        return Outcome::RateLimited;
    OutDatagram& d = Add(out, LocalPort::Server2Changed, r.clientAddress, r.clientPort);
    d.length = EncodeEmpty(d.data, kMsgChangedAddressReply);
    return Outcome::RelayAccepted;
}
