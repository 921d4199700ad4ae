#include "server/relay.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "net/messages.h"
#include "net/stun_message.h"
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

std::uint64_t CRelaySigner::NextSequence(std::uint64_t wallMs) {
    const std::uint64_t floor = SaturatingUs(wallMs);
    std::uint64_t seq = m_nextSequence.load(std::memory_order_relaxed);
    while (!m_nextSequence.compare_exchange_weak(seq, std::max(seq, floor) + 1,
                                                 std::memory_order_relaxed)) {
    }
    return std::max(seq, floor);
}

void CRelaySigner::Sign(std::uint8_t* out, std::size_t macOffset) const {
    if (m_key.empty()) {
        std::memset(out + macOffset, 0, kSha256Size);
    } else {
        const Sha256Digest mac = HmacSha256(m_key.data(), m_key.size(), out, macOffset);
        std::memcpy(out + macOffset, mac.data(), mac.size());
    }
}

namespace {

// Bytes 0..27, common to both relay types.
void WriteRelayHead(std::uint8_t* out, std::uint16_t length, std::uint32_t type,
                    std::uint32_t clientAddrNet, std::uint16_t clientPortNet, std::uint64_t wallMs,
                    std::uint64_t sequence) {
    WriteBe16(out, length);
    WriteBe32(out + 2, type);
    std::memcpy(out + 6, &clientAddrNet, 4);
    std::memcpy(out + 10, &clientPortNet, 2);
    WriteBe64(out + 12, wallMs);
    WriteBe64(out + 20, sequence);
}

}  // namespace

void CRelaySigner::Encode(std::uint32_t clientAddrNet, std::uint16_t clientPortNet,
                          std::uint64_t wallMs, std::uint8_t* out) {
    WriteRelayHead(out, kRelayLength, kMsgRelayChange, clientAddrNet, clientPortNet, wallMs,
                   NextSequence(wallMs));
    Sign(out, kRelayMacOffset);
}

std::uint16_t CRelaySigner::EncodeStun(const StunRelayRequest& r, std::uint8_t* out) {
    const std::uint64_t wallMs = r.base.timestampMs;
    const std::uint16_t length = r.rfc3489 ? kRelayStun3489Length : kRelayStunLength;
    WriteRelayHead(out, length, kMsgRelayStun, r.base.clientAddress, r.base.clientPort, wallMs,
                   NextSequence(wallMs));
    std::memcpy(out + 28, r.transactionId.data(), r.transactionId.size());
    out[40] = r.answerFromNext ? 1 : 0;
    out[41] = r.arrivedOnNext ? 1 : 0;
    WriteBe16(out + 42, r.requestLength);
    WriteBe16(out + 44, r.paddingLength);
    if (r.rfc3489) {
        WriteBe32(out + 46, r.idHead);
        Sign(out, kRelayStun3489MacOffset);
    } else {
        Sign(out, kRelayStunMacOffset);
    }
    return length;
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

RelayCheck CRelayVerifier::Check(const std::uint8_t* data, std::size_t len, std::uint32_t type,
                                 std::size_t macOffset, std::uint64_t wallMs, RelayRequest& out) {
    const std::size_t want = macOffset + kSha256Size;
    if (len != want || ReadBe16(data) != want || ReadBe32(data + 2) != type)
        return RelayCheck::Malformed;
    if (!m_key.empty()) {
        const Sha256Digest mac = HmacSha256(m_key.data(), m_key.size(), data, macOffset);
        if (!ConstantTimeEqual(mac.data(), data + macOffset, mac.size()))
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
    out = r;
    return RelayCheck::Accepted;
}

RelayCheck CRelayVerifier::Verify(const std::uint8_t* data, std::size_t len, std::uint64_t wallMs,
                                  RelayRequest* out) {
    RelayRequest r;
    const RelayCheck c = Check(data, len, kMsgRelayChange, kRelayMacOffset, wallMs, r);
    if (c == RelayCheck::Accepted && out != nullptr)
        *out = r;
    return c;
}

RelayCheck CRelayVerifier::VerifyStun(const std::uint8_t* data, std::size_t len,
                                      std::uint64_t wallMs, StunRelayRequest* out) {
    StunRelayRequest r;
    r.rfc3489 = len == kRelayStun3489Length;
    const RelayCheck c =
        Check(data, len, kMsgRelayStun, r.rfc3489 ? kRelayStun3489MacOffset : kRelayStunMacOffset,
              wallMs, r.base);
    if (c != RelayCheck::Accepted)
        return c;
    // Inside the MAC: only a sender with the key (or, without one, the partner's address)
    // can set these, but they are still checked to be one of the values they may take.
    if (data[40] > 1 || data[41] > 1)
        return RelayCheck::Malformed;
    if (r.rfc3489) {
        r.idHead = ReadBe32(data + 46);
        if (r.idHead == kStunMagicCookie)
            return RelayCheck::Malformed;
    }
    std::memcpy(r.transactionId.data(), data + 28, r.transactionId.size());
    r.answerFromNext = data[40] == 1;
    r.arrivedOnNext = data[41] == 1;
    r.requestLength = ReadBe16(data + 42);
    r.paddingLength = ReadBe16(data + 44);
    if (out != nullptr)
        *out = r;
    return RelayCheck::Accepted;
}

std::uint64_t& CRelayVerifier::SeenWord(std::uint64_t sequence) {
    return m_seen[static_cast<std::size_t>((sequence / 64) % kSeenWords)];
}

bool CRelayVerifier::FirstSighting(std::uint64_t sequence) {
    MutexLock lock(m_mutex);
    if (m_seen.empty()) {
        m_seen.assign(kSeenWords, 0);
        m_highestSequence = sequence;
        SeenWord(sequence) = std::uint64_t{1} << (sequence % 64);
        return true;
    }
    const std::uint64_t bit = std::uint64_t{1} << (sequence % 64);
    if (sequence <= m_highestSequence) {
        if (m_highestSequence - sequence >= kRelayReplaySpanUs || (SeenWord(sequence) & bit) != 0)
            return false;
        SeenWord(sequence) |= bit;
        return true;
    }
    // The words between the highest sequence's and this one's held numbers from a lap ago.
    const std::uint64_t skipped = sequence / 64 - m_highestSequence / 64;
    if (skipped >= kSeenWords) {
        std::fill(m_seen.begin(), m_seen.end(), 0);
    } else {
        for (std::uint64_t i = 1; i <= skipped; ++i)
            SeenWord(m_highestSequence + i * 64) = 0;
    }
    m_highestSequence = sequence;
    SeenWord(sequence) |= bit;
    return true;
}
