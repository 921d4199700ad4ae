#include "server/relay.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "net/messages.h"
#include "server/sha256.h"

namespace {

void WriteBe64(std::uint8_t* p, std::uint64_t v) {
    WriteBe32(p, static_cast<std::uint32_t>(v >> 32));
    WriteBe32(p + 4, static_cast<std::uint32_t>(v));
}

std::uint64_t ReadBe64(const std::uint8_t* p) {
    return (std::uint64_t{ReadBe32(p)} << 32) | ReadBe32(p + 4);
}

// ms to µs, held at the largest value instead of wrapping.
std::uint64_t SaturatingUs(std::uint64_t ms) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    return ms > kMax / 1000 ? kMax : ms * 1000;
}

}  // namespace

CRelaySigner::CRelaySigner(std::vector<std::uint8_t> key, std::uint64_t firstSequence)
    : m_key(std::move(key)), m_nextSequence(firstSequence) {}

void CRelaySigner::Encode(std::uint32_t clientAddrNet, std::uint16_t clientPortNet,
                          std::uint64_t wallMs, std::uint8_t* out) {
    WriteBe16(out, kRelayLength);
    WriteBe32(out + 2, kMsgRelayChange);
    std::memcpy(out + 6, &clientAddrNet, 4);
    std::memcpy(out + 10, &clientPortNet, 2);
    WriteBe64(out + 12, wallMs);
    const std::uint64_t floor = SaturatingUs(wallMs);
    std::uint64_t seq = m_nextSequence.load(std::memory_order_relaxed);
    while (!m_nextSequence.compare_exchange_weak(seq, std::max(seq, floor) + 1,
                                                 std::memory_order_relaxed)) {
    }
    WriteBe64(out + 20, std::max(seq, floor));
    if (m_key.empty()) {
        std::memset(out + kRelayMacOffset, 0, kSha256Size);
    } else {
        const Sha256Digest mac = HmacSha256(m_key.data(), m_key.size(), out, kRelayMacOffset);
        std::memcpy(out + kRelayMacOffset, mac.data(), mac.size());
    }
}

const char* RelayCheckName(RelayCheck check) {
    // In RelayCheck's order.
    static const char* const kNames[kRelayCheckCount] = {
        "accepted", "malformed",
        "bad MAC",  "outside the time window",
        "replayed", "sequence number ahead of its timestamp"};
    const auto i = static_cast<int>(check);
    return i >= 0 && i < kRelayCheckCount ? kNames[i] : "?";
}

CRelayVerifier::CRelayVerifier(std::vector<std::uint8_t> key, std::uint64_t windowMs)
    : m_key(std::move(key)), m_windowMs(windowMs) {}

RelayCheck CRelayVerifier::Verify(const std::uint8_t* data, std::size_t len, std::uint64_t wallMs,
                                  RelayRequest* out) {
    if (len != kRelayLength || ReadBe16(data) != kRelayLength ||
        ReadBe32(data + 2) != kMsgRelayChange) {
        return RelayCheck::Malformed;
    }
    if (!m_key.empty()) {
        const Sha256Digest mac = HmacSha256(m_key.data(), m_key.size(), data, kRelayMacOffset);
        if (!ConstantTimeEqual(mac.data(), data + kRelayMacOffset, mac.size()))
            return RelayCheck::BadMac;
    }
    RelayRequest r;
    std::memcpy(&r.clientAddress, data + 6, 4);
    std::memcpy(&r.clientPort, data + 10, 2);
    r.timestampMs = ReadBe64(data + 12);
    r.sequence = ReadBe64(data + 20);
    const std::uint64_t age =
        wallMs > r.timestampMs ? wallMs - r.timestampMs : r.timestampMs - wallMs;
    if (age > m_windowMs)
        return RelayCheck::Stale;
    const std::uint64_t maxSequence = SaturatingUs(r.timestampMs);
    if (r.sequence > maxSequence && r.sequence - maxSequence > kRelaySequenceLeadUs)
        return RelayCheck::SequenceAhead;
    if (!FirstSighting(r.sequence))
        return RelayCheck::Replayed;
    if (out != nullptr)
        *out = r;
    return RelayCheck::Accepted;
}

bool CRelayVerifier::FirstSighting(std::uint64_t sequence) {
    MutexLock lock(m_mutex);
    if (sequence <= m_highestSequence) {
        const std::uint64_t behind = m_highestSequence - sequence;
        if (behind >= kRelayReplayWindow || m_seen.test(static_cast<std::size_t>(behind)))
            return false;
        m_seen.set(static_cast<std::size_t>(behind));
        return true;
    }
    const std::uint64_t shift = sequence - m_highestSequence;
    if (shift >= kRelayReplayWindow) {
        m_seen.reset();
    } else {
        m_seen <<= static_cast<std::size_t>(shift);
    }
    m_highestSequence = sequence;
    m_seen.set(0);
    return true;
}
