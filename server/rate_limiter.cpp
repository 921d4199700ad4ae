#include "server/rate_limiter.h"

#include <algorithm>

namespace {

constexpr std::size_t kMaxShards = 64;
// Slots looked at for one address before the least recently seen of them is replaced.
constexpr std::size_t kProbe = 8;

std::uint32_t Mix(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352d;
    x ^= x >> 15;
    x *= 0x846ca68b;
    x ^= x >> 16;
    return x;
}

}  // namespace

CRateLimiter::CRateLimiter(const RateLimitSettings& settings)
    : m_rate(settings.ratePerSecond),
      m_burstMilli(std::int64_t{std::max<std::uint32_t>(settings.burst, 1)} * 1000) {
    const std::size_t entries = std::max<std::size_t>(settings.tableEntries, kProbe);
    m_shardCount = std::clamp<std::size_t>(entries / 1024, 1, kMaxShards);
    m_slotsPerShard = std::max(entries / m_shardCount, kProbe);
    m_shards = std::make_unique<Shard[]>(m_shardCount);
    for (std::size_t i = 0; i < m_shardCount; ++i)
        m_shards[i].slots.resize(m_slotsPerShard);
}

bool CRateLimiter::Allow(std::uint32_t addrNet, std::uint64_t nowMs) {
    if (m_rate == 0)
        return true;
    const std::uint32_t h = Mix(addrNet);
    Shard& shard = m_shards[h % m_shardCount];
    const std::size_t start = (h / m_shardCount) % m_slotsPerShard;

    std::lock_guard lock(shard.mutex);
    Slot* victim = nullptr;
    for (std::size_t i = 0; i < kProbe; ++i) {
        Slot& s = shard.slots[(start + i) % m_slotsPerShard];
        if (s.used && s.address == addrNet) {
            if (nowMs > s.lastMs) {
                // Capped before multiplying: an address idle for days must not overflow.
                const std::uint64_t elapsed = std::min<std::uint64_t>(nowMs - s.lastMs, 1u << 30);
                s.milliTokens = std::min(
                    m_burstMilli, s.milliTokens + static_cast<std::int64_t>(elapsed) * m_rate);
                s.lastMs = nowMs;
            }
            if (s.milliTokens < 1000)
                return false;
            s.milliTokens -= 1000;
            return true;
        }
        if (!s.used) {
            if (victim == nullptr || victim->used)
                victim = &s;
        } else if (victim == nullptr || (victim->used && s.lastMs < victim->lastMs)) {
            victim = &s;
        }
    }
    victim->address = addrNet;
    victim->used = true;
    victim->lastMs = nowMs;
    victim->milliTokens = m_burstMilli - 1000;
    return true;
}

std::size_t CRateLimiter::Occupied() {
    std::size_t n = 0;
    for (std::size_t i = 0; i < m_shardCount; ++i) {
        std::lock_guard lock(m_shards[i].mutex);
        n += static_cast<std::size_t>(std::count_if(m_shards[i].slots.begin(),
                                                    m_shards[i].slots.end(),
                                                    [](const Slot& s) { return s.used; }));
    }
    return n;
}
