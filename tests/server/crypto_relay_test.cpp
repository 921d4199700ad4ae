// SHA-256/HMAC and SipHash against published vectors, and the relay datagram's layout,
// authentication, time window, replay refusal and bound on how far a sequence may run ahead.

#include <gtest/gtest.h>

#include <string>

#include "server/relay.h"
#include "server/sha256.h"
#include "server/siphash.h"
#include "tests/server/test_udp.h"

namespace {

std::string Digest(const Sha256Digest& d) {
    return ToHex(Bytes(d.begin(), d.end()));
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

TEST(Sha256, KnownVectors) {
    struct Row {
        std::string message;
        const char* digest;
    };
    const Row rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits in the first block, so padding spills over.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000, 'a'),
         "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
    };
    for (const Row& r : rows) {
        const Bytes m = Text(r.message);
        EXPECT_EQ(Digest(Sha256(m.data(), m.size())), r.digest) << r.message.size() << " bytes";
    }
}

TEST(HmacSha256, Rfc4231Vectors) {
    struct Row {
        Bytes key;
        Bytes data;
        const char* mac;
    };
    const Row rows[] = {
        {Bytes(20, 0x0b), Text("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {Text("Jefe"), Text("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        // A key longer than the 64-byte block is hashed first.
        {Bytes(131, 0xaa), Text("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(Digest(HmacSha256(r.key.data(), r.key.size(), r.data.data(), r.data.size())),
                  r.mac);
    }
}

// The reference vectors: key 00 01 .. 0f, message 00 01 .. (n-1), output as its 8 bytes in
// little-endian order (the 15-byte one is the example worked through in the paper).
TEST(SipHash24, ReferenceVectors) {
    struct Row {
        std::size_t length;
        const char* out;
    };
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.length = 0, .out = "310e0edd47db6f72"}, {.length = 1, .out = "fd67dc93c539f874"},
        {.length = 7, .out = "37d1018bf50002ab"}, {.length = 8, .out = "6224939a79f5f593"},
        {.length = 15, .out = "e545be4961ca29a1"}, {.length = 16, .out = "db9bc2577fcc2a3f"},
    };
    // clang-format on
    SipKey key;
    Bytes message;
    for (std::uint8_t i = 0; i < 16; ++i) {
        key[i] = i;
        message.push_back(i);
    }
    for (const Row& r : rows) {
        const std::uint64_t h = SipHash24(key, message.data(), r.length);
        Bytes le;
        for (int i = 0; i < 8; ++i)
            le.push_back(static_cast<std::uint8_t>(h >> (8 * i)));
        EXPECT_EQ(ToHex(le), r.out) << r.length << " bytes";
    }
    EXPECT_NE(RandomSipKey(), RandomSipKey());
}

const Bytes kKey = Hex("000102030405060708090a0b0c0d0e0f");
constexpr std::uint64_t kNow = 1'800'000'000'000;  // ms since 1970
constexpr std::uint64_t kWindow = 10'000;

Bytes Relay(CRelaySigner& signer, std::uint64_t wallMs, std::uint32_t addr = 0x0100007f,
            std::uint16_t port = 0x3930) {
    Bytes b(kRelayLength);
    signer.Encode(addr, port, wallMs, b.data());
    return b;
}

TEST(RelayDatagram, LayoutWithoutKey) {
    CRelaySigner signer({}, 0x0102030405060708);
    // 127.0.0.1 port 12345, as Server1 saw them (network order in the record).
    const Bytes b = Relay(signer, 0x0000018B'CFE56800);
    EXPECT_EQ(ToHex(b),
              "003c"
              "52777005"  // length 60, relay code
              "7f000001"
              "3039"                        // client endpoint
              "0000018bcfe56800"            // timestamp, ms
              "0102030405060708"            // sequence
                  + std::string(64, '0'));  // no key: zero MAC
    EXPECT_EQ(ToHex(Relay(signer, 0)).substr(40, 16), "0102030405060709")
        << "one sequence per relay";
}

TEST(RelayDatagram, SignedRelayIsAcceptedAndCarriesTheClient) {
    CRelaySigner signer(kKey, 1);
    CRelayVerifier verifier(kKey, kWindow);
    const Bytes b = Relay(signer, kNow);
    RelayRequest r;
    ASSERT_EQ(verifier.Verify(b.data(), b.size(), kNow + 3, &r), RelayCheck::Accepted);
    EXPECT_EQ(r.clientAddress, 0x0100007fu);
    EXPECT_EQ(r.clientPort, 0x3930);
    EXPECT_EQ(r.timestampMs, kNow);
}

TEST(RelayDatagram, RefusedWhenTamperedOrKeyedDifferently) {
    CRelaySigner signer(kKey, 1);
    CRelayVerifier verifier(kKey, kWindow);
    // Any changed byte, the client endpoint included, must break the MAC: otherwise a captured
    // relay could be redirected at a victim.
    for (std::size_t i = 0; i < kRelayLength; ++i) {
        if (i < 6)
            continue;  // header changes are refused as malformed, below
        Bytes b = Relay(signer, kNow);
        b[i] ^= 0x01;
        EXPECT_EQ(verifier.Verify(b.data(), b.size(), kNow, nullptr), RelayCheck::BadMac) << i;
    }
    CRelaySigner other(Hex("ffffffffffffffffffffffffffffffff"), 1000);
    const Bytes b = Relay(other, kNow);
    EXPECT_EQ(verifier.Verify(b.data(), b.size(), kNow, nullptr), RelayCheck::BadMac);
    CRelaySigner unsigned_({}, 2000);
    const Bytes u = Relay(unsigned_, kNow);
    EXPECT_EQ(verifier.Verify(u.data(), u.size(), kNow, nullptr), RelayCheck::BadMac);
    // Header changes and a short datagram are refused before the MAC is even computed.
    Bytes h = Relay(signer, kNow);
    EXPECT_EQ(verifier.Verify(h.data(), h.size() - 1, kNow, nullptr), RelayCheck::Malformed);
    h[5] ^= 1;
    EXPECT_EQ(verifier.Verify(h.data(), h.size(), kNow, nullptr), RelayCheck::Malformed);
}

TEST(RelayDatagram, TimeWindowBothWays) {
    CRelaySigner signer(kKey, 1);
    CRelayVerifier verifier(kKey, kWindow);
    struct Row {
        std::int64_t skewMs;  // receiver clock minus sender clock
        RelayCheck expected;
    };
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.skewMs = 0, .expected = RelayCheck::Accepted},
        {.skewMs = 10'000, .expected = RelayCheck::Accepted},
        {.skewMs = -10'000, .expected = RelayCheck::Accepted},
        {.skewMs = 10'001, .expected = RelayCheck::Stale},
        {.skewMs = -10'001, .expected = RelayCheck::Stale},
        {.skewMs = 3'600'000, .expected = RelayCheck::Stale},
    };
    // clang-format on
    for (const Row& r : rows) {
        const Bytes b = Relay(signer, kNow);
        EXPECT_EQ(verifier.Verify(b.data(), b.size(), kNow + r.skewMs, nullptr), r.expected)
            << r.skewMs;
    }
}

TEST(RelayDatagram, ReplayRefusedReorderingTolerated) {
    CRelaySigner signer(kKey, 5000);
    CRelayVerifier verifier(kKey, kWindow);
    std::vector<Bytes> sent;
    for (int i = 0; i < 5; ++i)
        sent.push_back(Relay(signer, kNow));
    auto check = [&](int i) {
        return verifier.Verify(sent[i].data(), sent[i].size(), kNow, nullptr);
    };
    EXPECT_EQ(check(0), RelayCheck::Accepted);
    EXPECT_EQ(check(0), RelayCheck::Replayed) << "the same datagram twice";
    EXPECT_EQ(check(3), RelayCheck::Accepted);
    EXPECT_EQ(check(1), RelayCheck::Accepted) << "arrived late, still first time";
    EXPECT_EQ(check(1), RelayCheck::Replayed);
    EXPECT_EQ(check(3), RelayCheck::Replayed);
    EXPECT_EQ(check(2), RelayCheck::Accepted);
}

Bytes StunRelay(CRelaySigner& signer, std::uint64_t wallMs) {
    StunRelayRequest r;
    r.base = {0x0100007f, 0x3930, wallMs, 0};
    r.requestLength = 20;
    Bytes b(kRelayStunLength);
    signer.EncodeStun(r, b.data());
    return b;
}

// Sequence numbers follow Server1's clock in µs, so how far out of order a relay may arrive is a
// span of time, whatever the rate: two relays sent 10 ms apart and delivered newest first used
// to lose the older one (the window was 1024 numbers, about 1 ms). Both forms share the window.
TEST(RelayDatagram, OvertakenRelayAcceptedOnceWithinOneSecond) {
    struct Row {
        std::uint64_t lateMs;  // how long after the older relay the newer one was sent
        bool stunForm;         // the older one is a STUN relay
        RelayCheck older;      // the older one, arriving after the newer
    };
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.lateMs = 2, .stunForm = false, .older = RelayCheck::Accepted},
        {.lateMs = 10, .stunForm = false, .older = RelayCheck::Accepted},
        {.lateMs = 10, .stunForm = true, .older = RelayCheck::Accepted},
        {.lateMs = 50, .stunForm = true, .older = RelayCheck::Accepted},
        {.lateMs = 999, .stunForm = false, .older = RelayCheck::Accepted},
        // Beyond the span a relay cannot be told from a replay.
        {.lateMs = 1000, .stunForm = false, .older = RelayCheck::Replayed},
        {.lateMs = 9000, .stunForm = true, .older = RelayCheck::Replayed},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.lateMs << " ms, stun form " << r.stunForm);
        CRelaySigner signer(kKey, 1);
        CRelayVerifier verifier(kKey, kWindow);
        const Bytes older = r.stunForm ? StunRelay(signer, kNow) : Relay(signer, kNow);
        const Bytes newer = Relay(signer, kNow + r.lateMs);
        const std::uint64_t at = kNow + r.lateMs + 1;
        auto verifyOlder = [&] {
            return r.stunForm ? verifier.VerifyStun(older.data(), older.size(), at, nullptr)
                              : verifier.Verify(older.data(), older.size(), at, nullptr);
        };
        ASSERT_EQ(verifier.Verify(newer.data(), newer.size(), at, nullptr), RelayCheck::Accepted);
        EXPECT_EQ(verifyOlder(), r.older);
        EXPECT_EQ(verifyOlder(), RelayCheck::Replayed) << "a copy";
        EXPECT_EQ(verifier.Verify(newer.data(), newer.size(), at, nullptr), RelayCheck::Replayed)
            << "a copy";
    }
}

// The signer keeps its sequence at or above its clock in µs, so that it catches up with any
// value Server2 was made to remember within the bound below.
TEST(RelayDatagram, SequenceKeepsUpWithTheClock) {
    CRelaySigner signer(kKey, 1);
    auto sequenceOf = [&](std::uint64_t wallMs) {
        return ToHex(Relay(signer, wallMs)).substr(40, 16);
    };
    EXPECT_EQ(sequenceOf(kNow), "0006651728988000") << "kNow in µs";
    EXPECT_EQ(sequenceOf(kNow), "0006651728988001") << "one above the previous";
    EXPECT_EQ(sequenceOf(kNow - 5), "0006651728988002") << "never backwards with the clock";
    EXPECT_EQ(sequenceOf(kNow + 1), "00066517289883e8") << "(kNow + 1 ms) in µs";
}

// One relay with sequence 2^64-1 from the partner's address (no key needed) made every later
// relay count as replayed until Server2 restarted. A sequence more than kRelaySequenceLeadUs
// ahead of the relay's own timestamp is refused now, and within that bound a far-ahead value
// delays honest relays only until the sender's clock comes within the replay span of it.
TEST(RelayDatagram, SequenceFarAheadOfItsTimestampIsRefused) {
    constexpr std::uint64_t kNowUs = kNow * 1000;
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    struct Row {
        const char* name;
        bool keyed;
        std::uint64_t timestampMs;
        std::uint64_t sequence;
        RelayCheck expected;
        std::uint64_t honestAcceptedAtMs;  // an honest relay sent then is accepted
    };
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.name = "2^64-1, no key", .keyed = false, .timestampMs = kNow, .sequence = kMax, .expected = RelayCheck::SequenceAhead, .honestAcceptedAtMs = kNow},
        {.name = "2^64-1, keyed", .keyed = true, .timestampMs = kNow, .sequence = kMax, .expected = RelayCheck::SequenceAhead, .honestAcceptedAtMs = kNow},
        {.name = "2^63", .keyed = false, .timestampMs = kNow, .sequence = kMax / 2 + 1, .expected = RelayCheck::SequenceAhead, .honestAcceptedAtMs = kNow},
        {.name = "one past the lead", .keyed = false, .timestampMs = kNow, .sequence = kNowUs + kRelaySequenceLeadUs + 1, .expected = RelayCheck::SequenceAhead, .honestAcceptedAtMs = kNow},
        {.name = "at the lead", .keyed = false, .timestampMs = kNow, .sequence = kNowUs + kRelaySequenceLeadUs, .expected = RelayCheck::Accepted, .honestAcceptedAtMs = kNow + 1},
        {.name = "lead, timestamp at the window's edge", .keyed = false, .timestampMs = kNow + kWindow, .sequence = (kNow + kWindow) * 1000 + kRelaySequenceLeadUs, .expected = RelayCheck::Accepted, .honestAcceptedAtMs = kNow + kWindow + 1},
    };
    // clang-format on
    for (const Row& r : rows) {
        const Bytes key = r.keyed ? kKey : Bytes{};
        CRelayVerifier verifier(key, kWindow);
        CRelaySigner hostile(key, r.sequence);
        const Bytes poison = Relay(hostile, r.timestampMs);
        EXPECT_EQ(verifier.Verify(poison.data(), poison.size(), kNow, nullptr), r.expected)
            << r.name;

        // The honest Server1, seeded from its clock at start an hour ago.
        CRelaySigner honest(key, kNowUs - 3'600'000'000);
        if (r.honestAcceptedAtMs > kNow) {
            // 5 ms earlier it is more than the replay span below the bound.
            const Bytes early = Relay(honest, r.honestAcceptedAtMs - 5);
            EXPECT_EQ(
                verifier.Verify(early.data(), early.size(), r.honestAcceptedAtMs - 5, nullptr),
                RelayCheck::Replayed)
                << r.name << ": held back until the sender's clock is within the span of the bound";
        }
        const Bytes later = Relay(honest, r.honestAcceptedAtMs);
        EXPECT_EQ(verifier.Verify(later.data(), later.size(), r.honestAcceptedAtMs, nullptr),
                  RelayCheck::Accepted)
            << r.name;
    }
}

// The STUN relay's two forms, byte for byte, each read back as written: 78 bytes for an
// RFC 5389 request (the form every Server2 knows), 82 with the ID's first 32 bits for an
// RFC 3489 one.
TEST(RelayDatagram, StunRelayLayoutsWithoutKey) {
    struct Row {
        const char* name;
        bool rfc3489;
        std::string hex;
    };
    const std::string common =
        "7f000001"
        "3039"                      // client endpoint
        "0000018bcfe56800"          // timestamp, ms
        "00060a24181e4000"          // sequence: the timestamp in µs
        "0102030405060708090a0b0c"  // transaction ID (its last 96 bits for RFC 3489)
        "01"                        // answer from Server2's P+1
        "00"                        // arrived on Server1's P
        "001c"                      // request length 28
        "ffff";                     // no PADDING
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.name = "RFC 5389", .rfc3489 = false, .hex = "004e52777006" + common + std::string(64, '0')},
        {.name = "RFC 3489", .rfc3489 = true, .hex = "005252777006" + common + "a1a2a3a4" + std::string(64, '0')},
    };
    // clang-format on
    for (const Row& r : rows) {
        CRelaySigner signer({}, 1);
        CRelayVerifier verifier({}, kWindow);
        StunRelayRequest in;
        in.base = {0x0100007f, 0x3930, 1'700'000'000'000, 0};
        in.transactionId = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        in.answerFromNext = true;
        in.requestLength = 28;
        in.rfc3489 = r.rfc3489;
        in.idHead = r.rfc3489 ? 0xa1a2a3a4 : 0;
        Bytes b(kRelayStun3489Length);
        b.resize(signer.EncodeStun(in, b.data()));
        EXPECT_EQ(ToHex(b), r.hex) << r.name;
        StunRelayRequest out;
        ASSERT_EQ(verifier.VerifyStun(b.data(), b.size(), in.base.timestampMs, &out),
                  RelayCheck::Accepted)
            << r.name;
        EXPECT_EQ(out.transactionId, in.transactionId) << r.name;
        EXPECT_EQ(out.rfc3489, r.rfc3489) << r.name;
        EXPECT_EQ(out.idHead, in.idHead) << r.name;
        EXPECT_TRUE(out.answerFromNext) << r.name;
        EXPECT_EQ(out.requestLength, 28) << r.name;
    }
}

TEST(RelayDatagram, StunRelayWithTheCookieAsIdOrTheShortFormsLengthIsMalformed) {
    CRelaySigner signer(kKey, 1);
    StunRelayRequest in;
    in.base.timestampMs = kNow;
    in.rfc3489 = true;
    in.idHead = 0x2112a442;  // an RFC 5389 request's cookie: never relayed in this form
    Bytes cookie(kRelayStun3489Length), longer(kRelayStun3489Length);
    signer.EncodeStun(in, cookie.data());
    in.idHead = 1;
    signer.EncodeStun(in, longer.data());
    longer[1] = kRelayStunLength;
    for (const Bytes& b : {cookie, longer}) {
        CRelayVerifier verifier(kKey, kWindow);
        EXPECT_EQ(verifier.VerifyStun(b.data(), b.size(), kNow, nullptr), RelayCheck::Malformed);
    }
}

TEST(RelayDatagram, WithoutKeyAnyMacPassesButReplayStillRefused) {
    CRelaySigner signer(kKey, 1);
    CRelayVerifier verifier({}, kWindow);
    const Bytes b = Relay(signer, kNow);
    EXPECT_EQ(verifier.Verify(b.data(), b.size(), kNow, nullptr), RelayCheck::Accepted);
    EXPECT_EQ(verifier.Verify(b.data(), b.size(), kNow, nullptr), RelayCheck::Replayed);
}

}  // namespace
