// The real gatewise-cli binary against probe servers on 127.0.0.2/127.0.0.3. Each scenario runs
// through cli_e2e_runner, inside a network namespace of its own when the system allows one (then
// the fixed ports 9801/9802 are private and nothing, a stray broadcast included, leaves it).
// Every test writes its own STUN.ini naming only 127.0.0.x servers ("localhost" among them) and
// FRIEND_IP 0.0.0.0, or names with blanks, which are never looked up.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/exit_codes.h"
#include "tests/cli/verdict_lines.h"
#include "tests/core/temp_dir.h"
#include "tests/support/child_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The files the scenarios read and write are whole byte strings.
const auto& ReadFile = ReadBytes;
const auto& WriteFile = WriteBytes;

constexpr const char* kUnshare = "/usr/bin/unshare";

bool NamespaceAvailable() {
    static const bool available = [] {
        if (access(kUnshare, X_OK) != 0)
            return false;
        TempDir dir;
        return gwtest::RunBounded({kUnshare, "-rn", "/bin/true"}, 5s, dir.File("o"),
                                  dir.File("e")) == 0;
    }();
    return available;
}

std::string ServerBinary() {
#ifdef GATEWISE_SERVER_PATH
    if (access(GATEWISE_SERVER_PATH, X_OK) == 0)
        return GATEWISE_SERVER_PATH;
#endif
    return {};
}

struct Scenario {
    std::string mode = "none";              // real|silent|none
    std::string server1Host = "127.0.0.2";  // where the runner puts Server1
    std::vector<std::string> clientArgs = {};
    std::string ini;  // STUN.ini text; Server ports are filled in from P1/P2 below
    int holdPort = 0;
    int signalAfterMs = -1;
    int friendSearchAfterMs = -1;
    int timeoutMs = 15000;
};

struct Outcome {
    int exit = -1;
    std::string out, err, runnerErr;
    std::chrono::milliseconds elapsed{0};
};

class CliEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        m_inNamespace = NamespaceAvailable();
        // In a namespace of its own every port is free; outside, stay clear of other users.
        const int base = m_inNamespace ? 3478 : 20000 + (getpid() % 4000) * 2;
        m_port1 = base;
        m_port2 = base + 10;
    }

    std::string Ini(const std::string& server1Port = {}, const std::string& server1 = "127.0.0.2",
                    const std::string& friendIp = "0.0.0.0") const {
        return "[Setting]\r\nSTUN1_IP=" + server1 +
               "\r\nSTUN1_PORT=" + (server1Port.empty() ? std::to_string(m_port1) : server1Port) +
               "\r\nSTUN2_IP=127.0.0.3\r\nSTUN2_PORT=" + std::to_string(m_port2) +
               "\r\nFRIEND_IP=" + friendIp + "\r\nREPORT=checks@example.test\r\n";
    }

    Outcome Run(Scenario sc) {
        std::vector<std::string> argv;
        if (m_inNamespace)
            argv = {kUnshare, "-rn"};
        argv.push_back(GATEWISE_E2E_RUNNER);
        if (m_inNamespace)
            argv.push_back("--lo-up");
        argv.insert(argv.end(),
                    {"--mode", sc.mode, "--server1", sc.server1Host + ":" + std::to_string(m_port1),
                     "--server2", "127.0.0.3:" + std::to_string(m_port2), "--timeout-ms",
                     std::to_string(sc.timeoutMs), "--stdout", m_dir.File("out"), "--stderr",
                     m_dir.File("err")});
        if (sc.mode == "real")
            argv.insert(argv.end(), {"--server-bin", ServerBinary()});
        if (sc.holdPort)
            argv.insert(argv.end(), {"--hold-port", std::to_string(sc.holdPort)});
        if (sc.signalAfterMs >= 0) {
            argv.insert(argv.end(), {"--signal-after-ms", std::to_string(sc.signalAfterMs)});
        }
        if (sc.friendSearchAfterMs >= 0) {
            argv.insert(argv.end(),
                        {"--friend-search-after-ms", std::to_string(sc.friendSearchAfterMs)});
        }
        WriteFile(m_dir.File("STUN.ini"), sc.ini);
        argv.insert(argv.end(), {"--", GATEWISE_CLI_PATH, "--config", m_dir.File("STUN.ini")});
        argv.insert(argv.end(), sc.clientArgs.begin(), sc.clientArgs.end());

        Outcome o;
        const auto start = Clock::now();
        o.exit = gwtest::RunBounded(argv, 20s, m_dir.File("runner.out"), m_dir.File("runner.err"));
        o.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        o.out = ReadFile(m_dir.File("out"));
        o.err = ReadFile(m_dir.File("err"));
        o.runnerErr = ReadFile(m_dir.File("runner.err"));
        return o;
    }

    // Why a scenario with the real probe server cannot run here (empty: it can). Outside a
    // namespace of its own a wrong verdict or a friend search would broadcast.
    std::string RealServerMissing() const {
        if (ServerBinary().empty())
            return "gatewise-server is not built";
        if (!m_inNamespace)
            return "needs a network namespace (unshare -rn)";
        return {};
    }

    bool m_inNamespace = false;
    int m_port1 = 0;
    int m_port2 = 0;
    TempDir m_dir;
};

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Lines of text in order, each found after the one before.
::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t at = 0;
    for (const auto& p : parts) {
        std::size_t found = text.find(p, at);
        if (found == std::string::npos) {
            return ::testing::AssertionFailure() << "missing (in order): " << p << "\n" << text;
        }
        at = found + p.size();
    }
    return ::testing::AssertionSuccess();
}

std::string CrLf(const std::string& lf) {
    std::string out;
    for (char c : lf) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

TEST_F(CliEndToEnd, ReachesOpenAgainstProbeServersAndEndsAfterTheSummary) {
    if (const std::string why = RealServerMissing(); !why.empty())
        GTEST_SKIP() << why;
    Outcome o = Run(
        {.mode = "real",
         .clientArgs = {"--tick-ms", "100", "--json", "--report", "--log", m_dir.File("log.txt")},
         .ini = Ini()});
    ASSERT_EQ(o.exit, kExitOk) << o.out << o.err << o.runnerErr;
    const std::string port1 = std::to_string(m_port1);
    EXPECT_TRUE(InOrder(
        o.out,
        {"STUN - Simple Traversal of User Datagram Protocol (UDP)Through Network Address "
         "Translators (NATs) Test Program\n",
         "Using ", "Press F5 to start...\n", "\n" + std::string(81, '*') + "\n\n",
         " --- Start NAT Check...\n", "STUN Server Information:\n",
         "    STUN Server1 IP address: 127.0.0.2   Port:" + port1 + "\n", "Local machine port:[",
         ",9801,9802]\n", "STUN Server1 reports my UDP address as 127.0.0.1:",
         "Receive STUN Server2 CHANGE-REQUEST response\n",
         "\nNAT INCOMING PACKAGES FILTER :    OPEN\n", "        NAT Detect Result Summarize\n",
         "Press F5 to start...\n",
         "mailto:checks@example.test?subject= Report&body=The Test result is:%0a%0a"
         "NAT INCOMING PACKAGES FILTER :    OPEN%0a%0a%0a%0a\n",
         "\nWhat this means for peer-to-peer\n\nThis computer's address is public and not "
         "translated (no NAT), and nothing filters incoming packets.\n",
         "    symmetric           yes\n",
         R"j({"status":"finished","filter":{"code":1,"text":"OPEN"},"loopback":null,)j",
         R"j("mapping":"endpoint-independent","filtering":"endpoint-independent",)j"
         R"j("hairpinning":null,"p2p":{"rating":"easy","nat":false,)j"}));
    // OPEN goes straight to the summary: no other test and no friend search.
    EXPECT_FALSE(Has(o.out, "NAT Port allocate rule check start"));
    EXPECT_FALSE(Has(o.out, "Start to search a friend"));
    EXPECT_FALSE(Has(o.out, "\r"));
    EXPECT_TRUE(Has(o.out, R"j("mapped":{"address":"127.0.0.1","port":)j"));
    // Standard error is a file here: no progress line, no message.
    EXPECT_EQ(o.err, "");

    // The log file is the log alone (not the link or the JSON), with the application's CRLF.
    const std::string log = ReadFile(m_dir.File("log.txt"));
    const std::size_t linkAt = o.out.find("mailto:");
    ASSERT_NE(linkAt, std::string::npos);
    EXPECT_EQ(log, CrLf(o.out.substr(0, linkAt)));
}

using gwtest::SummaryLines;

TEST_F(CliEndToEnd, QuickModeFindsTheSameVerdictLinesWellUnderThreeSeconds) {
    if (const std::string why = RealServerMissing(); !why.empty())
        GTEST_SKIP() << why;
    Outcome full = Run({.mode = "real", .clientArgs = {"--tick-ms", "100"}, .ini = Ini()});
    ASSERT_EQ(full.exit, kExitOk) << full.out << full.err << full.runnerErr;
    Outcome quick = Run({.mode = "real",
                         .clientArgs = {"--quick", "--json", "--log", m_dir.File("log.txt")},
                         .ini = Ini()});
    ASSERT_EQ(quick.exit, kExitOk) << quick.out << quick.err << quick.runnerErr;
    EXPECT_EQ(SummaryLines(quick.out),
              (std::vector<std::string>{"NAT INCOMING PACKAGES FILTER :    OPEN"}));
    EXPECT_EQ(SummaryLines(quick.out), SummaryLines(full.out));
    EXPECT_TRUE(
        InOrder(quick.out, {"STUN Server Information:\n",
                            " --- Quick NAT Check start: ", " --- Round trip to STUN Server1 ",
                            "\nNAT INCOMING PACKAGES FILTER :    OPEN\n",
                            "Press F5 to start...\n\nWhat this means for peer-to-peer\n",
                            R"j({"status":"finished","filter":{"code":1,"text":"OPEN"},)j"}));
    EXPECT_FALSE(Has(quick.out, "Local machine port:["));
    EXPECT_TRUE(InOrder(ReadFile(m_dir.File("log.txt")), {"Quick NAT Check start: "}));
    EXPECT_EQ(quick.err, "");
    // The whole scenario (servers, client and all), generously bounded: waits of 100 ms, not
    // ticks of a second.
    EXPECT_LT(quick.elapsed, 3s);
}

// --check --portmap: the port-mapping check follows the check on the same log, with the check's
// mapped address (so it asks no server again). The namespace has no default route: no router
// is asked anything.
TEST_F(CliEndToEnd, PortMapAfterTheCheckUsesTheChecksMappedAddress) {
    if (const std::string why = RealServerMissing(); !why.empty())
        GTEST_SKIP() << why;
    Outcome o = Run({.mode = "real",
                     .clientArgs = {"--check", "--portmap", "--quick", "--json", "--log",
                                    m_dir.File("log.txt")},
                     .ini = Ini()});
    ASSERT_EQ(o.exit, kExitOk) << o.out << o.err << o.runnerErr;
    EXPECT_TRUE(InOrder(
        o.out, {"\nNAT INCOMING PACKAGES FILTER :    OPEN\n", "Press F5 to start...\n",
                " --- Start port mapping check (UPnP IGD, NAT-PMP, PCP)...\n",
                " --- No default gateway: there is no router to ask\n",
                "        Port Mapping Check Result Summarize\n", "DEFAULT GATEWAY :    NONE\n",
                "\nWhat this means for peer-to-peer\n\nThis computer's address is public",
                "    symmetric           yes\n\nNo default gateway was found, so no router could be asked",
                R"j({"status":"finished","filter":{"code":1,"text":"OPEN"},)j",
                R"j("compatible":{"open":true,"fullCone":true,"restricted":true,)j"
                R"j("portRestricted":true,"symmetric":true}},"portMapping":{"gateway":null,)j",
                R"j("natLayers":{"doubleNat":null,"cgnat":null,"gatewayExternal":null,)j"
                R"j("mapped":"127.0.0.1","reasons":[],"hops":[]}})j"}));
    EXPECT_FALSE(Has(o.out, "for the mapped address...")) << o.out;
    EXPECT_TRUE(InOrder(ReadFile(m_dir.File("log.txt")),
                        {"NAT Detect Result Summarize", "Port Mapping Check Result Summarize"}));
}

// --portmap alone runs no check: it asks Server1 of the settings file for the mapped address,
// and a file without a usable Server1 is invalid settings, as for --lifetime.
TEST_F(CliEndToEnd, PortMapAloneAsksServer1OfTheSettingsFile) {
    if (const std::string why = RealServerMissing(); !why.empty())
        GTEST_SKIP() << why;
    Outcome o = Run({.mode = "real", .clientArgs = {"--portmap", "--json"}, .ini = Ini()});
    ASSERT_EQ(o.exit, kExitOk) << o.out << o.err << o.runnerErr;
    EXPECT_TRUE(InOrder(o.out, {" --- Start port mapping check",
                                " --- Binding request to 127.0.0.2:" + std::to_string(m_port1) +
                                    " for the mapped address...\n",
                                " --- Mapped address: 127.0.0.1\n",
                                "\nWhat this means for peer-to-peer\n\nNo default gateway was found",
                                R"j({"status":"finished","portMapping":{"gateway":null,)j"}));
    EXPECT_FALSE(Has(o.out, "Start NAT Check"));
    Outcome zero = Run({.clientArgs = {"--portmap", "--json"}, .ini = Ini("0")});
    EXPECT_EQ(zero.exit, kExitInvalidSettings) << zero.out << zero.err;
    EXPECT_TRUE(Has(zero.err, "STUN Server1's address or port is zero")) << zero.err;
}

TEST_F(CliEndToEnd, SilentServerEndsInUnknownWithinThirteenTicks) {
    // The file names no usable Server1; the command line supplies it for this run.
    Outcome o = Run({.mode = "silent",
                     .clientArgs = {"--tick-ms", "50", "--json", "--server1",
                                    "127.0.0.2:" + std::to_string(m_port1)},
                     .ini = Ini("0")});
    ASSERT_EQ(o.exit, kExitUnknown) << o.out << o.err << o.runnerErr;
    EXPECT_TRUE(
        InOrder(o.out, {"Request STUN Server1 my MAPPED-ADDRESS...\n",
                        "I can't receive any response from STUN Server, NAT Check stop!\n",
                        "NAT INCOMING PACKAGES FILTER :    UNKNOWN\n", "Press F5 to start...\n",
                        R"j({"status":"finished","filter":{"code":0,"text":"UNKNOWN"},)j"
                        R"j("loopback":null,"allocation":null,)j"}));
    EXPECT_TRUE(Has(o.out, R"j("mapped":null)j"));
    // Without --report the result counts as cancelled: no link.
    EXPECT_FALSE(Has(o.out, "mailto:"));
    EXPECT_FALSE(Has(o.out, "UDP LOOPBACK TRANSLATION"));
    EXPECT_TRUE(InOrder(o.out, {"Press F5 to start...\n\nWhat this means for peer-to-peer\n\n"
                                "No server answered. Check the servers in '",
                                "Peer-to-peer rating: not determined.\n",
                                "    symmetric           not determined\n{\"status\""}));
    // 13 ticks of 50 ms, not 13 seconds.
    EXPECT_LT(o.elapsed, 8s);
}

TEST_F(CliEndToEnd, ZeroServerPortIsInvalidSettings) {
    Outcome o = Run({.clientArgs = {"--tick-ms", "50", "--json"}, .ini = Ini("0")});
    ASSERT_EQ(o.exit, kExitInvalidSettings) << o.out << o.err << o.runnerErr;
    // The engine starts nothing and writes nothing after the start banner.
    EXPECT_TRUE(InOrder(o.out, {"Press F5 to start...\n", "Init NAT Check module success...\n",
                                "\nWhat this means for peer-to-peer\n\nNo check was started: ",
                                R"j({"status":"invalid-settings","filter":null,)j"}));
    EXPECT_FALSE(Has(o.out, "STUN Server Information"));
    EXPECT_TRUE(Has(o.err, "STUN1_PORT is zero")) << o.err;
}

TEST_F(CliEndToEnd, HeldPortMeansSocketsCannotBeOpened) {
    if (!m_inNamespace)
        GTEST_SKIP() << "holding 9802 outside a namespace would disturb others";
    Outcome o = Run({.ini = Ini(), .holdPort = 9802});
    ASSERT_EQ(o.exit, kExitSockets) << o.out << o.err << o.runnerErr;
    EXPECT_TRUE(InOrder(o.out, {"Using ", "Init WinSock2.0 fail...I have to exit program\n"}));
    EXPECT_FALSE(Has(o.out, "Press F5 to start..."));
    EXPECT_TRUE(Has(o.out, "\n\nThe UDP sockets could not be opened, so no check ran;")) << o.out;
    EXPECT_TRUE(Has(o.err, "could not open the UDP sockets")) << o.err;
}

TEST_F(CliEndToEnd, SigtermEndsARunningCheckAtOnce) {
    // With the default one-second tick the check would wait 13 s for Server1.
    Outcome o =
        Run({.mode = "silent", .clientArgs = {"--json"}, .ini = Ini(), .signalAfterMs = 700});
    ASSERT_EQ(o.exit, kExitSignalBase + SIGTERM) << o.out << o.err << o.runnerErr;
    EXPECT_TRUE(Has(o.out, "Request STUN Server1 my MAPPED-ADDRESS..."));
    EXPECT_FALSE(Has(o.out, "NAT Detect Result Summarize"));
    // No summary; the meaning says the check was stopped, and so does the JSON's text.
    EXPECT_TRUE(InOrder(o.out, {"\nWhat this means for peer-to-peer\n\nThe check was stopped "
                                "before it finished. Run the check again, and let it end.\n",
                                R"j({"status":"interrupted","filter":null,)j",
                                R"j("text":"The check was stopped before it finished.)j"}));
    EXPECT_TRUE(Has(o.err, "interrupted by SIGTERM"));
    EXPECT_LT(o.elapsed, 6s);
}

TEST_F(CliEndToEnd, RespondModeAnswersAFriendSearchUntilStopped) {
    if (const std::string why = RealServerMissing(); !why.empty())
        GTEST_SKIP() << why;
    // The signal comes right after the search was answered.
    Outcome o = Run({.mode = "real",
                     .clientArgs = {"--respond"},
                     .ini = Ini(),
                     .signalAfterMs = 0,
                     .friendSearchAfterMs = 300});
    ASSERT_EQ(o.exit, kExitOk) << o.out << o.err << o.runnerErr;
    EXPECT_TRUE(InOrder(
        o.out,
        {"Press F5 to start...\n", " --- Request STUN Server1 my Socket4 MAPPED-ADDRESS...\n",
         " --- STUN Server1 report my Socket4 MAPPED-ADDRESS as 9802...\n"}));
    EXPECT_FALSE(Has(o.out, "Start NAT Check"));
}

// A host name in the settings file is looked up ("localhost" only: answered by the machine
// itself); a server's that cannot be resolved is said in the log and starts no check. A friend's
// that cannot be resolved means no friend: the check runs, and its verdict decides the exit status
// (it used to be reported as invalid settings, "no check was started", after a whole check). A
// port that is no number from 1 to 65535 is named the same way (it used to probe its low 16 bits).
TEST_F(CliEndToEnd, HostNamesInTheSettingsResolveOrAreNamedInTheLog) {
    struct Case {
        const char* name;
        const char* server1;   // STUN1_IP's text
        const char* friendIp;  // FRIEND_IP's text
        std::string mode;
        int exit;
        std::vector<std::string> out;  // in order
        const char* err;               // "" : standard error stays empty
        std::string port = {};         // STUN1_PORT's text; the server's port when empty
    };
    const std::string kNoName = ": not a dotted IPv4 address or host name\n";
    const std::vector<std::string> kUnknownVerdict = {
        "Request STUN Server1 my MAPPED-ADDRESS...\n",
        "NAT INCOMING PACKAGES FILTER :    UNKNOWN\n"};
    // Blanks make these no host names, so even they never become a query.
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.name = "localhost", .server1 = "localhost", .friendIp = "0.0.0.0", .mode = "silent", .exit = kExitUnknown, .out = {"    STUN Server1 IP address: 127.0.0.1   Port:", kUnknownVerdict[0], kUnknownVerdict[1]}, .err = ""},
        {.name = "unresolvable server", .server1 = "no such host", .friendIp = "0.0.0.0", .mode = "none", .exit = kExitInvalidSettings, .out = {"Init NAT Check module success...\n", "Cannot resolve STUN Server1 address \"no such host\"" + kNoName}, .err = "STUN1_IP cannot be resolved; no check was started"},
        {.name = "port out of range", .server1 = "127.0.0.1", .friendIp = "0.0.0.0", .mode = "none", .exit = kExitInvalidSettings, .out = {"Init NAT Check module success...\n", "Cannot use STUN Server1 port \"70000\": not a number from 1 to 65535\n"}, .err = "STUN1_PORT is not a number from 1 to 65535; no check was started", .port = "70000"},
        {.name = "unresolvable friend", .server1 = "127.0.0.1", .friendIp = "no such friend", .mode = "silent", .exit = kExitUnknown, .out = {"Cannot resolve friend address \"no such friend\"" + kNoName, kUnknownVerdict[0], kUnknownVerdict[1]}, .err = ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        Outcome o = Run({.mode = c.mode,
                         .server1Host = "127.0.0.1",
                         .clientArgs = {"--tick-ms", "50"},
                         .ini = Ini(c.port, c.server1, c.friendIp)});
        EXPECT_EQ(o.exit, c.exit) << c.name << "\n" << o.out << o.err << o.runnerErr;
        EXPECT_TRUE(InOrder(o.out, c.out)) << c.name;
        if (*c.err == '\0') {
            EXPECT_EQ(o.err, "") << c.name;
        } else {
            EXPECT_TRUE(Has(o.err, c.err)) << c.name << ": " << o.err;
        }
        if (c.exit == kExitInvalidSettings) {
            EXPECT_FALSE(Has(o.out, "STUN Server Information")) << c.name;
        }
    }
}

// No sockets involved: the command line is refused before anything starts.
TEST(CliBinary, BadOptionIsAUsageError) {
    TempDir dir;
    int code = gwtest::RunBounded({GATEWISE_CLI_PATH, "--server1", "127.0.0.2:0"}, 10s,
                                  dir.File("o"), dir.File("e"));
    EXPECT_EQ(code, kExitUsage);
    EXPECT_TRUE(Has(ReadFile(dir.File("e")), "--server1")) << ReadFile(dir.File("e"));
    EXPECT_EQ(ReadFile(dir.File("o")), "");
}

TEST(CliBinary, MissingConfigFileIsAUsageErrorNotTheDefaultServers) {
    TempDir dir;
    int code = gwtest::RunBounded({GATEWISE_CLI_PATH, "--config", dir.File("absent.ini")}, 10s,
                                  dir.File("o"), dir.File("e"));
    EXPECT_EQ(code, kExitUsage);
    EXPECT_TRUE(Has(ReadFile(dir.File("e")), "cannot read the settings file"));
    EXPECT_EQ(ReadFile(dir.File("o")), "");
}

// --log naming the settings file, by any name, would empty it before it is read and then write
// the log over it. It is refused before anything is written.
TEST(CliBinary, LogFileThatIsTheSettingsFileIsRefusedAndTheFileKept) {
    struct Case {
        const char* name;
        const char* logName;  // in the test's folder; made to point at STUN.ini as named
        bool symlink;
        bool hardLink;
    };
    const Case cases[] = {
        {"same name", "STUN.ini", false, false},
        {"symbolic link", "link.txt", true, false},
        {"hard link", "hard.txt", false, true},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string ini = dir.File("STUN.ini");
        const std::string text =
            "[Setting]\r\nSTUN1_IP=127.0.0.2\r\nSTUN1_PORT=0\r\nREPORT=keep@example.test\r\n";
        WriteFile(ini, text);
        const std::string log = dir.File(c.logName);
        if (c.symlink) {
            ASSERT_EQ(::symlink(ini.c_str(), log.c_str()), 0);
        }
        if (c.hardLink) {
            ASSERT_EQ(::link(ini.c_str(), log.c_str()), 0);
        }
        const int code = gwtest::RunBounded({GATEWISE_CLI_PATH, "--config", ini, "--log", log}, 5s,
                                            dir.File("o"), dir.File("e"));
        EXPECT_EQ(code, kExitUsage) << c.name;
        EXPECT_EQ(ReadFile(ini), text) << c.name;
        EXPECT_TRUE(Has(ReadFile(dir.File("e")), "is the settings file"))
            << ReadFile(dir.File("e"));
        EXPECT_EQ(ReadFile(dir.File("o")), "") << c.name;
    }
}

// Only a regular file of at most 1 MiB is read as settings. A FIFO STUN.ini beside the
// executable used to hang the client for ever (SIGTERM included); now each is refused at once.
TEST(CliBinary, SettingsFileThatIsNoRegularFileIsRefusedAtOnce) {
    struct Case {
        const char* name;
        bool besideExecutable;  // the default STUN.ini of a copy of the binary, no --config
        const char* kind;       // fifo | dir | huge
        const char* reason;
    };
    const Case cases[] = {
        {"FIFO beside the executable", true, "fifo", "is a FIFO, not a regular file"},
        {"directory beside the executable", true, "dir", "is a directory, not a regular file"},
        {"--config FIFO", false, "fifo", "is a FIFO, not a regular file"},
        {"--config over 1 MiB", false, "huge", "is larger than 1 MiB"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string ini = dir.File("STUN.ini");
        const std::string kind = c.kind;
        std::unique_ptr<FifoGuard> fifo;
        if (kind == "fifo") {
            fifo = std::make_unique<FifoGuard>(ini, 4s);
            ASSERT_TRUE(fifo->Made());
        } else if (kind == "dir") {
            ASSERT_EQ(::mkdir(ini.c_str(), 0700), 0);
        } else {
            WriteFile(ini, "[Setting]\r\n" + std::string((1 << 20) + 1, ';'));
        }
        std::vector<std::string> argv;
        if (c.besideExecutable) {
            const std::string copy = dir.File("gatewise-cli");
            std::filesystem::copy_file(GATEWISE_CLI_PATH, copy);
            argv = {copy};
        } else {
            argv = {GATEWISE_CLI_PATH, "--config", ini};
        }
        argv.insert(argv.end(), {"--tick-ms", "50"});
        const auto start = Clock::now();
        const int code = gwtest::RunBounded(argv, 5s, dir.File("o"), dir.File("e"));
        EXPECT_EQ(code, kExitUsage) << c.name;
        EXPECT_LT(Clock::now() - start, 3s) << c.name;
        EXPECT_TRUE(Has(ReadFile(dir.File("e")), std::string("STUN.ini': it ") + c.reason))
            << c.name << ": " << ReadFile(dir.File("e"));
        if (fifo) {
            EXPECT_FALSE(fifo->Rescued()) << c.name << ": the client blocked on the FIFO";
        }
    }
}

// Where an installed copy keeps its settings. Each row runs a copy of the binary from a directory
// owned by another user, as root (sudo gatewise-cli): that directory is root's to write but not
// root's own, so the settings are root's per-user file unless an administrator put a STUN.ini
// beside the program; a per-user file that cannot be used stops the run with the reason, never
// with a check against the built-in placeholder servers. In an empty network namespace, so that
// even such a check would reach nobody. "@" in a row stands for the test's folder.
TEST(CliBinary, InstalledCopyRunByRootReadsItsOwnSettingsOrSaysWhyNone) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the program's folder must belong to another user";
    if (access(kUnshare, X_OK) != 0)
        GTEST_SKIP() << "needs unshare for an empty network namespace";
    struct Row {
        const char* name;
        const char* xdg;   // XDG_CONFIG_HOME; nullptr: unset
        const char* home;  // HOME; nullptr: unset
        bool beside;       // a STUN.ini (STUN2_PORT=0) beside the program
        const char* err;   // expected on standard error
    };
    const Row rows[] = {
        {"root's own file, not one beside /usr/bin", "@/cfg", "@/home", false,
         "invalid settings in '@/cfg/gatewise/STUN.ini': STUN1_PORT is zero"},
        {"an administrator's file beside the program wins", "@/cfg", "@/home", true,
         "invalid settings in '@/bin/STUN.ini': STUN2_PORT is zero"},
        {"XDG_CONFIG_HOME a regular file", "@/file", "@/home", false,
         "cannot use the settings file '@/file/gatewise/STUN.ini': '@/file' (from "
         "XDG_CONFIG_HOME) is not a directory; no check was started"},
        {"no XDG_CONFIG_HOME, no HOME", nullptr, nullptr, false,
         "cannot choose a settings file: no per-user settings directory: XDG_CONFIG_HOME is not "
         "set and HOME is not set; no check was started"},
        {"both relative", "cfg", "home", false,
         "no per-user settings directory: XDG_CONFIG_HOME 'cfg' is not an absolute path and HOME "
         "'home' is not an absolute path; no check was started"},
    };
    const auto at = [](std::string text, const std::string& dir) {
        for (std::size_t i = text.find('@'); i != std::string::npos; i = text.find('@', i + 1))
            text.replace(i, 1, dir);
        return text;
    };
    for (const Row& row : rows) {
        TempDir dir;
        const std::string bin = dir.File("bin");
        std::filesystem::create_directories(bin);
        std::filesystem::create_directories(dir.File("cfg/gatewise"));
        WriteFile(dir.File("cfg/gatewise/STUN.ini"),
                  "[Setting]\r\nSTUN1_IP=127.0.0.2\r\nSTUN1_PORT=0\r\n");
        WriteFile(dir.File("file"), "");
        if (row.beside)
            WriteFile(bin + "/STUN.ini", "[Setting]\r\nSTUN2_IP=127.0.0.3\r\nSTUN2_PORT=0\r\n");
        std::filesystem::copy_file(GATEWISE_CLI_PATH, bin + "/gatewise-cli");
        ASSERT_EQ(::chown(bin.c_str(), 65534, 65534), 0);
        std::vector<std::string> argv = {kUnshare,          "-n", "/usr/bin/env", "-u",
                                         "XDG_CONFIG_HOME", "-u", "HOME"};
        if (row.xdg != nullptr)
            argv.push_back("XDG_CONFIG_HOME=" + at(row.xdg, dir.Path()));
        if (row.home != nullptr)
            argv.push_back("HOME=" + at(row.home, dir.Path()));
        argv.insert(argv.end(), {bin + "/gatewise-cli", "--tick-ms", "50", "--json"});
        const int code = gwtest::RunBounded(argv, 10s, dir.File("o"), dir.File("e"));
        const std::string out = ReadFile(dir.File("o"));
        const std::string err = ReadFile(dir.File("e"));
        EXPECT_EQ(code, kExitInvalidSettings) << row.name << "\n" << err;
        EXPECT_TRUE(Has(err, at(row.err, dir.Path()))) << row.name << ": " << err;
        EXPECT_TRUE(Has(out, R"({"status":"invalid-settings")")) << row.name << ": " << out;
        EXPECT_FALSE(Has(out, "192.168.0.")) << row.name << ": " << out;
    }
}

}  // namespace
