// The per-address token bucket: burst, refill, independence of addresses, a bounded table, and
// addresses that share a slot group.

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "server/rate_limiter.h"

namespace {

const SipKey kFixedKey = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr std::uint32_t kVictim = 0x097100cb;  // 203.0.113.9

// Addresses that land in victim's slot group under l's key: what an attacker who knew the key
// (or, before the hash had one, anybody) could compute offline.
std::vector<std::uint32_t> Colliders(const CRateLimiter& l, std::uint32_t victim, std::size_t n) {
    std::vector<std::uint32_t> out;
    const CRateLimiter::Group g = l.GroupOf(victim);
    for (std::uint32_t a = 1; out.size() < n && a != 0; ++a) {
        if (a != victim && l.GroupOf(a) == g)
            out.push_back(a);
    }
    return out;
}

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

namespace {

// Nine addresses in one 8-slot group used to evict one another in turn, and each one came back
// with a fresh burst: a victim sending 1 request/ms got all 5000 answered in 5 s instead of the
// 700 (200 burst + 5 s at 100/s) its own bucket allows.
TEST(RateLimiter, CollidingAddressesDoNotLiftAVictimsLimit) {
    struct Row {
        const char* name;
        std::size_t colliders;
        int victimPerMs;     // victim's requests per ms
        int collidersEvery;  // ms between rounds of the colliders' requests
    };
    const Row rows[] = {
        {.name = "one more than the group", .colliders = 8, .victimPerMs = 1, .collidersEvery = 1},
        {.name = "victim faster", .colliders = 8, .victimPerMs = 4, .collidersEvery = 1},
        {.name = "twice the group", .colliders = 16, .victimPerMs = 1, .collidersEvery = 1},
        {.name = "colliders slower", .colliders = 8, .victimPerMs = 1, .collidersEvery = 15},
    };
    const RateLimitSettings defaults;  // 100/s, burst 200, 65536 addresses
    constexpr std::uint64_t kMs = 5000;
    for (const Row& r : rows) {
        CRateLimiter l(defaults, kFixedKey);
        const std::vector<std::uint32_t> others = Colliders(l, kVictim, r.colliders);
        ASSERT_EQ(others.size(), r.colliders) << r.name;
        int answers = 0;
        for (std::uint64_t t = 0; t < kMs; ++t) {
            answers += AllowedOf(l, kVictim, r.victimPerMs, t);
            if (t % static_cast<std::uint64_t>(r.collidersEvery) == 0) {
                for (const std::uint32_t a : others)
                    l.Allow(a, t);
            }
        }
        EXPECT_LE(answers, 200 + 100 * 5) << r.name;
        EXPECT_GE(answers, 200 + 100 * 5 - 2) << r.name << ": the victim's own rate still holds";
    }
}

TEST(RateLimiter, SlotGroupsDependOnTheKey) {
    const RateLimitSettings defaults;
    CRateLimiter fixed(defaults, kFixedKey);
    CRateLimiter same(defaults, kFixedKey);
    CRateLimiter random(defaults);
    const std::vector<std::uint32_t> others = Colliders(fixed, kVictim, 8);
    int stillTogether = 0;
    for (const std::uint32_t a : others) {
        EXPECT_EQ(same.GroupOf(a), same.GroupOf(kVictim));
        stillTogether += random.GroupOf(a) == random.GroupOf(kVictim) ? 1 : 0;
    }
    EXPECT_LE(stillTogether, 1) << "colliders for one key must not collide under another";
}

// An address is forgotten only once its bucket is full again; while every slot of its group is
// refilling, a newcomer shares the shard's bucket: one answer per 1/rate, no burst.
TEST(RateLimiter, RefillingAddressIsNotForgottenAndNewcomersGetNoBurst) {
    CRateLimiter l({/*rate*/ 100, /*burst*/ 200, /*table*/ 65536}, kFixedKey);
    const std::vector<std::uint32_t> others = Colliders(l, kVictim, 9);
    EXPECT_EQ(AllowedOf(l, kVictim, 300, 0), 200);
    for (std::size_t i = 0; i < 7; ++i)
        EXPECT_EQ(AllowedOf(l, others[i], 50, 1), 50) << "free slots get a full burst";
    // The group is full and every address in it is refilling.
    EXPECT_EQ(AllowedOf(l, others[7], 5, 2), 1) << "no slot: one token from the shard's bucket";
    EXPECT_EQ(AllowedOf(l, others[8], 5, 3), 0);
    EXPECT_EQ(AllowedOf(l, others[8], 5, 12), 1) << "10 ms at 100/s";
    EXPECT_EQ(AllowedOf(l, kVictim, 5, 4), 0) << "still remembered with its empty bucket";
    // 2 s later every bucket in the group is full again: forgetting one of them is harmless
    // now, so a newcomer takes the least recently seen slot, with a full burst.
    EXPECT_EQ(AllowedOf(l, others[8], 300, 2100), 200);
    EXPECT_EQ(AllowedOf(l, kVictim, 300, 2100), 200);
    EXPECT_EQ(l.Occupied(), 8u);
}

// An IPv6 source pays per /64: the other addresses of its /64 share its bucket, the next /64
// and an IPv4 address with the same leading bytes do not.
TEST(RateLimiter, Ipv6SourcesShareTheirSlash64) {
    CRateLimiter l({/*rate*/ 10, /*burst*/ 5, /*table*/ 1024});
    const std::array<std::uint8_t, 16> host = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 7,
                                               0,    0,    0,    0,    0, 0, 0, 1};
    std::array<std::uint8_t, 16> sibling = host;
    sibling[15] = 0xfe;
    sibling[8] = 0x80;
    std::array<std::uint8_t, 16> nextNet = host;
    nextNet[7] = 8;
    const auto allowed = [&l](const std::array<std::uint8_t, 16>& a, int tries) {
        int n = 0;
        for (int i = 0; i < tries; ++i)
            n += l.Allow6(a, 1000) ? 1 : 0;
        return n;
    };
    EXPECT_EQ(allowed(host, 3), 3);
    EXPECT_EQ(allowed(sibling, 10), 2) << "the same /64: what is left of the burst";
    EXPECT_EQ(allowed(nextNet, 10), 5);
    EXPECT_EQ(AllowedOf(l, 0xb80d0120, 10, 1000), 5) << "2001:db8:: is not 32.1.13.184";
    EXPECT_EQ(l.Occupied(), 3u);
}

TEST(RateLimiter, EntrySize) {
    if constexpr (sizeof(void*) == 8) {
        EXPECT_EQ(CRateLimiter::kEntryBytes, 24u) << "docs/server.md and --help give this figure";
    }
}

}  // namespace
