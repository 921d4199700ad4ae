// STUN on the probe servers' sockets: the handler's exact responses, the socket each
// CHANGE-REQUEST variant is answered from, what is refused or dropped, the size rule, the relay
// of change-IP requests in a split pair, and real exchanges on loopback (127.0.0.2/127.0.0.3
// sharing one port).

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net/messages.h"
#include "net/stun_message.h"
#include "server/probe_handler.h"
#include "server/probe_server.h"
#include "server/server_config.h"
#include "server/server_log.h"
#include "tests/server/test_udp.h"

namespace {

using P = LocalPort;

// 203.0.113.9:40000, the requester as the server sees it. Nothing is sent anywhere here.
constexpr std::uint32_t kClientAddr = 0x097100cb;
constexpr std::uint16_t kClientPort = 0x409c;
constexpr std::uint64_t kWall = 1'800'000'000'000;
const Bytes kKey = Hex("00112233445566778899aabbccddeeff");
constexpr std::array<std::uint8_t, 12> kId = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

// 192.0.2.255 stands for the broadcast address of one of this machine's networks.
constexpr std::uint32_t kLocalBroadcast = 0xff0200c0;

HandlerRoles Roles(const std::vector<std::string>& args) {
    ServerConfig cfg;
    std::string error;
    EXPECT_EQ(ParseServerArgs(args, cfg, error, {kLocalBroadcast}), ParseStatus::Ok) << error;
    return RolesOf(cfg);
}

// Server1 at 127.0.0.2:3478, Server2 at 127.0.0.3:3478: a whole RFC 5780 server.
const std::vector<std::string> kBothArgs = {"--server1", "127.0.0.2:3478", "--server2",
                                            "127.0.0.3:3478"};
const std::vector<std::string> kSplit1Args = {"--server1", "127.0.0.2:3478", "--partner",
                                              "127.0.0.3:3478"};
const std::vector<std::string> kSplit2Args = {"--server2", "127.0.0.3:3478", "--partner",
                                              "127.0.0.2"};

struct Fixture {
    explicit Fixture(const std::vector<std::string>& args, RateLimitSettings rate = {0, 1, 1024},
                     const Bytes& key = kKey)
        : roles(Roles(args)),
          limiter(rate),
          signer(key, 77),
          verifier(key, 10'000),
          handler(roles, limiter, roles.server1 && !roles.server2 ? &signer : nullptr,
                  roles.server2 && !roles.server1 ? &verifier : nullptr) {}

    Outcome Feed(const Bytes& d, LocalPort on, std::uint32_t from = kClientAddr,
                 std::uint16_t fromPort = kClientPort) {
        return handler.Handle(d.data(), d.size(), from, fromPort, on, {0, kWall}, out);
    }
    Bytes Sent(int i = 0) const {
        const OutDatagram& d = out.items[static_cast<std::size_t>(i)];
        return Bytes(d.data, d.data + d.length);
    }
    StunMessage SentStun(int i = 0) const {
        const Bytes b = Sent(i);
        StunMessage m;
        EXPECT_EQ(ParseStun(b.data(), b.size(), m), StunParseError::None);
        return m;
    }

    HandlerRoles roles;
    CRateLimiter limiter;
    CRelaySigner signer;
    CRelayVerifier verifier;
    CProbeHandler handler;
    HandlerOutput out;
};

Bytes Encode(const StunMessage& m) {
    Bytes b(2048);
    b.resize(EncodeStun(m, b.data(), b.size()));
    return b;
}

// A Binding request with kId, optionally asking for a change.
Bytes BindingRequest(std::uint32_t changeFlags = 0, bool withChange = false) {
    StunMessage m;
    m.transactionId = kId;
    m.hasChangeRequest = withChange || changeFlags != 0;
    m.changeFlags = changeFlags;
    return Encode(m);
}

// An RFC 3489 Binding request as old clients send it: no magic cookie, kIdHead then kId as
// its 128-bit transaction ID, and always a CHANGE-REQUEST.
constexpr std::uint32_t kIdHead = 0xa1a2a3a4;
Bytes Rfc3489Request(std::uint32_t changeFlags = 0) {
    StunMessage m;
    m.cookie = kIdHead;
    m.transactionId = kId;
    m.hasChangeRequest = true;
    m.changeFlags = changeFlags;
    return Encode(m);
}

StunAddress Ep(const char* addr, std::uint16_t port) {
    return StunIpv4(inet_addr(addr), htons(port));
}

// Exactly one datagram out, from that socket, to the client that asked.
void ExpectOneReplyToTheClient(const Fixture& f, P from) {
    ASSERT_EQ(f.out.count, 1);
    EXPECT_EQ(f.out.items[0].from, from);
    EXPECT_EQ(f.out.items[0].toAddress, kClientAddr);
    EXPECT_EQ(f.out.items[0].toPort, kClientPort);
}

TEST(StunHandler, BindingResponseByteForByte) {
    Fixture f(kBothArgs);
    ASSERT_EQ(f.Feed(BindingRequest(), P::Server1Main), Outcome::StunAnswered);
    ExpectOneReplyToTheClient(f, P::Server1Main);
    // MAPPED-ADDRESS and XOR-MAPPED-ADDRESS 203.0.113.9:40000, RESPONSE-ORIGIN
    // 127.0.0.2:3478, OTHER-ADDRESS 127.0.0.3:3479, FINGERPRINT (computed with zlib's CRC-32).
    EXPECT_EQ(ToHex(f.Sent()),
              "010100382112a4420102030405060708090a0b0c"
              "0001000800019c40cb007109"
              "002000080001bd52ea12d54b"
              "802b000800010d967f000002"
              "802c000800010d977f000003"
              "8028000497c04672");
}

TEST(StunHandler, UnknownRequiredAttributeGets420ByteForByte) {
    Fixture f(kBothArgs);
    Bytes req = BindingRequest();
    req.insert(req.end(), {0x7f, 0xff, 0x00, 0x00, 0x80, 0x99, 0x00, 0x00});  // required, optional
    req[3] = 8;
    ASSERT_EQ(f.Feed(req, P::Server1Main), Outcome::StunError);
    ASSERT_EQ(f.out.count, 1);
    // ERROR-CODE 420 "Unknown Attribute", UNKNOWN-ATTRIBUTES 0x7fff only, FINGERPRINT.
    EXPECT_EQ(ToHex(f.Sent()),
              "0111002c2112a4420102030405060708090a0b0c"
              "0009001500000414556e6b6e6f776e20417474726962757465000000"
              "000a00027fff0000"
              "80280004722373dd");
}

// A Binding request with CHANGE-REQUEST flags arriving on one port, and where and with what its
// answer must come.
struct ChangeRow {
    LocalPort arrivedOn;
    std::uint32_t flags;
    LocalPort from;
    StunAddress origin;
    StunAddress other;
};

// RFC 5780: each of the four addresses answers from the one the change names. Server1's tell
// the client the alternate that differs in both address and port; Server2's name each other.
std::vector<ChangeRow> OneProcessChangeRows() {
    const std::uint32_t kIp = kStunChangeIp, kPort = kStunChangePort, kBoth = kIp | kPort;
    // One row per line.
    // clang-format off
    return {
        {.arrivedOn = P::Server1Main, .flags = 0, .from = P::Server1Main, .origin = Ep("127.0.0.2", 3478), .other = Ep("127.0.0.3", 3479)},
        {.arrivedOn = P::Server1Main, .flags = kPort, .from = P::Server1Next, .origin = Ep("127.0.0.2", 3479), .other = Ep("127.0.0.3", 3479)},
        {.arrivedOn = P::Server1Main, .flags = kIp, .from = P::Server2Main, .origin = Ep("127.0.0.3", 3478), .other = Ep("127.0.0.3", 3479)},
        {.arrivedOn = P::Server1Main, .flags = kBoth, .from = P::Server2Changed, .origin = Ep("127.0.0.3", 3479), .other = Ep("127.0.0.3", 3479)},
        {.arrivedOn = P::Server1Next, .flags = 0, .from = P::Server1Next, .origin = Ep("127.0.0.2", 3479), .other = Ep("127.0.0.3", 3478)},
        {.arrivedOn = P::Server1Next, .flags = kBoth, .from = P::Server2Main, .origin = Ep("127.0.0.3", 3478), .other = Ep("127.0.0.3", 3478)},
        {.arrivedOn = P::Server2Main, .flags = 0, .from = P::Server2Main, .origin = Ep("127.0.0.3", 3478), .other = Ep("127.0.0.3", 3479)},
        {.arrivedOn = P::Server2Main, .flags = kIp, .from = P::Server1Main, .origin = Ep("127.0.0.2", 3478), .other = Ep("127.0.0.3", 3479)},
        {.arrivedOn = P::Server2Changed, .flags = 0, .from = P::Server2Changed, .origin = Ep("127.0.0.3", 3479), .other = Ep("127.0.0.3", 3478)},
        {.arrivedOn = P::Server2Changed, .flags = kPort, .from = P::Server2Main, .origin = Ep("127.0.0.3", 3478), .other = Ep("127.0.0.3", 3478)},
    };
    // clang-format on
}

TEST(StunHandler, EachChangeRequestAnsweredFromItsAddressInOneProcess) {
    for (const ChangeRow& r : OneProcessChangeRows()) {
        SCOPED_TRACE(testing::Message() << LocalPortName(r.arrivedOn) << " flags " << r.flags);
        Fixture f(kBothArgs);
        ASSERT_EQ(f.Feed(BindingRequest(r.flags), r.arrivedOn), Outcome::StunAnswered);
        ASSERT_EQ(f.out.count, 1);
        EXPECT_EQ(f.out.items[0].from, r.from);
        const StunMessage m = f.SentStun();
        EXPECT_EQ(m.cls, StunClass::Success);
        EXPECT_EQ(m.transactionId, kId);
        EXPECT_EQ(m.xorMapped, StunIpv4(kClientAddr, kClientPort));
        EXPECT_EQ(m.mapped, StunIpv4(kClientAddr, kClientPort));
        EXPECT_EQ(m.responseOrigin, r.origin);
        EXPECT_EQ(m.otherAddress, r.other);
        EXPECT_TRUE(m.fingerprint);
    }
}

TEST(StunHandler, NothingButBindingRequestsIsAnswered) {
    struct Row {
        const char* name;
        StunClass cls;
        std::uint16_t method;
        LocalPort on;
        Outcome outcome;
    };
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.name = "Binding indication", .cls = StunClass::Indication, .method = kStunMethodBinding, .on = P::Server1Main, .outcome = Outcome::StunIgnored},
        {.name = "Binding success response", .cls = StunClass::Success, .method = kStunMethodBinding, .on = P::Server1Main, .outcome = Outcome::StunIgnored},
        {.name = "Binding error response", .cls = StunClass::Error, .method = kStunMethodBinding, .on = P::Server2Main, .outcome = Outcome::StunIgnored},
        {.name = "Allocate request", .cls = StunClass::Request, .method = 0x003, .on = P::Server1Main, .outcome = Outcome::StunIgnored},
        {.name = "on the port-change port", .cls = StunClass::Request, .method = kStunMethodBinding, .on = P::Server1PortChange, .outcome = Outcome::DroppedSendOnly},
    };
    // clang-format on
    for (const Row& r : rows) {
        Fixture f(kBothArgs);
        StunMessage m;
        m.cls = r.cls;
        m.method = r.method;
        EXPECT_EQ(f.Feed(Encode(m), r.on), r.outcome) << r.name;
        EXPECT_EQ(f.out.count, 0) << r.name;
    }
    Fixture f(kBothArgs);
    Bytes bad = BindingRequest();
    bad.insert(bad.end(), {0x80, 0x28, 0x00, 0x04, 1, 2, 3, 4});  // wrong FINGERPRINT
    bad[3] = 8;
    EXPECT_EQ(f.Feed(bad, P::Server1Main), Outcome::StunMalformed);
    EXPECT_EQ(f.out.count, 0);
}

// Different ports on the two servers: no alternate, so no OTHER-ADDRESS, any change refused
// with 420 naming CHANGE-REQUEST, and Server2's reply port stays send-only.
TEST(StunHandler, WithoutRfc5780BindingOnlyAndChangeRefused) {
    const std::vector<std::string> args = {"--server1", "127.0.0.2:3478", "--server2",
                                           "127.0.0.3:3490"};
    {
        Fixture f(args);
        ASSERT_EQ(f.Feed(BindingRequest(), P::Server2Main), Outcome::StunAnswered);
        const StunMessage m = f.SentStun();
        EXPECT_FALSE(m.otherAddress.present);
        EXPECT_EQ(m.responseOrigin, Ep("127.0.0.3", 3490));
    }
    {
        Fixture f(args);
        ASSERT_EQ(f.Feed(BindingRequest(kStunChangePort), P::Server1Main), Outcome::StunError);
        EXPECT_EQ(f.out.items[0].from, P::Server1Main);
        const StunMessage m = f.SentStun();
        EXPECT_EQ(m.errorCode, 420);
        EXPECT_EQ(m.unknownAttributes, (std::vector<std::uint16_t>{kStunAttrChangeRequest}));
    }
    {
        Fixture f(args);
        // A CHANGE-REQUEST asking for nothing is an ordinary Binding request.
        EXPECT_EQ(f.Feed(BindingRequest(0, true), P::Server1Main), Outcome::StunAnswered);
        EXPECT_EQ(f.Feed(BindingRequest(), P::Server2Changed), Outcome::DroppedSendOnly);
    }
}

TEST(StunHandler, ResponsesStayWithinFourTimesTheRequestUnlessPadded) {
    Fixture f(kBothArgs);
    for (const std::uint32_t flags : {0u, kStunChangeIp, kStunChangePort, 6u}) {
        const Bytes req = BindingRequest(flags);
        ASSERT_EQ(f.Feed(req, P::Server1Main), Outcome::StunAnswered);
        EXPECT_LE(f.out.items[0].length, kStunMaxAmplification * req.size()) << flags;
    }
    // Padded like the request, as far as one datagram allows.
    for (const std::uint16_t padding : {std::uint16_t{100}, std::uint16_t{1400}}) {
        StunMessage m;
        m.transactionId = kId;
        m.hasPadding = true;
        m.paddingLength = padding;
        const Bytes req = Encode(m);
        ASSERT_EQ(f.Feed(req, P::Server1Main), Outcome::StunAnswered);
        const StunMessage resp = f.SentStun();
        EXPECT_TRUE(resp.hasPadding);
        EXPECT_LE(f.out.items[0].length, kMaxOutDatagram);
        EXPECT_GE(f.out.items[0].length, std::min<std::size_t>(req.size(), 1400)) << padding;
    }
}

TEST(StunHandler, RateLimitCoversStun) {
    Fixture f(kBothArgs, {1, 2, 1024});  // 1/s, burst 2
    EXPECT_EQ(f.Feed(BindingRequest(), P::Server1Main), Outcome::StunAnswered);
    Bytes unknown = BindingRequest();
    unknown.insert(unknown.end(), {0x7f, 0xff, 0x00, 0x00});
    unknown[3] = 4;
    EXPECT_EQ(f.Feed(unknown, P::Server1Main), Outcome::StunError);
    EXPECT_EQ(f.Feed(BindingRequest(), P::Server2Main), Outcome::RateLimited);
    EXPECT_EQ(f.Feed(Rfc3489Request(), P::Server2Main), Outcome::RateLimited);
    StunMessage redirected;  // answered at another port, paid for by the same source
    redirected.hasResponsePort = true;
    redirected.responsePort = htons(40001);
    EXPECT_EQ(f.Feed(Encode(redirected), P::Server1Main), Outcome::RateLimited);
    EXPECT_EQ(f.out.count, 0);
}

// RESPONSE-PORT (RFC 5780 section 7.5): the response goes to the request's source address at the
// named port, in every deployment that can answer the request itself; port 0, PADDING with it,
// an RFC 3489 request and a change only the partner can make are refused.
TEST(StunHandler, ResponsePortAnswersTheSourceAddressAtThatPort) {
    struct Row {
        const char* name;
        std::vector<std::string> args;
        LocalPort on;
        std::uint32_t flags;
        std::uint16_t port;  // host order
        bool padding;
        Outcome outcome;
        LocalPort from;
        std::uint16_t toPort;                  // host order
        std::uint16_t errorCode;               // 0: a success response
        std::vector<std::uint16_t> unknown{};  // of a 420
    };
    constexpr std::uint16_t kSource = 40000;
    const LocalPort s1 = P::Server1Main;
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.name = "one process", .args = kBothArgs, .on = s1, .flags = 0, .port = 40001, .padding = false, .outcome = Outcome::StunAnswered, .from = s1, .toPort = 40001, .errorCode = 0},
        {.name = "one process, change IP", .args = kBothArgs, .on = s1, .flags = kStunChangeIp, .port = 40001, .padding = false, .outcome = Outcome::StunAnswered, .from = P::Server2Main, .toPort = 40001, .errorCode = 0},
        {.name = "split Server1", .args = kSplit1Args, .on = s1, .flags = 0, .port = 40001, .padding = false, .outcome = Outcome::StunAnswered, .from = s1, .toPort = 40001, .errorCode = 0},
        {.name = "split Server2, change port", .args = kSplit2Args, .on = P::Server2Main, .flags = kStunChangePort, .port = 40001, .padding = false, .outcome = Outcome::StunAnswered, .from = P::Server2Changed, .toPort = 40001, .errorCode = 0},
        {.name = "split Server1, change IP", .args = kSplit1Args, .on = s1, .flags = kStunChangeIp, .port = 40001, .padding = false, .outcome = Outcome::StunError, .from = s1, .toPort = kSource, .errorCode = 420, .unknown = {kStunAttrResponsePort}},
        {.name = "port 0", .args = kBothArgs, .on = s1, .flags = 0, .port = 0, .padding = false, .outcome = Outcome::StunBadRequest, .from = s1, .toPort = kSource, .errorCode = 400},
        {.name = "with PADDING", .args = kBothArgs, .on = s1, .flags = 0, .port = 40001, .padding = true, .outcome = Outcome::StunBadRequest, .from = s1, .toPort = kSource, .errorCode = 400},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Fixture f(r.args);
        StunMessage req;
        req.transactionId = kId;
        req.hasChangeRequest = r.flags != 0;
        req.changeFlags = r.flags;
        req.hasResponsePort = true;
        req.responsePort = htons(r.port);
        req.hasPadding = r.padding;
        req.paddingLength = 8;
        ASSERT_EQ(f.Feed(Encode(req), r.on), r.outcome);
        ASSERT_EQ(f.out.count, 1);
        EXPECT_EQ(f.out.items[0].from, r.from);
        EXPECT_EQ(f.out.items[0].toAddress, kClientAddr);
        EXPECT_EQ(f.out.items[0].toPort, htons(r.toPort));
        const StunMessage m = f.SentStun();
        EXPECT_EQ(m.errorCode, r.errorCode);
        EXPECT_EQ(m.unknownAttributes, r.unknown);
        // The mapped address is the requester's own, wherever the response goes.
        if (r.errorCode == 0) {
            EXPECT_EQ(m.xorMapped, StunIpv4(kClientAddr, kClientPort));
        }
    }

    // The same bytes as without RESPONSE-PORT, only sent elsewhere.
    Fixture f(kBothArgs);
    ASSERT_EQ(f.Feed(BindingRequest(), s1), Outcome::StunAnswered);
    const Bytes plain = f.Sent();
    StunMessage req;
    req.transactionId = kId;
    req.hasResponsePort = true;
    req.responsePort = htons(40001);
    ASSERT_EQ(f.Feed(Encode(req), s1), Outcome::StunAnswered);
    EXPECT_EQ(f.Sent(), plain);

    // Not an RFC 3489 attribute: 420, the list filled to 4 bytes.
    Bytes legacy = Rfc3489Request();
    legacy.insert(legacy.end(), {0x00, 0x27, 0x00, 0x04, 0x9c, 0x41, 0x00, 0x00});
    legacy[3] = 16;
    ASSERT_EQ(f.Feed(legacy, s1), Outcome::StunError);
    EXPECT_EQ(f.SentStun().unknownAttributes,
              (std::vector<std::uint16_t>{kStunAttrResponsePort, kStunAttrResponsePort}));

    // Never to one of the server's own sockets, even from its own address.
    req.responsePort = htons(3478);
    EXPECT_EQ(f.Feed(Encode(req), s1, inet_addr("127.0.0.3"), htons(5000)),
              Outcome::DroppedBadSource);
    EXPECT_EQ(f.out.count, 0);
}

// Change-IP requests that a split Server1 relays to Server2.
std::vector<ChangeRow> SplitChangeRows() {
    // One row per line.
    // clang-format off
    return {
        {.arrivedOn = P::Server1Main, .flags = kStunChangeIp, .from = P::Server2Main, .origin = Ep("127.0.0.3", 3478), .other = Ep("127.0.0.3", 3479)},
        {.arrivedOn = P::Server1Main, .flags = 6, .from = P::Server2Changed, .origin = Ep("127.0.0.3", 3479), .other = Ep("127.0.0.3", 3479)},
        {.arrivedOn = P::Server1Next, .flags = 6, .from = P::Server2Main, .origin = Ep("127.0.0.3", 3478), .other = Ep("127.0.0.3", 3478)},
    };
    // clang-format on
}

// Feeds a change-IP request to a split Server1: the one datagram out is its relay, sent from its
// port-change socket to Server2's client port.
Bytes RelayFromServer1(Fixture& s1, const Bytes& request, P on, Outcome outcome) {
    EXPECT_EQ(s1.Feed(request, on), outcome);
    if (s1.out.count != 1) {
        ADD_FAILURE() << s1.out.count << " datagrams out";
        return {};
    }
    EXPECT_EQ(s1.out.items[0].from, P::Server1PortChange);
    EXPECT_EQ(s1.out.items[0].toAddress, inet_addr("127.0.0.3"));
    EXPECT_EQ(s1.out.items[0].toPort, htons(3478));
    return s1.Sent();
}

// A split Server1 sends change-IP requests to Server2 as a signed relay; Server2 answers from
// the address and port asked, once.
TEST(StunHandler, SplitPairRelaysChangeIp) {
    for (const ChangeRow& r : SplitChangeRows()) {
        SCOPED_TRACE(testing::Message() << LocalPortName(r.arrivedOn) << " flags " << r.flags);
        Fixture s1(kSplit1Args);
        Fixture s2(kSplit2Args);
        const Bytes relay =
            RelayFromServer1(s1, BindingRequest(r.flags), r.arrivedOn, Outcome::StunAnswered);
        ASSERT_EQ(relay.size(), kRelayStunLength);
        EXPECT_FALSE(LooksLikeStun(relay.data(), relay.size()));

        const std::uint32_t s1Addr = inet_addr("127.0.0.2");
        EXPECT_EQ(s2.Feed(relay, P::Server2Main, inet_addr("127.0.0.9")), Outcome::RelaySpoofed);
        ASSERT_EQ(s2.Feed(relay, P::Server2Main, s1Addr, 5000), Outcome::RelayAccepted);
        ExpectOneReplyToTheClient(s2, r.from);
        const StunMessage m = s2.SentStun();
        EXPECT_EQ(m.transactionId, kId);
        EXPECT_EQ(m.xorMapped, StunIpv4(kClientAddr, kClientPort));
        EXPECT_EQ(m.responseOrigin, r.origin);
        EXPECT_EQ(m.otherAddress, r.other);
        EXPECT_EQ(s2.Feed(relay, P::Server2Main, s1Addr, 5000), Outcome::RelayReplayed);

        Bytes tampered = relay;
        tampered[30] ^= 1;  // the transaction ID
        EXPECT_EQ(s2.Feed(tampered, P::Server2Main, s1Addr, 5000), Outcome::RelayBadMac);
    }
}

// Without a key nothing in a relay is vouched for but its source address: a 78-byte relay with
// a zero MAC claiming a 0xFFFF-byte request and 1420 bytes of PADDING made Server2 send 1500
// bytes (19 times the relay) to whatever client it named. The answer to an unkeyed relay now
// stays within 4 times the relay, and PADDING is refused; a keyed partner is still trusted.
TEST(StunHandler, UnkeyedRelayIsAnsweredWithinFourTimesItsOwnSize) {
    struct Row {
        const char* name;
        bool keyed;
        bool rfc3489;
        std::uint16_t requestLength;
        std::uint16_t padding;
        Outcome outcome;
        std::size_t sentAtLeast;  // bytes; 0 for nothing sent
    };
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.name = "0xFFFF bytes, 1420 of PADDING", .keyed = false, .rfc3489 = false, .requestLength = 0xFFFF, .padding = 1420, .outcome = Outcome::StunOversized, .sentAtLeast = 0},
        {.name = "20 bytes, 4 of PADDING", .keyed = false, .rfc3489 = false, .requestLength = 20, .padding = 4, .outcome = Outcome::StunOversized, .sentAtLeast = 0},
        {.name = "RFC 3489 form claiming PADDING", .keyed = false, .rfc3489 = true, .requestLength = 0xFFFF, .padding = 1420, .outcome = Outcome::StunOversized, .sentAtLeast = 0},
        {.name = "0xFFFF bytes", .keyed = false, .rfc3489 = false, .requestLength = 0xFFFF, .padding = kRelayNoPadding, .outcome = Outcome::RelayAccepted, .sentAtLeast = 76},
        {.name = "RFC 3489, 0xFFFF bytes", .keyed = false, .rfc3489 = true, .requestLength = 0xFFFF, .padding = kRelayNoPadding, .outcome = Outcome::RelayAccepted, .sentAtLeast = 56},
        {.name = "keyed, 1420 of PADDING", .keyed = true, .rfc3489 = false, .requestLength = 1448, .padding = 1420, .outcome = Outcome::RelayAccepted, .sentAtLeast = 1490},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Fixture s2(kSplit2Args, {0, 1, 1024}, r.keyed ? kKey : Bytes{});
        StunRelayRequest in;
        in.base = {kClientAddr, kClientPort, kWall, 0};
        in.transactionId = kId;
        in.requestLength = r.requestLength;
        in.paddingLength = r.padding;
        in.rfc3489 = r.rfc3489;
        in.idHead = r.rfc3489 ? kIdHead : 0;
        Bytes relay(kRelayStun3489Length);
        relay.resize(s2.signer.EncodeStun(in, relay.data()));
        EXPECT_EQ(s2.Feed(relay, P::Server2Main, inet_addr("127.0.0.2")), r.outcome);
        std::size_t sent = 0;
        for (int i = 0; i < s2.out.count; ++i)
            sent += s2.out.items[static_cast<std::size_t>(i)].length;
        EXPECT_GE(sent, r.sentAtLeast);
        if (r.sentAtLeast == 0) {
            EXPECT_EQ(s2.out.count, 0);
        }
        if (!r.keyed) {
            EXPECT_LE(sent, kStunMaxAmplification * relay.size());
        }
    }
}

// A relay names the client; the server never sends to an address it would refuse as its own
// or its partner's (0.0.0.0/8, broadcast, multicast, a local network's broadcast), nor to one
// of its own sockets, whichever form the relay takes and whether or not it is keyed. Another
// port on its own address is an ordinary client.
TEST(StunHandler, RelayNamingAnAddressTheServerNeverSendsToIsRefused) {
    struct Row {
        const char* address;
        std::uint16_t port;
        bool refused;
    };
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.address = "0.0.0.0", .port = 40000, .refused = true},
        {.address = "0.1.2.3", .port = 40000, .refused = true},
        {.address = "255.255.255.255", .port = 40000, .refused = true},
        {.address = "224.0.0.1", .port = 40000, .refused = true},
        {.address = "239.255.255.250", .port = 1900, .refused = true},
        {.address = "192.0.2.255", .port = 40000, .refused = true},
        {.address = "127.0.0.3", .port = 3478, .refused = true},
        {.address = "127.0.0.3", .port = 3479, .refused = true},
        {.address = "127.0.0.3", .port = 40000, .refused = false},
        {.address = "203.0.113.9", .port = 40000, .refused = false},
    };
    // clang-format on
    enum Form { kChange, kStun, kStun3489 };
    for (const Row& r : rows) {
        for (const bool keyed : {false, true}) {
            for (const Form form : {kChange, kStun, kStun3489}) {
                SCOPED_TRACE(testing::Message() << r.address << ":" << r.port << " keyed " << keyed
                                                << " form " << form);
                Fixture s2(kSplit2Args, {0, 1, 1024}, keyed ? kKey : Bytes{});
                const std::uint32_t addr = inet_addr(r.address);
                const std::uint16_t port = htons(r.port);
                Bytes relay(kRelayStun3489Length);
                if (form == kChange) {
                    s2.signer.Encode(addr, port, kWall, relay.data());
                    relay.resize(kRelayLength);
                } else {
                    StunRelayRequest in;
                    in.base = {addr, port, kWall, 0};
                    in.requestLength = 20;
                    in.rfc3489 = form == kStun3489;
                    in.idHead = kIdHead;
                    relay.resize(s2.signer.EncodeStun(in, relay.data()));
                }
                const Outcome o = s2.Feed(relay, P::Server2Main, inet_addr("127.0.0.2"));
                EXPECT_EQ(o, r.refused ? Outcome::RelayBadTarget : Outcome::RelayAccepted);
                EXPECT_EQ(s2.out.count, r.refused ? 0 : 1);
            }
        }
    }
}

// Server1 relays nothing Server2 would refuse. Without a key it answers PADDING in a change-IP
// request with 420 (the unkeyed Server2 would not pad), and no server answers or relays for a
// source address it would never send to.
TEST(StunHandler, Server1RelaysNothingItsPartnerWouldRefuse) {
    StunMessage padded;
    padded.transactionId = kId;
    padded.hasChangeRequest = true;
    padded.changeFlags = kStunChangeIp;
    padded.hasPadding = true;
    padded.paddingLength = 400;
    {
        Fixture keyed(kSplit1Args);
        EXPECT_EQ(keyed.Feed(Encode(padded), P::Server1Main), Outcome::StunAnswered);
        Fixture unkeyed(kSplit1Args, {0, 1, 1024}, Bytes{});
        ASSERT_EQ(unkeyed.Feed(Encode(padded), P::Server1Main), Outcome::StunError);
        ExpectOneReplyToTheClient(unkeyed, P::Server1Main);
        EXPECT_EQ(unkeyed.SentStun().unknownAttributes,
                  (std::vector<std::uint16_t>{kStunAttrPadding}));
    }
    struct Row {
        const char* address;
        std::uint16_t port;
    };
    const Row sources[] = {{"0.0.0.0", 40000},     {"255.255.255.255", 40000}, {"224.0.0.1", 40000},
                           {"192.0.2.255", 40000}, {"127.0.0.3", 3478},        {"127.0.0.3", 3479}};
    for (const Row& r : sources) {
        for (const auto& args : {kSplit1Args, kBothArgs}) {
            SCOPED_TRACE(testing::Message() << r.address << ":" << r.port << " " << args[2]);
            Fixture f(args);
            const std::uint32_t addr = inet_addr(r.address);
            const std::uint16_t port = htons(r.port);
            EXPECT_EQ(f.Feed(BindingRequest(kStunChangeIp), P::Server1Main, addr, port),
                      Outcome::DroppedBadSource);
            EXPECT_EQ(f.Feed(Hex("000674777003"), P::Server1Main, addr, port),
                      Outcome::DroppedBadSource);
            EXPECT_EQ(f.out.count, 0);
        }
    }
}

TEST(StunHandler, SplitServer2ChangesPortItselfAndRefusesChangeIp) {
    Fixture f(kSplit2Args);
    ASSERT_EQ(f.Feed(BindingRequest(kStunChangePort), P::Server2Main), Outcome::StunAnswered);
    EXPECT_EQ(f.out.items[0].from, P::Server2Changed);
    EXPECT_EQ(f.SentStun().otherAddress, Ep("127.0.0.3", 3479));
    ASSERT_EQ(f.Feed(BindingRequest(kStunChangeIp), P::Server2Main), Outcome::StunError);
    EXPECT_EQ(f.SentStun().unknownAttributes, (std::vector<std::uint16_t>{kStunAttrChangeRequest}));
}

// What an RFC 3489 client gets: its own form, with its whole 128-bit ID echoed.
void ExpectRfc3489Answer(const StunMessage& m, const ChangeRow& r) {
    EXPECT_EQ(m.cls, StunClass::Success);
    EXPECT_EQ(m.cookie, kIdHead);
    EXPECT_EQ(m.transactionId, kId);
    EXPECT_EQ(m.mapped, StunIpv4(kClientAddr, kClientPort));
    EXPECT_EQ(m.sourceAddress, r.origin);
    EXPECT_EQ(m.changedAddress, r.other);
    EXPECT_FALSE(m.xorMapped.present);
    EXPECT_FALSE(m.responseOrigin.present);
    EXPECT_FALSE(m.otherAddress.present);
    EXPECT_FALSE(m.fingerprint);
}

TEST(StunHandler, Rfc3489BindingResponseByteForByte) {
    Fixture f(kBothArgs);
    const Bytes req = Hex("00010008a1a2a3a40102030405060708090a0b0c0003000400000000");
    ASSERT_EQ(req, Rfc3489Request());
    ASSERT_EQ(f.Feed(req, P::Server1Main), Outcome::Stun3489Answered);
    ExpectOneReplyToTheClient(f, P::Server1Main);
    // The whole ID, MAPPED-ADDRESS 203.0.113.9:40000, CHANGED-ADDRESS 127.0.0.3:3479 (what
    // RFC 5780 clients get as OTHER-ADDRESS), SOURCE-ADDRESS 127.0.0.2:3478.
    EXPECT_EQ(ToHex(f.Sent()),
              "01010024a1a2a3a40102030405060708090a0b0c"
              "0001000800019c40cb007109"
              "0005000800010d977f000003"
              "0004000800010d967f000002");
}

// CHANGE-REQUEST from an RFC 3489 client is honoured exactly as from an RFC 5780 one, from the
// same sockets; SOURCE-ADDRESS and CHANGED-ADDRESS are RESPONSE-ORIGIN and OTHER-ADDRESS.
TEST(StunHandler, Rfc3489ClientsAnsweredFromTheSameSocketsInTheirForm) {
    for (const ChangeRow& r : OneProcessChangeRows()) {
        SCOPED_TRACE(testing::Message() << LocalPortName(r.arrivedOn) << " flags " << r.flags);
        Fixture f(kBothArgs);
        const Bytes req = Rfc3489Request(r.flags);
        ASSERT_EQ(f.Feed(req, r.arrivedOn), Outcome::Stun3489Answered);
        ASSERT_EQ(f.out.count, 1);
        EXPECT_EQ(f.out.items[0].from, r.from);
        EXPECT_LE(f.out.items[0].length, kStunMaxAmplification * req.size());
        ExpectRfc3489Answer(f.SentStun(), r);
    }
}

TEST(StunHandler, Rfc3489RefusalsAndDrops) {
    const std::vector<std::string> noRfc5780 = {"--server1", "127.0.0.2:3478", "--server2",
                                                "127.0.0.3:3490"};
    struct Row {
        const char* name;
        std::vector<std::string> args;
        std::string request;
        LocalPort on;
        Outcome outcome;
        std::string response;  // empty: nothing sent
    };
    const std::string id = "a1a2a3a40102030405060708090a0b0c";
    const std::string error420 =
        "01110024" + id + "0009001500000414556e6b6e6f776e20417474726962757465000000";
    // One row per line.
    // clang-format off
    const Row rows[] = {
        // 420 without FINGERPRINT; an odd UNKNOWN-ATTRIBUTES list repeats a type (RFC 3489).
        {.name = "unknown required attribute", .args = kBothArgs, .request = "00010004" + id + "7fff0000", .on = P::Server1Main, .outcome = Outcome::StunError, .response = error420 + "000a00047fff7fff"},
        {.name = "change without RFC 5780", .args = noRfc5780, .request = "00010008" + id + "0003000400000002", .on = P::Server1Main, .outcome = Outcome::StunError, .response = error420 + "000a000400030003"},
        // Not RFC 3489 Binding requests, so our own protocol's: never answered.
        {.name = "length field 4 short", .args = kBothArgs, .request = "00010000" + id + "00000000", .on = P::Server1Main, .outcome = Outcome::DroppedBadLength, .response = ""},
        {.name = "success response", .args = kBothArgs, .request = "01010000" + id, .on = P::Server1Main, .outcome = Outcome::DroppedBadLength, .response = ""},
    };
    // clang-format on
    for (const Row& r : rows) {
        Fixture f(r.args);
        EXPECT_EQ(f.Feed(Hex(r.request), r.on), r.outcome) << r.name;
        EXPECT_EQ(ToHex(f.out.count == 1 ? f.Sent() : Bytes{}), r.response) << r.name;
        EXPECT_LE(f.out.count, 1) << r.name;
    }
}

// The relay carries the whole ID and the form; Server2 answers as Server1 would have.
TEST(StunHandler, SplitPairRelaysRfc3489ChangeIpWithTheWholeId) {
    for (const ChangeRow& r : SplitChangeRows()) {
        SCOPED_TRACE(testing::Message() << LocalPortName(r.arrivedOn) << " flags " << r.flags);
        Fixture s1(kSplit1Args);
        Fixture s2(kSplit2Args);
        const Bytes relay =
            RelayFromServer1(s1, Rfc3489Request(r.flags), r.arrivedOn, Outcome::Stun3489Answered);
        ASSERT_EQ(relay.size(), kRelayStun3489Length);
        EXPECT_EQ(ToHex(Bytes(relay.begin() + 42, relay.begin() + 50)), "001cffffa1a2a3a4");

        const std::uint32_t s1Addr = inet_addr("127.0.0.2");
        ASSERT_EQ(s2.Feed(relay, P::Server2Main, s1Addr, 5000), Outcome::RelayAccepted);
        ExpectOneReplyToTheClient(s2, r.from);
        ExpectRfc3489Answer(s2.SentStun(), r);
        EXPECT_EQ(s2.Feed(relay, P::Server2Main, s1Addr, 5000), Outcome::RelayReplayed);

        Bytes tampered = relay;
        tampered[46] ^= 1;  // the ID's first 32 bits
        EXPECT_EQ(s2.Feed(tampered, P::Server2Main, s1Addr, 5000), Outcome::RelayBadMac);
    }
}

// Standard STUN over IPv6: 2001:db8::2 and 2001:db8::3 sharing port 3478 beside the IPv4 pair
// (an RFC 5780 server in each family); the client at [2001:db8:0:7::9]:40000.
const std::vector<std::string> kDualArgs = {
    "--server1", "127.0.0.2:3478",     "--server2", "127.0.0.3:3478",
    "--server1", "[2001:db8::2]:3478", "--server2", "[2001:db8::3]:3478"};
const Ipv6Bytes kClient6 = *ParseIpv6("2001:db8:0:7::9");

Outcome Feed6(Fixture& f, const Bytes& d, LocalPort on, const Ipv6Bytes& from = kClient6,
              std::uint16_t fromPort = kClientPort) {
    return f.handler.Handle6(d.data(), d.size(), from, fromPort, on, {0, kWall}, f.out);
}

StunAddress Ep6(const char* addr, std::uint16_t port) {
    return StunIpv6(*ParseIpv6(addr), htons(port));
}

// Every CHANGE-REQUEST variant over IPv6, as over IPv4: answered on the IPv6 socket asked for,
// the addresses in IPv6 form.
TEST(StunHandler, Ipv6ChangeRequestsAnsweredFromTheirIpv6Sockets) {
    struct Row {
        P arrivedOn;
        std::uint32_t flags;
        P from;
        StunAddress origin;
        StunAddress other;
    };
    const StunAddress a = Ep6("2001:db8::2", 3478), an = Ep6("2001:db8::2", 3479);
    const StunAddress b = Ep6("2001:db8::3", 3478), bn = Ep6("2001:db8::3", 3479);
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.arrivedOn = P::Server1Main, .flags = 0, .from = P::Server1Main, .origin = a, .other = bn},
        {.arrivedOn = P::Server1Main, .flags = kStunChangePort, .from = P::Server1Next, .origin = an, .other = bn},
        {.arrivedOn = P::Server1Main, .flags = kStunChangeIp, .from = P::Server2Main, .origin = b, .other = bn},
        {.arrivedOn = P::Server1Main, .flags = kStunChangeIp | kStunChangePort, .from = P::Server2Changed, .origin = bn, .other = bn},
        {.arrivedOn = P::Server1Next, .flags = 0, .from = P::Server1Next, .origin = an, .other = b},
        {.arrivedOn = P::Server2Main, .flags = kStunChangeIp, .from = P::Server1Main, .origin = a, .other = bn},
        {.arrivedOn = P::Server2Changed, .flags = kStunChangePort, .from = P::Server2Main, .origin = b, .other = b},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << LocalPortName(r.arrivedOn) << " flags " << r.flags);
        Fixture f(kDualArgs);
        ASSERT_EQ(Feed6(f, BindingRequest(r.flags), r.arrivedOn), Outcome::StunAnswered);
        ASSERT_EQ(f.out.count, 1);
        const OutDatagram& d = f.out.items[0];
        EXPECT_EQ(d.from, r.from);
        EXPECT_TRUE(d.ipv6);
        EXPECT_EQ(d.toAddress6, kClient6);
        EXPECT_EQ(d.toPort, kClientPort);
        const StunMessage m = f.SentStun();
        EXPECT_EQ(m.xorMapped, StunIpv6(kClient6, kClientPort));
        EXPECT_EQ(m.mapped, StunIpv6(kClient6, kClientPort));
        EXPECT_EQ(m.responseOrigin, r.origin);
        EXPECT_EQ(m.otherAddress, r.other);
    }
}

// What IPv6 refuses: sources no answer may go to, our own protocol and RFC 3489 (both IPv4
// only), a change without the second IPv6 address; RESPONSE-PORT works as over IPv4; the
// limit counts a /64 as one source.
TEST(StunHandler, Ipv6RefusalsResponsePortAndRateLimit) {
    Fixture f(kDualArgs);
    for (const char* bad : {"::", "ff02::1", "::ffff:203.0.113.9"}) {
        EXPECT_EQ(Feed6(f, BindingRequest(), P::Server1Main, *ParseIpv6(bad)),
                  Outcome::DroppedBadSource)
            << bad;
    }
    EXPECT_EQ(Feed6(f, BindingRequest(), P::Server1Main, *ParseIpv6("2001:db8::3"), htons(3479)),
              Outcome::DroppedBadSource)
        << "our own socket";
    EXPECT_EQ(Feed6(f, Bytes({0, 6, 0x74, 0x77, 0x70, 0x02}), P::Server1Main),
              Outcome::DroppedUnknown);
    EXPECT_EQ(Feed6(f, Rfc3489Request(), P::Server1Main), Outcome::DroppedUnknown);
    EXPECT_EQ(f.out.count, 0);

    StunMessage req;
    req.transactionId = kId;
    req.hasResponsePort = true;
    req.responsePort = htons(40001);
    ASSERT_EQ(Feed6(f, Encode(req), P::Server1Main), Outcome::StunAnswered);
    EXPECT_EQ(f.out.items[0].toAddress6, kClient6);
    EXPECT_EQ(f.out.items[0].toPort, htons(40001));

    Fixture alone({"--server1", "[2001:db8::2]:3478"});
    ASSERT_EQ(Feed6(alone, BindingRequest(kStunChangeIp), P::Server1Main), Outcome::StunError);
    EXPECT_EQ(alone.SentStun().unknownAttributes,
              (std::vector<std::uint16_t>{kStunAttrChangeRequest}));
    ASSERT_EQ(Feed6(alone, BindingRequest(), P::Server1Main), Outcome::StunAnswered);
    EXPECT_FALSE(alone.SentStun().otherAddress.present);

    Fixture limited(kDualArgs, {/*rate*/ 1, /*burst*/ 2, /*table*/ 1024});
    Ipv6Bytes sibling = kClient6;
    sibling[15] = 0x77;
    EXPECT_EQ(Feed6(limited, BindingRequest(), P::Server1Main), Outcome::StunAnswered);
    EXPECT_EQ(Feed6(limited, BindingRequest(), P::Server1Main, sibling), Outcome::StunAnswered);
    EXPECT_EQ(Feed6(limited, BindingRequest(), P::Server1Main, sibling), Outcome::RateLimited);
}

TEST(StunHandler, ConfigSaysWhyRfc5780IsOff) {
    struct Row {
        std::vector<std::string> args;
        bool on;
    };
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.args = kBothArgs, .on = true},
        {.args = kSplit1Args, .on = true},
        {.args = kSplit2Args, .on = true},
        {.args = {"--server1", "127.0.0.2:3478", "--server2", "127.0.0.3:3490"}, .on = false},
        {.args = {"--server1", "127.0.0.2:3478", "--partner", "127.0.0.3:3490"}, .on = false},
        {.args = {"--server2", "127.0.0.3:3478", "--partner", "127.0.0.2", "--changed-port", "4000"}, .on = false},
        {.args = {"--server1", "[::1]:3478", "--server2", "[::2]:3478"}, .on = true},
        {.args = {"--server1", "[::1]:3478", "--server2", "[::2]:3490"}, .on = false},
        {.args = {"--server1", "[::1]:3478"}, .on = false},
    };
    // clang-format on
    for (const Row& r : rows) {
        ServerConfig cfg;
        std::string error;
        ASSERT_EQ(ParseServerArgs(r.args, cfg, error, {}), ParseStatus::Ok) << error;
        const bool v6 = cfg.server1v6 || cfg.server2v6;
        EXPECT_EQ(v6 ? RolesOf(cfg).rfc5780v6 : RolesOf(cfg).rfc5780, r.on) << r.args[1];
        EXPECT_EQ((v6 ? WhyNoRfc5780v6(cfg) : WhyNoRfc5780(cfg)).empty(), r.on) << r.args[1];
        std::string described;
        for (const std::string& line : DescribeConfig(cfg))
            described += line + "\n";
        EXPECT_NE(described.find(r.on ? "RFC 5780 on" : "RFC 5780 off"), std::string::npos)
            << described;
    }
}

// Real sockets: Server1 on 127.0.0.2:P, P+1 (and P+2), Server2 on 127.0.0.3:P, P+1.
class StunLoopback : public ::testing::Test {
protected:
    // Starts servers (one process, or a split pair in this process) on a free port.
    void Start(bool split) {
        SetServerLogMuted(true);
        for (int attempt = 0; attempt < 10 && m_servers.empty(); ++attempt) {
            const std::uint16_t p = FindFreePortBase("127.0.0.2", 3, "127.0.0.3", 0);
            ASSERT_NE(p, 0);
            const std::string a = "127.0.0.2:" + std::to_string(p);
            const std::string b = "127.0.0.3:" + std::to_string(p);
            std::vector<std::vector<std::string>> configs;
            if (split) {
                configs = {{"--server1", a, "--partner", b, "--key-hex", ToHex(kKey)},
                           {"--server2", b, "--partner", "127.0.0.2", "--key-hex", ToHex(kKey)}};
            } else {
                configs = {{"--server1", a, "--server2", b}};
            }
            std::vector<std::unique_ptr<CProbeServer>> started;
            for (const auto& args : configs) {
                ServerConfig cfg;
                std::string error;
                ASSERT_EQ(ParseServerArgs(args, cfg, error, {}), ParseStatus::Ok) << error;
                cfg.workers = 1;
                auto s = std::make_unique<CProbeServer>(cfg);
                if (!s->Start(error))  // taken meanwhile by a parallel test: try again
                    break;
                started.push_back(std::move(s));
            }
            if (started.size() == configs.size()) {
                m_servers = std::move(started);
                m_port = p;
            }
        }
        ASSERT_FALSE(m_servers.empty());
    }
    void TearDown() override {
        for (auto& s : m_servers)
            s->Stop();
        SetServerLogMuted(false);
    }

    // Sends a Binding request (with a CHANGE-REQUEST when flags; an RFC 3489 one when rfc3489)
    // to address:port and checks the response's source, mapped address and origin.
    void Exchange(CTestSocket& c, const std::string& to, int toPortOffset, std::uint32_t flags,
                  const std::string& wantFrom, int wantPortOffset, bool rfc3489 = false) {
        SCOPED_TRACE(testing::Message() << to << ":P+" << toPortOffset << " flags " << flags
                                        << (rfc3489 ? " RFC 3489" : ""));
        const Bytes req = rfc3489 ? Rfc3489Request(flags) : BindingRequest(flags);
        ASSERT_TRUE(c.SendTo(to, static_cast<std::uint16_t>(m_port + toPortOffset), req));
        const auto r = c.Receive(3000);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->fromAddress, wantFrom);
        EXPECT_EQ(r->fromPort, m_port + wantPortOffset);
        StunMessage m;
        ASSERT_EQ(ParseStun(r->data.data(), r->data.size(), m), StunParseError::None);
        EXPECT_EQ(m.transactionId, kId);
        EXPECT_EQ(m.cookie, rfc3489 ? kIdHead : kStunMagicCookie);
        EXPECT_EQ(rfc3489 ? m.mapped : m.xorMapped, StunIpv4(c.AddressNet(), c.PortNet()));
        EXPECT_EQ(rfc3489 ? m.sourceAddress : m.responseOrigin, Ep(wantFrom.c_str(), r->fromPort));
    }

    std::vector<std::unique_ptr<CProbeServer>> m_servers;
    std::uint16_t m_port = 0;
};

TEST_F(StunLoopback, EveryChangeRequestFromItsAddressAndOurProtocolStillAnswered) {
    Start(false);
    CTestSocket c;
    ASSERT_TRUE(c.Valid());
    Exchange(c, "127.0.0.2", 0, 0, "127.0.0.2", 0);
    Exchange(c, "127.0.0.2", 0, kStunChangePort, "127.0.0.2", 1);
    Exchange(c, "127.0.0.2", 0, kStunChangeIp, "127.0.0.3", 0);
    Exchange(c, "127.0.0.2", 0, kStunChangeIp | kStunChangePort, "127.0.0.3", 1);
    // The client's next step: a Binding request to OTHER-ADDRESS, and to the other two.
    Exchange(c, "127.0.0.3", 1, 0, "127.0.0.3", 1);
    Exchange(c, "127.0.0.3", 0, 0, "127.0.0.3", 0);
    Exchange(c, "127.0.0.2", 1, 0, "127.0.0.2", 1);
    // Our own binding request on the same socket, answered as before.
    ASSERT_TRUE(c.SendTo("127.0.0.2", m_port, Hex("000674777002")));
    const auto r = c.Receive(3000);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->data.size(), kEndpointBodyLength);
    EXPECT_EQ(ReadBe32(r->data.data() + 2), ReplyCode(kMsgBindingRequest));
}

TEST_F(StunLoopback, SplitPairAnswersChangeIpThroughTheRelay) {
    Start(true);
    CTestSocket c;
    ASSERT_TRUE(c.Valid());
    Exchange(c, "127.0.0.2", 0, kStunChangeIp, "127.0.0.3", 0);
    Exchange(c, "127.0.0.2", 0, kStunChangeIp | kStunChangePort, "127.0.0.3", 1);
    Exchange(c, "127.0.0.2", 0, kStunChangePort, "127.0.0.2", 1);
    Exchange(c, "127.0.0.3", 1, 0, "127.0.0.3", 1);
}

// An RFC 3489 client on real sockets, through the relay of a split pair.
TEST_F(StunLoopback, Rfc3489ClientAnsweredThroughTheRelayInASplitPair) {
    Start(true);
    CTestSocket c;
    ASSERT_TRUE(c.Valid());
    Exchange(c, "127.0.0.2", 0, kStunChangeIp | kStunChangePort, "127.0.0.3", 1, true);
    Exchange(c, "127.0.0.2", 0, kStunChangeIp, "127.0.0.3", 0, true);
    Exchange(c, "127.0.0.3", 1, 0, "127.0.0.3", 1, true);
}

}  // namespace
