#pragma once
// What the probe servers answer, as a pure function of one datagram: bytes, source and the local
// socket it arrived on in; zero, one or two datagrams out. No socket, no clock of its own, so
// tests and the fuzz target drive it directly.
//
// Any thread: Handle keeps no state of its own; the rate limiter and the relay verifier it uses
// lock inside.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/address_text.h"
#include "net/stun_message.h"
#include "server/rate_limiter.h"
#include "server/relay.h"

// The local sockets of the two roles. Clients contact only the *Main ports and Server1Next;
// the other two only send, so that sending from them never touches a mapping the client's NAT
// keeps towards a port the client itself talks to.
enum class LocalPort : std::uint8_t {
    Server1Main,        // A:P
    Server1Next,        // A:P+1, the second allocation test
    Server1PortChange,  // A:P+2 by default: 0x7C777006 leaves from here; also sends relays
    Server2Main,        // B:Q; relays from the partner arrive here
    Server2Changed,     // B:Q+1 by default: 0x77747005 leaves from here
};
inline constexpr int kLocalPortCount = 5;
const char* LocalPortName(LocalPort port);

enum class Outcome : std::uint8_t {
    Answered,
    DroppedShort,      // under the 6-byte header
    DroppedBadLength,  // length field disagrees with the datagram
    DroppedReply,      // a reply or unasked-message code: never answered
    DroppedUnknown,    // a code this server does not serve on that socket
    DroppedSendOnly,   // arrived on a port that clients never contact (their acks land here)
    RateLimited,
    RelaySpoofed,  // relay from an address other than the configured partner
    RelayMalformed,
    RelayBadMac,
    RelayStale,
    RelayReplayed,
    RelayAccepted,
    RelaySequenceAhead,  // sequence number far ahead of the relay's own timestamp
    StunAnswered,        // a Binding response sent, or relayed to the partner to send
    StunError,         // a 420 error response sent (unknown attribute, or a change we cannot make)
    StunMalformed,     // looked like STUN but did not parse
    StunIgnored,       // not a Binding request: responses, indications, other methods
    StunOversized,     // the response would have been over 4 times the request's size
    Stun3489Answered,  // StunAnswered for an RFC 3489 request (no magic cookie)
    // From an address no answer may go to: 0.0.0.0/8, broadcast, multicast, a local network's
    // broadcast, or one of the pair's own sockets.
    DroppedBadSource,
    RelayBadTarget,  // a relay naming such an address as the client
    // A 400 error response sent: RESPONSE-PORT 0, or RESPONSE-PORT with PADDING (RFC 5780
    // section 7.5 forbids processing that request).
    StunBadRequest,
};
inline constexpr int kOutcomeCount = 23;
const char* OutcomeName(Outcome outcome);

// The largest datagram the handler writes: a STUN response padded like its request.
inline constexpr std::size_t kMaxOutDatagram = 1500;
// Our own replies are at most twice their request; a STUN response at most this many times
// its request unless the request carries PADDING (then the response is padded alike). Over IPv6
// the factor applies to whole packets, IPv6 and UDP headers included.
inline constexpr std::size_t kStunMaxAmplification = 4;

struct OutDatagram {
    LocalPort from = LocalPort::Server1Main;  // on the family's socket: IPv6 when ipv6
    bool ipv6 = false;
    std::uint32_t toAddress = 0;  // network order
    Ipv6Bytes toAddress6{};       // when ipv6
    std::uint16_t toPort = 0;     // network order
    std::uint16_t length = 0;
    std::uint8_t data[kMaxOutDatagram] = {};
};

struct HandlerOutput {
    std::array<OutDatagram, 2> items;
    int count = 0;
};

struct HandlerClock {
    std::uint64_t monotonicMs = 0;  // for the rate limiter
    std::uint64_t wallMs = 0;       // ms since 1970 UTC, for relay timestamps
};

struct HandlerRoles {
    bool server1 = false;
    bool server2 = false;
    // Split deployment only. For Server1: Server2's address and client port, where relays go.
    // For Server2: Server1's address, the only accepted relay source (port not checked).
    bool hasPartner = false;
    std::uint32_t partnerAddress = 0;  // network order
    std::uint16_t partnerPort = 0;     // network order

    // STUN. The address and port (network order) of each of the four sockets of an RFC 5780
    // server, by LocalPort (Server1PortChange unused): this process's own and, in a split
    // pair, the partner's (taken to use the same port). rfc5780: they form one (the same
    // port P on both addresses, and P+1 on both), so responses carry OTHER-ADDRESS
    // (CHANGED-ADDRESS for RFC 3489 clients) and CHANGE-REQUEST is honoured; otherwise Binding
    // is answered without either.
    std::array<std::uint32_t, kLocalPortCount> stunAddress{};
    std::array<std::uint16_t, kLocalPortCount> stunPort{};
    bool rfc5780 = false;

    // The broadcast addresses of this machine's networks (network order): nothing is ever sent
    // there, whatever a datagram or a relay names.
    std::vector<std::uint32_t> localBroadcasts{};

    // Standard STUN over IPv6; the Tarnwick protocol and its relays stay IPv4 (their datagrams
    // hold 4-byte addresses). Which roles have IPv6 sockets, and the four sockets' addresses
    // and ports (network order) by LocalPort as above. rfc5780v6: both roles here, with the
    // same port P on both addresses and P+1 beside it.
    bool server1v6 = false;
    bool server2v6 = false;
    std::array<Ipv6Bytes, kLocalPortCount> stunAddress6{};
    std::array<std::uint16_t, kLocalPortCount> stunPort6{};
    bool rfc5780v6 = false;
};

// The RFC 5780 socket that differs from `at` in address (changeIp) and/or port (changePort):
// A:P, A:P+1, B:P and B:P+1 are Server1Main, Server1Next, Server2Main and Server2Changed.
LocalPort StunAlternate(LocalPort at, bool changeIp, bool changePort);
// The socket a response names in OTHER-ADDRESS (CHANGED-ADDRESS for RFC 3489 clients) when the
// request arrived on `at`. Server1's sockets name the one that differs in both address and port
// (A:P names B:P+1, A:P+1 names B:P). Server2's name each other (B:P names B:P+1 and back): a
// client that sends its mapping test II to B:P and takes test III's destination from that
// answer then reaches B:P+1, the alternate address and port.
LocalPort StunOtherAddress(LocalPort at);

class CProbeHandler {
public:
    // signer: needed when this process is Server1 of a split pair; verifier: when it is Server2
    // of a split pair. Both outlive the handler.
    CProbeHandler(const HandlerRoles& roles, CRateLimiter& limiter, CRelaySigner* signer,
                  CRelayVerifier* verifier);

    Outcome Handle(const std::uint8_t* data, std::size_t len, std::uint32_t fromAddrNet,
                   std::uint16_t fromPortNet, LocalPort arrivedOn, const HandlerClock& clock,
                   HandlerOutput& out) const;
    // A datagram on one of the IPv6 sockets: STUN Binding (RFC 5389 and later) alone is served
    // there, answered on IPv6 sockets.
    Outcome Handle6(const std::uint8_t* data, std::size_t len, const Ipv6Bytes& from,
                    std::uint16_t fromPortNet, LocalPort arrivedOn, const HandlerClock& clock,
                    HandlerOutput& out) const;

private:
    struct Request;
    void Answer(const Request& r, const HandlerClock& clock, HandlerOutput& out) const;
    void AnswerChange(const Request& r, const HandlerClock& clock, HandlerOutput& out) const;
    Outcome HandleRelay(const std::uint8_t* data, std::size_t len, std::uint32_t fromAddrNet,
                        const HandlerClock& clock, HandlerOutput& out) const;
    // from: the source, of either family, its port included.
    Outcome HandleStun(const std::uint8_t* data, std::size_t len, const StunAddress& from,
                       LocalPort arrivedOn, const HandlerClock& clock, HandlerOutput& out) const;
    Outcome HandleStunRelay(const std::uint8_t* data, std::size_t len, const HandlerClock& clock,
                            HandlerOutput& out) const;
    // Whether this process has the socket (its own role's ports), in IPv4 or in family's.
    bool IsLocal(LocalPort port) const;
    bool IsLocalIn(std::uint8_t family, LocalPort port) const;
    bool Rfc5780In(std::uint8_t family) const {
        return family == kStunFamilyIpv6 ? m_roles.rfc5780v6 : m_roles.rfc5780;
    }
    // One STUN socket's address in family's form.
    StunAddress StunSocket(std::uint8_t family, LocalPort port) const;
    // Whether an answer may go to addr:port (network order): never to 0.0.0.0/8, broadcast,
    // multicast or a local network's broadcast, nor to this process's own STUN sockets or, for
    // Server1, its partner's (a relay for such a client would be refused there).
    bool MaySendTo(std::uint32_t addr, std::uint16_t port) const;
    // The same for a peer of either family at port: an IPv6 one never to ::, multicast, an
    // IPv4-mapped address or this process's own IPv6 STUN sockets.
    bool MaySendToPeer(const StunAddress& peer, std::uint16_t port) const;
    // Writes the Binding success response naming `to` (either family) as the mapped address, sent
    // from answerFrom to to's address at sendToPort (to's own port but for RESPONSE-PORT), for a
    // request that arrived on arrivedOn; paddingLength kRelayNoPadding for none. cookie is the
    // request's cookie field: anything but the magic cookie makes it an RFC 3489 response (the
    // field is then the ID's first 32 bits). Outcome StunAnswered, or StunOversized when it would
    // break the size rule (nothing is then sent).
    Outcome AddStunResponse(std::uint32_t cookie, const std::array<std::uint8_t, 12>& transactionId,
                            const StunAddress& to, std::uint16_t sendToPort, LocalPort answerFrom,
                            LocalPort arrivedOn, std::size_t requestLength,
                            std::uint16_t paddingLength, HandlerOutput& out) const;

    const HandlerRoles m_roles;
    CRateLimiter& m_limiter;
    CRelaySigner* const m_signer;
    CRelayVerifier* const m_verifier;
};
