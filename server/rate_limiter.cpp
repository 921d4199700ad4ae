#include "server/rate_limiter.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kMaxShards = 64;
// Slots looked at for one address before it is given no slot of its own.
constexpr std::size_t kProbe = 8;
// About 12 days in ms: refills are capped at this before multiplying, so an address idle for
// ages cannot overflow the token count.
constexpr std::uint64_t kMaxElapsedMs = 1u << 30;

}  // namespace

CRateLimiter::CRateLimiter(const RateLimitSettings& settings)
    : CRateLimiter(settings, RandomSipKey()) {}

CRateLimiter::CRateLimiter(const RateLimitSettings& settings, const SipKey& key)
    : m_rate(settings.ratePerSecond),
      m_burstMilli(std::int64_t{std::max<std::uint32_t>(settings.burst, 1)} * 1000),
      m_key(key) {
    const std::size_t entries = std::max<std::size_t>(settings.tableEntries, kProbe);
    m_shardCount = std::clamp<std::size_t>(entries / 1024, 1, kMaxShards);
    m_slotsPerShard = std::max(entries / m_shardCount, kProbe);
    m_shards = std::make_unique<Shard[]>(m_shardCount);
    for (std::size_t i = 0; i < m_shardCount; ++i) {
        MutexLock lock(m_shards[i].mutex);  // no other thread sees it yet; taken for the analysis
        m_shards[i].slots.resize(m_slotsPerShard);
    }
}

CRateLimiter::Group CRateLimiter::GroupOfBytes(const std::uint8_t* bytes, std::size_t len) const {
    const std::uint64_t h = SipHash24(m_key, bytes, len);
    return {static_cast<std::size_t>(h % m_shardCount),
            static_cast<std::size_t>((h >> 32) % m_slotsPerShard)};
}

CRateLimiter::Group CRateLimiter::GroupOf(std::uint32_t addrNet) const {
    std::uint8_t bytes[4];
    std::memcpy(bytes, &addrNet, 4);
    return GroupOfBytes(bytes, sizeof bytes);
}

CRateLimiter::Group CRateLimiter::GroupOf6(const std::array<std::uint8_t, 16>& address) const {
    return GroupOfBytes(address.data(), 8);  // the /64
}

void CRateLimiter::Refill(Bucket& b, std::uint64_t nowMs, std::int64_t capMilli) const {
    if (nowMs <= b.lastMs)
        return;
    const std::uint64_t elapsed = std::min(nowMs - b.lastMs, kMaxElapsedMs);
    b.milliTokens = std::min(capMilli, b.milliTokens + static_cast<std::int64_t>(elapsed) * m_rate);
    b.lastMs = nowMs;
}

bool CRateLimiter::TakeToken(Bucket& b, std::uint64_t nowMs, std::int64_t capMilli) const {
    Refill(b, nowMs, capMilli);
    if (b.milliTokens < 1000)
        return false;
    b.milliTokens -= 1000;
    return true;
}

CRateLimiter::Search CRateLimiter::Look(Shard& shard, std::size_t firstSlot, std::uint64_t key,
                                        std::uint64_t nowMs) const {
    Search found;
    for (std::size_t i = 0; i < kProbe; ++i) {
        Slot& s = shard.slots[(firstSlot + i) % m_slotsPerShard];
        if (s.key == key) {
            found.own = &s;
            return found;
        }
        if (s.key == 0) {
            if (found.empty == nullptr)
                found.empty = &s;
            continue;
        }
        // Forgetting an address whose bucket is full loses nothing: it would start from a full
        // bucket anyway. Forgetting one that is still refilling would give it a fresh burst on
        // its next request, which is how colliding addresses used to get a victim unlimited
        // answers.
        Bucket probe = s.bucket;
        Refill(probe, nowMs, m_burstMilli);
        if (probe.milliTokens >= m_burstMilli &&
            (found.refilled == nullptr || s.bucket.lastMs < found.refilled->bucket.lastMs)) {
            found.refilled = &s;
        }
    }
    return found;
}

bool CRateLimiter::Allow(std::uint32_t addrNet, std::uint64_t nowMs) {
    if (m_rate == 0)
        return true;
    return AllowKey(0xFFFFFFFF00000000u | addrNet, GroupOf(addrNet), nowMs);
}

bool CRateLimiter::Allow6(const std::array<std::uint8_t, 16>& address, std::uint64_t nowMs) {
    if (m_rate == 0)
        return true;
    std::uint64_t prefix = 0;
    for (std::size_t i = 0; i < 8; ++i)
        prefix = prefix << 8 | address[i];
    return AllowKey(prefix + 1, GroupOf6(address), nowMs);
}

bool CRateLimiter::AllowKey(std::uint64_t key, const Group& g, std::uint64_t nowMs) {
    Shard& shard = m_shards[g.shard];
    MutexLock lock(shard.mutex);
    const Search found = Look(shard, g.firstSlot, key, nowMs);
    if (found.own != nullptr)
        return TakeToken(found.own->bucket, nowMs, m_burstMilli);
    Slot* target = found.empty != nullptr ? found.empty : found.refilled;
    if (target == nullptr)
        return TakeToken(shard.overflow, nowMs, 1000);
    if (target == found.empty)
        m_occupied.fetch_add(1, std::memory_order_relaxed);
    target->key = key;
    target->bucket = {m_burstMilli - 1000, nowMs};
    return true;
}
