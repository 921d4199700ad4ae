// The request handler without sockets: every request code's exact reply bytes and the local
// port each reply leaves from, what is dropped, the relay in both directions and the rate limit.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "net/messages.h"
#include "server/probe_handler.h"
#include "tests/server/test_udp.h"

namespace {

// 203.0.113.9:40000, the requester as the server sees it. Nothing is sent anywhere here.
constexpr std::uint32_t kClientAddr = 0x097100cb;
constexpr std::uint16_t kClientPort = 0x409c;
// Server1 at 127.0.0.2, Server2 at 127.0.0.3:3478 (network order).
constexpr std::uint32_t kServer1Addr = 0x0200007f;
constexpr std::uint32_t kServer2Addr = 0x0300007f;
constexpr std::uint16_t kServer2Port = 0x960d;
constexpr std::uint64_t kWall = 1'800'000'000'000;
const Bytes kKey = Hex("00112233445566778899aabbccddeeff");

struct Reply {
    LocalPort from;
    std::string hex;
};

struct Fixture {
    explicit Fixture(HandlerRoles roles, RateLimitSettings rate = {0, 1, 1024})
        : limiter(rate),
          signer(kKey, 77),
          verifier(kKey, 10'000),
          handler(roles, limiter, &signer, &verifier) {}

    Outcome Feed(const Bytes& d, LocalPort on, std::uint32_t from = kClientAddr,
                 std::uint16_t fromPort = kClientPort, std::uint64_t monoMs = 0) {
        return handler.Handle(d.data(), d.size(), from, fromPort, on, {monoMs, kWall}, out);
    }
    std::vector<Reply> Replies() const {
        std::vector<Reply> r;
        for (int i = 0; i < out.count; ++i) {
            const OutDatagram& d = out.items[static_cast<std::size_t>(i)];
            r.push_back({d.from, ToHex(Bytes(d.data, d.data + d.length))});
        }
        return r;
    }

    CRateLimiter limiter;
    CRelaySigner signer;
    CRelayVerifier verifier;
    CProbeHandler handler;
    HandlerOutput out;
};

// The three deployments: one process, and each server of a split pair.
// One row per line.
// clang-format off
const HandlerRoles kBothRoles = {.server1 = true, .server2 = true, .hasPartner = false, .partnerAddress = 0, .partnerPort = 0};
const HandlerRoles kSplitServer1 = {.server1 = true, .server2 = false, .hasPartner = true, .partnerAddress = kServer2Addr, .partnerPort = kServer2Port};
const HandlerRoles kSplitServer2 = {.server1 = false, .server2 = true, .hasPartner = true, .partnerAddress = kServer1Addr, .partnerPort = 0};
// clang-format on

TEST(ProbeHandler, EveryRequestCodeGetsItsExactReplyFromTheRightPort) {
    struct Row {
        const char* request;
        LocalPort arrivedOn;
        std::vector<Reply> replies;
    };
    using P = LocalPort;
    // One row per line.
    // clang-format off
    const Row rows[] = {
        // Binding: endpoint as seen, 203.0.113.9:40000.
        {"000674777002", P::Server1Main, {{P::Server1Main, "000c7c777002cb0071099c40"}}},
        {"000674777002", P::Server1Next, {{P::Server1Next, "000c7c777002cb0071099c40"}}},
        {"000674777002", P::Server2Main, {{P::Server2Main, "000c7c777002cb0071099c40"}}},
        // Change request: Server1 acknowledges, Server2 answers from its changed-address port.
        {"000c747770037f0000030d96", P::Server1Main, {{P::Server1Main, "00067c777003"}, {P::Server2Changed, "000677747005"}}},
        // Port change: from the port no client contacts, never from P or P+1.
        {"0008747770060d96", P::Server1Main, {{P::Server1PortChange, "00067c777006"}}},
        // Port as seen.
        {"000674777007", P::Server1Main, {{P::Server1Main, "00087c7770079c40"}}},
        {"000674777008", P::Server1Next, {{P::Server1Next, "00087c7770089c40"}}},
        {"000674777009", P::Server2Main, {{P::Server2Main, "00087c7770099c40"}}},
        {"00067477700a", P::Server1Main, {{P::Server1Main, "00087c77700a9c40"}}},
        {"00067477700b", P::Server1Main, {{P::Server1Main, "00087c77700b9c40"}}},
        {"00067477700e", P::Server1Main, {{P::Server1Main, "00087c77700e9c40"}}},
    };
    // clang-format on
    for (const Row& r : rows) {
        Fixture f(kBothRoles);
        EXPECT_EQ(f.Feed(Hex(r.request), r.arrivedOn), Outcome::Answered) << r.request;
        const std::vector<Reply> got = f.Replies();
        ASSERT_EQ(got.size(), r.replies.size()) << r.request;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].hex, r.replies[i].hex) << r.request;
            EXPECT_EQ(got[i].from, r.replies[i].from) << r.request;
            EXPECT_EQ(f.out.items[i].toAddress, kClientAddr);
            EXPECT_EQ(f.out.items[i].toPort, kClientPort);
        }
    }
}

TEST(ProbeHandler, DropsWithoutAnswer) {
    struct Row {
        const char* datagram;
        LocalPort arrivedOn;
        Outcome outcome;
    };
    using P = LocalPort;
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {"", P::Server1Main, Outcome::DroppedShort},
        {"0006747770", P::Server1Main, Outcome::DroppedShort},
        {"00067477700200", P::Server1Main, Outcome::DroppedBadLength},  // trailing byte
        {"000c74777002", P::Server1Main, Outcome::DroppedBadLength},  // claims 12, has 6
        {"ffff74777002", P::Server1Main, Outcome::DroppedBadLength},
        // Replies and unasked messages: answering them would let two servers ping-pong.
        {"000c7c777002cb0071099c40", P::Server1Main, Outcome::DroppedReply},
        {"00067c777003", P::Server1Main, Outcome::DroppedReply},
        {"000677747005", P::Server2Main, Outcome::DroppedReply},
        {"00067f747005", P::Server2Main, Outcome::DroppedReply},
        {"00067c77700c", P::Server1Main, Outcome::DroppedReply},
        // Codes meant for clients, never sent to a server on purpose.
        {"00067477700c", P::Server1Main, Outcome::DroppedUnknown},
        {"000c7477700d7f0000020d96", P::Server1Main, Outcome::DroppedUnknown},
        {"0008747770109c40", P::Server1Main, Outcome::DroppedUnknown},
        {"000674717001", P::Server1Main, Outcome::DroppedUnknown},
        {"000674777004", P::Server1Main, Outcome::DroppedUnknown},
        {"000612345678", P::Server1Main, Outcome::DroppedUnknown},
        // Change requests are Server1's business only.
        {"000c747770037f0000030d96", P::Server2Main, Outcome::DroppedUnknown},
        {"0008747770060d96", P::Server2Main, Outcome::DroppedUnknown},
        // The send-only ports: a client's 0x7F747005 acknowledgement lands here.
        {"00067f747005", P::Server2Changed, Outcome::DroppedSendOnly},
        {"000674777002", P::Server2Changed, Outcome::DroppedSendOnly},
        {"000674777002", P::Server1PortChange, Outcome::DroppedSendOnly},
    };
    // clang-format on
    for (const Row& r : rows) {
        Fixture f(kBothRoles);
        EXPECT_EQ(f.Feed(Hex(r.datagram), r.arrivedOn), r.outcome) << r.datagram;
        EXPECT_EQ(f.out.count, 0) << r.datagram;
    }
}

// Random datagrams in every deployment: no crash, at most two datagrams out, and nothing sent
// back to the requester is more than twice the size of what it sent (no amplification).
TEST(ProbeHandler, NeverAmplifiesWhateverArrives) {
    std::mt19937 rng(12345);
    const HandlerRoles modes[] = {kBothRoles, kSplitServer1, kSplitServer2};
    const std::uint32_t codes[] = {0x74777002, 0x74777003, 0x74777006, 0x7477700e,
                                   0x52777005, 0x7c777002, 0x74777009};
    for (const HandlerRoles& roles : modes) {
        Fixture f(roles);
        for (int i = 0; i < 20000; ++i) {
            Bytes d(rng() % 72);
            for (auto& b : d)
                b = static_cast<std::uint8_t>(rng());
            if (d.size() >= 6 && rng() % 2) {  // make many of them well-formed
                d[0] = static_cast<std::uint8_t>(d.size() >> 8);
                d[1] = static_cast<std::uint8_t>(d.size());
                const std::uint32_t c = codes[rng() % std::size(codes)];
                d[2] = c >> 24, d[3] = (c >> 16) & 0xff, d[4] = (c >> 8) & 0xff, d[5] = c & 0xff;
            }
            const auto on = static_cast<LocalPort>(rng() % kLocalPortCount);
            const std::uint32_t from = rng() % 2 ? kClientAddr : kServer1Addr;
            f.Feed(d, on, from);
            ASSERT_LE(f.out.count, 2);
            for (int k = 0; k < f.out.count; ++k) {
                const OutDatagram& o = f.out.items[static_cast<std::size_t>(k)];
                if (o.toAddress == from) {
                    EXPECT_LE(o.length, 2 * d.size());
                } else {
                    // Random bytes never pass the relay check, so the only datagram that goes
                    // elsewhere is Server1's relay to its own partner.
                    EXPECT_TRUE(roles.server1 && roles.hasPartner);
                    EXPECT_EQ(o.toAddress, roles.partnerAddress);
                    EXPECT_EQ(o.toPort, roles.partnerPort);
                }
            }
        }
    }
}

TEST(ProbeHandler, SplitServer1RelaysOnlyToItsPartnerWhateverTheBodyNames) {
    Fixture f(kSplitServer1);
    // The body names 10.9.8.7:1; the relay still goes to the configured 127.0.0.3:3478.
    ASSERT_EQ(f.Feed(Hex("000c747770030a0908070001"), LocalPort::Server1Main), Outcome::Answered);
    ASSERT_EQ(f.out.count, 2);
    EXPECT_EQ(ToHex(Bytes(f.out.items[0].data, f.out.items[0].data + 6)), "00067c777003");
    const OutDatagram& relay = f.out.items[1];
    EXPECT_EQ(relay.from, LocalPort::Server1PortChange);
    EXPECT_EQ(relay.toAddress, kServer2Addr);
    EXPECT_EQ(relay.toPort, kServer2Port);
    ASSERT_EQ(relay.length, kRelayLength);
    RelayRequest r;
    ASSERT_EQ(f.verifier.Verify(relay.data, relay.length, kWall, &r), RelayCheck::Accepted);
    EXPECT_EQ(r.clientAddress, kClientAddr);
    EXPECT_EQ(r.clientPort, kClientPort);
    EXPECT_EQ(r.timestampMs, kWall);
}

TEST(ProbeHandler, SplitServer2AnswersRelaysFromItsPartnerOnly) {
    Fixture f(kSplitServer2);
    Bytes relay(kRelayLength);
    f.signer.Encode(kClientAddr, kClientPort, kWall, relay.data());

    // Same bytes from anyone but Server1's address: refused, whatever the key says.
    EXPECT_EQ(f.Feed(relay, LocalPort::Server2Main, 0x0400007f, 0x5000), Outcome::RelaySpoofed);
    EXPECT_EQ(f.out.count, 0);

    ASSERT_EQ(f.Feed(relay, LocalPort::Server2Main, kServer1Addr, 0x1111), Outcome::RelayAccepted);
    ASSERT_EQ(f.out.count, 1);
    EXPECT_EQ(f.out.items[0].from, LocalPort::Server2Changed);
    EXPECT_EQ(f.out.items[0].toAddress, kClientAddr);
    EXPECT_EQ(f.out.items[0].toPort, kClientPort);
    EXPECT_EQ(ToHex(Bytes(f.out.items[0].data, f.out.items[0].data + 6)), "000677747005");

    EXPECT_EQ(f.Feed(relay, LocalPort::Server2Main, kServer1Addr, 0x1111), Outcome::RelayReplayed);
    EXPECT_EQ(f.out.count, 0);

    Bytes forged = relay;
    forged[9] ^= 1;  // redirect it at another address
    EXPECT_EQ(f.Feed(forged, LocalPort::Server2Main, kServer1Addr, 0x1111), Outcome::RelayBadMac);
    EXPECT_EQ(f.out.count, 0);
}

// A relay from the partner's address with a sequence far ahead of its timestamp is dropped and
// counted, and does not make the honest relays that follow look like replays.
TEST(ProbeHandler, SplitServer2RefusesSequenceFarAheadThenAcceptsHonestRelays) {
    Fixture f(kSplitServer2);
    CRelaySigner poisoner(kKey, ~std::uint64_t{0});
    Bytes poison(kRelayLength);
    poisoner.Encode(kClientAddr, kClientPort, kWall, poison.data());
    EXPECT_EQ(f.Feed(poison, LocalPort::Server2Main, kServer1Addr, 0x1111),
              Outcome::RelaySequenceAhead);
    EXPECT_EQ(f.out.count, 0);
    EXPECT_STREQ(OutcomeName(Outcome::RelaySequenceAhead), "relay_sequence_ahead");
    for (int i = 0; i < 3; ++i) {
        Bytes relay(kRelayLength);
        f.signer.Encode(kClientAddr, kClientPort, kWall, relay.data());
        EXPECT_EQ(f.Feed(relay, LocalPort::Server2Main, kServer1Addr, 0x1111),
                  Outcome::RelayAccepted)
            << i;
    }
}

// Every way a relay can fail is counted under its own cause (the counters line names them).
TEST(ProbeHandler, SplitServer2CountsEachRelayRefusalByItsCause) {
    struct Row {
        const char* name;
        std::uint64_t signedAtMs;  // the relay's timestamp
        std::size_t length;        // of the datagram handed in, with its length field to match
        Outcome outcome;
    };
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.name = "fresh", .signedAtMs = kWall, .length = kRelayLength, .outcome = Outcome::RelayAccepted},
        {.name = "header only", .signedAtMs = kWall, .length = kHeaderLength, .outcome = Outcome::RelayMalformed},
        {.name = "10 s and 1 ms old", .signedAtMs = kWall - 10'001, .length = kRelayLength, .outcome = Outcome::RelayStale},
    };
    // clang-format on
    for (const Row& r : rows) {
        Fixture f(kSplitServer2);
        Bytes relay(kRelayLength);
        f.signer.Encode(kClientAddr, kClientPort, r.signedAtMs, relay.data());
        relay.resize(r.length);
        relay[1] = static_cast<std::uint8_t>(r.length);
        EXPECT_EQ(f.Feed(relay, LocalPort::Server2Main, kServer1Addr), r.outcome) << r.name;
    }
}

TEST(ProbeHandler, RelaysAreRefusedWhenThisProcessHasBothRoles) {
    Fixture f(kBothRoles);
    Bytes relay(kRelayLength);
    f.signer.Encode(kClientAddr, kClientPort, kWall, relay.data());
    EXPECT_EQ(f.Feed(relay, LocalPort::Server2Main, kServer1Addr), Outcome::RelaySpoofed);
    EXPECT_EQ(f.Feed(relay, LocalPort::Server1Main, kServer1Addr), Outcome::DroppedUnknown);
    EXPECT_EQ(f.out.count, 0);
}

TEST(ProbeHandler, RateLimitPerSourceAddress) {
    Fixture f(kBothRoles, {10, 3, 1024});
    const Bytes binding = Hex("000674777002");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(f.Feed(binding, LocalPort::Server1Main, kClientAddr, 1, 0), Outcome::Answered);
    }
    // Another port of the same address shares the bucket: the limit protects an address.
    EXPECT_EQ(f.Feed(binding, LocalPort::Server1Next, kClientAddr, 2, 0), Outcome::RateLimited);
    EXPECT_EQ(f.out.count, 0);
    EXPECT_EQ(f.Feed(binding, LocalPort::Server1Main, 0x0800007f, 1, 0), Outcome::Answered);
    EXPECT_EQ(f.Feed(binding, LocalPort::Server1Main, kClientAddr, 1, 100), Outcome::Answered)
        << "one token back after 100 ms at 10/s";
    // Garbage does not spend tokens: only what would be answered is counted.
    Fixture g(kBothRoles, {10, 1, 1024});
    EXPECT_EQ(g.Feed(Hex("000612345678"), LocalPort::Server1Main), Outcome::DroppedUnknown);
    EXPECT_EQ(g.Feed(binding, LocalPort::Server1Main), Outcome::Answered);
}

TEST(ProbeHandler, RelayedAnswerChargesTheNamedClient) {
    Fixture f(kSplitServer2, {10, 1, 1024});
    Bytes a(kRelayLength), b(kRelayLength);
    f.signer.Encode(kClientAddr, kClientPort, kWall, a.data());
    f.signer.Encode(kClientAddr, kClientPort, kWall, b.data());
    EXPECT_EQ(f.Feed(a, LocalPort::Server2Main, kServer1Addr), Outcome::RelayAccepted);
    EXPECT_EQ(f.Feed(b, LocalPort::Server2Main, kServer1Addr), Outcome::RateLimited);
    EXPECT_EQ(f.out.count, 0);
}

}  // namespace
