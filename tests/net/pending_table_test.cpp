// The table of outstanding requests without sockets or threads: which entries a scan hands back
// for retransmission, which it drops, and which it leaves, with the clock given by hand.
#include "net/pending_table.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

NatMessage Request(std::uint32_t type, std::uint16_t portNet, std::uint32_t sentTick,
                   std::int32_t count, std::int32_t maxRetries = 3,
                   std::uint32_t intervalMs = 3000) {
    NatMessage m = MakeRequest(type, 0x0100007F, portNet, 7);
    m.lastSentTick = sentTick;
    m.retryCount = count;
    m.maxRetries = maxRetries;
    m.retryIntervalMs = intervalMs;
    return m;
}

struct ScanCase {
    const char* what;
    std::uint32_t sentTick;
    std::uint32_t now;
    std::int32_t count;  // transmissions so far
    bool resent;
    bool removed;
};

TEST(PendingTable, ScanDecidesByElapsedTimeAndTransmissionsLeft) {
    // clang-format off
    const ScanCase cases[] = {  // one row per line
        {.what = "not yet due", .sentTick = 1000, .now = 3999, .count = 1, .resent = false, .removed = false},
        {.what = "exactly the interval is not overdue", .sentTick = 1000, .now = 4000, .count = 1, .resent = false, .removed = false},
        {.what = "one millisecond past: sent again", .sentTick = 1000, .now = 4001, .count = 1, .resent = true, .removed = true},
        {.what = "third transmission overdue: dropped", .sentTick = 1000, .now = 4001, .count = 3, .resent = false, .removed = true},
        {.what = "count past the limit: dropped", .sentTick = 1000, .now = 4001, .count = 7, .resent = false, .removed = true},
        // Sent 1000 ms before the wrap: due 2001 ms after it, not at 2000.
        {.what = "overdue across the 32-bit wrap", .sentTick = 0xFFFFFC18u, .now = 2001, .count = 2, .resent = true, .removed = true},
        {.what = "exactly the interval across the wrap", .sentTick = 0xFFFFFC18u, .now = 2000, .count = 2, .resent = false, .removed = false},
        {.what = "a tick far below the stamp is not mistaken for a negative time", .sentTick = 0xFFFFFC18u, .now = 5, .count = 2, .resent = false, .removed = false},
    };
    // clang-format on
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(c.what);
        CPendingTable table;
        table.Record(Request(kMsgBindingRequest, 0x960D, c.sentTick, c.count));
        std::vector<NatMessage> resent;
        const std::size_t removed =
            table.Scan(c.now, [&](const NatMessage& m) { resent.push_back(m); });
        EXPECT_EQ(removed, c.removed ? 1u : 0u);
        EXPECT_EQ(table.Size(), c.removed ? 0u : 1u);
        ASSERT_EQ(resent.size(), c.resent ? 1u : 0u);
        if (c.resent) {  // the copy keeps its old count; Transmit counts it again
            EXPECT_EQ(resent[0].retryCount, c.count);
            EXPECT_EQ(resent[0].lastSentTick, c.sentTick);
        }
    }
}

TEST(PendingTable, OneEntryPerDestinationAndTypeTheLaterWins) {
    CPendingTable table;
    EXPECT_TRUE(table.Record(Request(kMsgAllocTestA, 0x960D, 100, 1)));  // was empty
    EXPECT_FALSE(table.Record(Request(kMsgAllocTestA, 0x960D, 200, 2)));
    EXPECT_FALSE(table.Record(Request(kMsgAllocTestA, 0x970D, 100, 1)));  // another port
    EXPECT_FALSE(table.Record(Request(kMsgAllocTestB, 0x960D, 100, 1)));  // another type
    EXPECT_EQ(table.Size(), 3u);

    std::vector<NatMessage> resent;
    table.Scan(3101, [&](const NatMessage& m) { resent.push_back(m); });
    EXPECT_EQ(resent.size(), 2u);  // the two stamped 100; the replaced entry was stamped 200
    EXPECT_EQ(table.Size(), 1u);
}

TEST(PendingTable, CompleteNeedsTheExactAddressPortAndType) {
    CPendingTable table;
    table.Record(Request(kMsgBindingRequest, 0x960D, 0, 1));
    EXPECT_FALSE(table.Complete(0x0100007F, 0x970D, kMsgBindingRequest));
    EXPECT_FALSE(table.Complete(0x0200007F, 0x960D, kMsgBindingRequest));
    EXPECT_FALSE(table.Complete(0x0100007F, 0x960D, ReplyCode(kMsgBindingRequest)));
    EXPECT_TRUE(table.Complete(0x0100007F, 0x960D, kMsgBindingRequest));
    EXPECT_FALSE(table.Complete(0x0100007F, 0x960D, kMsgBindingRequest));
    EXPECT_TRUE(table.Empty());
}

}  // namespace
