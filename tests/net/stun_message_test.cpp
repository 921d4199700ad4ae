// The STUN codec: the published sample messages, exact bytes of what we write, the refusal of
// malformed input (one row per fault) and the line between STUN and our own datagrams.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/sys_inet.h"
#include "net/messages.h"
#include "net/stun_message.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The transaction ID of the RFC 5769 samples.
constexpr std::array<std::uint8_t, 12> kSampleId = {0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34,
                                                    0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae};

// RFC 5769 2.1: sample request (SOFTWARE, PRIORITY, ICE-CONTROLLED, USERNAME,
// MESSAGE-INTEGRITY, FINGERPRINT).
const Bytes kSampleRequest = {
    0x00, 0x01, 0x00, 0x58,  // Binding request, length 88
    0x21, 0x12, 0xa4, 0x42,  // magic cookie
    0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae,  // transaction ID
    0x80, 0x22, 0x00, 0x10,  // SOFTWARE, 16 bytes: "STUN test client"
    0x53, 0x54, 0x55, 0x4e, 0x20, 0x74, 0x65, 0x73, 0x74, 0x20, 0x63, 0x6c,
    0x69, 0x65, 0x6e, 0x74, 0x00, 0x24, 0x00, 0x04,  // PRIORITY
    0x6e, 0x00, 0x01, 0xff,                          //
    0x80, 0x29, 0x00, 0x08,                          // ICE-CONTROLLED
    0x93, 0x2f, 0xf9, 0xb1, 0x51, 0x26, 0x3b, 0x36,  //
    0x00, 0x06, 0x00, 0x09,                          // USERNAME, 9 bytes and 3 of padding
    0x65, 0x76, 0x74, 0x6a, 0x3a, 0x68, 0x36, 0x76, 0x59, 0x20, 0x20, 0x20,  //
    0x00, 0x08, 0x00, 0x14,                                                  // MESSAGE-INTEGRITY
    0x9a, 0xea, 0xa7, 0x0c, 0xbf, 0xd8, 0xcb, 0x56, 0x78, 0x1e,              //
    0xf2, 0xb5, 0xb2, 0xd3, 0xf2, 0x49, 0xc1, 0xb5, 0x71, 0xa2,              //
    0x80, 0x28, 0x00, 0x04,                                                  // FINGERPRINT
    0xe5, 0x7a, 0x3b, 0xcf,
};

// RFC 5769 2.2: sample IPv4 response, XOR-MAPPED-ADDRESS 192.0.2.1:32853.
const Bytes kSampleIpv4Response = {
    0x01, 0x01, 0x00, 0x3c,  // Binding success response, length 60
    0x21, 0x12, 0xa4, 0x42,  //
    0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae,  //
    0x80, 0x22, 0x00, 0x0b,  // SOFTWARE, 11 bytes: "test vector"
    0x74, 0x65, 0x73, 0x74, 0x20, 0x76, 0x65, 0x63, 0x74, 0x6f, 0x72, 0x20,  //
    0x00, 0x20, 0x00, 0x08,                                                  // XOR-MAPPED-ADDRESS
    0x00, 0x01, 0xa1, 0x47,                                                  // IPv4, port
    0xe1, 0x12, 0xa6, 0x43,                                                  // address
    0x00, 0x08, 0x00, 0x14,                                                  // MESSAGE-INTEGRITY
    0x2b, 0x91, 0xf5, 0x99, 0xfd, 0x9e, 0x90, 0xc3, 0x8c, 0x74,              //
    0x89, 0xf9, 0x2a, 0xf9, 0xba, 0x53, 0xf0, 0x6b, 0xe7, 0xd7,              //
    0x80, 0x28, 0x00, 0x04,                                                  // FINGERPRINT
    0xc0, 0x7d, 0x4c, 0x96,
};

// RFC 5769 2.3: sample IPv6 response, XOR-MAPPED-ADDRESS
// [2001:db8:1234:5678:11:2233:4455:6677]:32853.
const Bytes kSampleIpv6Response = {
    0x01, 0x01, 0x00, 0x48,                                                  //
    0x21, 0x12, 0xa4, 0x42,                                                  //
    0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae,  //
    0x80, 0x22, 0x00, 0x0b,                                                  //
    0x74, 0x65, 0x73, 0x74, 0x20, 0x76, 0x65, 0x63, 0x74, 0x6f, 0x72, 0x20,  //
    0x00, 0x20, 0x00, 0x14,  // XOR-MAPPED-ADDRESS, 20 bytes
    0x00, 0x02, 0xa1, 0x47,  // IPv6, port
    0x01, 0x13, 0xa9, 0xfa, 0xa5, 0xd3, 0xf1, 0x79, 0xbc, 0x25, 0xf4, 0xb5,
    0xbe, 0xd2, 0xb9, 0xd9, 0x00, 0x08, 0x00, 0x14,              // MESSAGE-INTEGRITY
    0xa3, 0x82, 0x95, 0x4e, 0x4b, 0xe6, 0x7b, 0xf1, 0x17, 0x84,  //
    0xc9, 0x7c, 0x82, 0x92, 0xc2, 0x75, 0xbf, 0xe3, 0xed, 0x41,  //
    0x80, 0x28, 0x00, 0x04,                                      // FINGERPRINT
    0xc8, 0xfb, 0x0b, 0x4c,
};

Bytes FromHex(const std::string& hex) {
    Bytes b;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return b;
}

// An RFC 3489 Binding request as old clients send it: no magic cookie (a1a2a3a4 begins the
// 128-bit transaction ID) and a CHANGE-REQUEST asking for a change of address and port.
const Bytes kRfc3489Request = FromHex(
    "00010008"
    "a1a2a3a4b7e7a701bc34d686fa87dfae"
    "0003000400000006");

StunMessage Parsed(const Bytes& b) {
    StunMessage m;
    EXPECT_EQ(ParseStun(b.data(), b.size(), m), StunParseError::None);
    return m;
}

// A Binding request with the sample transaction ID and the given attribute bytes; the length
// field is computed unless given.
Bytes Request(const Bytes& attrs, int lengthField = -1) {
    Bytes b = {0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xa4, 0x42};
    b.insert(b.end(), kSampleId.begin(), kSampleId.end());
    b.insert(b.end(), attrs.begin(), attrs.end());
    const std::size_t len = lengthField < 0 ? attrs.size() : static_cast<std::size_t>(lengthField);
    b[2] = static_cast<std::uint8_t>(len >> 8);
    b[3] = static_cast<std::uint8_t>(len);
    return b;
}

Bytes Encoded(const StunMessage& m) {
    Bytes out(2048);
    out.resize(EncodeStun(m, out.data(), out.size()));
    return out;
}

TEST(StunMessage, Rfc5769SampleRequest) {
    const StunMessage m = Parsed(kSampleRequest);
    EXPECT_EQ(m.method, kStunMethodBinding);
    EXPECT_EQ(m.cls, StunClass::Request);
    EXPECT_TRUE(m.IsRfc5389());
    EXPECT_EQ(m.transactionId, kSampleId);
    EXPECT_EQ(m.software, "STUN test client");
    EXPECT_TRUE(m.hadMessageIntegrity);
    EXPECT_TRUE(m.fingerprint);
    // PRIORITY is an ICE attribute we do not serve; USERNAME is understood (and ignored).
    EXPECT_EQ(m.unknownRequired, (std::vector<std::uint16_t>{0x0024}));
    EXPECT_TRUE(LooksLikeStun(kSampleRequest.data(), kSampleRequest.size()));
}

TEST(StunMessage, Rfc5769SampleIpv4Response) {
    const StunMessage m = Parsed(kSampleIpv4Response);
    EXPECT_EQ(m.cls, StunClass::Success);
    EXPECT_TRUE(m.fingerprint);
    EXPECT_EQ(m.software, "test vector");
    ASSERT_TRUE(m.xorMapped.IsIpv4());
    EXPECT_EQ(m.xorMapped.address, inet_addr("192.0.2.1"));
    EXPECT_EQ(ntohs(m.xorMapped.port), 32853);
    EXPECT_TRUE(m.unknownRequired.empty());
}

TEST(StunMessage, Rfc5769SampleIpv6Response) {
    const StunMessage m = Parsed(kSampleIpv6Response);
    EXPECT_EQ(m.cls, StunClass::Success);
    EXPECT_TRUE(m.fingerprint);
    EXPECT_TRUE(m.hadMessageIntegrity);
    EXPECT_EQ(m.software, "test vector");
    ASSERT_TRUE(m.xorMapped.present);
    EXPECT_FALSE(m.xorMapped.IsIpv4());
    EXPECT_EQ(m.xorMapped.family, kStunFamilyIpv6);
    const std::array<std::uint8_t, 16> want = {0x20, 0x01, 0x0d, 0xb8, 0x12, 0x34, 0x56, 0x78,
                                               0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    EXPECT_EQ(m.xorMapped.address6, want);
    EXPECT_EQ(ntohs(m.xorMapped.port), 32853);
    EXPECT_TRUE(m.unknownRequired.empty());

    // Written back, the attribute is the sample's own 24 bytes (after header and SOFTWARE).
    StunMessage w;
    w.cls = StunClass::Success;
    w.transactionId = kSampleId;
    w.xorMapped = StunIpv6(want, htons(32853));
    const Bytes wire = Encoded(w);
    ASSERT_EQ(wire.size(), kStunHeaderLength + 24);
    EXPECT_TRUE(
        std::equal(wire.begin() + kStunHeaderLength, wire.end(), kSampleIpv6Response.begin() + 36));
}

// The four address attributes in IPv6 form: family 2, 16 address bytes, only
// XOR-MAPPED-ADDRESS XORed (with the cookie and then the transaction ID).
TEST(StunMessage, Ipv6AddressAttributesByteForByte) {
    const std::array<std::uint8_t, 16> doc = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                              0,    0,    0,    0,    0, 0, 0, 1};
    StunMessage m;
    m.cls = StunClass::Success;
    m.transactionId = kSampleId;
    m.mapped = StunIpv6(doc, htons(3478));
    m.xorMapped = m.mapped;
    m.responseOrigin = m.mapped;
    m.responseOrigin.address6[15] = 2;
    m.otherAddress = m.mapped;
    m.otherAddress.address6[15] = 3;
    m.otherAddress.port = htons(3479);
    const Bytes want = FromHex(
        "01010060"
        "2112a442b7e7a701bc34d686fa87dfae"
        "0001001400020d9620010db8000000000000000000000001"    // MAPPED-ADDRESS
        "0020001400022c840113a9fab7e7a701bc34d686fa87dfaf"    // XOR-MAPPED-ADDRESS
        "802b001400020d9620010db8000000000000000000000002"    // RESPONSE-ORIGIN
        "802c001400020d9720010db8000000000000000000000003");  // OTHER-ADDRESS
    EXPECT_EQ(Encoded(m), want);
    EXPECT_EQ(Parsed(want), m);
}

TEST(StunMessage, AnyChangedByteBreaksTheSampleFingerprint) {
    // Bytes inside attribute values, so that only the CRC can notice.
    for (const std::size_t at : {std::size_t{9}, std::size_t{30}, std::size_t{70}}) {
        Bytes b = kSampleRequest;
        b[at] ^= 0x01;
        StunMessage m;
        EXPECT_EQ(ParseStun(b.data(), b.size(), m), StunParseError::BadFingerprint) << at;
    }
}

TEST(StunMessage, MessageTypeBitsInterleaveMethodAndClass) {
    struct Row {
        std::uint16_t method;
        StunClass cls;
        std::uint16_t type;
    };
    const Row rows[] = {
        {.method = 0x001, .cls = StunClass::Request, .type = 0x0001},
        {.method = 0x001, .cls = StunClass::Indication, .type = 0x0011},
        {.method = 0x001, .cls = StunClass::Success, .type = 0x0101},
        {.method = 0x001, .cls = StunClass::Error, .type = 0x0111},
        {.method = 0xFFF, .cls = StunClass::Request, .type = 0x3EEF},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(StunMessageType(r.method, r.cls), r.type);
        EXPECT_EQ(StunMethodOf(r.type), r.method);
        EXPECT_EQ(StunClassOf(r.type), r.cls);
    }
}

TEST(StunMessage, ResponseByteForByte) {
    StunMessage m;
    m.cls = StunClass::Success;
    m.transactionId = kSampleId;
    m.xorMapped = StunIpv4(inet_addr("192.0.2.1"), htons(32853));
    m.otherAddress = StunIpv4(inet_addr("192.0.2.20"), htons(3479));
    m.hasSoftware = true;
    m.software = "test vector";
    const Bytes want = {
        0x01,
        0x01,
        0x00,
        0x28,  // success response, length 40
        0x21,
        0x12,
        0xa4,
        0x42,  //
        0xb7,
        0xe7,
        0xa7,
        0x01,
        0xbc,
        0x34,
        0xd6,
        0x86,
        0xfa,
        0x87,
        0xdf,
        0xae,
        0x00,
        0x20,
        0x00,
        0x08,  // XOR-MAPPED-ADDRESS: the sample's own bytes
        0x00,
        0x01,
        0xa1,
        0x47,
        0xe1,
        0x12,
        0xa6,
        0x43,
        0x80,
        0x2c,
        0x00,
        0x08,  // OTHER-ADDRESS
               // 192.0.2.20:3479,
               // not XORed
        0x00,
        0x01,
        0x0d,
        0x97,
        0xc0,
        0x00,
        0x02,
        0x14,
        0x80,
        0x22,
        0x00,
        0x0b,  // SOFTWARE, zero
               // padding
        0x74,
        0x65,
        0x73,
        0x74,
        0x20,
        0x76,
        0x65,
        0x63,
        0x74,
        0x6f,
        0x72,
        0x00,
    };
    EXPECT_EQ(Encoded(m), want);
    EXPECT_EQ(StunEncodedLength(m), want.size());
}

TEST(StunMessage, EveryAttributeRoundTrips) {
    StunMessage m;
    m.cls = StunClass::Error;
    m.transactionId = kSampleId;
    m.mapped = StunIpv4(inet_addr("198.51.100.7"), htons(40000));
    m.xorMapped = m.mapped;
    m.xorMapped.family = kStunFamilyIpv6;
    m.xorMapped.address = 0;
    m.xorMapped.address6 = {0x20, 0x01, 0x0d, 0xb8, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    m.responseOrigin = StunIpv4(inet_addr("192.0.2.10"), htons(3478));
    m.otherAddress = StunIpv4(inet_addr("192.0.2.20"), htons(3479));
    m.changedAddress = StunIpv4(inet_addr("192.0.2.21"), htons(3480));
    m.sourceAddress = StunIpv4(inet_addr("192.0.2.22"), htons(3481));
    m.hasChangeRequest = true;
    m.changeFlags = kStunChangeIp | kStunChangePort;
    m.hasErrorCode = true;
    m.errorCode = 420;
    m.errorReason = "Unknown Attribute";
    m.unknownAttributes = {0x0024, 0x7777, 0x0011};
    m.hasSoftware = true;
    m.software = "gatewise";
    m.hasPadding = true;
    m.paddingLength = 13;
    m.hasResponsePort = true;
    m.responsePort = htons(40001);
    m.fingerprint = true;
    const Bytes wire = Encoded(m);
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire.size() % 4, 0u);
    EXPECT_EQ(Parsed(wire), m);

    // An RFC 3489 message keeps its 128-bit transaction ID, and it is not taken for STUN by
    // the server's test.
    m.cookie = 0x01020304;
    const Bytes legacy = Encoded(m);
    EXPECT_EQ(Parsed(legacy), m);
    EXPECT_FALSE(Parsed(legacy).IsRfc5389());
    EXPECT_FALSE(LooksLikeStun(legacy.data(), legacy.size()));
}

// RFC 3489 messages keep the cookie field as the first 32 bits of the ID, both ways.
TEST(StunMessage, Rfc3489RequestAndResponseByteForByte) {
    const StunMessage req = Parsed(kRfc3489Request);
    EXPECT_FALSE(req.IsRfc5389());
    EXPECT_EQ(req.cookie, 0xa1a2a3a4u);
    EXPECT_EQ(req.transactionId, kSampleId);
    EXPECT_EQ(Encoded(req), kRfc3489Request);

    StunMessage resp;
    resp.cls = StunClass::Success;
    resp.cookie = req.cookie;
    resp.transactionId = req.transactionId;
    resp.mapped = StunIpv4(inet_addr("198.51.100.7"), htons(40000));
    resp.changedAddress = StunIpv4(inet_addr("192.0.2.20"), htons(3479));
    resp.sourceAddress = StunIpv4(inet_addr("192.0.2.10"), htons(3478));
    const Bytes want = FromHex(
        "01010024"
        "a1a2a3a4b7e7a701bc34d686fa87dfae"
        "0001000800019c40c6336407"    // MAPPED-ADDRESS 198.51.100.7:40000
        "0005000800010d97c0000214"    // CHANGED-ADDRESS 192.0.2.20:3479
        "0004000800010d96c000020a");  // SOURCE-ADDRESS 192.0.2.10:3478
    EXPECT_EQ(Encoded(resp), want);
    EXPECT_EQ(Parsed(want), resp);
}

// The server's test for RFC 3489 Binding requests, which LooksLikeStun leaves out.
TEST(StunMessage, OnlyCookielessBindingRequestsLookLikeRfc3489Requests) {
    const auto with = [](std::size_t at, std::initializer_list<std::uint8_t> bytes) {
        Bytes b = kRfc3489Request;
        std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        return b;
    };
    const auto first = [](const Bytes& b, std::size_t n) {
        return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
    };
    struct Row {
        const char* name;
        Bytes bytes;
        bool rfc3489;
    };
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.name = "Binding request with CHANGE-REQUEST", .bytes = kRfc3489Request, .rfc3489 = true},
        {.name = "header alone", .bytes = first(with(2, {0, 0}), 20), .rfc3489 = true},
        {.name = "magic cookie", .bytes = with(4, {0x21, 0x12, 0xa4, 0x42}), .rfc3489 = false},
        {.name = "length 4 over", .bytes = with(2, {0, 12}), .rfc3489 = false},
        {.name = "length 4 under", .bytes = with(2, {0, 4}), .rfc3489 = false},
        {.name = "success response", .bytes = with(0, {0x01, 0x01}), .rfc3489 = false},
    };
    // clang-format on
    for (const Row& r : rows) {
        EXPECT_EQ(LooksLikeRfc3489Request(r.bytes.data(), r.bytes.size()), r.rfc3489) << r.name;
        EXPECT_FALSE(LooksLikeStun(r.bytes.data(), r.bytes.size()) && r.rfc3489) << r.name;
    }
}

// RFC 5780 section 7.5: the port, then two bytes of padding (ignored when read).
TEST(StunMessage, ResponsePortByteForByte) {
    StunMessage m;
    m.transactionId = kSampleId;
    m.hasResponsePort = true;
    m.responsePort = htons(40001);
    const Bytes want = {
        0x00, 0x01, 0x00, 0x08,                          // Binding request, length 8
        0x21, 0x12, 0xa4, 0x42,                          // magic cookie
        0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86,  //
        0xfa, 0x87, 0xdf, 0xae,                          // transaction ID
        0x00, 0x27, 0x00, 0x04, 0x9c, 0x41, 0x00, 0x00,  // RESPONSE-PORT 40001
    };
    EXPECT_EQ(Encoded(m), want);
    Bytes padded = want;
    padded.back() = 0xff;  // whatever the padding holds
    const StunMessage read = Parsed(padded);
    EXPECT_TRUE(read.hasResponsePort);
    EXPECT_EQ(read.responsePort, htons(40001));
    EXPECT_TRUE(read.unknownRequired.empty());
}

TEST(StunMessage, EncoderRefusesWhatItCannotWrite) {
    StunMessage m;
    m.xorMapped = StunIpv4(1, 2);
    std::uint8_t out[64];
    EXPECT_EQ(EncodeStun(m, out, 31), 0u);  // 32 needed
    EXPECT_EQ(EncodeStun(m, out, 32), 32u);
    m.xorMapped.family = 3;
    EXPECT_EQ(EncodeStun(m, out, sizeof out), 0u);
    m.xorMapped.family = kStunFamilyIpv4;
    m.hasSoftware = true;
    m.software.assign(764, 'x');
    EXPECT_EQ(StunEncodedLength(m), 0u);
}

TEST(StunMessage, FirstCopyCountsAndOnlyRequiredUnknownsAreReported) {
    const Bytes b = Request({
        0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x00, 0x02,  // CHANGE-REQUEST port
        0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x00, 0x06,  // a second one: ignored
        0x7f, 0xff, 0x00, 0x00,                          // unknown, comprehension-required
        0x80, 0x99, 0x00, 0x01, 0xaa, 0x00, 0x00, 0x00,  // unknown, optional
        0x7f, 0xff, 0x00, 0x00,                          // the same unknown again: listed once
    });
    const StunMessage m = Parsed(b);
    EXPECT_TRUE(m.ChangePort());
    EXPECT_FALSE(m.ChangeIp());
    EXPECT_EQ(m.unknownRequired, (std::vector<std::uint16_t>{0x7fff}));
}

TEST(StunMessage, AttributesAfterIntegrityAreIgnoredButFingerprintIsChecked) {
    Bytes attrs = {0x00, 0x08, 0x00, 0x14};
    attrs.resize(attrs.size() + 20, 0xab);                            // MESSAGE-INTEGRITY
    attrs.insert(attrs.end(), {0x00, 0x03, 0x00, 0x04, 0, 0, 0, 4});  // CHANGE-REQUEST: ignored
    const StunMessage m = Parsed(Request(attrs));
    EXPECT_TRUE(m.hadMessageIntegrity);
    EXPECT_FALSE(m.hasChangeRequest);
}

struct MalformedCase {
    const char* name;
    Bytes bytes;
    StunParseError error;
};

TEST(StunMessage, MalformedInputIsRefusedWithItsReason) {
    using E = StunParseError;
    const Bytes header = Request({});
    const MalformedCase rows[] = {
        {.name = "19 bytes",
         .bytes = Bytes(header.begin(), header.end() - 1),
         .error = E::TooShort},
        {.name = "top bits set",
         .bytes =
             [&] {
                 Bytes b = header;
                 b[0] = 0x40;
                 return b;
             }(),
         .error = E::NotStun},
        {.name = "length says 4, none there", .bytes = Request({}, 4), .error = E::LengthMismatch},
        {.name = "length short of the datagram",
         .bytes = Request({0, 0x80, 0, 0}, 0),
         .error = E::LengthMismatch},
        {.name = "body of 2 bytes", .bytes = Request({0x80, 0x22}), .error = E::BadAlignment},
        {.name = "attribute overruns",
         .bytes = Request({0x80, 0x22, 0x00, 0x08, 1, 2, 3, 4}),
         .error = E::AttributeOverrun},
        {.name = "padding overruns",
         .bytes = Request({0x80, 0x22, 0x00, 0x05, 1, 2, 3, 4}),
         .error = E::AttributeOverrun},
        {.name = "truncated IPv4 address",
         .bytes = Request({0x00, 0x01, 0x00, 0x06, 0x00, 0x01, 0x0d, 0x96, 192, 0, 0, 0}),
         .error = E::BadAttributeLength},
        {.name = "truncated IPv6 address",
         .bytes = Request({0x00, 0x20, 0x00, 0x08, 0x00, 0x02, 0x0d, 0x96, 1, 2, 3, 4}),
         .error = E::BadAttributeLength},
        {.name = "IPv4 family, IPv6 length",
         .bytes = Request({0x80, 0x2c, 0x00, 0x14, 0x00, 0x01, 0x0d, 0x96, 1,  2,  3,  4,
                           5,    6,    7,    8,    9,    10,   11,   12,   13, 14, 15, 16}),
         .error = E::BadAttributeLength},
        {.name = "address value under 4 bytes",
         .bytes = Request({0x80, 0x2c, 0x00, 0x02, 0, 1, 0, 0}),
         .error = E::BadAttributeLength},
        {.name = "family 3",
         .bytes = Request({0x00, 0x01, 0x00, 0x08, 0x00, 0x03, 0x0d, 0x96, 192, 0, 2, 1}),
         .error = E::BadFamily},
        {.name = "CHANGE-REQUEST of 2 bytes",
         .bytes = Request({0x00, 0x03, 0x00, 0x02, 0, 6, 0, 0}),
         .error = E::BadAttributeLength},
        {.name = "RESPONSE-PORT of 2 bytes",
         .bytes = Request({0x00, 0x27, 0x00, 0x02, 0x9c, 0x41, 0, 0}),
         .error = E::BadAttributeLength},
        {.name = "ERROR-CODE of 3 bytes",
         .bytes = Request({0x00, 0x09, 0x00, 0x03, 0, 0, 4, 0}),
         .error = E::BadAttributeLength},
        {.name = "error number 100",
         .bytes = Request({0x00, 0x09, 0x00, 0x04, 0, 0, 4, 100}),
         .error = E::BadErrorCode},
        {.name = "odd UNKNOWN-ATTRIBUTES",
         .bytes = Request({0x00, 0x0a, 0x00, 0x03, 0, 1, 0, 0}),
         .error = E::BadAttributeLength},
        {.name = "FINGERPRINT of 8 bytes",
         .bytes = Request({0x80, 0x28, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 0, 0}),
         .error = E::BadAttributeLength},
        {.name = "wrong FINGERPRINT",
         .bytes = Request({0x80, 0x28, 0x00, 0x04, 0, 0, 0, 0}),
         .error = E::BadFingerprint},
    };
    for (const MalformedCase& c : rows) {
        StunMessage m;
        EXPECT_EQ(ParseStun(c.bytes.data(), c.bytes.size(), m), c.error) << c.name;
    }
}

TEST(StunMessage, NothingMayFollowFingerprint) {
    // A correct FINGERPRINT (its CRC covers the header, length included), then SOFTWARE.
    Bytes b = Request({}, 12);
    const std::uint32_t crc = StunCrc32(b.data(), b.size()) ^ kStunFingerprintXor;
    b.insert(b.end(), {0x80, 0x28, 0x00, 0x04});
    for (const int shift : {24, 16, 8, 0})
        b.push_back(static_cast<std::uint8_t>(crc >> shift));
    b.insert(b.end(), {0x80, 0x22, 0x00, 0x00});
    StunMessage out;
    EXPECT_EQ(ParseStun(b.data(), b.size(), out), StunParseError::AfterFingerprint);
}

// The server tells STUN from our own protocol by LooksLikeStun alone: no datagram of ours may
// pass it, whatever its code or length.
TEST(StunMessage, NoGatewiseDatagramLooksLikeStun) {
    const std::uint32_t codes[] = {
        kMsgBindingRequest, kMsgChangeRequest,       kMsgPortChangeRequest, kMsgAllocTestA,
        kMsgAllocTestB,     kMsgAllocTestC,          kMsgExceptTest1,       kMsgExceptTest2,
        kMsgLoopbackProbe,  kMsgFriendSearch,        kMsgFriendPortRequest, kMsgFriendPortReport,
        kMsgUnusedRequest,  kMsgChangedAddressReply, kMsgChangedAddressAck,
    };
    for (const std::uint32_t code : codes) {
        for (const std::uint32_t c : {code, ReplyCode(code)}) {
            // The cookie's bytes repeated under the datagram, to be sure the code decides.
            const std::uint8_t cookie[4] = {0x21, 0x12, 0xa4, 0x42};
            std::uint8_t d[kStunHeaderLength];
            for (std::size_t i = 0; i < sizeof d; ++i)
                d[i] = cookie[i % 4];
            const std::uint16_t lens[] = {EncodeEmpty(d, c), EncodePort(d, c, 0x1221),
                                          EncodeEndpoint(d, c, 0x42a41221, 0x1221)};
            for (const std::uint16_t len : lens) {
                EXPECT_FALSE(LooksLikeStun(d, std::max<std::size_t>(len, kStunHeaderLength)))
                    << std::hex << c;
                EXPECT_FALSE(LooksLikeRfc3489Request(d, std::max<std::size_t>(len, 20)))
                    << std::hex << c;
            }
        }
    }
}

}  // namespace
