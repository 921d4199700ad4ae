// The real gatewise-cli against the real server logic on a slow path: slow_server answers every
// datagram a fixed time late, on 127.0.0.2/127.0.0.3 inside a network namespace of the row's own
// (unshare -rn), so the rows run at once and nothing leaves them. The quick runs must give the
// verdict lines of the full ones, for the check (--quick) and for the standard STUN tests
// (--stun --quick).
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "cli/exit_codes.h"
#include "tests/cli/verdict_lines.h"
#include "tests/core/temp_dir.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kUnshare = "/usr/bin/unshare";
// Both servers on the same port (RFC 5780: P on both addresses, P+1 on both).
constexpr int kPort = 3478;

// The delays of the path, one row each: a usual path, then ones where every reply lands after
// a retransmission of the measuring request (every 250 ms) and up to 2 s.
const int kDelaysMs[] = {0, 500, 760, 1000, 1500, 2000};

using Run = gwtest::CliRun;

// Why the rows cannot run here (empty: they can).
std::string Missing() {
    if (access(GATEWISE_SLOW_SERVER, X_OK) != 0)
        return "slow_server is not built";
    if (access(kUnshare, X_OK) != 0)
        return "no unshare";
    TempDir dir;
    if (gwtest::RunBounded({kUnshare, "-rn", "/bin/true"}, 5s, dir.File("o"), dir.File("e")) != 0)
        return "needs a network namespace (unshare -rn)";
    return {};
}

// One client run in a namespace of its own, against slow servers answering delayMs late. The
// client gets its own STUN.ini, naming the two loopback servers and no friend.
Run RunClient(int delayMs, const std::vector<std::string>& clientArgs) {
    TempDir dir;
    const std::string port = std::to_string(kPort);
    WriteBytes(dir.File("STUN.ini"), "[Setting]\r\nSTUN1_IP=127.0.0.2\r\nSTUN1_PORT=" + port +
                                         "\r\nSTUN2_IP=127.0.0.3\r\nSTUN2_PORT=" + port +
                                         "\r\nFRIEND_IP=0.0.0.0\r\n");
    std::vector<std::string> argv = {kUnshare,
                                     "-rn",
                                     GATEWISE_E2E_RUNNER,
                                     "--lo-up",
                                     "--mode",
                                     "real",
                                     "--server-bin",
                                     GATEWISE_SLOW_SERVER,
                                     "--server-arg",
                                     "--delay-ms",
                                     "--server-arg",
                                     std::to_string(delayMs),
                                     "--server1",
                                     "127.0.0.2:" + port,
                                     "--server2",
                                     "127.0.0.3:" + port,
                                     "--timeout-ms",
                                     "20000",
                                     "--stdout",
                                     dir.File("out"),
                                     "--stderr",
                                     dir.File("err"),
                                     "--",
                                     GATEWISE_CLI_PATH};
    // --stun reads no settings.
    if (clientArgs.front() != "--stun")
        argv.insert(argv.end(), {"--config", dir.File("STUN.ini")});
    argv.insert(argv.end(), clientArgs.begin(), clientArgs.end());
    return gwtest::RunThroughRunner(argv, dir, 30s);
}

// The full and the quick run of every row, all at once: a row's time is mostly waiting.
struct RowRuns {
    int delayMs;
    Run full, quick;
};
std::vector<RowRuns> RunRows(const std::vector<std::string>& fullArgs,
                             const std::vector<std::string>& quickArgs) {
    std::vector<std::future<Run>> pending;
    for (const int delayMs : kDelaysMs) {
        pending.push_back(std::async(std::launch::async, RunClient, delayMs, fullArgs));
        pending.push_back(std::async(std::launch::async, RunClient, delayMs, quickArgs));
    }
    std::vector<RowRuns> rows;
    for (std::size_t i = 0; i < std::size(kDelaysMs); ++i) {
        Run full = pending[2 * i].get();
        Run quick = pending[2 * i + 1].get();
        rows.push_back({kDelaysMs[i], std::move(full), std::move(quick)});
    }
    return rows;
}

// The quick check's own duration, from its JSON object; -1 when there is none.
long DurationMs(const std::string& out) {
    const std::string key = "\"durationMs\":";
    const std::size_t at = out.find(key);
    return at == std::string::npos ? -1 : std::strtol(out.c_str() + at + key.size(), nullptr, 10);
}

TEST(CliSlowPathEndToEnd, QuickCheckGivesTheFullChecksVerdictLines) {
    if (const std::string why = Missing(); !why.empty())
        GTEST_SKIP() << why;
    for (const RowRuns& row : RunRows({"--json"}, {"--quick", "--json"})) {
        SCOPED_TRACE("path of " + std::to_string(row.delayMs) + " ms");
        if (row.full.exit != kExitOk) {
            ADD_FAILURE() << "the full check ended " << row.full.exit << "\n"
                          << row.full.out << row.full.err;
            continue;
        }
        EXPECT_EQ(gwtest::SummaryLines(row.full.out),
                  (std::vector<std::string>{"NAT INCOMING PACKAGES FILTER :    OPEN"}));
        EXPECT_EQ(row.quick.exit, kExitOk) << row.quick.out << row.quick.err;
        EXPECT_EQ(gwtest::SummaryLines(row.quick.out), gwtest::SummaryLines(row.full.out))
            << row.quick.out;
        // Longer than three seconds only on a path the log calls slow.
        const long ms = DurationMs(row.quick.out);
        EXPECT_GT(ms, 0) << row.quick.out;
        if (ms > 3000) {
            EXPECT_NE(row.quick.out.find("--- The path to the servers is slow: "),
                      std::string::npos)
                << row.quick.out;
        }
    }
}

// Until the STUN quick mode takes its round trips by Karn's rule too, the slow rows fail here.
TEST(CliSlowPathEndToEnd, StunQuickModeGivesTheFullRunsVerdictLines) {
    if (const std::string why = Missing(); !why.empty())
        GTEST_SKIP() << why;
    const std::string at = "127.0.0.2:" + std::to_string(kPort);
    for (const RowRuns& row :
         RunRows({"--stun", at, "--json"}, {"--stun", at, "--json", "--quick"})) {
        SCOPED_TRACE("path of " + std::to_string(row.delayMs) + " ms");
        if (row.full.exit != kExitOk) {
            ADD_FAILURE() << "the full run ended " << row.full.exit << "\n"
                          << row.full.out << row.full.err;
            continue;
        }
        EXPECT_FALSE(gwtest::StunVerdictLines(row.full.out).empty()) << row.full.out;
        EXPECT_EQ(row.quick.exit, row.full.exit) << row.quick.out << row.quick.err;
        EXPECT_EQ(gwtest::StunVerdictLines(row.quick.out), gwtest::StunVerdictLines(row.full.out))
            << row.quick.out;
    }
}

}  // namespace
