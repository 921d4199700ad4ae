#pragma once
// Per-address token bucket that keeps the server from being used as a reflector: every answer
// goes to the request's source address, which a flooder may have forged.
//
// Any thread. The table is split into shards, each with its own lock, so two workers rarely
// wait for each other. Memory is fixed at construction: when a shard's probe group is full the
// least recently seen address in it is forgotten (it starts again with a full bucket).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

struct RateLimitSettings {
    std::uint32_t ratePerSecond = 100;  // answers per second per source address; 0 = no limit
    std::uint32_t burst = 200;          // answers a quiet address may get at once
    std::size_t tableEntries = 65536;   // addresses remembered; 16 bytes each
};

class CRateLimiter {
public:
    explicit CRateLimiter(const RateLimitSettings& settings);

    // True when an answer to addrNet may be sent now, and takes one token for it.
    // nowMs: a monotonic clock in milliseconds; tests step it by hand.
    bool Allow(std::uint32_t addrNet, std::uint64_t nowMs);

    bool Enabled() const { return m_rate != 0; }
    std::size_t Capacity() const { return m_shardCount * m_slotsPerShard; }
    // Addresses currently remembered (for tests and the counters line).
    std::size_t Occupied();

private:
    struct Slot {
        std::uint32_t address = 0;
        bool used = false;
        std::int64_t milliTokens = 0;  // 1/1000 token: whole-millisecond refills stay exact
        std::uint64_t lastMs = 0;
    };
    struct Shard {
        std::mutex mutex;  // guards slots; one shard lock at a time, never nested
        std::vector<Slot> slots;
    };

    const std::int64_t m_rate;
    const std::int64_t m_burstMilli;
    std::size_t m_shardCount = 0;
    std::size_t m_slotsPerShard = 0;
    std::unique_ptr<Shard[]> m_shards;
};
