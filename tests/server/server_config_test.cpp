// Command-line parsing: the fixed forms the client tests rely on, defaults, and refusals.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <unistd.h>

#include "net/address_text.h"
#include "server/server_config.h"

namespace {

ParseStatus Parse(const std::vector<std::string>& args, ServerConfig& cfg, std::string& error) {
    return ParseServerArgs(args, cfg, error);
}

std::uint32_t Ip(const char* text) {
    const std::optional<std::uint32_t> a = ParseIpv4(text);
    EXPECT_TRUE(a.has_value()) << text;
    return a.value_or(0);
}

TEST(ServerConfig, BothRolesInOneProcess) {
    ServerConfig cfg;
    std::string error;
    ASSERT_EQ(Parse({"--server1", "127.0.0.2:3478", "--server2", "127.0.0.3:3480"}, cfg, error),
              ParseStatus::Ok)
        << error;
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
    ServerConfig cfg;
    std::string error;
    ASSERT_EQ(Parse({"--server1", "127.0.0.2:3478", "--partner", "127.0.0.3:3478", "--key-hex",
                     "00112233445566778899aabbccddeeff"},
                    cfg, error),
              ParseStatus::Ok)
        << error;
    EXPECT_EQ(cfg.partnerAddress, Ip("127.0.0.3"));
    EXPECT_EQ(cfg.partnerPort, 3478);
    EXPECT_EQ(cfg.key.size(), 16u);
    EXPECT_EQ(RolesOf(cfg).partnerPort, 0x960d) << "network order in the handler";

    ASSERT_EQ(Parse({"--server2", "127.0.0.3:3478", "--partner", "127.0.0.2"}, cfg, error),
              ParseStatus::Ok)
        << error;
    EXPECT_EQ(cfg.partnerAddress, Ip("127.0.0.2"));
    // Server1 with the same address for both roles: the two role port sets must not overlap.
    ASSERT_EQ(Parse({"--server1", "127.0.0.2:3478", "--server2", "127.0.0.2:4000",
                     "--port-change-port", "5000", "--changed-port", "5001"},
                    cfg, error),
              ParseStatus::Ok)
        << error;
}

TEST(ServerConfig, KeyFromFile) {
    char path[] = "/tmp/gatewise-key-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << "  000102030405060708090a0b0c0d0e0f1011\n";
    ServerConfig cfg;
    std::string error;
    EXPECT_EQ(
        Parse({"--server2", "127.0.0.3:3478", "--partner", "127.0.0.2", "--key", path}, cfg, error),
        ParseStatus::Ok)
        << error;
    EXPECT_EQ(cfg.key.size(), 18u);
    std::remove(path);
}

TEST(ServerConfig, Refusals) {
    const std::vector<std::vector<std::string>> rows = {
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
    for (const auto& args : rows) {
        ServerConfig cfg;
        std::string error;
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_EQ(Parse(args, cfg, error), ParseStatus::Error) << joined;
        EXPECT_FALSE(error.empty()) << joined;
    }
}

// The server used to bind 0.0.0.0 (and try broadcast or multicast addresses), then answer from
// whichever address the route chose; and a partner could be the server itself.
TEST(ServerConfig, RefusesAddressesThatAreNotThisHostsOwn) {
    struct Row {
        std::vector<std::string> args;
        const char* error;  // the whole message, or a part of it
    };
    const std::vector<std::uint32_t> broadcasts = {Ip("192.0.2.255")};
    const Row rows[] = {
        {.args = {"--server1", "0.0.0.0:3478", "--server2", "127.0.0.3:3480"},
         .error = "--server1 0.0.0.0:3478: 0.0.0.0 is not a host address (0.0.0.0/8 means any "
                  "address or this network); give the exact address clients send to, so replies "
                  "leave from it"},
        {.args = {"--server1", "127.0.0.2:3478", "--server2", "0.0.0.0:3480"},
         .error = "--server2 0.0.0.0:3480: 0.0.0.0 is not a host address"},
        {.args = {"--server1", "0.1.2.3:3478", "--partner", "127.0.0.3:3478"},
         .error = "--server1 0.1.2.3:3478: 0.1.2.3 is not a host address"},
        {.args = {"--server1", "255.255.255.255:3478", "--server2", "127.0.0.3:3480"},
         .error = "--server1 255.255.255.255:3478: 255.255.255.255 is the broadcast address"},
        {.args = {"--server2", "224.0.0.1:3478", "--partner", "127.0.0.2"},
         .error = "--server2 224.0.0.1:3478: 224.0.0.1 is a multicast address"},
        {.args = {"--server1", "239.255.255.250:3478", "--server2", "127.0.0.3:3480"},
         .error = "239.255.255.250 is a multicast address"},
        {.args = {"--server1", "192.0.2.255:3478", "--server2", "127.0.0.3:3480"},
         .error = "--server1 192.0.2.255:3478: 192.0.2.255 is the broadcast address of a local "
                  "network"},
        {.args = {"--server1", "127.0.0.2:3478", "--partner", "0.0.0.0:3478"},
         .error = "--partner 0.0.0.0:3478: 0.0.0.0 is not a host address (0.0.0.0/8 means any "
                  "address or this network); give the other server's address"},
        {.args = {"--server2", "127.0.0.3:3478", "--partner", "0.0.0.0"},
         .error = "--partner 0.0.0.0: 0.0.0.0 is not a host address"},
        {.args = {"--server2", "127.0.0.3:3478", "--partner", "255.255.255.255"},
         .error = "--partner 255.255.255.255: 255.255.255.255 is the broadcast address"},
        {.args = {"--server1", "127.0.0.2:3478", "--partner", "225.1.2.3:3478"},
         .error = "--partner 225.1.2.3:3478: 225.1.2.3 is a multicast address"},
        {.args = {"--server2", "127.0.0.3:3478", "--partner", "192.0.2.255"},
         .error = "--partner 192.0.2.255: 192.0.2.255 is the broadcast address of a local network"},
        {.args = {"--server1", "127.0.0.2:3478", "--partner", "127.0.0.2:3478"},
         .error = "--partner 127.0.0.2:3478 is this process's own server1 socket; give the other "
                  "server's address"},
        {.args = {"--server1", "127.0.0.2:3478", "--partner", "127.0.0.2:3479"},
         .error = "--partner 127.0.0.2:3479 is this process's own server1 next port socket"},
        {.args = {"--server1", "127.0.0.2:3478", "--partner", "127.0.0.2:3480"},
         .error = "--partner 127.0.0.2:3480 is this process's own server1 port-change port"},
        {.args = {"--server2", "127.0.0.3:3478", "--partner", "127.0.0.3:3478"},
         .error = "--partner 127.0.0.3:3478 is this process's own server2 socket"},
        {.args = {"--server2", "127.0.0.3:3478", "--partner", "127.0.0.3:3479"},
         .error = "--partner 127.0.0.3:3479 is this process's own server2 changed-address port"},
    };
    for (const Row& r : rows) {
        ServerConfig cfg;
        std::string error;
        EXPECT_EQ(ParseServerArgs(r.args, cfg, error, broadcasts), ParseStatus::Error) << r.error;
        EXPECT_NE(error.find(r.error), std::string::npos) << error;
    }
    // Neighbours of the refused ones are fine: another host's broadcast-looking address, the
    // partner on this server's address but another port (two processes on one host).
    const std::vector<std::vector<std::string>> accepted = {
        {"--server1", "127.0.0.2:3478", "--partner", "127.0.0.2:4000"},
        {"--server2", "127.0.0.3:3478", "--partner", "127.0.0.3"},
        {"--server1", "198.51.100.255:3478", "--server2", "223.255.255.254:3480"},
        {"--server1", "1.0.0.0:3478", "--partner", "240.0.0.1:3478"},
    };
    for (const auto& args : accepted) {
        ServerConfig cfg;
        std::string error;
        EXPECT_EQ(ParseServerArgs(args, cfg, error, broadcasts), ParseStatus::Ok) << error;
    }
}

TEST(ServerConfig, HelpAndIpv4Text) {
    ServerConfig cfg;
    std::string error;
    EXPECT_EQ(Parse({"--server1", "127.0.0.2:1", "--help"}, cfg, error), ParseStatus::Help);
    for (const char* bad : {"1.2.3", "1.2.3.4.5", "1..2.3", "+1.2.3.4", "1.2.3.4 ", "0001.2.3.4"}) {
        EXPECT_FALSE(ParseIpv4(bad).has_value()) << bad;
    }
}

}  // namespace
