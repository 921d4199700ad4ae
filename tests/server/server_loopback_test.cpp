// Real sockets on loopback: the in-process server and the gatewise-server binary (both roles in
// one process, and a split pair talking through the relay datagram). Servers listen on
// 127.0.0.2 (Server1) and 127.0.0.3 (Server2) at ports found free at the start of each test;
// the IPv6 ones on ::1, and on ::1 and ::2 in a network namespace of the test's own.

#include <gtest/gtest.h>

#include <sched.h>
#include <algorithm>
#include <chrono>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "net/address_text.h"
#include "net/stun_message.h"
#include "server/probe_server.h"
#include "server/relay.h"
#include "server/server_config.h"
#include "server/server_log.h"
#include "tests/server/test_udp.h"

namespace {

const std::string kS1 = "127.0.0.2";
const std::string kS2 = "127.0.0.3";
const std::string kKeyHex = "8899aabbccddeeff0011223344556677";

std::string Port4(std::uint16_t p) {
    char b[5];
    std::snprintf(b, sizeof b, "%04x", p);
    return b;
}

// The client's endpoint as the servers see it: 127.0.0.1 and the socket's port.
std::string SeenEndpoint(const CTestSocket& s) {
    return "7f000001" + Port4(s.Port());
}

std::string At(const std::string& address, int port) {
    return address + ":" + std::to_string(port);
}

// Both roles in one process: Server1 at kS1:base, Server2 at kS2:base+10.
std::vector<std::string> BothRolesArgs(std::uint16_t base) {
    return {"--server1", At(kS1, base), "--server2", At(kS2, base + 10)};
}

// Server2 of a split pair at kS2:base+10, taking relays from kS1 (signed with kKeyHex if keyed).
std::vector<std::string> SplitServer2Args(std::uint16_t base, bool keyed) {
    std::vector<std::string> args = {"--server2", At(kS2, base + 10), "--partner", kS1};
    if (keyed)
        args.insert(args.end(), {"--key-hex", kKeyHex});
    return args;
}

// A relay for client's endpoint, stamped now.
Bytes RelayFor(CRelaySigner& signer, const CTestSocket& client) {
    Bytes b(kRelayLength);
    signer.Encode(client.AddressNet(), client.PortNet(), WallMs(), b.data());
    return b;
}

struct Expect {
    std::string fromAddress;
    std::uint16_t fromPort;
    std::string hex;
    bool operator<(const Expect& o) const { return hex < o.hex; }
    bool operator==(const Expect& o) const {
        return fromAddress == o.fromAddress && fromPort == o.fromPort && hex == o.hex;
    }
};

std::ostream& operator<<(std::ostream& os, const Expect& e) {
    return os << e.hex << " from " << e.fromAddress << ":" << e.fromPort;
}

// Collects up to n datagrams within timeoutMs, sorted by content.
std::vector<Expect> Collect(CTestSocket& s, std::size_t n, int timeoutMs) {
    std::vector<Expect> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        auto r = s.Receive(static_cast<int>(left));
        if (!r)
            break;
        got.push_back({r->fromAddress, r->fromPort, ToHex(r->data)});
    }
    std::sort(got.begin(), got.end());
    return got;
}

// Every request code against servers at kS1:p1 and kS2:p2 with default reply ports.
void CheckContract(std::uint16_t p1, std::uint16_t p2) {
    CTestSocket c;
    ASSERT_TRUE(c.Valid());
    const std::string port = Port4(c.Port());
    struct Row {
        std::string to;
        std::uint16_t toPort;
        std::string request;
        std::vector<Expect> replies;
    };
    const auto q = static_cast<std::uint16_t>(p2 + 1);
    const auto pNext = static_cast<std::uint16_t>(p1 + 1);
    const auto pChange = static_cast<std::uint16_t>(p1 + 2);
    // One row per line.
    // clang-format off
    const std::vector<Row> rows = {
        {kS1, p1, "000674777002", {{kS1, p1, "000c7c777002" + SeenEndpoint(c)}}},
        {kS1, pNext, "000674777002", {{kS1, pNext, "000c7c777002" + SeenEndpoint(c)}}},
        {kS2, p2, "000674777002", {{kS2, p2, "000c7c777002" + SeenEndpoint(c)}}},
        {kS1, p1, "000c747770037f000003" + Port4(p2), {{kS1, p1, "00067c777003"}, {kS2, q, "000677747005"}}},
        {kS1, p1, "000874777006" + Port4(p2), {{kS1, pChange, "00067c777006"}}},
        {kS1, p1, "000674777007", {{kS1, p1, "00087c777007" + port}}},
        {kS1, pNext, "000674777008", {{kS1, pNext, "00087c777008" + port}}},
        {kS2, p2, "000674777009", {{kS2, p2, "00087c777009" + port}}},
        {kS1, p1, "00067477700a", {{kS1, p1, "00087c77700a" + port}}},
        {kS1, p1, "00067477700b", {{kS1, p1, "00087c77700b" + port}}},
        {kS1, p1, "00067477700e", {{kS1, p1, "00087c77700e" + port}}},
    };
    // clang-format on
    for (const Row& r : rows) {
        ASSERT_TRUE(c.SendTo(r.to, r.toPort, Hex(r.request)));
        std::vector<Expect> want = r.replies;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(Collect(c, want.size(), 2000), want) << r.request;
    }
    // Each transmission is answered (the client retransmits up to three times), and nothing
    // more than asked for arrives.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(c.SendTo(kS1, p1, Hex("000674777007")));
    EXPECT_EQ(Collect(c, 4, 500).size(), 3u);
}

// --- In-process server -----------------------------------------------------------------

class InProcessServer : public ::testing::Test {
protected:
    void StartServer(const std::vector<std::string>& extra) {
        SetServerLogMuted(true);
        const auto args = [&extra](std::uint16_t base) {
            std::vector<std::string> a = BothRolesArgs(base);
            a.insert(a.end(), {"--workers", "2"});
            a.insert(a.end(), extra.begin(), extra.end());
            return a;
        };
        std::string error;
        m_server = StartInProcessServer(kS1, 3, kS2, 2, args, m_p1, error);
        ASSERT_TRUE(m_server) << error;
        m_p2 = static_cast<std::uint16_t>(m_p1 + 10);
    }
    void TearDown() override {
        if (m_server)
            m_server->Stop();
        SetServerLogMuted(false);
    }

    std::unique_ptr<CProbeServer> m_server;
    std::uint16_t m_p1 = 0;
    std::uint16_t m_p2 = 0;
};

TEST_F(InProcessServer, EveryRequestAnsweredFromTheAddressAndPortAsked) {
    StartServer({});
    CheckContract(m_p1, m_p2);
}

// Each bad datagram is followed by a binding request on the same socket pair, which the same
// worker reads next: if the first thing back is the binding reply, the bad one got no answer.
TEST_F(InProcessServer, MalformedUnknownAndRepliesGetNoAnswer) {
    StartServer({});
    CTestSocket c;
    const std::vector<Bytes> bad = {
        Hex("0006747770"),      // truncated header
        Hex("000c74777002"),    // length says 12, datagram has 6
        Hex("00067477700200"),  // one byte more than the length says
        Hex("000612345678"),    // unknown code
        Hex("00067c777002"),    // a reply code
        Hex("000677747005"),    // the unasked message
        Hex("00067477700c"),    // loopback probe: for clients only
        Bytes(2000, 0x74),      // larger than any datagram we read
    };
    for (const Bytes& b : bad) {
        ASSERT_TRUE(c.SendTo(kS1, m_p1, b));
        ASSERT_TRUE(c.SendTo(kS1, m_p1, Hex("000674777002")));
        auto r = c.Receive(2000);
        ASSERT_TRUE(r.has_value()) << ToHex(b);
        EXPECT_EQ(ToHex(r->data), "000c7c777002" + SeenEndpoint(c)) << ToHex(b).substr(0, 40);
    }
    // The send-only ports answer nothing, not even a binding request.
    ASSERT_TRUE(c.SendTo(kS2, static_cast<std::uint16_t>(m_p2 + 1), Hex("000674777002")));
    ASSERT_TRUE(c.SendTo(kS1, static_cast<std::uint16_t>(m_p1 + 2), Hex("000674777002")));
    EXPECT_FALSE(c.Receive(300).has_value());
    const ServerCounters n = m_server->Counters();
    EXPECT_EQ(n.oversized, 1u);
    EXPECT_EQ(n.outcomes[static_cast<int>(Outcome::DroppedSendOnly)], 2u);
}

TEST_F(InProcessServer, FloodFromOneSourceIsLimitedOthersStillAnswered) {
    StartServer({"--rate-limit", "50", "--rate-burst", "20"});
    CTestSocket flooder("127.0.0.5");
    CTestSocket bystander("127.0.0.6");
    ASSERT_TRUE(flooder.Valid() && bystander.Valid());
    const auto start = std::chrono::steady_clock::now();
    int bystanderAnswers = 0;
    for (int i = 0; i < 500; ++i) {
        flooder.SendTo(kS1, m_p1, Hex("000674777002"));
        if (i % 100 == 0) {
            bystander.SendTo(kS1, m_p1, Hex("000674777002"));
            if (bystander.Receive(1000))
                ++bystanderAnswers;
        }
    }
    const std::size_t floodAnswers = Collect(flooder, 1000, 300).size();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(bystanderAnswers, 5);
    EXPECT_GE(floodAnswers, 20u);
    EXPECT_LE(static_cast<double>(floodAnswers), 20 + 50 * seconds + 2);
    EXPECT_GE(m_server->Counters().outcomes[static_cast<int>(Outcome::RateLimited)], 400u);
}

// --- The gatewise-server binary --------------------------------------------------------------

// Starts the binary with args built for a free port base; retries when a parallel test took
// the ports in between.
std::unique_ptr<CServerProcess> StartBinary(
    const std::function<std::vector<std::string>(std::uint16_t)>& argsFor, const std::string& addr,
    int portOffset, std::uint16_t& baseOut) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::uint16_t base = FindFreePortBase(kS1, 3, kS2, 2);
        if (base == 0)
            break;
        auto p = std::make_unique<CServerProcess>(argsFor(base));
        if (p->Started() &&
            WaitUntilAnswering(addr, static_cast<std::uint16_t>(base + portOffset))) {
            baseOut = base;
            return p;
        }
    }
    return nullptr;
}

std::unique_ptr<CServerProcess> StartSplitServer2(bool keyed, std::uint16_t& baseOut) {
    return StartBinary([keyed](std::uint16_t b) { return SplitServer2Args(b, keyed); }, kS2, 10,
                       baseOut);
}

// A split Server2 without a key, a socket at its partner's address and a client the relays name.
class UnkeyedServer2 {
public:
    struct Parts_ {
        std::unique_ptr<CServerProcess> server2;
        std::uint16_t clientPort = 0;  // Server2's client port, host order
        CTestSocket partner{kS1};
        CTestSocket client;
    };
    UnkeyedServer2() {
        std::uint16_t base = 0;
        m.server2 = StartSplitServer2(false, base);
        m.clientPort = static_cast<std::uint16_t>(base + 10);
    }
    bool Ok() const { return m.server2 && m.partner.Valid() && m.client.Valid(); }
    Parts_& Parts() { return m; }

private:
    Parts_ m;
};

// One datagram from fd to [to]:port (network order; ::1 unless given) and the first one back,
// waiting at most 1 s; got: how many came.
int Exchange6(int fd, std::uint16_t portNet, const Bytes& out, CRecvBatch& in,
              const char* to = "::1") {
    const auto send = std::make_unique<CSendBatch>();
    send->Add6(*ParseIpv6(to), portNet, out.data(), out.size());
    if (send->Flush(fd) != 0)
        return 0;
    for (int i = 0; i < 200; ++i) {
        if (const int got = in.Receive(fd); got > 0)
            return got;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 0;
}

// A whole RFC 5780 server over IPv6 needs a second address: ::2, added inside a network
// namespace of the test's own, which one thread enters (the server it starts and every socket
// stay there; the namespace goes with them). Each change is answered from the IPv6 socket
// RESPONSE-ORIGIN names. Skipped where no namespace can be made (not root).
TEST(InProcessServer6, Rfc5780OverIpv6InANamespaceOfItsOwn) {
    struct Row {
        std::uint32_t flags;
        const char* origin;  // address
        std::uint16_t port;
    };
    const Row rows[] = {{0, "::1", 3478},
                        {kStunChangePort, "::1", 3479},
                        {kStunChangeIp, "::2", 3478},
                        {kStunChangeIp | kStunChangePort, "::2", 3479}};
    std::string skip;
    std::vector<StunMessage> answers;
    std::vector<StunAddress> senders;
    std::thread inside([&] {
        if (::unshare(CLONE_NEWNET) != 0 ||
            std::system("ip link set lo up && ip -6 addr add ::2/128 dev lo nodad") != 0) {
            skip = "cannot make a network namespace with ::2 here";
            return;
        }
        ServerConfig cfg;
        std::string error;
        if (ParseServerArgs(
                {"--server1", "[::1]:3478", "--server2", "[::2]:3478", "--workers", "1"}, cfg,
                error, {}) != ParseStatus::Ok) {
            skip = error;
            return;
        }
        CProbeServer server(cfg);
        const int client = OpenUdpSocket6(*ParseIpv6("::1"), 0, false, error);
        if (!server.Start(error) || client < 0) {
            skip = error;
            return;
        }
        const auto recv = std::make_unique<CRecvBatch>();
        for (const Row& r : rows) {
            StunMessage req;
            req.hasChangeRequest = true;
            req.changeFlags = r.flags;
            Bytes wire(64);
            wire.resize(EncodeStun(req, wire.data(), wire.size()));
            StunMessage resp;
            if (Exchange6(client, PortToNet(3478), wire, *recv) == 1)
                ParseStun(recv->Data(0), recv->Length(0), resp);
            answers.push_back(resp);
            senders.push_back(StunIpv6(recv->FromAddress6(0), recv->FromPort(0)));
        }
        CloseUdpSocket(client);
        server.Stop();
    });
    inside.join();
    if (!skip.empty())
        GTEST_SKIP() << skip;
    ASSERT_EQ(answers.size(), std::size(rows));
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const StunAddress want = StunIpv6(*ParseIpv6(rows[i].origin), PortToNet(rows[i].port));
        EXPECT_EQ(answers[i].responseOrigin, want) << rows[i].flags;
        EXPECT_EQ(senders[i], want) << rows[i].flags;
        EXPECT_EQ(answers[i].otherAddress, StunIpv6(*ParseIpv6("::2"), PortToNet(3479)));
    }
}

// The binary with IPv6 roles alone on ::1 (ports B, B+1 and B+2, B+3): a Binding request is
// answered with the client's IPv6 address; the two roles on different ports are no RFC 5780
// server, so the answer names no OTHER-ADDRESS.
TEST(ServerBinary, StandardStunOverIpv6Alone) {
    const Ipv6Bytes lo = *ParseIpv6("::1");
    std::string error;
    const int client = OpenUdpSocket6(lo, 0, false, error);
    ASSERT_GE(client, 0) << error;
    std::uint16_t base = 0;
    for (std::uint16_t b = 21000; b < 31000 && base == 0; b += 10) {
        int fds[4];
        int open = 0;
        while (open < 4 && (fds[open] = OpenUdpSocket6(lo, static_cast<std::uint16_t>(b + open),
                                                       false, error)) >= 0)
            ++open;
        for (int i = 0; i < open; ++i)
            CloseUdpSocket(fds[i]);
        if (open == 4)
            base = b;
    }
    ASSERT_NE(base, 0);
    CServerProcess server({"--server1", "[::1]:" + std::to_string(base), "--server2",
                           "[::1]:" + std::to_string(base + 2), "--stats-interval", "0"});
    ASSERT_TRUE(server.Started());
    ASSERT_TRUE(server.WaitForLog("STUN over IPv6 on [::1]:" + std::to_string(base), 3000))
        << server.Log();
    const auto recv = std::make_unique<CRecvBatch>();
    StunMessage req;
    req.transactionId = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    Bytes wire(64);
    wire.resize(EncodeStun(req, wire.data(), wire.size()));
    int got = 0;
    for (int attempt = 0; attempt < 5 && got == 0; ++attempt)  // until the server listens
        got = Exchange6(client, PortToNet(base), wire, *recv);
    ASSERT_EQ(got, 1) << server.Log();
    StunMessage resp;
    ASSERT_EQ(ParseStun(recv->Data(0), recv->Length(0), resp), StunParseError::None);
    EXPECT_EQ(resp.cls, StunClass::Success);
    EXPECT_EQ(resp.xorMapped, StunIpv6(lo, PortToNet(LocalPortOf(client))));
    EXPECT_EQ(resp.responseOrigin, StunIpv6(lo, PortToNet(base)));
    EXPECT_FALSE(resp.otherAddress.present);

    EXPECT_EQ(server.Stop(), 0) << server.Log();
    CloseUdpSocket(client);
}

TEST(ServerBinary, BothRolesInOneProcessCountersAndCleanStop) {
    std::uint16_t base = 0;
    auto server = StartBinary(BothRolesArgs, kS1, 0, base);
    ASSERT_TRUE(server);
    CheckContract(base, static_cast<std::uint16_t>(base + 10));
    ASSERT_TRUE(server->Signal(SIGUSR1));
    EXPECT_TRUE(server->WaitForLog("counters (SIGUSR1): received=", 3000)) << server->Log();
    EXPECT_EQ(server->Stop(), 0) << server->Log();  // SIGUSR1 did not stop it; SIGTERM did
    EXPECT_NE(server->Log().find("stopped"), std::string::npos) << server->Log();
}

TEST(ServerBinary, SplitPairThroughTheRelay) {
    std::uint16_t base = 0;
    auto server2 = StartSplitServer2(true, base);
    ASSERT_TRUE(server2);
    CServerProcess server1(
        {"--server1", At(kS1, base), "--partner", At(kS2, base + 10), "--key-hex", kKeyHex});
    ASSERT_TRUE(server1.Started());
    ASSERT_TRUE(WaitUntilAnswering(kS1, base)) << server1.Log();
    CheckContract(base, static_cast<std::uint16_t>(base + 10));
    EXPECT_EQ(server1.Stop(), 0) << server1.Log();
    EXPECT_EQ(server2->Stop(), 0) << server2->Log();
}

TEST(ServerBinary, RelayFromWrongSourceOrReplayedGetsNoAnswer) {
    std::uint16_t base = 0;
    auto server2 = StartSplitServer2(true, base);
    ASSERT_TRUE(server2);
    const auto q = static_cast<std::uint16_t>(base + 10);
    CRelaySigner signer(Hex(kKeyHex), WallMs() * 1000);
    CRelaySigner wrongKey(Hex("00000000000000000000000000000001"), WallMs() * 1000);
    CTestSocket partner(kS1);  // Server1's address: the only accepted source
    CTestSocket stranger("127.0.0.4");
    CTestSocket victim;
    CTestSocket client;
    ASSERT_TRUE(partner.Valid() && stranger.Valid());

    // A relay with the right key from the wrong address: a captured one resent by anyone else.
    ASSERT_TRUE(stranger.SendTo(kS2, q, RelayFor(signer, victim)));
    // Right address, wrong key.
    ASSERT_TRUE(partner.SendTo(kS2, q, RelayFor(wrongKey, victim)));
    // Right address and key, a minute old: the two clocks out of step.
    Bytes stale(kRelayLength);
    signer.Encode(victim.AddressNet(), victim.PortNet(), WallMs() - 60'000, stale.data());
    ASSERT_TRUE(partner.SendTo(kS2, q, stale));

    const Bytes genuine = RelayFor(signer, client);
    ASSERT_TRUE(partner.SendTo(kS2, q, genuine));
    const std::vector<Expect> want = {{kS2, static_cast<std::uint16_t>(q + 1), "000677747005"}};
    EXPECT_EQ(Collect(client, 1, 2000), want);
    ASSERT_TRUE(partner.SendTo(kS2, q, genuine));  // replayed
    EXPECT_FALSE(client.Receive(300).has_value());
    EXPECT_FALSE(victim.Receive(100).has_value());

    // Still alive and answering fresh relays.
    ASSERT_TRUE(partner.SendTo(kS2, q, RelayFor(signer, client)));
    EXPECT_EQ(Collect(client, 1, 2000), want);

    EXPECT_EQ(server2->Stop(), 0);
    const std::string log = server2->Log();
    for (const char* counted :
         {"relay_spoofed=1", "relay_bad_mac=1", "relay_stale=1", "relay_replayed=1"}) {
        EXPECT_NE(log.find(counted), std::string::npos) << counted << "\n" << log;
    }
    // A line for each kind, though all came within one throttle interval: the first refusal
    // (spoofed) used to be the only one logged, hiding the key mismatch and the stale clock.
    for (const char* line : {"refused relay from 127.0.0.4: relay_spoofed",
                             "refused relay from 127.0.0.2: relay_bad_mac",
                             "refused relay from 127.0.0.2: relay_stale",
                             "refused relay from 127.0.0.2: relay_replayed"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
}

// One datagram from the partner's address with sequence 2^64-1 used to make every later relay
// count as replayed until restart.
TEST(ServerBinary, RelayWithSequenceFarAheadDoesNotBlockLaterRelays) {
    UnkeyedServer2 pair;
    ASSERT_TRUE(pair.Ok());
    auto& [server2, q, partner, client] = pair.Parts();
    CRelaySigner poisoner({}, ~std::uint64_t{0});
    CRelaySigner honest({}, WallMs() * 1000);
    ASSERT_TRUE(partner.SendTo(kS2, q, RelayFor(poisoner, client)));
    EXPECT_FALSE(client.Receive(300).has_value());
    constexpr int kHonest = 10;
    for (int i = 0; i < kHonest; ++i)
        ASSERT_TRUE(partner.SendTo(kS2, q, RelayFor(honest, client)));
    EXPECT_EQ(Collect(client, kHonest, 2000).size(), static_cast<std::size_t>(kHonest));

    EXPECT_EQ(server2->Stop(), 0);
    const std::string log = server2->Log();
    EXPECT_NE(log.find("relay_sequence_ahead=1"), std::string::npos) << log;
    EXPECT_EQ(log.find("relay_replayed"), std::string::npos) << log;
    EXPECT_NE(log.find("relay_accepted=10"), std::string::npos) << log;
}

// Without a key, a 78-byte STUN relay with a zero MAC from the partner's address, claiming a
// 0xFFFF-byte request padded with 1420 bytes, got 1500 bytes sent to the client it named.
TEST(ServerBinary, UnkeyedServer2SendsAtMostFourTimesAForgedRelay) {
    UnkeyedServer2 pair;
    ASSERT_TRUE(pair.Ok());
    auto& [server2, q, partner, victim] = pair.Parts();
    CRelaySigner forger({}, WallMs() * 1000);
    StunRelayRequest r;
    r.base = {victim.AddressNet(), victim.PortNet(), WallMs(), 0};
    r.requestLength = 0xFFFF;
    r.paddingLength = 1420;
    Bytes relay(kRelayStunLength);
    ASSERT_EQ(forger.EncodeStun(r, relay.data()), kRelayStunLength);
    ASSERT_TRUE(partner.SendTo(kS2, q, relay));
    // The same without PADDING is answered, within the bound.
    r.paddingLength = kRelayNoPadding;
    forger.EncodeStun(r, relay.data());
    ASSERT_TRUE(partner.SendTo(kS2, q, relay));
    std::size_t datagrams = 0;
    while (const auto got = victim.Receive(1000)) {
        ++datagrams;
        EXPECT_LE(got->data.size(), 4 * kRelayStunLength);
    }
    EXPECT_EQ(datagrams, 1u);
    EXPECT_EQ(server2->Stop(), 0);
    const std::string log = server2->Log();
    EXPECT_NE(log.find("stun_oversized=1"), std::string::npos) << log;
    EXPECT_NE(log.find("relay_accepted=1"), std::string::npos) << log;
}

TEST(ServerBinary, BadOptionsExitWithTwoAndHelpWithZero) {
    CServerProcess bad({"--server1", "127.0.0.2:3478"});  // split without partner
    EXPECT_EQ(bad.WaitExit(), 2);
    EXPECT_NE(bad.Log().find("--partner"), std::string::npos) << bad.Log();
    // Used to fail to bind (exit 1), or with 0.0.0.0 to start and answer from any address.
    CServerProcess multicast({"--server1", "224.0.0.1:3478", "--server2", "127.0.0.3:3480"});
    EXPECT_EQ(multicast.WaitExit(), 2);
    EXPECT_NE(multicast.Log().find("--server1 224.0.0.1:3478: 224.0.0.1 is a multicast address"),
              std::string::npos)
        << multicast.Log();
    CServerProcess help({"--help"});
    EXPECT_EQ(help.WaitExit(), 0);
}

}  // namespace
