// CStunRunner over real sockets against the in-test responder on 127.0.0.2/127.0.0.3. Loopback
// only; every wait is bounded.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/log.h"
#include "core/verdicts.h"
#include "standard/stun_runner.h"
#include "tests/standard/stun_test_responder.h"

namespace {

using namespace std::chrono_literals;

StunCheckConfig At(const Ipv4Endpoint& server) {
    StunCheckConfig c;
    c.server = server;
    return c;
}

TEST(StunRunnerLoopback, NoNatBetweenLoopbackAddressesReadsOpen) {
    CTestStunResponder server;
    ASSERT_TRUE(server.Start());
    CStringLogTarget log;
    theLog.SetOutputWindow(&log);
    CStunRunner runner;
    const StunOutcome o = runner.Run(At(server.Primary()));
    theLog.SetOutputWindow(nullptr);
    ASSERT_TRUE(o.finished) << log.Text();
    EXPECT_EQ(o.rfc5780, true) << o.rfc5780Problem;
    ASSERT_TRUE(o.mapped.has_value());
    EXPECT_EQ(FormatAddress(*o.mapped), "127.0.0.1");
    EXPECT_EQ(o.otherAddress, server.Other());
    EXPECT_EQ(o.responseOrigin, server.Primary());
    EXPECT_EQ(o.mapping, StunBehaviour::EndpointIndependent);
    EXPECT_EQ(o.filtering, StunBehaviour::EndpointIndependent);
    EXPECT_EQ(o.hairpinning, true);
    EXPECT_EQ(o.mappedIsLocal, true);
    EXPECT_EQ(o.classicFilter, FilterOpen);
}

// The commonest fault of public servers, on real sockets: the change response comes from the
// primary address, which must not read as an open filter.
TEST(StunRunnerLoopback, ServerIgnoringChangeRequestLeavesFilteringOpen) {
    CTestStunResponder server;
    ASSERT_TRUE(server.Start(/*ignoreChange=*/true));
    CStunRunner runner;
    const StunOutcome o = runner.Run(At(server.Primary()));
    ASSERT_TRUE(o.finished);
    EXPECT_EQ(o.rfc5780, false);
    EXPECT_NE(o.rfc5780Problem.find("ignores CHANGE-REQUEST"), std::string::npos);
    EXPECT_EQ(o.mapping, StunBehaviour::EndpointIndependent);
    EXPECT_FALSE(o.filtering.has_value());
    EXPECT_FALSE(o.classicFilter.has_value());
}

TEST(StunRunnerLoopback, StopEndsAWaitingRunPromptly) {
    // Nobody listens there: the first transaction would wait 9.5 s.
    CStunRunner runner;
    StunOutcome o;
    std::thread t([&] { o = runner.Run(At({*ParseIpv4("127.0.0.2"), 9})); });
    std::this_thread::sleep_for(200ms);
    const auto asked = std::chrono::steady_clock::now();
    runner.RequestStop();
    t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 100ms);
    EXPECT_TRUE(o.interrupted);
    EXPECT_FALSE(o.finished);
}

}  // namespace
