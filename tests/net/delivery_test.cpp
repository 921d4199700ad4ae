// The synchronous hand-over from the dispatch thread to the engine's thread, and its cancel.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "net/delivery.h"
#include "tests/support/job_queue.h"

namespace {

using gwtest::JobQueue;
using gwtest::WaitUntil;
using std::chrono::milliseconds;

ReceivedMessage Numbered(std::uint8_t n) {
    ReceivedMessage m;
    m.data[0] = n;
    m.data[1] = static_cast<std::uint8_t>(~n);
    m.length = 2;
    return m;
}

CDeliveryHandshake::Poster PostTo(JobQueue& q) {
    return [&q](std::function<void()> job) { q.Post(std::move(job)); };
}

TEST(DeliveryHandshake, WaitsUntilTheEngineThreadHasHandledTheMessage) {
    CDeliveryHandshake hs;
    JobQueue engine;
    std::atomic<bool> returned{false};
    std::thread::id handledOn;
    std::uint8_t seen = 0;

    std::thread dispatch([&] {
        hs.Deliver(Numbered(0x42), PostTo(engine), [&](const ReceivedMessage* m) {
            handledOn = std::this_thread::get_id();
            seen = m->data[0];
        });
        returned = true;
    });
    auto job = engine.Take(milliseconds(2000));
    ASSERT_TRUE(job.has_value());
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_FALSE(returned) << "Deliver returned before the engine ran the job";
    (*job)();
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, milliseconds(2000)));
    EXPECT_FALSE(hs.Cancelled());
    hs.Cancel();  // releases the dispatch thread should the expectation above have failed
    dispatch.join();
    EXPECT_EQ(handledOn, std::this_thread::get_id());
    EXPECT_EQ(seen, 0x42);
}

TEST(DeliveryHandshake, CancelWhilePendingReleasesDeliverAndTheLateJobDoesNothing) {
    CDeliveryHandshake hs;
    JobQueue engine;
    std::atomic<bool> returned{false};
    int handled = 0;

    std::thread dispatch([&] {
        hs.Deliver(Numbered(1), PostTo(engine), [&](const ReceivedMessage*) { ++handled; });
        returned = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return engine.Posted() == 1; }, milliseconds(2000)));
    hs.Cancel();
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, milliseconds(1000)));
    dispatch.join();
    engine.RunAll();  // the engine gets round to the job after the cancel
    EXPECT_EQ(handled, 0);
    EXPECT_TRUE(hs.Cancelled());
}

// The dispatch thread's record is gone once Deliver returns; a handler still running then must
// read its own copy (AddressSanitizer reports the other case).
TEST(DeliveryHandshake, CancelWhileRunningReleasesDeliverAndTheJobKeepsItsCopy) {
    CDeliveryHandshake hs;
    JobQueue engineQueue;
    std::atomic<bool> returned{false}, entered{false}, gateOpen{false}, finished{false};
    std::vector<std::uint8_t> seen;

    std::thread dispatch([&] {
        {
            auto local = std::make_unique<ReceivedMessage>(Numbered(0x5A));
            hs.Deliver(*local, PostTo(engineQueue), [&](const ReceivedMessage* m) {
                entered = true;
                WaitUntil([&] { return gateOpen.load(); }, milliseconds(3000));
                seen.assign(m->data, m->data + 2);
            });
            std::fill(std::begin(local->data), std::end(local->data), 0xEE);
        }
        returned = true;
    });
    std::thread engine([&] {
        if (auto job = engineQueue.Take(milliseconds(2000)))
            (*job)();
        finished = true;
    });

    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }, milliseconds(2000)));
    hs.Cancel();
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, milliseconds(1000)))
        << "Deliver kept waiting for a handler after the cancel";
    gateOpen = true;
    dispatch.join();
    engine.join();
    EXPECT_TRUE(finished);
    EXPECT_EQ(seen, (std::vector<std::uint8_t>{0x5A, 0xA5}));
}

TEST(DeliveryHandshake, AfterCancelDeliverReturnsAtOnceWithoutPosting) {
    CDeliveryHandshake hs;
    hs.Cancel();
    int posted = 0, handled = 0;
    hs.Deliver(
        Numbered(3), [&](std::function<void()>) { ++posted; },
        [&](const ReceivedMessage*) { ++handled; });
    EXPECT_EQ(posted, 0);
    EXPECT_EQ(handled, 0);
}

// A poster that runs the job on the spot (no separate engine thread) must not deadlock.
TEST(DeliveryHandshake, InlinePosterRunsTheHandlerOnce) {
    CDeliveryHandshake hs;
    int handled = 0;
    hs.Deliver(
        Numbered(4), [](std::function<void()> job) { job(); },
        [&](const ReceivedMessage* m) { handled += m->data[0]; });
    EXPECT_EQ(handled, 4);
}

TEST(DeliveryHandshake, DeliveriesAreOneAtATimeAndInOrder) {
    CDeliveryHandshake hs;
    JobQueue engineQueue;
    std::atomic<bool> stopEngine{false};
    std::vector<int> order;  // engine thread only until joined
    std::atomic<int> inHandler{0}, overlap{0}, handled{0}, returnedEarly{0};

    std::thread engine([&] {
        while (!stopEngine) {
            if (auto job = engineQueue.Take(milliseconds(5)))
                (*job)();
        }
    });
    constexpr int kCount = 100;
    std::thread dispatch([&] {
        for (int i = 0; i < kCount; ++i) {
            hs.Deliver(Numbered(static_cast<std::uint8_t>(i)), PostTo(engineQueue),
                       [&](const ReceivedMessage* m) {
                           if (++inHandler != 1)
                               ++overlap;
                           order.push_back(m->data[0]);
                           --inHandler;
                           ++handled;
                       });
            if (handled != i + 1)
                ++returnedEarly;
        }
    });
    dispatch.join();
    stopEngine = true;
    engine.join();
    EXPECT_EQ(overlap, 0);
    EXPECT_EQ(returnedEarly, 0);
    ASSERT_EQ(order.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

// A cancel may land at any point of a delivery; the dispatch thread must always get out.
TEST(DeliveryHandshake, CancelAtAnyMomentReleasesTheDispatchThread) {
    for (int round = 0; round < 20; ++round) {
        CDeliveryHandshake hs;
        JobQueue engineQueue;
        std::atomic<bool> stopEngine{false}, dispatchDone{false};
        std::thread engine([&] {
            while (!stopEngine) {
                if (auto job = engineQueue.Take(milliseconds(1)))
                    (*job)();
            }
        });
        std::thread dispatch([&] {
            while (!hs.Cancelled()) {
                hs.Deliver(Numbered(0), PostTo(engineQueue), [](const ReceivedMessage*) {});
            }
            dispatchDone = true;
        });
        std::this_thread::sleep_for(milliseconds(round % 5));
        hs.Cancel();
        EXPECT_TRUE(WaitUntil([&] { return dispatchDone.load(); }, milliseconds(1000)));
        dispatch.join();
        stopEngine = true;
        engine.join();
    }
}

}  // namespace
