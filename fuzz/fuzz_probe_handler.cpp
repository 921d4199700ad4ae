// The probe servers' request handler: any bytes, from any address, on any of its sockets, in
// every deployment (one process, Server1 of a pair, Server2 of a pair). It answers with at most
// two datagrams, each a well-formed one, and never a reply code (two servers would bounce them);
// a relay it writes is accepted by the partner that shares its key. A STUN request (RFC 5389
// or cookie-less RFC 3489) gets at most one datagram (a response or a relay); a response goes
// to the sender, echoes the request's whole ID in the request's form, is never larger than 4
// times its request unless an RFC 5389 request carried PADDING, and is never itself a request.
// Nothing ever goes to 0.0.0.0/8, broadcast or multicast. Pairs run with and without a key;
// without one a relay from the partner's address is taken on its source alone, and what it gets
// sent goes to the client it names and is at most 4 times the relay. A success response to a
// request with RESPONSE-PORT goes to the sender's address at that port (never port 0); every
// other response to the sender itself. Over IPv6 (standard STUN alone) the same holds on the
// IPv6 sockets, the size rule counting whole packets, and nothing goes to ::, multicast or an
// IPv4-mapped address.

#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "net/address_text.h"
#include "net/messages.h"
#include "net/stun_message.h"
#include "server/probe_handler.h"

namespace {

const std::uint32_t kPartner = 0x0200007F;  // 127.0.0.2, network order
const std::uint16_t kPartnerPort = 0x0A0A;

std::vector<std::uint8_t> Key() {
    return std::vector<std::uint8_t>(32, 0x5A);
}

// The four STUN addresses 127.0.0.1:P, P+1 and 127.0.0.2:P, P+1 (network order).
void SetStunAddresses(HandlerRoles& r, bool rfc5780) {
    r.rfc5780 = rfc5780;
    r.stunAddress = {0x0100007F, 0x0100007F, 0x0100007F, kPartner, kPartner};
    r.stunPort = {kPartnerPort, 0x0B0A, 0, kPartnerPort, 0x0B0A};
}

// A fixed rate-table key, so that an input does the same on every run.
const SipKey kRateKey = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

bool IsStunRelay(const OutDatagram& d) {
    return d.length >= kHeaderLength && ReadBe16(d.data) == d.length &&
           ReadBe32(d.data + 2) == kMsgRelayStun;
}

// A STUN response (from this server or its partner) to `request`, which was len bytes from
// `from` (either family, its port included).
void CheckStunResponse(const StunMessage& request, std::size_t len, const OutDatagram& d,
                       const StunAddress& from) {
    const bool ipv6 = from.family == kStunFamilyIpv6;
    StunMessage resp;
    if (ParseStun(d.data, d.length, resp) != StunParseError::None)
        FuzzFail("a STUN response that does not parse");
    if (resp.cls != StunClass::Success && resp.cls != StunClass::Error)
        FuzzFail("a STUN request or indication sent out");
    if (resp.cookie != request.cookie || resp.transactionId != request.transactionId)
        FuzzFail("a STUN response without the request's whole transaction ID");
    const bool rfc3489 = !request.IsRfc5389();
    if (rfc3489 && (resp.xorMapped.present || resp.responseOrigin.present ||
                    resp.otherAddress.present || resp.hasPadding || resp.fingerprint)) {
        FuzzFail("an RFC 5389 attribute in a response to an RFC 3489 request");
    }
    if (!rfc3489 &&
        (!resp.fingerprint || resp.sourceAddress.present || resp.changedAddress.present)) {
        FuzzFail("an RFC 5389 response without FINGERPRINT or with RFC 3489 addresses");
    }
    // Over IPv6: whole packets, 48 bytes of IPv6 and UDP headers each way.
    const std::size_t allowance =
        ipv6 ? kStunMaxAmplification * (len + 48) - 48 : kStunMaxAmplification * len;
    if ((rfc3489 || !request.hasPadding) && d.length > allowance)
        FuzzFail("a STUN response over 4 times its request");
    // RESPONSE-PORT redirects only a success response, only to the sender's own address.
    const bool redirected = resp.cls == StunClass::Success && request.hasResponsePort;
    if (redirected && (request.responsePort == 0 || request.hasPadding || !request.IsRfc5389()))
        FuzzFail("a RESPONSE-PORT request answered that should have been refused");
    const bool toSender =
        d.ipv6 == ipv6 && (ipv6 ? d.toAddress6 == from.address6 : d.toAddress == from.address);
    if (!toSender || d.toPort != (redirected ? request.responsePort : from.port))
        FuzzFail("a STUN response to someone other than the sender");
}

// What Server2 sent for a relay it accepted (len bytes from the partner).
void CheckRelayAnswer(const std::uint8_t* relay, std::size_t len, const OutDatagram& d,
                      bool keyed) {
    std::uint32_t client = 0;
    std::uint16_t clientPort = 0;
    std::memcpy(&client, relay + 6, 4);
    std::memcpy(&clientPort, relay + 10, 2);
    if (d.toAddress != client || d.toPort != clientPort)
        FuzzFail("an accepted relay answered someone other than the client it names");
    if (!keyed && d.length > kStunMaxAmplification * len)
        FuzzFail("an unkeyed relay got more than 4 times its size sent");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CFuzzInput in(data, size);
    const std::uint8_t flags = in.Byte();
    HandlerRoles roles;
    roles.server1 = (flags & 1) != 0;
    roles.server2 = (flags & 2) != 0;
    roles.hasPartner = (flags & 4) != 0;
    roles.partnerAddress = kPartner;
    roles.partnerPort = kPartnerPort;
    RateLimitSettings rate;
    rate.ratePerSecond = (flags & 8) != 0 ? 0 : 5;
    rate.burst = 3;
    SetStunAddresses(roles, (flags & 16) != 0);
    // IPv6: [::1]:P, P+1 and [::2]:P, P+1, both roles here (bit 64) or Server1 alone.
    roles.server1v6 = true;
    roles.server2v6 = (flags & 64) != 0;
    roles.rfc5780v6 = roles.server2v6;
    for (const LocalPort p : {LocalPort::Server1Main, LocalPort::Server1Next,
                              LocalPort::Server2Main, LocalPort::Server2Changed}) {
        const auto i = static_cast<std::size_t>(p);
        roles.stunAddress6[i][15] = i < 2 ? 1 : 2;
        roles.stunPort6[i] = roles.stunPort[i];
    }
    rate.tableEntries = 64;
    CRateLimiter limiter(rate, kRateKey);
    const bool keyed = (flags & 32) == 0;
    const std::vector<std::uint8_t> key = keyed ? Key() : std::vector<std::uint8_t>{};
    CRelaySigner signer(key, 1);
    CRelayVerifier verifier(key, 30000);
    const CProbeHandler handler(roles, limiter, &signer, &verifier);
    // The partner of a Server1 in a split pair: checks the relays it would receive.
    HandlerRoles partnerRoles;
    partnerRoles.server2 = true;
    partnerRoles.hasPartner = true;
    partnerRoles.partnerAddress = 0x0100007F;  // our own address, 127.0.0.1
    SetStunAddresses(partnerRoles, (flags & 16) != 0);
    RateLimitSettings open;
    open.ratePerSecond = 0;
    open.tableEntries = 64;
    CRateLimiter partnerLimiter(open, kRateKey);
    CRelayVerifier partnerVerifier(key, 30000);
    const CProbeHandler partner(partnerRoles, partnerLimiter, nullptr, &partnerVerifier);

    HandlerClock clock{1000, 1'700'000'000'000};
    // Several datagrams per input, so the rate limiter's state is reached as well.
    for (int round = 0; round < 8 && !in.Empty(); ++round) {
        const auto arrivedOn = static_cast<LocalPort>(in.Byte() % kLocalPortCount);
        const std::uint32_t from = (in.Byte() & 1) != 0 ? kPartner : in.Long();
        const std::uint16_t fromPort = in.Word();
        clock.monotonicMs += in.Byte() * 20u;
        clock.wallMs += in.Byte() * 1000u;
        std::uint8_t datagram[256];
        const std::size_t want = in.Byte() % sizeof datagram;
        const std::size_t len = in.Bytes(datagram, want);

        HandlerOutput out;
        if ((flags & 128) != 0 && (round & 1) != 0) {
            // Over IPv6, from ::1 or another /64 (the rest of the address from the input).
            Ipv6Bytes from6{};
            from6[15] = 1;
            if ((from & 2) != 0)
                std::memcpy(from6.data(), &from, 4);
            const Outcome o6 =
                handler.Handle6(datagram, len, from6, fromPort, arrivedOn, clock, out);
            if (out.count != 0 && o6 != Outcome::StunAnswered && o6 != Outcome::StunError &&
                o6 != Outcome::StunBadRequest)
                FuzzFail("an IPv6 datagram answered that was no STUN request");
            StunMessage request6;
            if (out.count > 1 ||
                (out.count == 1 && (!LooksLikeStun(datagram, len) ||
                                    ParseStun(datagram, len, request6) != StunParseError::None)))
                FuzzFail("an IPv6 answer to anything but one STUN request");
            if (out.count == 1) {
                if (PeerAddressProblem6(out.items[0].toAddress6) != nullptr)
                    FuzzFail("an IPv6 datagram to ::, multicast or an IPv4-mapped address");
                CheckStunResponse(request6, len, out.items[0], StunIpv6(from6, fromPort));
            }
            continue;
        }
        const Outcome outcome =
            handler.Handle(datagram, len, from, fromPort, arrivedOn, clock, out);
        if (out.count < 0 || out.count > 2)
            FuzzFail("more than two datagrams for one");
        const bool answered = outcome == Outcome::Answered || outcome == Outcome::RelayAccepted ||
                              outcome == Outcome::StunAnswered || outcome == Outcome::StunError ||
                              outcome == Outcome::Stun3489Answered ||
                              outcome == Outcome::StunBadRequest;
        if (answered != (out.count > 0))
            FuzzFail("an outcome that disagrees with what was sent");
        StunMessage request;
        const bool rfc3489Request = LooksLikeRfc3489Request(datagram, len);
        const bool stunRequest = (LooksLikeStun(datagram, len) || rfc3489Request) &&
                                 ParseStun(datagram, len, request) == StunParseError::None;
        if (stunRequest && out.count > 1)
            FuzzFail("more than one datagram for a STUN request");
        if (outcome == Outcome::Stun3489Answered && !(stunRequest && rfc3489Request))
            FuzzFail("counted as an RFC 3489 request when it was not one");
        for (int i = 0; i < out.count; ++i) {
            const OutDatagram& d = out.items[static_cast<std::size_t>(i)];
            if (PeerAddressProblem(d.toAddress) != nullptr)
                FuzzFail("a datagram to 0.0.0.0/8, the broadcast address or a multicast group");
            if (outcome == Outcome::RelayAccepted) {
                CheckRelayAnswer(datagram, len, d, keyed);
                continue;
            }
            if (stunRequest && !IsStunRelay(d)) {
                CheckStunResponse(request, len, d, StunIpv4(from, fromPort));
                continue;
            }
            if (LooksLikeStun(d.data, d.length))
                FuzzFail("a STUN datagram out that is not a response to a STUN request");
            if (d.length < kHeaderLength || d.length > kRelayStun3489Length ||
                ReadBe16(d.data) != d.length)
                FuzzFail("a malformed datagram out");
            const std::uint32_t code = ReadBe32(d.data + 2);
            if ((code >> 24) == 0x74)
                FuzzFail("a request code sent out: servers would answer each other");
            if (code == kMsgRelayStun) {
                if (!stunRequest || d.toAddress != kPartner || d.toPort != kPartnerPort)
                    FuzzFail("a STUN relay for no STUN request, or to someone but the partner");
                HandlerOutput relayed;
                if (partner.Handle(d.data, d.length, 0x0100007F, 0x1111, LocalPort::Server2Main,
                                   clock, relayed) != Outcome::RelayAccepted) {
                    FuzzFail("the partner refused a fresh STUN relay");
                }
                if (relayed.count != 1)
                    FuzzFail("the partner's STUN response is missing");
                CheckStunResponse(request, len, relayed.items[0], StunIpv4(from, fromPort));
            } else if (code == kMsgRelayChange) {
                if (d.toAddress != kPartner || d.toPort != kPartnerPort)
                    FuzzFail("a relay to someone other than the partner");
                HandlerOutput relayed;
                if (partner.Handle(d.data, d.length, 0x0100007F, 0x1111, LocalPort::Server2Main,
                                   clock, relayed) != Outcome::RelayAccepted) {
                    FuzzFail("the partner refused a fresh relay");
                }
                if (relayed.count != 1 || relayed.items[0].toAddress != from ||
                    relayed.items[0].toPort != fromPort) {
                    FuzzFail("the partner answered someone other than the client");
                }
            } else if (d.toAddress != from || d.toPort != fromPort) {
                FuzzFail("an answer to someone other than the sender");
            }
        }
    }
    return 0;
}
