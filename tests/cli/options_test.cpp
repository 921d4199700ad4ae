#include "cli/options.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

#include "core/settings.h"

namespace {

std::uint32_t Addr(const char* dotted) {
    return inet_addr(dotted);
}

struct GoodCase {
    const char* name;
    std::vector<std::string> args;
    void (*check)(const CliOptions&);
};

// Rows print as their name, so test names stay readable and stable.
void PrintTo(const GoodCase& row, std::ostream* os) {
    *os << row.name;
}

class GoodCommandLine : public ::testing::TestWithParam<GoodCase> {};

TEST_P(GoodCommandLine, Parses) {
    ParseResult r = ParseCommandLine(GetParam().args);
    ASSERT_TRUE(r.ok) << r.error;
    GetParam().check(r.options);
}

const GoodCase kGoodCases[] = {
    {"Defaults",
     {},
     [](const CliOptions& o) {
         EXPECT_TRUE(o.configPath.empty());
         EXPECT_FALSE(o.server1 || o.server2 || o.friendIp);
         EXPECT_TRUE(o.logPath.empty());
         EXPECT_FALSE(o.json || o.report || o.respond || o.help || o.quick);
         EXPECT_EQ(o.tickMs, 1000);
     }},
    {"QuickWithStun",
     {"--quick", "--stun", "127.0.0.1"},
     [](const CliOptions& o) { EXPECT_TRUE(o.quick && o.stun); }},
    // Addresses and ports come out in network order, as the settings record holds them.
    {"ServersInNetworkOrder",
     {"--server1", "127.0.0.2:3478", "--server2=10.1.2.3:65535"},
     [](const CliOptions& o) {
         ASSERT_TRUE(o.server1 && o.server2);
         EXPECT_EQ(o.server1->addressNet, Addr("127.0.0.2"));
         EXPECT_EQ(o.server1->portNet, htons(3478));
         EXPECT_EQ(o.server2->addressNet, Addr("10.1.2.3"));
         EXPECT_EQ(o.server2->portNet, htons(65535));
     }},
    {"FriendZeroMeansNone",
     {"--friend", "0.0.0.0"},
     [](const CliOptions& o) {
         ASSERT_TRUE(o.friendIp.has_value());
         EXPECT_EQ(*o.friendIp, 0u);
     }},
    {"FilesAndFlags",
     {"--config", "/tmp/a b.ini", "--log=/tmp/out.txt", "--json", "--report", "--tick-ms", "50"},
     [](const CliOptions& o) {
         EXPECT_EQ(o.configPath, "/tmp/a b.ini");
         EXPECT_EQ(o.logPath, "/tmp/out.txt");
         EXPECT_TRUE(o.json && o.report);
         EXPECT_EQ(o.tickMs, 50);
     }},
    {"TickBounds",
     {"--tick-ms", "10", "--tick-ms=60000"},
     [](const CliOptions& o) { EXPECT_EQ(o.tickMs, 60000); }},
    {"LaterOverridesEarlier",
     {"--server1", "1.1.1.1:1", "--server1", "2.2.2.2:2"},
     [](const CliOptions& o) { EXPECT_EQ(o.server1->addressNet, Addr("2.2.2.2")); }},
    {"Respond",
     {"--respond", "--friend=192.168.1.9"},
     [](const CliOptions& o) {
         EXPECT_TRUE(o.respond);
         EXPECT_EQ(*o.friendIp, Addr("192.168.1.9"));
     }},
    {"HelpShort", {"-h"}, [](const CliOptions& o) { EXPECT_TRUE(o.help); }},
    // --portmap alone reads Server1 from the settings file or --server1.
    {"PortMapAloneWithSettings",
     {"--portmap", "--config", "x.ini", "--server1", "127.0.0.2:1", "--json"},
     [](const CliOptions& o) { EXPECT_TRUE(o.portmap && !o.check && !o.portmapVerify); }},
    {"PortMapVerifyMeansPortMap",
     {"--portmap-verify", "--hops"},
     [](const CliOptions& o) { EXPECT_TRUE(o.portmap && o.portmapVerify && o.portmapHops); }},
    // After the check every option of the check applies.
    {"CheckThenPortMap",
     {"--check", "--portmap", "--quick", "--server2", "127.0.0.3:1", "--friend", "0.0.0.0",
      "--report"},
     [](const CliOptions& o) { EXPECT_TRUE(o.check && o.portmap && o.quick && o.report); }},
    {"CheckAloneIsTheCheck",
     {"--check"},
     [](const CliOptions& o) { EXPECT_TRUE(o.check && !o.portmap); }},
    {"StunThenPortMap",
     {"--stun", "127.0.0.2", "--portmap", "--quick"},
     [](const CliOptions& o) { EXPECT_TRUE(o.stun && o.portmap && o.quick); }},
    // A value that looks like an option is still the value of the option before it.
    {"ValueStartingWithDashes",
     {"--log", "--json"},
     [](const CliOptions& o) {
         EXPECT_EQ(o.logPath, "--json");
         EXPECT_FALSE(o.json);
     }},
};

INSTANTIATE_TEST_SUITE_P(Options, GoodCommandLine, ::testing::ValuesIn(kGoodCases),
                         [](const auto& param) { return std::string(param.param.name); });

struct BadCase {
    const char* name;
    std::vector<std::string> args;
    const char* errorContains;
};

// Rows print as their name, so test names stay readable and stable.
void PrintTo(const BadCase& row, std::ostream* os) {
    *os << row.name;
}

class BadCommandLine : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadCommandLine, IsRefusedWithAClearMessage) {
    ParseResult r = ParseCommandLine(GetParam().args);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(GetParam().errorContains), std::string::npos) << r.error;
}

const BadCase kBadCases[] = {
    {"UnknownOption", {"--verbose"}, "unknown option '--verbose'"},
    {"SingleDashUnknown", {"-x"}, "unknown option"},
    {"StrayArgument", {"STUN.ini"}, "unexpected argument 'STUN.ini'"},
    {"MissingValueAtEnd", {"--config"}, "--config needs a file name"},
    {"EmptyValue", {"--log="}, "--log needs a file name"},
    {"ServerWithoutPort", {"--server1", "127.0.0.2"}, "--server1"},
    {"ServerPortZero", {"--server1", "127.0.0.2:0"}, "port 1-65535"},
    {"ServerPortTooBig", {"--server2", "127.0.0.2:65536"}, "--server2"},
    {"ServerPortNegative", {"--server2", "127.0.0.2:-1"}, "--server2"},
    // The engine would start no check with it; the command line says why at once.
    {"ServerAddressZero", {"--server1", "0.0.0.0:3478"}, "other than 0.0.0.0"},
    {"ServerHostName", {"--server1", "stun.example:3478"}, "--server1"},
    {"ServerTrailingJunk", {"--server1", "127.0.0.2:3478x"}, "--server1"},
    {"AddressOctetTooBig", {"--friend", "10.0.0.256"}, "--friend"},
    {"AddressThreeParts", {"--friend", "10.0.1"}, "--friend"},
    {"AddressFiveParts", {"--friend", "10.0.0.1.5"}, "--friend"},
    {"AddressEmptyPart", {"--friend", "10..0.1"}, "--friend"},
    // Other readers take a leading zero for octal; refusing it avoids a silent misreading.
    {"AddressLeadingZero", {"--friend", "10.0.0.010"}, "--friend"},
    {"AddressSigned", {"--friend", "+10.0.0.1"}, "--friend"},
    {"TickBelowRange", {"--tick-ms", "9"}, "from 10 to 60000"},
    {"TickAboveRange", {"--tick-ms", "60001"}, "from 10 to 60000"},
    {"TickNotANumber", {"--tick-ms", "fast"}, "--tick-ms"},
    {"TickHuge", {"--tick-ms", "99999999999999999999"}, "--tick-ms"},
    {"FlagWithValue", {"--json=yes"}, "--json takes no value"},
    {"RespondWithJson", {"--respond", "--json"}, "--respond runs no check"},
    {"RespondWithReport", {"--report", "--respond"}, "--respond runs no check"},
    {"RespondWithQuick", {"--quick", "--respond"}, "--respond runs no check"},
    {"QuickWithTick", {"--quick", "--tick-ms", "100"}, "--tick-ms does not apply"},
    {"HopsWithoutPortMap", {"--hops"}, "--hops needs --portmap"},
    {"PortMapAloneWithCheckOptions",
     {"--portmap", "--server2", "127.0.0.3:1", "--quick"},
     "--server2, --quick cannot be combined with it (--check --portmap runs the check first)"},
    {"PortMapAloneWithFriendAndReport",
     {"--portmap", "--friend", "0.0.0.0", "--report"},
     "--friend, --report cannot"},
    {"PortMapWithRespond", {"--portmap", "--respond"}, "--respond cannot"},
    {"PortMapAfterStunWithServer1",
     {"--stun", "127.0.0.2", "--portmap", "--server1", "127.0.0.2:1"},
     "--server1 cannot"},
    {"PortMapWithLifetime", {"--lifetime", "--portmap-verify"}, "--portmap cannot"},
    {"CheckWithStun",
     {"--check", "--stun", "127.0.0.2"},
     "--check runs the check, not the standard STUN tests"},
    {"CheckWithLifetime",
     {"--lifetime", "--check"},
     "--check runs the check, not the --lifetime test"},
    {"CheckWithRespond", {"--check", "--respond"}, "--respond runs no check, so --check"},
    {"QuickWithStunRto",
     {"--stun", "127.0.0.1", "--quick", "--stun-rto-ms", "100"},
     "--stun-rto-ms does not apply"},
};

INSTANTIATE_TEST_SUITE_P(Options, BadCommandLine, ::testing::ValuesIn(kBadCases),
                         [](const auto& param) { return std::string(param.param.name); });

// Host names on the command line go to the resolver the client passes; here a fake one, so no
// query leaves the machine. Text of digits and dots alone is never looked up.
struct NameCase {
    const char* name;
    std::vector<std::string> args;
    bool ok = false;
    std::vector<std::string> asked = {};  // what reached the resolver
    const char* errorContains = "";       // when !ok
    void (*check)(const CliOptions&) = nullptr;
};

void PrintTo(const NameCase& row, std::ostream* os) {
    *os << row.name;
}

class HostNameCommandLine : public ::testing::TestWithParam<NameCase> {};

TEST_P(HostNameCommandLine, ResolvesThroughTheGivenResolver) {
    std::vector<std::string> asked;
    const HostResolver fake = [&asked](const std::string& name) {
        asked.push_back(name);
        HostLookup found;
        if (name == "stun1.lab.test") {
            found.ok = true;
            found.addressNet = Addr("127.0.0.2");
        } else if (name == "zero.lab.test") {
            found.ok = true;
            found.addressNet = 0;
        } else {
            found.error = "Name or service not known";
        }
        return found;
    };
    const NameCase& c = GetParam();
    ParseResult r = ParseCommandLine(c.args, fake);
    EXPECT_EQ(r.ok, c.ok) << r.error;
    EXPECT_EQ(asked, c.asked);
    if (!c.ok) {
        EXPECT_NE(r.error.find(c.errorContains), std::string::npos) << r.error;
    } else if (c.check) {
        c.check(r.options);
    }
}

// What the fake resolver's "stun1.lab.test" gives, as the first server and as the friend.
void Server1IsStun1(const CliOptions& o) {
    EXPECT_EQ(o.server1->addressNet, Addr("127.0.0.2"));
    EXPECT_EQ(o.server1->portNet, htons(3478));
}
void FriendIsStun1(const CliOptions& o) {
    EXPECT_EQ(*o.friendIp, Addr("127.0.0.2"));
}

// One row per line:
// clang-format off
const NameCase kNameCases[] = {
    {.name = "ServerName", .args = {"--server1", "stun1.lab.test:3478"}, .ok = true, .asked = {"stun1.lab.test"}, .check = Server1IsStun1},
    {.name = "FriendName", .args = {"--friend=stun1.lab.test"}, .ok = true, .asked = {"stun1.lab.test"}, .check = FriendIsStun1},
    {.name = "UnknownServerName", .args = {"--server2", "nowhere.lab.test:3478"}, .asked = {"nowhere.lab.test"}, .errorContains = "--server2: 'nowhere.lab.test:3478': cannot be resolved: Name or service"},
    {.name = "UnknownFriendName", .args = {"--friend", "gone.lab.test"}, .asked = {"gone.lab.test"}, .errorContains = "--friend: 'gone.lab.test': cannot be resolved"},
    {.name = "NameOfZeroIsNoServer", .args = {"--server1", "zero.lab.test:3478"}, .asked = {"zero.lab.test"}, .errorContains = "other than 0.0.0.0"},
    {.name = "BadPortIsRefusedBeforeAnyLookup", .args = {"--server1", "stun1.lab.test:0"}, .errorContains = "port 1-65535"},
    {.name = "DigitsAndDotsAreNeverLookedUp", .args = {"--friend", "10.0.0.010"}, .errorContains = "not a dotted IPv4 address or host name"},
    {.name = "BlanksAreNeverLookedUp", .args = {"--server1", "stun 1:3478"}, .errorContains = "--server1"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Options, HostNameCommandLine, ::testing::ValuesIn(kNameCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(OptionsOverrides, CommandLineServersReplaceFileValuesAndMendZeros) {
    ParseResult r = ParseCommandLine({"--server1", "127.0.0.2:4000", "--friend", "10.9.8.7"});
    ASSERT_TRUE(r.ok);
    StunSettings s;
    s.server1Ip = 0;  // as a file with STUN1_IP=0.0.0.0 loads
    s.server1Port = htons(70);
    s.server2Ip = Addr("127.0.0.3");
    s.server2Port = htons(1170);
    EXPECT_TRUE(ApplyOverrides(r.options, s));
    EXPECT_EQ(s.server1Ip, Addr("127.0.0.2"));
    EXPECT_EQ(s.server1Port, htons(4000));
    EXPECT_EQ(s.server2Ip, Addr("127.0.0.3"));  // not given: the file's value stays
    EXPECT_EQ(s.friendIp, Addr("10.9.8.7"));
}

TEST(OptionsOverrides, ZeroLeftInTheFileStillMakesSettingsInvalid) {
    ParseResult r = ParseCommandLine({"--server1", "127.0.0.2:4000"});
    StunSettings s;
    s.server2Ip = Addr("127.0.0.3");  // server2 port left 0
    EXPECT_FALSE(ApplyOverrides(r.options, s));
    s.server2Port = htons(1);
    EXPECT_TRUE(ApplyOverrides(r.options, s));
}

TEST(OptionsHelp, ExplainsEveryOptionAndTheExitCodes) {
    const std::string help = UsageText("gatewise-cli");
    for (const char* word :
         {"--config", "--server1", "--server2", "--friend", "--log", "--json", "--report",
          "--respond", "--tick-ms", "--lifetime", "--portmap", "--portmap-verify", "--hops",
          "--check", "--help", "Exit status", "130"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
    EXPECT_EQ(help.back(), '\n');
}

}  // namespace
