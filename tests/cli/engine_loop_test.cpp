// The client's engine thread: posted jobs, the periodic tick, and how the loop ends. Real threads,
// bounded waits: every Run here is ended by a Quit or an Interrupt that is sure to come.
#include "cli/engine_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A period far longer than any test, so ticks stay out of the way.
constexpr auto kNoTicks = 3600s;

TEST(EngineLoop, RunsJobsInPostingOrderOnTheCallingThread) {
    CEngineLoop loop(kNoTicks);
    std::vector<int> order;
    std::thread::id ranOn;
    for (int i = 0; i < 5; ++i)
        loop.Post([&, i] { order.push_back(i); });
    loop.Post([&] {
        ranOn = std::this_thread::get_id();
        loop.Quit();
    });
    EXPECT_EQ(loop.Run(), 0);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

// The network's sink posts and then waits; a Post that ran inline would deadlock it.
TEST(EngineLoop, PostFromAJobRunsAfterThatJobReturns) {
    CEngineLoop loop(kNoTicks);
    std::vector<int> order;
    loop.Post([&] {
        loop.Post([&] {
            order.push_back(2);
            loop.Quit();
        });
        order.push_back(1);
    });
    loop.Run();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(EngineLoop, JobsPostedFromOtherThreadsAllRunInEachPostersOrder) {
    CEngineLoop loop(kNoTicks);
    constexpr int kThreads = 4;
    constexpr int kJobs = 200;
    std::vector<std::vector<int>> seen(kThreads);  // loop thread only
    std::atomic<int> done{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int j = 0; j < kJobs; ++j) {
                loop.Post([&, t, j] {
                    seen[t].push_back(j);
                    if (++done == kThreads * kJobs)
                        loop.Quit();
                });
            }
        });
    }
    EXPECT_EQ(loop.Run(), 0);
    for (auto& p : posters)
        p.join();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kJobs));
        for (int j = 0; j < kJobs; ++j)
            EXPECT_EQ(seen[t][j], j);
    }
}

TEST(EngineLoop, TicksAtTheGivenPeriodAndNotBeforeTheFirstPeriod) {
    constexpr auto kPeriod = 40ms;
    CEngineLoop loop(kPeriod);
    std::vector<Clock::time_point> ticks;
    const auto start = Clock::now();
    loop.SetOnTick([&] {
        ticks.push_back(Clock::now());
        if (ticks.size() == 5)
            loop.Quit();
    });
    loop.Run();
    ASSERT_EQ(ticks.size(), 5u);
    EXPECT_GE(ticks[0] - start, kPeriod);
    // Five periods at least; generous upper bound for a loaded machine.
    EXPECT_GE(ticks[4] - start, 5 * kPeriod);
    EXPECT_LT(ticks[4] - start, 5 * kPeriod + 2s);
}

// A client flooded with messages must still time out its steps.
TEST(EngineLoop, ADueTickIsNotStarvedByAStreamOfJobs) {
    CEngineLoop loop(20ms);
    int ticks = 0;
    loop.SetOnTick([&] {
        if (++ticks == 3)
            loop.Quit();
    });
    const auto start = Clock::now();
    // Every job posts the next one, so the queue is never empty; after 5 s the chain gives up
    // so that a starving loop fails the test instead of hanging it.
    std::function<void()> chain = [&] {
        if (Clock::now() - start < 5s)
            loop.Post(chain);
        else
            loop.Quit();
    };
    loop.Post(chain);
    loop.Run();
    EXPECT_EQ(ticks, 3);
    loop.DiscardPending();
}

TEST(EngineLoop, AfterEachRunsAfterEveryJobAndTick) {
    CEngineLoop loop(10ms);
    std::vector<char> events;
    loop.SetOnTick([&] { events.push_back('t'); });
    loop.SetAfterEach([&] {
        events.push_back('a');
        if (events.size() >= 6)
            loop.Quit();
    });
    loop.Post([&] { events.push_back('j'); });
    loop.Run();
    ASSERT_GE(events.size(), 6u);
    EXPECT_EQ(events[0], 'j');
    for (std::size_t i = 1; i < events.size(); i += 2)
        EXPECT_EQ(events[i], 'a') << i;
}

TEST(EngineLoop, QuitFromAnotherThreadLeavesLaterJobsQueued) {
    CEngineLoop loop(kNoTicks);
    std::thread quitter([&] {
        std::this_thread::sleep_for(20ms);
        loop.Quit();
    });
    EXPECT_EQ(loop.Run(), 0);
    quitter.join();
    bool ran = false;
    loop.Post([&] { ran = true; });
    EXPECT_EQ(loop.DiscardPending(), 1u);
    EXPECT_FALSE(ran);
}

TEST(EngineLoop, InterruptReturnsTheFirstSignalAndWinsOverQueuedJobs) {
    CEngineLoop loop(kNoTicks);
    bool ran = false;
    loop.Interrupt(15);
    loop.Interrupt(2);  // a second signal does not replace the first
    loop.Post([&] { ran = true; });
    EXPECT_EQ(loop.Run(), 15);
    EXPECT_FALSE(ran);
}

TEST(EngineLoop, InterruptFromAnotherThreadEndsAWaitingLoop) {
    CEngineLoop loop(kNoTicks);
    std::thread signaller([&] {
        std::this_thread::sleep_for(20ms);
        loop.Interrupt(2);
    });
    const auto start = Clock::now();
    EXPECT_EQ(loop.Run(), 2);
    signaller.join();
    EXPECT_LT(Clock::now() - start, 5s);
}

TEST(EngineLoop, InterruptDuringAJobEndsTheLoopBeforeTheNextJob) {
    CEngineLoop loop(kNoTicks);
    int ran = 0;
    loop.Post([&] {
        ++ran;
        loop.Interrupt(15);
    });
    loop.Post([&] { ++ran; });
    EXPECT_EQ(loop.Run(), 15);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(loop.DiscardPending(), 1u);
}

}  // namespace
