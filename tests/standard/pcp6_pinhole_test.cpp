// CPcp6Pinhole against a recording fake router: what went out, byte for byte and when, for
// each way the router answers; time is an explicit number of milliseconds.

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "core/log.h"
#include "standard/pcp6_pinhole.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Ipv6Bytes kRouter = *ParseIpv6("fe80::1");
const Ipv6Bytes kHost = *ParseIpv6("2001:db8:0:2::11");
const Endpoint kPcpServer = Endpoint::Ipv6(kRouter, kPortMapServerPort);
constexpr std::uint16_t kPort = 40001;
constexpr int kSocket = 7;
const PcpNonce kNonce = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

Bytes Append(Bytes b, const Ipv6Bytes& a) {
    b.insert(b.end(), a.begin(), a.end());
    return b;
}

// RFC 6887 section 7.1 and 11.1: the request a host sends to open UDP port 40001 on its
// global address for 120 s (lifetime 0: the deletion, suggested port 0).
Bytes MapRequestBytes(std::uint32_t lifetime) {
    const std::uint8_t hi = lifetime == 0 ? 0 : 0x9c, lo = lifetime == 0 ? 0 : 0x41;
    Bytes b = {2, kPcpMap, 0, 0,                                     // version 2, MAP, reserved
               0, 0,       0, static_cast<std::uint8_t>(lifetime)};  // lifetime (below 256 here)
    b = Append(b, kHost);                                            // PCP client address
    b.insert(b.end(), kNonce.begin(), kNonce.end());                 // mapping nonce
    const Bytes rest = {17,   0,    0, 0,                            // UDP, reserved
                        0x9c, 0x41,                                  // internal port 40001
                        hi,   lo};  // suggested external port: the same, or 0
    b.insert(b.end(), rest.begin(), rest.end());
    return Append(b, Ipv6Bytes{});  // suggested external address ::: no preference
}
Bytes AnnounceBytes() {
    return Append({2, kPcpAnnounce, 0, 0, 0, 0, 0, 0}, kHost);
}

// The router's answers (RFC 6887 section 7.2 and 11.2).
Bytes Answer(std::uint8_t opcode, std::uint8_t result, std::uint32_t lifetime = 120,
             PcpNonce nonce = kNonce) {
    Bytes b = {2, static_cast<std::uint8_t>(opcode | kPcpResponseBit),
               0, result,
               0, 0,
               0, static_cast<std::uint8_t>(lifetime),
               0, 0,
               0, 9};
    b.resize(kPcpHeaderLength, 0);
    if (opcode == kPcpMap) {
        b.insert(b.end(), nonce.begin(), nonce.end());
        const Bytes ports = {17, 0, 0, 0, 0x9c, 0x41, 0x9c, 0x41};
        b.insert(b.end(), ports.begin(), ports.end());
        b = Append(b, kHost);  // a firewall translates nothing
    }
    return b;
}

struct Sent {
    std::uint64_t atMs;
    Endpoint to;
    Bytes bytes;
};

// Records every datagram; the test answers by hand.
class CFakeRouter : public IStunTransport {
public:
    std::vector<Sent> sent;
    std::uint64_t now = 0;
    int Open() override { return -1; }
    void Close(int) override {}
    bool Send(int socket, const Endpoint& to, std::span<const std::uint8_t> bytes) override {
        EXPECT_EQ(socket, kSocket);
        sent.push_back({now, to, Bytes(bytes.begin(), bytes.end())});
        return true;
    }
};

class Pcp6PinholeTest : public ::testing::Test {
protected:
    void SetUp() override { theLog.SetOutputWindow(&log); }
    void TearDown() override { theLog.SetOutputWindow(nullptr); }

    void Start(bool map = true) {
        Pcp6Config c;
        c.gateway = kRouter;
        c.client = kHost;
        c.socketId = kSocket;
        c.internalPort = kPort;
        c.map = map;
        c.nonce = kNonce;
        pinhole.Start(c, 0);
    }
    // Moves time to `ms`, through every deadline before it.
    void RunTo(std::uint64_t ms) {
        for (int i = 0; i < 100 && pinhole.Running(); ++i) {
            const std::uint64_t d = *pinhole.NextDeadline();
            if (d > ms)
                break;
            router.now = d;
            pinhole.OnTimer(d);
        }
        router.now = ms;
    }
    void Reply(const Bytes& b, const Endpoint& from = kPcpServer) {
        pinhole.OnDatagram(kSocket, from, b, router.now);
    }
    std::vector<Bytes> SentBytes() const {
        std::vector<Bytes> v;
        for (const Sent& s : router.sent) {
            EXPECT_EQ(s.to, kPcpServer);
            v.push_back(s.bytes);
        }
        return v;
    }

    CStringLogTarget log;
    CFakeRouter router;
    CPcp6Pinhole pinhole{router};
};

TEST_F(Pcp6PinholeTest, OpensThePinholeAndDeletesIt) {
    Start();
    Reply(Answer(kPcpAnnounce, kPcpSuccess, 0));
    Reply(Answer(kPcpMap, kPcpSuccess));
    Reply(Answer(kPcpMap, kPcpSuccess, 0));
    EXPECT_FALSE(pinhole.Running());
    EXPECT_EQ(SentBytes(),
              (std::vector<Bytes>{AnnounceBytes(), MapRequestBytes(120), MapRequestBytes(0)}));
    const Pcp6Outcome& o = pinhole.Outcome();
    EXPECT_TRUE(o.present);
    EXPECT_EQ(o.external, (Ipv6Endpoint{kHost, kPort}));
    EXPECT_EQ(o.lifetimeSeconds, 120u);
    EXPECT_EQ(o.deleted, true);
    EXPECT_NE(log.Text().find("pinhole [2001:db8:0:2::11]:40001 open for 120 s"),
              std::string::npos);
}

// The exact request bytes, the retransmission times and what each way out leaves behind.
TEST_F(Pcp6PinholeTest, EveryWayOutDeletesWhatMayExist) {
    struct Case {
        const char* name;
        bool map;
        std::optional<Bytes> announceAnswer, mapAnswer;
        bool abortDuringMap;
        std::vector<std::uint64_t> sentAt;  // 0 ANNOUNCE, then MAP, then the deletion's
        bool mapSent;
        std::optional<bool> deleted;
    };
    const Bytes ok = Answer(kPcpAnnounce, kPcpSuccess, 0);
    // clang-format off
    const Case cases[] = {
        // ANNOUNCE at 0, 250, 750, 1750 ms, given up at 2000: nothing mapped, nothing to delete.
        {"no router", true, std::nullopt, std::nullopt, false, {0, 250, 750, 1750}, false, std::nullopt},
        {"ask only", false, ok, std::nullopt, false, {0}, false, std::nullopt},
        {"ANNOUNCE refused", true, Answer(kPcpAnnounce, kPcpNotAuthorized, 0), std::nullopt, false, {0}, false, std::nullopt},
        // A lost answer may still mean a pinhole: the deletion goes (1 s, unanswered here).
        {"MAP unanswered", true, ok, std::nullopt, false, {0, 10, 260, 760, 1760, 2010, 2260, 2760}, true, false},
        {"MAP refused", true, ok, Answer(kPcpMap, kPcpNotAuthorized), false, {0, 10, 10, 260, 760}, true, false},
        {"stopped while mapping", true, ok, std::nullopt, true, {0, 10, 100, 350, 850}, true, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        router = CFakeRouter{};
        Start(c.map);
        router.now = 10;
        if (c.announceAnswer)
            Reply(*c.announceAnswer);
        if (c.abortDuringMap) {
            RunTo(100);
            pinhole.Abort(100);
        }
        if (c.mapAnswer)
            Reply(*c.mapAnswer);
        RunTo(10000);
        EXPECT_FALSE(pinhole.Running());
        std::vector<std::uint64_t> at;
        for (const Sent& s : router.sent)
            at.push_back(s.atMs);
        EXPECT_EQ(at, c.sentAt);
        EXPECT_EQ(pinhole.Outcome().mapSent, c.mapSent);
        EXPECT_EQ(pinhole.Outcome().deleted, c.deleted);
        if (c.mapSent) {
            EXPECT_EQ(router.sent.back().bytes, MapRequestBytes(0));
        }
    }
}

// Only the router's port 5351, with this request's nonce, is an answer.
TEST_F(Pcp6PinholeTest, IgnoresAnswersThatAreNotTheRouters) {
    Start();
    Reply(Answer(kPcpAnnounce, kPcpSuccess, 0), Endpoint::Ipv6(kRouter, 5350));
    Reply(Answer(kPcpAnnounce, kPcpSuccess, 0), Endpoint::Ipv6(kHost, kPortMapServerPort));
    EXPECT_FALSE(pinhole.Outcome().present);
    Reply(Answer(kPcpAnnounce, kPcpSuccess, 0));
    PcpNonce other = kNonce;
    other[0] ^= 1;
    Reply(Answer(kPcpMap, kPcpSuccess, 120, other));
    Reply(Answer(kPcpAnnounce, kPcpSuccess, 0));
    EXPECT_FALSE(pinhole.Outcome().mapResult.has_value());
    EXPECT_EQ(router.sent.size(), 2u);  // the ANNOUNCE and the MAP, still waiting
}

}  // namespace
