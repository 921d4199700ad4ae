// gatewise-cli --stun: the options, the JSON object, and the real binary against the in-test
// STUN responder on 127.0.0.2/127.0.0.3. No name is ever looked up: the resolver is a table.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/options.h"
#include "cli/stun_cli.h"
#include "engine/nat_prober.h"
#include "tests/cli/verdict_lines.h"
#include "tests/core/temp_dir.h"
#include "tests/standard/stun_test_responder.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;

HostLookup FakeResolve(const std::string& name) {
    HostLookup found;
    if (name == "stun.test" || name == "v4only.test")
        found = {.ok = true, .addressNet = inet_addr("127.0.0.5"), .error = {}, .address6 = {}};
    if (name == "stun.test" || name == "v6only.test")
        found.address6 = ParseIpv6("fd00::5");
    if (!found.ok)
        found.error = found.address6 ? "no IPv4 address" : "Name or service not known";
    return found;
}

// The options args parse to, or nullopt when they are refused with a message holding error.
std::optional<CliOptions> Parsed(const std::vector<std::string>& args, const char* error) {
    const ParseResult p = ParseCommandLine(args, FakeResolve);
    if (error != nullptr) {
        EXPECT_FALSE(p.ok);
        EXPECT_NE(p.error.find(error), std::string::npos) << p.error;
        return std::nullopt;
    }
    EXPECT_TRUE(p.ok) << p.error;
    return p.options;
}

struct StunArgsRow {
    const char* name;
    std::vector<std::string> args;
    const char* error;         // nullptr: accepted
    const char* servers = "";  // the servers of the run, IPv4 first, joined by " "
    const char* stunName = "";
};

// clang-format off
const StunArgsRow kStunArgs[] = {
    {.name = "DefaultPort", .args = {"--stun", "127.0.0.2"}, .error = nullptr, .servers = "127.0.0.2:3478"},
    {.name = "PortGiven", .args = {"--stun=127.0.0.2:19302", "--json", "--log", "x"}, .error = nullptr, .servers = "127.0.0.2:19302"},
    {.name = "HostNameBothFamilies", .args = {"--stun", "stun.test:3479"}, .error = nullptr, .servers = "127.0.0.5:3479 [fd00::5]:3479", .stunName = "stun.test"},
    {.name = "HostNameIpv4Picked", .args = {"--stun", "stun.test", "-4"}, .error = nullptr, .servers = "127.0.0.5:3478", .stunName = "stun.test"},
    {.name = "HostNameIpv6Picked", .args = {"-6", "--stun", "stun.test"}, .error = nullptr, .servers = "[fd00::5]:3478", .stunName = "stun.test"},
    {.name = "HostNameIpv6Only", .args = {"--stun", "v6only.test"}, .error = nullptr, .servers = "[fd00::5]:3478", .stunName = "v6only.test"},
    {.name = "Ipv6Bracketed", .args = {"--stun", "[fd00::1]:3479"}, .error = nullptr, .servers = "[fd00::1]:3479"},
    {.name = "Ipv6Bare", .args = {"--stun", "fd00::1", "-6"}, .error = nullptr, .servers = "[fd00::1]:3478"},
    {.name = "Ipv6LiteralWithIpv4Picked", .args = {"--stun", "[fd00::1]:3479", "-4"}, .error = "-4: the STUN server has no IPv4 address"},
    {.name = "Ipv4LiteralWithIpv6Picked", .args = {"--stun", "127.0.0.2", "-6"}, .error = "-6: the STUN server has no IPv6 address"},
    {.name = "NoAaaaWithIpv6Picked", .args = {"--stun", "v4only.test", "-6"}, .error = "has no IPv6 address"},
    {.name = "FamilyWithoutStun", .args = {"-6"}, .error = "-6 needs --stun"},
    {.name = "Ipv6NoPort", .args = {"--stun", "[fd00::1]"}, .error = "not [IPV6]:PORT"},
    {.name = "Ipv6Malformed", .args = {"--stun", "fd00:::1"}, .error = "not an IPv6 address"},
    {.name = "Ipv6Multicast", .args = {"--stun", "[ff02::1]:3478"}, .error = "ff02::1 is a multicast address"},
    {.name = "Ipv6Unspecified", .args = {"--stun", "::"}, .error = "is unspecified"},
    {.name = "Unresolvable", .args = {"--stun", "nowhere.test"}, .error = "cannot be resolved"},
    {.name = "BadPort", .args = {"--stun", "127.0.0.2:0"}, .error = "not ADDRESS:PORT"},
    {.name = "ZeroAddress", .args = {"--stun", "0.0.0.0"}, .error = "other than 0.0.0.0"},
    {.name = "MulticastAddress", .args = {"--stun", "224.0.0.251:5353"}, .error = "224.0.0.251 is a multicast address"},
    {.name = "BroadcastSecond", .args = {"--stun", "127.0.0.2", "--stun2", "255.255.255.255"}, .error = "is the broadcast address"},
    {.name = "SecondAlone", .args = {"--stun2", "127.0.0.3"}, .error = "--stun2 needs --stun"},
    {.name = "WithRespond", .args = {"--stun", "127.0.0.2", "--respond"}, .error = "--respond cannot be combined"},
    {.name = "WithServerOverrides", .args = {"--stun", "127.0.0.2", "--server1", "127.0.0.2:1", "--friend", "0.0.0.0"}, .error = "--server1, --friend cannot"},
    {.name = "WithReport", .args = {"--stun", "127.0.0.2", "--report"}, .error = "--report cannot"},
    {.name = "RtoGiven", .args = {"--stun", "127.0.0.2", "--stun-rto-ms", "100"}, .error = nullptr, .servers = "127.0.0.2:3478"},
    {.name = "RtoAlone", .args = {"--stun-rto-ms", "100"}, .error = "--stun-rto-ms needs --stun"},
    {.name = "RtoOutOfRange", .args = {"--stun", "127.0.0.2", "--stun-rto-ms", "10"}, .error = "is not a number from 20 to 5000"},
};
// clang-format on

class StunOptions : public ::testing::TestWithParam<StunArgsRow> {};

TEST_P(StunOptions, Parse) {
    const StunArgsRow& r = GetParam();
    const std::optional<CliOptions> o = Parsed(r.args, r.error);
    if (!o)
        return;
    ASSERT_TRUE(o->stun.has_value());
    std::string servers;
    for (const Endpoint& e : StunFamilies(*o->stun, o->family))
        servers += (servers.empty() ? "" : " ") + FormatEndpoint(e);
    EXPECT_EQ(servers, r.servers);
    EXPECT_EQ(o->stun->name, r.stunName);
}

INSTANTIATE_TEST_SUITE_P(Cli, StunOptions, ::testing::ValuesIn(kStunArgs),
                         [](const ::testing::TestParamInfo<StunArgsRow>& p) {
                             return p.param.name;
                         });

struct LifetimeArgsRow {
    const char* name;
    std::vector<std::string> args;
    const char* error;  // nullptr: accepted
    int maxS = 0;
    bool json = false;
};

// --lifetime's MAX may be left out, also before another option; only the options that say
// where the server is, and how to report, combine with it.
// clang-format off
const LifetimeArgsRow kLifetimeArgs[] = {
    {.name = "Default", .args = {"--lifetime"}, .error = nullptr, .maxS = 180},
    {.name = "DefaultBeforeAnOption", .args = {"--lifetime", "--json", "--stun", "127.0.0.2"}, .error = nullptr, .maxS = 180, .json = true},
    {.name = "Given", .args = {"--stun", "127.0.0.2", "--lifetime", "600"}, .error = nullptr, .maxS = 600},
    {.name = "Inline", .args = {"--lifetime=1200", "--config", "x.ini", "--server1", "127.0.0.2:1"}, .error = nullptr, .maxS = 1200},
    {.name = "TooLong", .args = {"--lifetime", "1201"}, .error = "not a number of seconds from 10 to 1200"},
    {.name = "TooShort", .args = {"--lifetime=9"}, .error = "not a number of seconds from 10 to 1200"},
    {.name = "NotANumber", .args = {"--lifetime", "3m"}, .error = "'3m' is not a number"},
    {.name = "WithQuick", .args = {"--lifetime", "--quick"}, .error = "--quick cannot be combined"},
    {.name = "WithSecondServers", .args = {"--lifetime", "--stun", "127.0.0.2", "--stun2", "127.0.0.3"}, .error = "--stun2 cannot"},
    {.name = "WithServer2", .args = {"--lifetime", "--server2", "127.0.0.3:1"}, .error = "--server2 cannot"},
    {.name = "StunWithConfig", .args = {"--lifetime", "--stun", "127.0.0.2", "--config", "x.ini"}, .error = "--config with --stun cannot"},
};
// clang-format on

class LifetimeOptions : public ::testing::TestWithParam<LifetimeArgsRow> {};

TEST_P(LifetimeOptions, Parse) {
    const LifetimeArgsRow& r = GetParam();
    const std::optional<CliOptions> o = Parsed(r.args, r.error);
    if (!o)
        return;
    EXPECT_EQ(o->lifetimeS, r.maxS);
    EXPECT_EQ(o->json, r.json);
}

INSTANTIATE_TEST_SUITE_P(Cli, LifetimeOptions, ::testing::ValuesIn(kLifetimeArgs),
                         [](const ::testing::TestParamInfo<LifetimeArgsRow>& p) {
                             return p.param.name;
                         });

// Seconds, null where nothing was measured; the keep-alive sentence is the p2p text.
TEST(LifetimeJson, RangeKeepaliveAndMethod) {
    LifetimeOutcome o;
    o.server = Ipv4Endpoint{inet_addr("127.0.0.2"), 3478};
    o.maxMs = 180'000;
    o.mapped = Ipv4Endpoint{inet_addr("127.0.0.100"), 40002};
    o.aliveMs = 19'000;
    o.expiredMs = 20'000;
    o.lines = {"MAPPING LIFETIME: at least 19 s, at most 20 s"};
    EXPECT_EQ(FormatLifetimeJson("finished", o, 91000),
              R"j({"status":"finished","server":{"address":"127.0.0.2","port":3478},)j"
              R"j("mapped":{"address":"127.0.0.100","port":40002},)j"
              R"j("lifetime":{"aliveS":19,"expiredS":20,"keepaliveS":15,"maxS":180,)j"
              R"j("method":"response-port-same-address","problem":null},)j"
              R"j("lines":["MAPPING LIFETIME: at least 19 s, at most 20 s"],"durationMs":91000,)j"
              R"j("p2p":{"text":"An idle UDP mapping lasts at least 19 s and at most 20 s here: )j"
              R"j(a peer-to-peer application must send something through it at least every )j"
              R"j(15 s to keep it."}})j");
    LifetimeOutcome none;
    none.maxMs = 30'000;
    none.problem = "no response from the STUN server";
    EXPECT_EQ(LifetimeJson(none), R"j({"aliveS":null,"expiredS":null,"keepaliveS":null,"maxS":30,)j"
                                  R"j("method":"response-port-same-address",)j"
                                  R"j("problem":"no response from the STUN server"})j");
}

// "Not determined" is null, never false; a known "no" is false.
TEST(StunJson, UndeterminedIsNullAndNoIsFalse) {
    StunOutcome o;
    o.server = Ipv4Endpoint{inet_addr("127.0.0.2"), 3478};
    o.mapped = Ipv4Endpoint{inet_addr("127.0.0.100"), 40001};
    o.rfc5780 = false;
    o.rfc5780Problem = "no OTHER-ADDRESS in its response";
    o.hairpinning = false;
    o.mappingEndpointIndependent = false;
    o.classicFilter = FilterSymmetric;
    o.lines = {"MAPPED ADDRESS :    127.0.0.100:40001"};
    EXPECT_EQ(
        FormatStunJson("finished", o, 1234),
        R"j({"status":"finished","family":"ipv4","mapping":null,"mappingEndpointIndependent":false,)j"
        R"j("filtering":null,"hairpinning":false,)j"
        R"j("mapped":{"address":"127.0.0.100","port":40001},)j"
        R"j("filter":{"code":5,"text":"SYMMETRIC"},"allocation":null,)j"
        R"j("server":{"address":"127.0.0.2","port":3478,"otherAddress":null,)j"
        R"j("responseOrigin":null,"rfc5780":false,"rfc3489":false,)j"
        R"j("problem":"no OTHER-ADDRESS in its response"},"server2":null,)j"
        R"j("lines":["MAPPED ADDRESS :    127.0.0.100:40001"],"durationMs":1234,)j"
        R"j("p2p":{"rating":"hard","nat":null,"portPreservation":null,)j"
        R"j("severalCopies":null,"text":"The NAT gives different destinations different )j"
        R"j(public ports (the mapping is not endpoint-independent), so a peer cannot learn )j"
        R"j(the port in advance. What it lets in was not determined. Peer-to-peer rating: )j"
        R"j(hard. Its public port cannot be predicted. A direct UDP connection can be )j"
        R"j(expected with open, full cone and restricted peers, not with port restricted )j"
        R"j(and symmetric peers: those need a relay.",)j"
        R"j("compatible":{"open":true,"fullCone":true,"restricted":true,)j"
        R"j("portRestricted":false,"symmetric":false}}})j");
}

// An IPv6 result names its family and translation; its endpoints carry the "[address]:port" text
// too. Both families: one object with a member each, null for one that did not run.
TEST(StunJson, Ipv6ResultAndBothFamilies) {
    StunOutcome o;
    o.server = Endpoint::Ipv6(*ParseIpv6("fd00::2"), 3478);
    o.mapped = Endpoint::Ipv6(*ParseIpv6("2001:db8::9"), 40001);
    o.mappedIsLocal = false;
    o.mappedKeepsInterfaceId = false;
    o.rfc5780 = false;
    o.rfc5780Problem = "no OTHER-ADDRESS in its response";
    o.lines = {"MAPPED ADDRESS :    [2001:db8::9]:40001"};
    EXPECT_EQ(FormatStunJson("finished", o, 12),
              R"j({"status":"finished","family":"ipv6","translation":"nat66","mapping":null,)j"
              R"j("mappingEndpointIndependent":null,"filtering":null,"hairpinning":null,)j"
              R"j("mapped":{"address":"2001:db8::9","port":40001,"text":"[2001:db8::9]:40001"},)j"
              R"j("filter":null,"allocation":null,)j"
              R"j("server":{"address":"fd00::2","port":3478,"text":"[fd00::2]:3478",)j"
              R"j("otherAddress":null,"responseOrigin":null,"rfc5780":false,"rfc3489":false,)j"
              R"j("problem":"no OTHER-ADDRESS in its response"},"server2":null,)j"
              R"j("lines":["MAPPED ADDRESS :    [2001:db8::9]:40001"],"durationMs":12,)j"
              R"j("p2p":{"rating":null,"nat":true,"portPreservation":null,"severalCopies":null,)j"
              R"j("text":"The IPv6 address is translated (NAT66): the public address differs )j"
              R"j(from every address of this computer, in prefix and host part. The check could )j"
              R"j(not determine how the NAT maps and filters packets. Peer-to-peer rating: not )j"
              R"j(determined. Hairpinning: not determined.",)j"
              R"j("compatible":{"open":null,"fullCone":null,"restricted":null,)j"
              R"j("portRestricted":null,"symmetric":null}}})j");
    EXPECT_EQ(FormatDualStunJson("interrupted", R"({"family":"ipv4"})", std::nullopt),
              R"j({"status":"interrupted","ipv4":{"family":"ipv4"},"ipv6":null})j");
}

// The same rating and table as the check's for the same behaviours; hairpinning only behind a NAT.
TEST(StunJson, PeerToPeerObjectFollowsTheBehaviours) {
    struct Case {
        const char* name;
        bool local;
        std::optional<StunBehaviour> mapping;
        std::optional<StunBehaviour> filtering;
        const char* fragment;
    };
    using B = StunBehaviour;
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.name = "no NAT", .local = true, .mapping = B::EndpointIndependent, .filtering = B::EndpointIndependent, .fragment = R"j("p2p":{"rating":"easy","nat":false,)j"},
        {.name = "full cone", .local = false, .mapping = B::EndpointIndependent, .filtering = B::EndpointIndependent, .fragment = R"j("p2p":{"rating":"easy","nat":true,)j"},
        {.name = "port restricted", .local = false, .mapping = B::EndpointIndependent, .filtering = B::AddressAndPortDependent, .fragment = R"j("p2p":{"rating":"moderate","nat":true,)j"},
        {.name = "symmetric", .local = false, .mapping = B::AddressAndPortDependent, .filtering = B::AddressAndPortDependent, .fragment = R"j("compatible":{"open":true,"fullCone":true,"restricted":true,"portRestricted":false,"symmetric":false}}})j"},
        {.name = "port restricted table", .local = false, .mapping = B::EndpointIndependent, .filtering = B::AddressAndPortDependent, .fragment = R"j("compatible":{"open":true,"fullCone":true,"restricted":true,"portRestricted":true,"symmetric":false}}})j"},
    };
    // clang-format on
    for (const Case& c : cases) {
        StunOutcome o;
        o.mapped = Ipv4Endpoint{inet_addr("127.0.0.100"), 40001};
        o.mappedIsLocal = c.local;
        o.mapping = c.mapping;
        o.mappingEndpointIndependent = *c.mapping == B::EndpointIndependent;
        o.filtering = c.filtering;
        o.hairpinning = true;
        const std::string j = FormatStunJson("finished", o, 0);
        EXPECT_NE(j.find(c.fragment), std::string::npos) << c.name << "\n" << j;
    }
}

using gwtest::CliRun;

CliRun RunCli(TempDir& dir, std::vector<std::string> args, int signalAfterMs = -1) {
    std::vector<std::string> argv = {GATEWISE_E2E_RUNNER, "--mode",   "none",
                                     "--timeout-ms",      "15000",    "--stdout",
                                     dir.File("out"),     "--stderr", dir.File("err")};
    if (signalAfterMs >= 0)
        argv.insert(argv.end(), {"--signal-after-ms", std::to_string(signalAfterMs)});
    argv.insert(argv.end(), {"--", GATEWISE_CLI_PATH});
    argv.insert(argv.end(), args.begin(), args.end());
    return gwtest::RunThroughRunner(argv, dir, 20s);
}

TEST(CliStunEndToEnd, LoopbackResponderReadsOpenWithEveryJsonField) {
    CTestStunResponder server;
    ASSERT_TRUE(server.Start());
    TempDir dir;
    const std::string at = "127.0.0.2:" + std::to_string(server.Primary().port);
    const CliRun r = RunCli(dir, {"--stun", at, "--json", "--log", dir.File("log.txt")});
    ASSERT_EQ(r.exit, kExitOk) << r.out << r.err;
    const std::string other = std::to_string(server.Other().port);
    for (const std::string& part : {
             std::string("Start STUN NAT behaviour discovery (RFC 5389/5780)...\n"),
             "    STUN server: " + at + "\n",
             std::string("NAT INCOMING PACKAGES FILTER :    OPEN\n"),
             std::string(81, '*') + "\n",
             std::string(
                 R"j({"status":"finished","family":"ipv4","mapping":"endpoint-independent",)j"
                 R"j("mappingEndpointIndependent":true,"filtering":"endpoint-independent",)j"
                 R"j("hairpinning":true,"mapped":{"address":"127.0.0.1","port":)j"),
             std::string(R"j("filter":{"code":1,"text":"OPEN"},)j"
                         R"j("allocation":{"code":1,"text":"NOT SYMMETRIC NAT"},)j"
                         R"j("server":{"address":"127.0.0.2","port":)j"),
             R"j("otherAddress":{"address":"127.0.0.3","port":)j" + other + "}",
             std::string(R"j("rfc5780":true,"rfc3489":false,"problem":null},"server2":null,)j"),
             std::string(R"j(,"p2p":{"rating":"easy","nat":false,)j"),
         }) {
        EXPECT_NE(r.out.find(part), std::string::npos) << "missing: " << part << "\n" << r.out;
    }
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    // The meaning comes after the framed summary, before the JSON.
    const std::size_t block =
        r.out.find(std::string(81, '*') + "\n\nWhat this means for peer-to-peer\n\n");
    EXPECT_NE(block, std::string::npos) << r.out;
    EXPECT_LT(block, r.out.find("{\"status\""));
    EXPECT_NE(r.out.find("\n    symmetric           yes\n{\"status\""), std::string::npos) << r.out;
    // The log file: the same log, CR LF line ends, no JSON and no meaning block.
    const std::string saved = ReadBytes(dir.File("log.txt"));
    EXPECT_NE(saved.find("NAT INCOMING PACKAGES FILTER :    OPEN\r\n"), std::string::npos);
    EXPECT_EQ(saved.find("\"status\""), std::string::npos);
    EXPECT_EQ(saved.find("What this means"), std::string::npos);
}

// Nobody answers at 127.0.0.2:9; SIGTERM ends the wait at once, and the JSON still comes out.
TEST(CliStunEndToEnd, SignalEndsAWaitingRunWithItsStatus) {
    TempDir dir;
    const auto start = std::chrono::steady_clock::now();
    const CliRun r = RunCli(dir, {"--stun", "127.0.0.2:9", "--json"}, 300);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(r.exit, kExitSignalBase + 15) << r.out << r.err;
    EXPECT_NE(r.out.find(R"j({"status":"interrupted","family":"ipv4","mapping":null,)j"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("interrupted by SIGTERM"), std::string::npos) << r.err;
}

// --quick against the loopback responder: the same verdict lines as the full run, and the log
// says it ran in quick mode.
TEST(CliStunEndToEnd, QuickModeGivesTheFullRunsVerdicts) {
    CTestStunResponder server;
    ASSERT_TRUE(server.Start());
    const std::string at = "127.0.0.2:" + std::to_string(server.Primary().port);
    TempDir fullDir;
    const CliRun full = RunCli(fullDir, {"--stun", at, "--json"});
    TempDir quickDir;
    const CliRun quick = RunCli(quickDir, {"--stun", at, "--json", "--quick"});
    ASSERT_EQ(full.exit, kExitOk) << full.out << full.err;
    ASSERT_EQ(quick.exit, kExitOk) << quick.out << quick.err;
    EXPECT_FALSE(gwtest::StunVerdictLines(full.out).empty()) << full.out;
    EXPECT_EQ(gwtest::StunVerdictLines(quick.out), gwtest::StunVerdictLines(full.out)) << quick.out;
    EXPECT_NE(quick.out.find("--- Quick mode: "), std::string::npos) << quick.out;
    EXPECT_EQ(full.out.find("Quick mode"), std::string::npos);
}

// The suggestion the window shows too, with the option that gives a second server, between the
// summary and the peer-to-peer block.
TEST(CliStunEndToEnd, ServerWithoutOtherAddressGetsTheSecondServerSuggestion) {
    CTestStunResponder server;
    server.SetNoOtherAddress();
    ASSERT_TRUE(server.Start());
    TempDir dir;
    const CliRun r = RunCli(dir, {"--stun", "127.0.0.2:" + std::to_string(server.Primary().port)});
    ASSERT_EQ(r.exit, kExitOk) << r.out << r.err;
    EXPECT_NE(r.out.find(std::string(81, '*') +
                         "\n\nWithout RFC 5780 the mapping behaviour needs a second STUN server on "
                         "another IP address: run again with --stun2 HOST[:PORT].\n\nWhat this "
                         "means for peer-to-peer\n"),
              std::string::npos)
        << r.out;
}

}  // namespace
