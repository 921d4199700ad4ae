// Command-line parsing: the fixed forms the client tests rely on, defaults, and refusals.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>

#include <unistd.h>

#include "net/address_text.h"
#include "server/metrics.h"
#include "server/server_config.h"

namespace {

using Args = std::vector<std::string>;

struct Parsed {
    ParseStatus status = ParseStatus::Error;
    ServerConfig cfg;
    std::string error;
};

// With this machine's own broadcast addresses, or with the ones given.
Parsed Parse(const Args& args, const std::optional<std::vector<std::uint32_t>>& broadcasts = {}) {
    Parsed p;
    p.status = broadcasts ? ParseServerArgs(args, p.cfg, p.error, *broadcasts)
                          : ParseServerArgs(args, p.cfg, p.error);
    return p;
}

std::string Joined(const Args& args) {
    std::string joined;
    for (const auto& a : args)
        joined += a + " ";
    return joined;
}

std::uint32_t Ip(const char* text) {
    const std::optional<std::uint32_t> a = ParseIpv4(text);
    EXPECT_TRUE(a.has_value()) << text;
    return a.value_or(0);
}

TEST(ServerConfig, BothRolesInOneProcess) {
    const Parsed p = Parse({"--server1", "127.0.0.2:3478", "--server2", "127.0.0.3:3480"});
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.error;
    const ServerConfig& cfg = p.cfg;
    EXPECT_TRUE(cfg.server1 && cfg.server2 && !cfg.hasPartner);
    EXPECT_EQ(cfg.server1Address, Ip("127.0.0.2"));
    EXPECT_EQ(cfg.portChangePort, 3480) << "P+2 by default";
    EXPECT_EQ(cfg.changedPort, 3481) << "Q+1 by default";
    const std::vector<LocalEndpoint> eps = LocalEndpoints(cfg);
    ASSERT_EQ(eps.size(), 5u);
    EXPECT_EQ(eps[1].portHost, 3479);
    EXPECT_EQ(cfg.rate.ratePerSecond, 100u) << "rate limit on by default";
}

TEST(ServerConfig, SplitDeployment) {
    Parsed p = Parse({"--server1", "127.0.0.2:3478", "--partner", "127.0.0.3:3478", "--key-hex",
                      "00112233445566778899aabbccddeeff"});
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.error;
    EXPECT_EQ(p.cfg.partnerAddress, Ip("127.0.0.3"));
    EXPECT_EQ(p.cfg.partnerPort, 3478);
    EXPECT_EQ(p.cfg.key.size(), 16u);
    EXPECT_EQ(RolesOf(p.cfg).partnerPort, 0x960d) << "network order in the handler";

    p = Parse({"--server2", "127.0.0.3:3478", "--partner", "127.0.0.2"});
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.error;
    EXPECT_EQ(p.cfg.partnerAddress, Ip("127.0.0.2"));
    // Server1 with the same address for both roles: the two role port sets must not overlap.
    p = Parse({"--server1", "127.0.0.2:3478", "--server2", "127.0.0.2:4000", "--port-change-port",
               "5000", "--changed-port", "5001"});
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.error;
}

TEST(ServerConfig, KeyFromFile) {
    char path[] = "/tmp/gatewise-key-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << "  000102030405060708090a0b0c0d0e0f1011\n";
    const Parsed p =
        Parse({"--server2", "127.0.0.3:3478", "--partner", "127.0.0.2", "--key", path});
    EXPECT_EQ(p.status, ParseStatus::Ok) << p.error;
    EXPECT_EQ(p.cfg.key.size(), 18u);
    std::remove(path);
}

TEST(ServerConfig, Refusals) {
    // One row per line.
    // clang-format off
    const Args rows[] = {
        {},
        {"--server1", "127.0.0.2"},  // no port
        {"--server1", "127.0.0.2:0", "--server2", "127.0.0.3:1"},
        {"--server1", "127.0.0.2:70000", "--server2", "127.0.0.3:1"},
        {"--server1", "localhost:3478", "--server2", "127.0.0.3:1"},
        {"--server1", "127.0.0.256:3478", "--server2", "127.0.0.3:1"},
        {"--server1", "127.0.0.2:3478"},  // split without partner
        {"--server2", "127.0.0.3:3478"},
        {"--server1", "127.0.0.2:3478", "--partner", "127.0.0.3"},  // Server1 needs the port
        {"--server1", "127.0.0.2:3478", "--server2", "127.0.0.3:1", "--partner", "127.0.0.4:1"},
        {"--server1", "127.0.0.2:65534", "--server2", "127.0.0.3:1"},  // no room for P+2
        {"--server1", "127.0.0.2:3478", "--server2", "127.0.0.3:1", "--port-change-port", "3479"},
        {"--server1", "127.0.0.2:3478", "--server2", "127.0.0.3:1", "--changed-port", "1"},
        {"--server1", "127.0.0.2:3478", "--server2", "127.0.0.2:3479"},  // overlaps P+1
        {"--server2", "127.0.0.3:1", "--partner", "127.0.0.2", "--key-hex", "0011"},  // too short
        {"--server2", "127.0.0.3:1", "--partner", "127.0.0.2", "--key-hex", "zz"},
        {"--server2", "127.0.0.3:1", "--partner", "127.0.0.2", "--key", "/nonexistent/key"},
        {"--server1", "127.0.0.2:3478", "--server2", "127.0.0.3:1", "--workers", "0"},
        {"--server1", "127.0.0.2:3478", "--server2", "127.0.0.3:1", "--rate-limit", "-1"},
        {"--server1", "127.0.0.2:3478", "--server2", "127.0.0.3:1", "--bogus", "1"},
        {"--server1", "127.0.0.2:3478", "--server2"},
    };
    // clang-format on
    for (const Args& args : rows) {
        const Parsed p = Parse(args);
        EXPECT_EQ(p.status, ParseStatus::Error) << Joined(args);
        EXPECT_FALSE(p.error.empty()) << Joined(args);
    }
}

// The server used to bind 0.0.0.0 (and try broadcast or multicast addresses), then answer from
// whichever address the route chose; and a partner could be the server itself.
TEST(ServerConfig, RefusesAddressesThatAreNotThisHostsOwn) {
    struct Row {
        Args args;
        const char* error;  // the whole message, or a part of it; nullptr: accepted
    };
    const std::vector<std::uint32_t> broadcasts = {Ip("192.0.2.255")};
    // One row per line.
    // clang-format off
    const Row rows[] = {
        {.args = {"--server1", "0.0.0.0:3478", "--server2", "127.0.0.3:3480"}, .error = "--server1 0.0.0.0:3478: 0.0.0.0 is not a host address (0.0.0.0/8 means any address or this network); give the exact address clients send to, so replies leave from it"},
        {.args = {"--server1", "127.0.0.2:3478", "--server2", "0.0.0.0:3480"}, .error = "--server2 0.0.0.0:3480: 0.0.0.0 is not a host address"},
        {.args = {"--server1", "0.1.2.3:3478", "--partner", "127.0.0.3:3478"}, .error = "--server1 0.1.2.3:3478: 0.1.2.3 is not a host address"},
        {.args = {"--server1", "255.255.255.255:3478", "--server2", "127.0.0.3:3480"}, .error = "--server1 255.255.255.255:3478: 255.255.255.255 is the broadcast address"},
        {.args = {"--server2", "224.0.0.1:3478", "--partner", "127.0.0.2"}, .error = "--server2 224.0.0.1:3478: 224.0.0.1 is a multicast address"},
        {.args = {"--server1", "239.255.255.250:3478", "--server2", "127.0.0.3:3480"}, .error = "239.255.255.250 is a multicast address"},
        {.args = {"--server1", "192.0.2.255:3478", "--server2", "127.0.0.3:3480"}, .error = "--server1 192.0.2.255:3478: 192.0.2.255 is the broadcast address of a local network"},
        {.args = {"--server1", "127.0.0.2:3478", "--partner", "0.0.0.0:3478"}, .error = "--partner 0.0.0.0:3478: 0.0.0.0 is not a host address (0.0.0.0/8 means any address or this network); give the other server's address"},
        {.args = {"--server2", "127.0.0.3:3478", "--partner", "0.0.0.0"}, .error = "--partner 0.0.0.0: 0.0.0.0 is not a host address"},
        {.args = {"--server2", "127.0.0.3:3478", "--partner", "255.255.255.255"}, .error = "--partner 255.255.255.255: 255.255.255.255 is the broadcast address"},
        {.args = {"--server1", "127.0.0.2:3478", "--partner", "225.1.2.3:3478"}, .error = "--partner 225.1.2.3:3478: 225.1.2.3 is a multicast address"},
        {.args = {"--server2", "127.0.0.3:3478", "--partner", "192.0.2.255"}, .error = "--partner 192.0.2.255: 192.0.2.255 is the broadcast address of a local network"},
        {.args = {"--server1", "127.0.0.2:3478", "--partner", "127.0.0.2:3478"}, .error = "--partner 127.0.0.2:3478 is this process's own server1 socket; give the other server's address"},
        {.args = {"--server1", "127.0.0.2:3478", "--partner", "127.0.0.2:3479"}, .error = "--partner 127.0.0.2:3479 is this process's own server1 next port socket"},
        {.args = {"--server1", "127.0.0.2:3478", "--partner", "127.0.0.2:3480"}, .error = "--partner 127.0.0.2:3480 is this process's own server1 port-change port"},
        {.args = {"--server2", "127.0.0.3:3478", "--partner", "127.0.0.3:3478"}, .error = "--partner 127.0.0.3:3478 is this process's own server2 socket"},
        {.args = {"--server2", "127.0.0.3:3478", "--partner", "127.0.0.3:3479"}, .error = "--partner 127.0.0.3:3479 is this process's own server2 changed-address port"},
        // Neighbours of the refused ones are fine: another host's broadcast-looking address, the
        // partner on this server's address but another port (two processes on one host).
        {.args = {"--server1", "127.0.0.2:3478", "--partner", "127.0.0.2:4000"}, .error = nullptr},
        {.args = {"--server2", "127.0.0.3:3478", "--partner", "127.0.0.3"}, .error = nullptr},
        {.args = {"--server1", "198.51.100.255:3478", "--server2", "223.255.255.254:3480"}, .error = nullptr},
        {.args = {"--server1", "1.0.0.0:3478", "--partner", "240.0.0.1:3478"}, .error = nullptr},
        // IPv6: the same kinds refused; alone it needs no partner and takes none.
        {.args = {"--server1", "[::]:3478"}, .error = "--server1 [::]:3478: :: is unspecified (::)"},
        {.args = {"--server2", "[ff02::1]:3478"}, .error = "ff02::1 is a multicast address"},
        {.args = {"--server1", "[::ffff:127.0.0.2]:3478"}, .error = "is an IPv4-mapped address"},
        {.args = {"--server1", "[::1]:65535"}, .error = "--server1 port leaves no room for the next port"},
        {.args = {"--server1", "[::1]:3478", "--server2", "[::1]:3479"}, .error = "the server1 next port and the server2 would both be [::1]:3479"},
        {.args = {"--server1", "[::1]:3478", "--partner", "127.0.0.3:3478"}, .error = "--partner is for the IPv4 roles"},
        {.args = {"--server1", "[::1]:3478"}, .error = nullptr},
        {.args = {"--server1", "[::1]:3478", "--server1", "127.0.0.2:3478", "--partner", "127.0.0.3:3478"}, .error = nullptr},
    };
    // clang-format on
    for (const Row& r : rows) {
        const Parsed p = Parse(r.args, broadcasts);
        EXPECT_EQ(p.status, r.error ? ParseStatus::Error : ParseStatus::Ok) << Joined(r.args);
        EXPECT_NE(p.error.find(r.error ? r.error : ""), std::string::npos) << p.error;
        EXPECT_EQ(p.error.empty(), r.error == nullptr) << p.error;
    }
}

// --metrics listens exactly where it is told: never on every address by a bare port, a name
// or 0.0.0.0, whose counters would then be open to any network the machine is on.
TEST(ServerConfig, MetricsAddress) {
    if (!MetricsBuilt()) {
        const Parsed p = Parse({"--server1", "127.0.0.2:3478", "--metrics", "127.0.0.1:9641"});
        EXPECT_NE(p.error.find("built without metrics"), std::string::npos) << p.error;
        GTEST_SKIP() << "built without prometheus-cpp";
    }
    struct Row {
        const char* value;
        const char* result;  // cfg.metrics when accepted, else a part of the error
        bool ok;
    };
    const std::vector<std::uint32_t> broadcasts = {Ip("192.0.2.255")};
    // clang-format off
    const Row rows[] = {
        {"127.0.0.1:9641", "127.0.0.1:9641", true},
        {"198.51.100.7:9641", "198.51.100.7:9641", true},  // another address, when given
        {"9641", "--metrics 9641: give ADDRESS:PORT, e.g. 127.0.0.1:9641", false},
        {":9641", "give ADDRESS:PORT", false},
        {"localhost:9641", "give ADDRESS:PORT", false},
        {"127.0.0.1", "give ADDRESS:PORT", false},
        {"127.0.0.1:0", "give ADDRESS:PORT", false},
        {"0.0.0.0:9641", "0.0.0.0 is not a host address", false},
        {"192.0.2.255:9641", "is the broadcast address of a local network", false},
        {"[::1]:9641", "listens on IPv4 only", false},  // CivetWeb as Debian builds it
    };
    // clang-format on
    for (const Row& r : rows) {
        const Parsed p = Parse(
            {"--server1", "127.0.0.2:3478", "--partner", "127.0.0.3:3478", "--metrics", r.value},
            broadcasts);
        EXPECT_EQ(p.status, r.ok ? ParseStatus::Ok : ParseStatus::Error) << r.value;
        EXPECT_NE((r.ok ? p.cfg.metrics : p.error).find(r.result), std::string::npos)
            << r.value << ": " << p.error << p.cfg.metrics;
    }
    EXPECT_TRUE(
        Parse({"--server1", "127.0.0.2:3478", "--partner", "127.0.0.3:3478"}).cfg.metrics.empty())
        << "off by default";
}

TEST(ServerConfig, HelpAndIpv4Text) {
    EXPECT_EQ(Parse({"--server1", "127.0.0.2:1", "--help"}).status, ParseStatus::Help);
    for (const char* bad : {"1.2.3", "1.2.3.4.5", "1..2.3", "+1.2.3.4", "1.2.3.4 ", "0001.2.3.4"}) {
        EXPECT_FALSE(ParseIpv4(bad).has_value()) << bad;
    }
}

}  // namespace
