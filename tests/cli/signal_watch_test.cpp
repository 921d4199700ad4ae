// The signal watcher's deadline and the relay that hands signals to the run. Real SIGTERMs, sent
// to this process with both stop signals blocked in every thread but taken by the watcher.
#include "cli/signal_watch.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <ostream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    while (!pred() && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    return pred();
}

struct GraceCase {
    const char* name;
    bool stopInTime;  // Stop comes before the grace is over
    bool overdue;     // expected: the overdue callback ran
};

void PrintTo(const GraceCase& row, std::ostream* os) {
    *os << row.name;
}

class SignalWatcherGrace : public ::testing::TestWithParam<GraceCase> {
protected:
    void SetUp() override { ASSERT_TRUE(BlockStopSignals()); }
};

// A client stuck in a blocking call cannot act on the interrupt; the watcher must then end it.
TEST_P(SignalWatcherGrace, OverdueRunsOnlyWhenStopDoesNotCome) {
    const GraceCase& c = GetParam();
    CSignalRelay relay;
    std::atomic<int> interrupted{0};
    std::atomic<int> overdue{0};
    relay.SetTarget([&interrupted](int signo) { interrupted = signo; });
    CSignalWatcher watcher;
    ASSERT_TRUE(watcher.Start([&relay](int signo) { relay.Deliver(signo); }, 200ms,
                              [&overdue](int signo) { overdue = signo; }));
    const auto sent = Clock::now();
    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    ASSERT_TRUE(WaitFor([&] { return interrupted != 0; }, 2s));
    EXPECT_EQ(interrupted, SIGTERM);
    if (c.stopInTime) {
        watcher.Stop();
        std::this_thread::sleep_for(300ms);
    } else {
        ASSERT_TRUE(WaitFor([&] { return overdue != 0; }, 2s));
        EXPECT_GE(Clock::now() - sent, 200ms);
        watcher.Stop();
    }
    EXPECT_EQ(overdue, c.overdue ? SIGTERM : 0);
}

const GraceCase kGraceCases[] = {
    {"CleanStopInTime", true, false},
    {"StuckRunIsEnded", false, true},
};

INSTANTIATE_TEST_SUITE_P(Cli, SignalWatcherGrace, ::testing::ValuesIn(kGraceCases),
                         [](const auto& param) { return std::string(param.param.name); });

// The watcher runs before the run exists (the command line is parsed first): a signal then is
// kept and handed to the run as it registers, so it ends at once instead of being lost.
TEST(SignalRelay, KeepsASignalUntilATargetRegisters) {
    CSignalRelay relay;
    std::vector<int> got;
    relay.Deliver(SIGINT);
    relay.Deliver(SIGTERM);  // the first one kept is the one that counts
    EXPECT_EQ(relay.First(), SIGINT);
    relay.SetTarget([&got](int signo) { got.push_back(signo); });
    EXPECT_EQ(got, std::vector<int>{SIGINT});
    relay.Deliver(SIGTERM);
    EXPECT_EQ(got, (std::vector<int>{SIGINT, SIGTERM}));
    relay.SetTarget({});
    relay.Deliver(SIGINT);  // nobody: kept, nothing called
    EXPECT_EQ(got.size(), 2u);
}

}  // namespace
