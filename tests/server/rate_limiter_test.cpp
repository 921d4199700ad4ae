// The per-address token bucket: burst, refill, independence of addresses and a bounded table.

#include <gtest/gtest.h>

#include "server/rate_limiter.h"

namespace {

int AllowedOf(CRateLimiter& l, std::uint32_t addr, int tries, std::uint64_t nowMs) {
    int n = 0;
    for (int i = 0; i < tries; ++i)
        n += l.Allow(addr, nowMs) ? 1 : 0;
    return n;
}

TEST(RateLimiter, BurstThenRefillAtTheRate) {
    CRateLimiter l({/*rate*/ 10, /*burst*/ 5, /*table*/ 1024});
    EXPECT_EQ(AllowedOf(l, 1, 20, 1000), 5);
    EXPECT_EQ(AllowedOf(l, 1, 20, 1099), 0) << "99 ms at 10/s is not yet one token";
    EXPECT_EQ(AllowedOf(l, 1, 20, 1100), 1);
    EXPECT_EQ(AllowedOf(l, 1, 20, 1350), 2) << "fractions carry over: 250 ms = 2.5 tokens";
    EXPECT_EQ(AllowedOf(l, 1, 20, 1400), 1);
    EXPECT_EQ(AllowedOf(l, 1, 20, 100000), 5) << "a long pause refills to the burst, no more";
}

TEST(RateLimiter, AddressesAreIndependent) {
    CRateLimiter l({10, 3, 1024});
    EXPECT_EQ(AllowedOf(l, 0x0500007f, 10, 0), 3);
    EXPECT_EQ(AllowedOf(l, 0x0600007f, 10, 0), 3);
    EXPECT_EQ(AllowedOf(l, 0x0500007f, 10, 0), 0);
}

TEST(RateLimiter, ZeroRateMeansOff) {
    CRateLimiter l({0, 1, 1024});
    EXPECT_FALSE(l.Enabled());
    EXPECT_EQ(AllowedOf(l, 1, 1000, 0), 1000);
}

TEST(RateLimiter, TableStaysBoundedUnderManySources) {
    CRateLimiter l({10, 2, 4096});
    for (std::uint32_t a = 0; a < 200000; ++a)
        l.Allow(a * 2654435761u, a / 64);
    EXPECT_LE(l.Occupied(), l.Capacity());
    EXPECT_LE(l.Capacity(), 4096u + 64u);
}

// A flooder must stay limited while spoofed one-off sources churn the table around it: it is
// seen more recently than they are, so it is not the one forgotten.
TEST(RateLimiter, BusyAddressKeepsItsEmptyBucketWhileOthersChurn) {
    CRateLimiter l({1, 5, 256});
    const std::uint32_t flooder = 0x0900007f;
    std::uint32_t other = 1;
    int allowed = 0;
    for (std::uint64_t t = 0; t < 2000; ++t) {  // 2 s in 1 ms steps
        allowed += l.Allow(flooder, t) ? 1 : 0;
        for (int k = 0; k < 4; ++k)
            l.Allow(other++ * 2246822519u, t);
    }
    EXPECT_LE(allowed, 5 + 2 + 1);
}

TEST(RateLimiter, IdleForAgesDoesNotOverflow) {
    CRateLimiter l({100000000, 3, 1024});
    EXPECT_EQ(AllowedOf(l, 7, 10, 0), 3);
    EXPECT_EQ(AllowedOf(l, 7, 10, std::uint64_t{1} << 62), 3);
}

}  // namespace
