#pragma once
// Per-address token bucket that keeps the server from being used as a reflector: every answer
// goes to the request's source address, which a flooder may have forged.
//
// Any thread. The table is split into shards, each with its own lock, so two workers rarely
// wait for each other. Memory is fixed at construction. An address's slot group comes from a
// keyed hash (SipHash-2-4, random key per process), so addresses that share a group cannot be
// computed from outside. An address is forgotten only once its bucket has refilled to the full
// burst: it then comes back exactly as it left. When every slot of a group still belongs to an
// address that is refilling, a newcomer gets no slot of its own and is answered from the
// shard's shared bucket, at the steady rate of one address and without a burst.
//
// An IPv4 source is counted by its address; an IPv6 source by the /64 it is in, since one
// host is commonly given a whole /64 and could otherwise draw on the burst of every address in
// it.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/thread_annotations.h"
#include "server/siphash.h"

struct RateLimitSettings {
    std::uint32_t ratePerSecond = 100;  // answers per second per source address; 0 = no limit
    std::uint32_t burst = 200;          // answers a quiet address may get at once
    std::size_t tableEntries = 65536;   // addresses remembered; see CRateLimiter::kEntryBytes
};

class CRateLimiter {
public:
    // Keyed with RandomSipKey().
    explicit CRateLimiter(const RateLimitSettings& settings);
    // A fixed key: for tests and fuzzing, where slot groups must be reproducible.
    CRateLimiter(const RateLimitSettings& settings, const SipKey& key);

    // True when an answer to addrNet may be sent now, and takes one token for it.
    // nowMs: a monotonic clock in milliseconds; tests step it by hand.
    bool Allow(std::uint32_t addrNet, std::uint64_t nowMs);
    // The same for an IPv6 source (16 bytes as on the wire): its /64 pays the token.
    bool Allow6(const std::array<std::uint8_t, 16>& address, std::uint64_t nowMs);

    bool Enabled() const { return m_rate != 0; }
    std::size_t Capacity() const { return m_shardCount * m_slotsPerShard; }
    // Addresses currently remembered (the counters line, the metrics, tests). Lock-free, so a
    // reader never waits for a worker's shard lock.
    std::size_t Occupied() const { return m_occupied.load(std::memory_order_relaxed); }

    // Where addrNet's slots are looked for: tests use it to find addresses that share a group.
    struct Group {
        std::size_t shard;
        std::size_t firstSlot;
        bool operator==(const Group&) const = default;
    };
    Group GroupOf(std::uint32_t addrNet) const;
    Group GroupOf6(const std::array<std::uint8_t, 16>& address) const;

private:
    struct Bucket {
        std::int64_t milliTokens = 0;  // 1/1000 token: whole-millisecond refills stay exact
        std::uint64_t lastMs = 0;
    };
    // What a slot remembers a source by: 0xFFFFFFFF'00000000 | an IPv4 address (as held in
    // network order), or an IPv6 /64 prefix (big-endian) plus one. The two ranges meet only
    // in ff00::/8 prefixes (multicast, never a source) and 0 stays free.
    struct Slot {
        std::uint64_t key = 0;  // 0 = free
        Bucket bucket;
    };
    struct Shard {
        // Lock order: a leaf. One shard lock at a time, never nested, and never held while the
        // relay verifier's lock is taken.
        Mutex mutex;
        std::vector<Slot> slots GUARDED_BY(mutex);
        // Newcomers without a slot: one token, no burst.
        Bucket overflow GUARDED_BY(mutex){1000, 0};
    };
    // Where Look found the key's slot, or the slots it may take.
    struct Search {
        Slot* own = nullptr;       // the key's own slot
        Slot* empty = nullptr;     // the first free slot
        Slot* refilled = nullptr;  // the least recently seen address whose bucket is full again
    };

public:
    // Memory per remembered address (24 on 64-bit Linux); the table is this times Capacity().
    static constexpr std::size_t kEntryBytes = sizeof(Slot);

private:
    // Brings b up to date at nowMs, never above capMilli.
    void Refill(Bucket& b, std::uint64_t nowMs, std::int64_t capMilli) const;
    // Refills b and takes one token from it when it has one.
    bool TakeToken(Bucket& b, std::uint64_t nowMs, std::int64_t capMilli) const;
    // The kProbe slots from firstSlot on.
    Search Look(Shard& shard, std::size_t firstSlot, std::uint64_t key, std::uint64_t nowMs) const
        REQUIRES(shard.mutex);
    Group GroupOfBytes(const std::uint8_t* bytes, std::size_t len) const;
    bool AllowKey(std::uint64_t key, const Group& g, std::uint64_t nowMs);

    const std::int64_t m_rate;
    const std::int64_t m_burstMilli;
    const SipKey m_key;
    std::size_t m_shardCount = 0;
    std::size_t m_slotsPerShard = 0;
    std::unique_ptr<Shard[]> m_shards;
    // Slots that hold an address. A slot is only ever handed on, never emptied, so this only
    // grows; written under a shard lock, read without one.
    std::atomic<std::size_t> m_occupied{0};
};
