// CMappingLifetime against a simulated NAT whose mappings expire after a set idle time and a
// simulated server that honours RESPONSE-PORT (or does not): time is an explicit number of
// milliseconds, nothing is sent anywhere.

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <set>

#include "core/log.h"
#include "core/sys_inet.h"
#include "net/messages.h"
#include "net/stun_message.h"
#include "standard/mapping_lifetime.h"
#include "tests/standard/logged_machine_test.h"

namespace {

const Ipv4Endpoint kServer{*ParseIpv4("127.0.0.2"), 3478};
const Endpoint kServer6 = Endpoint::Ipv6(*ParseIpv6("fd00::2"), 3478);
const std::uint32_t kPublic = *ParseIpv4("127.0.0.100");
constexpr std::uint64_t kS = 1000;

enum class Server { Honours, Ignores, Refuses, Silent };

// A NAT that forgets a mapping lifetimeMs after its last datagram either way, and a server one
// millisecond away. Test thread only.
class CFakeLifetimeWorld : public IStunTransport {
public:
    std::uint64_t lifetimeMs = 20 * kS;
    Server server = Server::Honours;
    int dropAnswersPerProbe = 0;     // this many answers to each probe are lost on the way
    bool addressPerSocket = false;   // each socket gets a public address of its own
    bool filtersEverything = false;  // nothing gets in, not even to a live mapping
    bool ipv6 = false;               // the server at kServer6, the NAT's addresses fd00::a.b.c.d

    std::uint64_t now = 0;
    std::set<int> open;
    std::set<int> everOpened;
    std::map<int, int> probesSentFor;  // public port -> probe answers sent to it
    std::function<void(const CMappingLifetime&)> observe;  // after every step

    Endpoint ServerAt() const { return ipv6 ? kServer6 : Endpoint(kServer); }
    int Open() override {
        EXPECT_FALSE(ipv6);
        return NewSocket();
    }
    int OpenIpv6() override {
        EXPECT_TRUE(ipv6);
        return NewSocket();
    }
    int NewSocket() {
        const int id = static_cast<int>(everOpened.size()) + 1;
        open.insert(id);
        everOpened.insert(id);
        return id;
    }
    void Close(int id) override { open.erase(id); }
    bool Send(int s, const Endpoint& to, std::span<const std::uint8_t> bytes) override {
        EXPECT_TRUE(open.count(s));
        EXPECT_EQ(to, ServerAt());
        StunMessage req;
        EXPECT_EQ(ParseStun(bytes.data(), bytes.size(), req), StunParseError::None);
        Touch(s);
        if (server == Server::Silent)
            return true;
        StunMessage r;
        r.cls = StunClass::Success;
        r.transactionId = req.transactionId;
        r.xorMapped = StunIpv4(Public(s), NetPort(PortOf(s)));
        if (ipv6) {
            Ipv6Bytes a = *ParseIpv6("fd00::");
            std::memcpy(a.data() + 12, &r.xorMapped.address, 4);
            r.xorMapped = StunIpv6(a, r.xorMapped.port);
        }
        int dest = s;
        if (req.hasResponsePort) {
            if (server == Server::Refuses) {
                r.cls = StunClass::Error;
                r.hasErrorCode = true;
                r.errorCode = 420;
                r.unknownAttributes = {kStunAttrResponsePort};
            } else if (server == Server::Honours) {
                const int port = HostPort(req.responsePort);
                dest = SocketOnPort(port, Public(s));
                if (m_answersLost[port]++ < dropAnswersPerProbe)
                    return true;
                ++probesSentFor[port];
            }
        }
        if (dest == 0 || (filtersEverything && dest != s))
            return true;
        std::vector<std::uint8_t> out(256);
        out.resize(EncodeStun(r, out.data(), out.size()));
        m_queue.push_back({now + 1, dest, out});
        return true;
    }

    // Hands queued datagrams to the test and moves time to its deadlines until it ends.
    void Pump(CMappingLifetime& test) {
        for (int i = 0; i < 100000 && test.Running(); ++i) {
            if (observe)
                observe(test);
            const auto deadline = test.NextDeadline();
            ASSERT_TRUE(deadline.has_value());
            if (!m_queue.empty() && m_queue.front().atMs <= *deadline) {
                const Delivery d = m_queue.front();
                m_queue.pop_front();
                now = std::max(now, d.atMs);
                // Let in by a live mapping only, which it refreshes (the connection table
                // counts inbound traffic too).
                if (!Alive(d.socket))
                    continue;
                Touch(d.socket);
                if (open.count(d.socket))
                    test.OnDatagram(d.socket, ServerAt(), d.bytes);
                continue;
            }
            now = std::max(now, *deadline);
            test.OnTimer(now);
        }
        ASSERT_FALSE(test.Running());
    }

private:
    struct Delivery {
        std::uint64_t atMs;
        int socket;
        std::vector<std::uint8_t> bytes;
    };
    static std::uint16_t PortOf(int s) { return static_cast<std::uint16_t>(40000 + s); }
    std::uint32_t Public(int s) const {
        return addressPerSocket ? kPublic + htonl(static_cast<std::uint32_t>(s)) : kPublic;
    }
    int SocketOnPort(int port, std::uint32_t address) const {
        const int s = port - 40000;
        return everOpened.count(s) && Public(s) == address ? s : 0;
    }
    bool Alive(int s) const {
        const auto it = m_last.find(s);
        return it != m_last.end() && now - it->second <= lifetimeMs;
    }
    void Touch(int s) { m_last[s] = now; }

    std::map<int, std::uint64_t> m_last;
    std::map<int, int> m_answersLost;
    std::deque<Delivery> m_queue;
};

class MappingLifetimeTest : public LoggedMachineTest {
protected:
    LifetimeOutcome Run(std::uint64_t maxMs = LifetimeConfig::kDefaultMaxMs) {
        CMappingLifetime test(world, [this] { return world.now; });
        LifetimeConfig config;
        config.server = world.ServerAt();
        config.maxMs = maxMs;
        test.Start(config);
        world.Pump(test);
        EXPECT_TRUE(world.open.empty()) << "sockets left open";
        EXPECT_LE(world.now, CMappingLifetime::Bound(config)) << "the test outran its bound";
        return test.Outcome();
    }

    CFakeLifetimeWorld world;
};

struct SearchRow {
    std::uint64_t lifetimeMs;
    std::uint64_t maxMs;
    int dropAnswers;
    const char* line;
    const char* keepalive;  // "" when none
};

// Doubling (5, 10, 20 ... s at once), then bisection to 1 s or 10 %, within what still fits
// before MAX; lost answers cost retransmissions, never an expiry. An answer exactly the lifetime
// after the mapping's last datagram comes a moment too late: the range ends at the lifetime.
TEST_F(MappingLifetimeTest, SearchBracketsTheLifetime) {
    // One row per line.
    // clang-format off
    const SearchRow rows[] = {
        {.lifetimeMs = 20 * kS, .maxMs = 180 * kS, .dropAnswers = 0, .line = "MAPPING LIFETIME: at least 19 s, at most 20 s", .keepalive = "KEEP-ALIVE: send something at least every 15 s"},
        {.lifetimeMs = 20 * kS, .maxMs = 180 * kS, .dropAnswers = 2, .line = "MAPPING LIFETIME: at least 19 s, at most 20 s", .keepalive = "KEEP-ALIVE: send something at least every 15 s"},
        {.lifetimeMs = 3 * kS, .maxMs = 180 * kS, .dropAnswers = 0, .line = "MAPPING LIFETIME: at least 2 s, at most 3 s", .keepalive = "KEEP-ALIVE: send something at least every 1 s"},
        // After the first expiry at 80 s, 60 s expires too; only 42 s fits before the end.
        {.lifetimeMs = 60 * kS, .maxMs = 180 * kS, .dropAnswers = 0, .line = "MAPPING LIFETIME: at least 42 s, at most 60 s", .keepalive = "KEEP-ALIVE: send something at least every 33 s"},
        {.lifetimeMs = 100 * kS, .maxMs = 600 * kS, .dropAnswers = 0, .line = "MAPPING LIFETIME: at least 95 s, at most 100 s", .keepalive = "KEEP-ALIVE: send something at least every 76 s"},
        {.lifetimeMs = 500 * kS, .maxMs = 180 * kS, .dropAnswers = 0, .line = "MAPPING LIFETIME: more than 180 s", .keepalive = "KEEP-ALIVE: send something at least every 144 s"},
        {.lifetimeMs = 500 * kS, .maxMs = 30 * kS, .dropAnswers = 0, .line = "MAPPING LIFETIME: more than 30 s", .keepalive = "KEEP-ALIVE: send something at least every 24 s"},
    };
    // clang-format on
    // Each row over both families.
    for (int k = 0; k < 2 * static_cast<int>(std::size(rows)); ++k) {
        const SearchRow& r = rows[k / 2];
        const bool ipv6 = k % 2 == 1;
        SCOPED_TRACE(std::string(r.line) + (ipv6 ? " over IPv6" : ""));
        world = CFakeLifetimeWorld{};
        world.ipv6 = ipv6;
        world.lifetimeMs = r.lifetimeMs;
        world.dropAnswersPerProbe = r.dropAnswers;
        const LifetimeOutcome o = Run(r.maxMs);
        ASSERT_TRUE(o.finished);
        ASSERT_TRUE(o.Determined());
        ASSERT_GE(o.lines.size(), 3u);
        EXPECT_EQ(o.lines[0], r.line);
        EXPECT_EQ(o.lines[1], r.keepalive);
        EXPECT_EQ(o.lines[2], "METHOD: RESPONSE-PORT, answered from " +
                                  std::string(ipv6 ? "[fd00::2]" : "127.0.0.2") +
                                  ":3478, the address every trial socket sent to");
        EXPECT_LT(*o.KeepaliveMs(), *o.aliveMs);
        if (r.dropAnswers > 0) {
            for (const auto& [port, sent] : world.probesSentFor)
                EXPECT_GT(sent, 0) << port;
        }
    }
}

// The doubling trials run side by side, each on a fresh socket; the first expiry (40 s) drops the
// longer ones (an answer 20 s after the mapping's last datagram comes just too late); the
// bisection (15, 17, 18, 19 s) runs one trial at a time, each on a fresh socket.
TEST_F(MappingLifetimeTest, DoublingRunsAtOnceThenBisectionOneAtATime) {
    world.lifetimeMs = 20 * kS;
    std::set<std::vector<std::uint64_t>> seen;
    world.observe = [&seen](const CMappingLifetime& t) { seen.insert(t.TrialsInProgress()); };
    const LifetimeOutcome o = Run();
    using V = std::vector<std::uint64_t>;
    const V doubling = {5 * kS, 10 * kS, 20 * kS, 40 * kS, 80 * kS, 160 * kS, 180 * kS};
    EXPECT_TRUE(seen.count(doubling));
    for (const std::uint64_t t : {15, 17, 18, 19})
        EXPECT_TRUE(seen.count(V{t * kS})) << t;
    for (const V& v : seen)
        EXPECT_TRUE(v.size() <= 1 || v.back() == 180 * kS) << v.size();
    // The probing socket, the control trial, 7 doubling and 4 bisection trials; no trial's
    // socket is probed twice.
    EXPECT_EQ(world.everOpened.size(), 13u);
    EXPECT_EQ(world.probesSentFor.size(), 1u + 3u + 4u);  // control, 5-20 s, bisection
    EXPECT_EQ(*o.expiredMs, 20 * kS);
}

struct ProblemRow {
    const char* name;
    Server server;
    bool addressPerSocket;
    bool filtersEverything;
    const char* problem;
};

// A server or NAT the method cannot work with: said, and nothing measured.
TEST_F(MappingLifetimeTest, WhatStopsTheTestIsSaid) {
    // One row per line.
    // clang-format off
    const ProblemRow rows[] = {
        {.name = "ignores", .server = Server::Ignores, .addressPerSocket = false, .filtersEverything = false, .problem = "the server ignores RESPONSE-PORT (it answered the probing socket itself)"},
        {.name = "refuses", .server = Server::Refuses, .addressPerSocket = false, .filtersEverything = false, .problem = "the server does not support RESPONSE-PORT (error 420)"},
        {.name = "silent", .server = Server::Silent, .addressPerSocket = false, .filtersEverything = false, .problem = "no response from the STUN server"},
        {.name = "two addresses", .server = Server::Honours, .addressPerSocket = true, .filtersEverything = false, .problem = "the NAT maps this computer's sockets to different public addresses (127.0.0.102, 127.0.0.101): the answer to one socket's request cannot reach another's mapping"},
        {.name = "all filtered", .server = Server::Honours, .addressPerSocket = false, .filtersEverything = true, .problem = "no answer reached a mapping made a moment before: the server ignores RESPONSE-PORT, or the NAT lets no answer in"},
    };
    // clang-format on
    for (const ProblemRow& r : rows) {
        SCOPED_TRACE(r.name);
        world = CFakeLifetimeWorld{};
        world.server = r.server;
        world.addressPerSocket = r.addressPerSocket;
        world.filtersEverything = r.filtersEverything;
        const LifetimeOutcome o = Run();
        EXPECT_TRUE(o.finished);
        EXPECT_FALSE(o.Determined());
        EXPECT_EQ(o.problem, r.problem);
        EXPECT_FALSE(o.KeepaliveMs().has_value());
        EXPECT_EQ(o.lines, (std::vector<std::string>{"MAPPING LIFETIME: NOT DETERMINED",
                                                     std::string("STUN SERVER: ") + r.problem}));
    }
}

TEST_F(MappingLifetimeTest, StopClosesEverySocket) {
    CMappingLifetime test(world, [this] { return world.now; });
    LifetimeConfig config;
    config.server = kServer;
    test.Start(config);
    EXPECT_EQ(world.open.size(), 2u);  // the probing socket and the control trial's
    test.Stop();
    EXPECT_TRUE(world.open.empty());
    EXPECT_TRUE(test.Outcome().interrupted);
    EXPECT_FALSE(test.NextDeadline().has_value());
}

}  // namespace
