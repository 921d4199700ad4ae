// Servers found by DNS SRV: --stun DOMAIN's parse, the run that goes on to the next record, and
// a settings file whose STUN1_IP names the pair. Resolvers and the STUN run are tables and fakes:
// no name is looked up, no datagram sent.
#include "cli/stun_srv.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <ostream>

#include <map>

#include "core/log.h"
#include "tests/core/temp_dir.h"

namespace {

// stun.test and s1/s2.test have addresses; every other name has none.
HostLookup Resolve(const std::string& name) {
    static const std::map<std::string, const char*> kHosts = {
        {"stun.test", "127.0.0.5"}, {"s1.test", "127.0.0.11"}, {"s2.test", "127.0.0.12"}};
    const auto it = kHosts.find(name);
    if (it == kHosts.end())
        return {.ok = false, .addressNet = 0, .error = "Name or service not known", .address6 = {}};
    return {.ok = true, .addressNet = inet_addr(it->second), .error = {}, .address6 = {}};
}

// The SRV answers of the tests, and every name asked.
struct FakeSrv {
    std::map<std::string, SrvLookup> answers;
    std::vector<std::string> asked;
    SrvResolver Resolver() {
        return [this](const std::string& name) {
            asked.push_back(name);
            const auto it = answers.find(name);
            return it == answers.end() ? SrvLookup{} : it->second;
        };
    }
};

const SrvLookup kGwRecords = {{{20, 0, 4478, "stun.test"}, {10, 0, 3478, "nowhere.test"}}, ""};

struct ParseRow {
    const char* name;
    std::vector<std::string> args;
    std::map<std::string, SrvLookup> answers;
    std::vector<std::string> asked;
    const char* error = nullptr;  // nullptr: accepted
    const char* address = "";
    int port = 0;
    std::size_t targets = 0;
    const char* note = "";
};

// Rows print as their name in test listings.
void PrintTo(const ParseRow& row, std::ostream* os) {
    *os << row.name;
}

// clang-format off
const ParseRow kParseRows[] = {
    // The first record's target has no address: the run will say so and skip it.
    {.name = "ByPriority", .args = {"--stun", "gw.test"}, .answers = {{"_stun._udp.gw.test", kGwRecords}}, .asked = {"_stun._udp.gw.test"}, .address = "127.0.0.5", .port = 4478, .targets = 2},
    {.name = "PortGivenNoSrv", .args = {"--stun", "stun.test:3479"}, .answers = {}, .asked = {}, .address = "127.0.0.5", .port = 3479},
    {.name = "LiteralNoSrv", .args = {"--stun", "127.0.0.2", "--stun2", "stun.test"}, .answers = {}, .asked = {}, .address = "127.0.0.2", .port = 3478},
    {.name = "NoRecordsFallBack", .args = {"--stun", "stun.test"}, .answers = {}, .asked = {"_stun._udp.stun.test"}, .address = "127.0.0.5", .port = 3478, .note = "No SRV records for _stun._udp.stun.test; using stun.test at port 3478"},
    {.name = "FailedLookupFallsBack", .args = {"--stun", "stun.test"}, .answers = {{"_stun._udp.stun.test", {{}, "timeout"}}}, .asked = {"_stun._udp.stun.test"}, .address = "127.0.0.5", .port = 3478, .note = "No SRV answer for _stun._udp.stun.test (timeout); using stun.test at port 3478"},
    {.name = "NotOffered", .args = {"--stun", "stun.test"}, .answers = {{"_stun._udp.stun.test", {{{0, 0, 0, "."}}, ""}}}, .asked = {"_stun._udp.stun.test"}, .error = "--stun: 'stun.test': _stun._udp.stun.test says no STUN service is offered there"},
    {.name = "NoUsableTarget", .args = {"--stun", "gw.test"}, .answers = {{"_stun._udp.gw.test", {{{10, 0, 3478, "nowhere.test"}}, ""}}}, .asked = {"_stun._udp.gw.test"}, .error = "no record of _stun._udp.gw.test can be used ('nowhere.test:3478': cannot be resolved"},
};
// clang-format on

class StunSrvParse : public ::testing::TestWithParam<ParseRow> {};

TEST_P(StunSrvParse, Parse) {
    const ParseRow& r = GetParam();
    FakeSrv srv{r.answers, {}};
    const ParseResult p = ParseCommandLine(r.args, Resolve, srv.Resolver());
    EXPECT_EQ(srv.asked, r.asked);
    if (r.error != nullptr) {
        EXPECT_FALSE(p.ok);
        EXPECT_NE(p.error.find(r.error), std::string::npos) << p.error;
        return;
    }
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_TRUE(p.options.stun->ipv4);
    EXPECT_EQ(p.options.stun->ipv4->Ipv4Address(), inet_addr(r.address));
    EXPECT_EQ(p.options.stun->ipv4->port, r.port);
    const std::optional<StunSrvChoice>& choice = p.options.stunSrv;
    EXPECT_EQ(choice ? choice->targets.size() : 0, r.targets);
    EXPECT_EQ(choice ? choice->note : "", r.note);
}

INSTANTIATE_TEST_SUITE_P(Cli, StunSrvParse, ::testing::ValuesIn(kParseRows),
                         [](const auto& p) { return std::string(p.param.name); });

class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override { theLog.SetOutputWindow(&log); }
    void TearDown() override { theLog.SetOutputWindow(nullptr); }
    CStringLogTarget log;
};

struct RunRow {
    const char* name;
    std::vector<bool> answers;  // per run: did the server answer
    std::uint64_t msPerRun;
    std::vector<int> ports;  // the servers run against
    std::string log;
};

// Rows print as their name in test listings.
void PrintTo(const RunRow& row, std::ostream* os) {
    *os << row.name;
}

// Every run skips the record without an address, then uses the next.
const std::string kFirstTry =
    "Skipping _stun._udp.gw.test: 5 0 1 nowhere.test: 'nowhere.test:1': cannot be resolved: Name "
    "or service not known\r\nUsing _stun._udp.gw.test: 10 0 3478 stun.test\r\n";

// clang-format off
const RunRow kRunRows[] = {
    {.name = "SilentFirstThenNext", .answers = {false, true}, .msPerRun = 1000, .ports = {3478, 4478},
     .log = kFirstTry + "\r\n"
            "No answer from stun.test; trying the next record of _stun._udp.gw.test\r\n"
            "Using _stun._udp.gw.test: 20 0 4478 s2.test\r\n"},
    {.name = "FirstAnswers", .answers = {true}, .msPerRun = 1000, .ports = {3478},
     .log = kFirstTry},
    {.name = "NoTimeLeft", .answers = {false}, .msPerRun = kSrvFallOverMs, .ports = {3478},
     .log = kFirstTry + "\r\n"
            "No answer from stun.test; no time left for the other records of _stun._udp.gw.test\r\n"},
};
// clang-format on

class StunSrvRun : public LoggedTest, public ::testing::WithParamInterface<RunRow> {};

TEST_P(StunSrvRun, GoesOnWhileSilent) {
    const RunRow& r = GetParam();
    FakeSrv srv{
        {{"_stun._udp.gw.test",
          {{{5, 0, 1, "nowhere.test"}, {10, 0, 3478, "stun.test"}, {20, 0, 4478, "s2.test"}}, ""}}},
        {}};
    const ParseResult p = ParseCommandLine({"--stun", "gw.test"}, Resolve, srv.Resolver());
    ASSERT_TRUE(p.ok) << p.error;
    std::uint64_t now = 0;
    std::vector<int> ports;
    const StunOutcome last = RunStunTargets(
        p.options,
        [&](const StunTarget& t) {
            StunOutcome o;
            o.finished = true;
            o.serverAnswered = r.answers.at(ports.size());
            o.server = *t.ipv4;
            ports.push_back(t.ipv4->port);
            now += r.msPerRun;
            return o;
        },
        [&] { return now; });
    EXPECT_EQ(ports, r.ports);
    EXPECT_EQ(last.server.port, r.ports.back());
    EXPECT_EQ(log.Text(), r.log);
}

INSTANTIATE_TEST_SUITE_P(Cli, StunSrvRun, ::testing::ValuesIn(kRunRows),
                         [](const auto& p) { return std::string(p.param.name); });

class SettingsPair : public LoggedTest {
protected:
    std::optional<SrvServerPair> Load(const char* server1, const SrvLookup& records) {
        WriteBytes(dir.File("STUN.ini"), std::string("[Setting]\nSTUN1_IP=") + server1 + "\n");
        srv.answers = {{"_gatewise._udp.pair.test", records}};
        return SettingsPairBySrv(dir.File("STUN.ini"), Resolve, srv.Resolver(),
                                 [](std::uint32_t) { return 0u; });
    }
    TempDir dir;
    FakeSrv srv;
};

TEST_F(SettingsPair, RecordsNameThePair) {
    const auto pair = Load("pair.test", {{{11, 0, 1170, "s2.test"}, {10, 0, 70, "s1.test"}}, ""});
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->server1.addressNet, inet_addr("127.0.0.11"));
    EXPECT_EQ(ntohs(pair->server1.portNet), 70);
    EXPECT_EQ(pair->server2.addressNet, inet_addr("127.0.0.12"));
    EXPECT_EQ(ntohs(pair->server2.portNet), 1170);
    EXPECT_EQ(log.Text(),
              "Using _gatewise._udp.pair.test: Server1 10 0 70 s1.test, Server2 11 0 "
              "1170 s2.test\r\n");
}

// A name with an address, or a dotted one, stands as it is: no SRV query, no log line.
TEST_F(SettingsPair, AddressOfItsOwnWins) {
    EXPECT_FALSE(Load("stun.test", {}));
    EXPECT_FALSE(Load("127.0.0.1", {}));
    EXPECT_TRUE(srv.asked.empty());
    EXPECT_EQ(log.Text(), "");
}

TEST_F(SettingsPair, IncompletePairIsSaid) {
    EXPECT_FALSE(Load("pair.test", {{{10, 0, 70, "s1.test"}}, ""}));
    EXPECT_FALSE(Load("pair.test", {{{10, 0, 70, "s1.test"}, {11, 0, 1170, "gone.test"}}, ""}));
    EXPECT_EQ(log.Text(),
              "Cannot use _gatewise._udp.pair.test: no record at priority 11 for STUN Server2\r\n"
              "Cannot use _gatewise._udp.pair.test: 'gone.test:1170': cannot be resolved: Name or "
              "service not known\r\n");
}

}  // namespace
