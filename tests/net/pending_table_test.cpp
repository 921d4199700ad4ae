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
    const ScanCase cases[] = {
        {"not yet due", 1000, 3999, 1, false, false},
        {"exactly the interval is not overdue", 1000, 4000, 1, false, false},
        {"one millisecond past: sent again", 1000, 4001, 1, true, true},
        {"third transmission overdue: dropped", 1000, 4001, 3, false, true},
        {"count past the limit: dropped", 1000, 4001, 7, false, true},
        // Sent 1000 ms before the wrap: due 2001 ms after it, not at 2000.
        {"overdue across the 32-bit wrap", 0xFFFFFC18u, 2001, 2, true, true},
        {"exactly the interval across the wrap", 0xFFFFFC18u, 2000, 2, false, false},
        {"a tick far below the stamp is not mistaken for a negative time", 0xFFFFFC18u, 5, 2, false,
         false},
    };
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
