// The datagram format, the two records and their builders and readers: exact bytes on the wire.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <vector>

#include "core/sys_inet.h"
#include "net/messages.h"
#include "net/udp_network.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Addr(const char* dotted) {
    return inet_addr(dotted);
}  // network order

Bytes Sent(const NatMessage& m) {
    return Bytes(m.data, m.data + m.sendLength);
}

TEST(WireFormat, WorkedExamplesByteForByte) {
    std::uint8_t out[12] = {};
    ASSERT_EQ(EncodeEmpty(out, kMsgBindingRequest), 6);
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{0x00, 0x06, 0x74, 0x77, 0x70, 0x02}));

    // Friend search carrying 192.168.1.10 port 9801.
    ASSERT_EQ(EncodeEndpoint(out, kMsgFriendSearch, Addr("192.168.1.10"), htons(9801)), 12);
    EXPECT_EQ(Bytes(out, out + 12), (Bytes{0x00, 0x0C,              // length 12
                                           0x74, 0x77, 0x70, 0x0D,  // type
                                           0xC0, 0xA8, 0x01, 0x0A,  // 192.168.1.10
                                           0x26, 0x49}));           // 9801
}

TEST(WireFormat, PortBodyByteForByte) {
    std::uint8_t out[12] = {};
    ASSERT_EQ(EncodePort(out, kMsgPortChangeRequest, htons(3479)), 8);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{0x00, 0x08,              // length 8
                                          0x74, 0x77, 0x70, 0x06,  // type
                                          0x0D, 0x97}));           // 3479
}

TEST(WireFormat, BigEndianHelpersDoNotSignExtend) {
    const std::uint8_t high[4] = {0xFF, 0xFE, 0x80, 0x01};
    EXPECT_EQ(ReadBe32(high), 0xFFFE8001u);
    EXPECT_EQ(ReadBe16(high + 2), 0x8001u);
    std::uint8_t out[4] = {};
    WriteBe32(out, 0x7C77700Du);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x7C, 0x77, 0x70, 0x0D}));
    WriteBe16(out, 0xFEDC);
    EXPECT_EQ(Bytes(out, out + 2), (Bytes{0xFE, 0xDC}));
}

struct BuilderCase {
    const char* name;
    NatMessage msg;
    Bytes wire;
};

TEST(WireFormat, RequestBuildersSetTrackedDefaultsAndExactBytes) {
    const std::uint32_t dst = Addr("127.0.0.9");
    const std::uint16_t dstPort = htons(3478);
    const SocketHandle sock = 7;
    const BuilderCase cases[] = {
        {"empty",
         MakeRequest(kMsgAllocTestA, dst, dstPort, sock),
         {0x00, 0x06, 0x74, 0x77, 0x70, 0x07}},
        {"port",
         MakePortRequest(kMsgFriendPortReport, htons(40000), dst, dstPort, sock),
         {0x00, 0x08, 0x74, 0x77, 0x70, 0x10, 0x9C, 0x40}},
        {"endpoint",
         MakeEndpointRequest(kMsgChangeRequest, Addr("10.0.0.2"), htons(3479), dst, dstPort, sock),
         {0x00, 0x0C, 0x74, 0x77, 0x70, 0x03, 0x0A, 0x00, 0x00, 0x02, 0x0D, 0x97}},
    };
    for (const BuilderCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Sent(c.msg), c.wire);
        EXPECT_EQ(c.msg.sendLength, ReadBe16(c.msg.data));  // sendLength equals the length field
        EXPECT_EQ(c.msg.retryCount, 0);
        EXPECT_EQ(c.msg.maxRetries, 3);
        EXPECT_EQ(c.msg.lastSentTick, 0u);
        EXPECT_EQ(c.msg.retryIntervalMs, 3000u);
        EXPECT_EQ(c.msg.address, dst);
        EXPECT_EQ(c.msg.port, dstPort);
        EXPECT_EQ(c.msg.socket, sock);
    }
}

TEST(WireFormat, AnswerGoesBackUntrackedFromTheArrivalSocket) {
    ReceivedMessage req;
    const std::uint8_t search[12] = {0x00, 0x0C, 0x74, 0x77, 0x70, 0x0D,
                                     0x7F, 0x00, 0x00, 0x01, 0x26, 0x49};
    ASSERT_TRUE(MakeReceived(req, search, sizeof search, Addr("127.0.0.5"), htons(9801), 11));
    const NatMessage a = MakeAnswer(ReplyCode(MessageType(req)), req);
    EXPECT_EQ(Sent(a), (Bytes{0x00, 0x06, 0x7C, 0x77, 0x70, 0x0D}));
    EXPECT_LT(a.retryCount, 0);
    EXPECT_EQ(a.address, Addr("127.0.0.5"));
    EXPECT_EQ(a.port, htons(9801));
    EXPECT_EQ(a.socket, 11);
}

TEST(WireFormat, ReplyCodeSetsBit08OfTheTopByteOnly) {
    const struct {
        std::uint32_t request, reply;
    } rows[] = {
        {kMsgBindingRequest, 0x7C777002},
        {kMsgFriendPortReport, 0x7C777010},
        {kMsgUnusedRequest, 0x7C717001},
        {kMsgChangedAddressReply, kMsgChangedAddressAck},  // 0x77 becomes 0x7F
    };
    for (const auto& r : rows) {
        EXPECT_EQ(ReplyCode(r.request), r.reply) << std::hex << r.request;
        EXPECT_EQ(RequestCodeOf(r.reply), r.request) << std::hex << r.reply;
    }
    // Request and reply are two distinct codes.
    EXPECT_NE(ReplyCode(kMsgBindingRequest), kMsgBindingRequest);
}

TEST(WireFormat, ReadersUseFixedOffsetsWhateverTheLengthSays) {
    // Length field says 6, but the datagram carries 12 bytes: the body is still read.
    const std::uint8_t reply[12] = {0x00, 0x06, 0x7C, 0x77, 0x70, 0x02,
                                    0xC0, 0xA8, 0x01, 0x0A, 0x26, 0x49};
    ReceivedMessage r;
    ASSERT_TRUE(MakeReceived(r, reply, sizeof reply, 0, 0, 3));
    EXPECT_EQ(MessageType(r), 0x7C777002u);
    EXPECT_EQ(EndpointBodyAddress(r), Addr("192.168.1.10"));
    EXPECT_EQ(EndpointBodyPort(r), htons(9801));
    EXPECT_EQ(PortBody(r), htons(0xC0A8));
}

// A record reused for a shorter datagram must not show the previous one's body.
TEST(WireFormat, ReadersSeeZerosPastTheLength) {
    ReceivedMessage r;
    const std::uint8_t longer[12] = {0x00, 0x0C, 0x7C, 0x77, 0x70, 0x02,
                                     0xC0, 0xA8, 0x01, 0x0A, 0x26, 0x49};
    ASSERT_TRUE(MakeReceived(r, longer, sizeof longer, 1, 2, 3));
    const std::uint8_t shorter[3] = {0x00, 0x06, 0x7C};
    ASSERT_TRUE(MakeReceived(r, shorter, sizeof shorter, 4, 5, 6));
    EXPECT_EQ(r.length, 3);
    EXPECT_EQ(MessageType(r), 0x7C000000u);
    EXPECT_EQ(EndpointBodyAddress(r), 0u);
    EXPECT_EQ(EndpointBodyPort(r), 0);
    EXPECT_EQ(PortBody(r), 0);
    EXPECT_EQ(r.fromAddress, 4u);
    EXPECT_EQ(r.fromPort, 5);
    EXPECT_EQ(r.socket, 6);
}

TEST(WireFormat, ReceivedRecordTakesOneTo300Bytes) {
    const Bytes big(301, 0xAB);
    const struct {
        std::size_t len;
        bool accepted;
    } rows[] = {{0, false}, {1, true}, {300, true}, {301, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.len);
        ReceivedMessage r;
        r.length = 77;  // left alone when refused
        EXPECT_EQ(MakeReceived(r, big.data(), row.len, 1, 2, 3), row.accepted);
        EXPECT_EQ(r.length, row.accepted ? row.len : 77u);
    }
    ReceivedMessage r;
    EXPECT_FALSE(MakeReceived(r, nullptr, 6, 1, 2, 3));
}

// The keys are defined on the native (little-endian) reading of network-order fields.
TEST(RequestKey, WorkedKeysByteForByte) {
    if constexpr (std::endian::native != std::endian::little) {
        GTEST_SKIP() << "keys are given for a little-endian processor";
    }
    EXPECT_EQ(CUdpNetwork::MakeRequestKey(Addr("192.168.1.10"), htons(3478), kMsgBindingRequest),
              "167880896 38413 1953984514");
    EXPECT_EQ(CUdpNetwork::MakeRequestKey(Addr("255.255.255.255"), htons(9801), kMsgFriendSearch),
              "-001 18726 1953984525");
    // Short numbers are zero-padded to four characters.
    EXPECT_EQ(CUdpNetwork::MakeRequestKey(0, 1, 5), "0000 0001 0005");
}

}  // namespace
