#pragma once
// The relay datagram Server1 sends to Server2 so that Server2 answers a change request from its
// own address. It is ours alone (clients never send or receive it) and uses the same 6-byte
// header as every other datagram:
//
//   offset size
//        0    2  length, 60
//        2    4  type kMsgRelayChange
//        6    4  the client's address as Server1 saw it (network order)
//       10    2  the client's port as Server1 saw it (network order)
//       12    8  Server1's wall clock, milliseconds since 1970-01-01 UTC (big-endian)
//       20    8  sequence number, one per relay, increasing, never below the timestamp in µs
//                (big-endian)
//       28   32  HMAC-SHA256 with the shared key over bytes 0..27; zero when no key is set
//
// The timestamp bounds how long a captured relay stays valid; the sequence number lets Server2
// refuse a second copy of one it already acted on inside that time. Because the sender keeps
// its sequence numbers at or above its own clock in µs, they measure time: Server2's replay
// window is a span of them (kRelayReplaySpanUs), so how late a relay may arrive does not shrink
// as the relay rate grows, and Server2 can refuse a sequence number far ahead of the relay's
// timestamp: otherwise one datagram carrying 2^64-1 (forged from the partner's address when
// there is no key) would make every later relay look like a replay.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/thread_annotations.h"

inline constexpr std::uint32_t kMsgRelayChange = 0x52777005;
inline constexpr std::uint16_t kRelayLength = 60;
inline constexpr std::size_t kRelayMacOffset = 28;

// The STUN relay: Server1 asks Server2 to answer a STUN Binding request whose CHANGE-REQUEST
// names Server2's address. Same header, addresses, timestamp, sequence number (one sequence
// space with kMsgRelayChange) and MAC rules, then:
//
//       28   12  the request's transaction ID
//       40    1  the socket Server2 answers from: 0 its port P (change IP), 1 P+1 (change IP
//                and port)
//       41    1  where the request arrived: 0 Server1's port P, 1 P+1
//       42    2  the request's length in bytes (big-endian): bounds the response's size
//       44    2  the length of the request's PADDING, 0xFFFF for none (big-endian)
//                (both vouched for only by the MAC: without a key Server2 bounds its answer by
//                the relay's own size and refuses PADDING)
//       46   32  HMAC-SHA256 with the shared key over bytes 0..45; zero when no key is set
//
// An RFC 3489 request (no magic cookie) is relayed in a longer form, 82 bytes, and answered in
// its own form. Bytes 0..45 as above (length 82; 28..39 the last 96 bits of its ID), then:
//
//       46    4  the first 32 bits of the request's 128-bit transaction ID, never the magic
//                cookie
//       50   32  HMAC-SHA256 with the shared key over bytes 0..49; zero when no key is set
//
// The length alone tells the two apart, so the 78-byte form is unchanged: a Server2 that knows
// only it still answers RFC 5389 requests relayed by a newer Server1, and refuses the 82-byte
// form as malformed.
inline constexpr std::uint32_t kMsgRelayStun = 0x52777006;
inline constexpr std::uint16_t kRelayStunLength = 78;
inline constexpr std::size_t kRelayStunMacOffset = 46;
inline constexpr std::uint16_t kRelayStun3489Length = 82;
inline constexpr std::size_t kRelayStun3489MacOffset = 50;
inline constexpr std::uint16_t kRelayNoPadding = 0xFFFF;
// How far below the highest sequence number seen one is still tracked, in µs of the sender's
// clock: a relay overtaken by later ones is accepted once if it arrives less than this much
// behind the newest; older ones cannot be told from replays and are refused. Every Server1
// worker takes its numbers from one counter, so this holds across workers as well.
inline constexpr std::uint64_t kRelayReplaySpanUs = 1'000'000;
// How far a sequence number may run ahead of its relay's timestamp in µs: the sender truncates
// its clock to whole ms in the timestamp (up to 999 µs), and more than one relay per µs makes
// its sequence numbers run ahead of its clock for a while. Since the timestamp is within the
// time window, the highest sequence number Server2 can be made to remember is then at most its
// own clock plus the window plus this, in µs, so a far-ahead value held by Server2 delays the
// partner's relays only until their clock is within kRelayReplaySpanUs of it (at most the
// window plus this less the span) instead of until the next restart.
inline constexpr std::uint64_t kRelaySequenceLeadUs = 1'000'000;

struct RelayRequest {
    std::uint32_t clientAddress = 0;  // network order
    std::uint16_t clientPort = 0;     // network order
    std::uint64_t timestampMs = 0;
    std::uint64_t sequence = 0;
};

// What a STUN relay carries besides a RelayRequest.
struct StunRelayRequest {
    RelayRequest base;
    std::array<std::uint8_t, 12> transactionId{};
    bool answerFromNext = false;  // Server2's P+1 instead of P
    bool arrivedOnNext = false;   // the request reached Server1's P+1 instead of P
    std::uint16_t requestLength = 0;
    std::uint16_t paddingLength = kRelayNoPadding;
    // An RFC 3489 request, to be answered in that form; idHead is the first 32 bits of its
    // transaction ID (where RFC 5389 has the magic cookie).
    bool rfc3489 = false;
    std::uint32_t idHead = 0;
};

// Builds relay datagrams. Any thread: the sequence counter is atomic.
class CRelaySigner {
public:
    // firstSequence should grow across restarts (Server1 seeds it from the clock in
    // microseconds) so that a restarted Server1 is not taken for a replay.
    CRelaySigner(std::vector<std::uint8_t> key, std::uint64_t firstSequence);

    // Writes kRelayLength bytes into out. The sequence number is one above the previous one,
    // or wallMs in µs when that is higher, so it keeps up with the clock.
    void Encode(std::uint32_t clientAddrNet, std::uint16_t clientPortNet, std::uint64_t wallMs,
                std::uint8_t* out);
    // Writes kRelayStunLength bytes, or kRelayStun3489Length for an RFC 3489 request, and
    // returns that length; base.timestampMs is the wall clock, base.sequence is ignored (the
    // next one is taken).
    std::uint16_t EncodeStun(const StunRelayRequest& r, std::uint8_t* out);
    // Whether relays are signed: without a key the partner can trust only their source address.
    bool Keyed() const { return !m_key.empty(); }

private:
    // The next sequence number, never below wallMs in µs.
    std::uint64_t NextSequence(std::uint64_t wallMs);
    void Sign(std::uint8_t* out, std::size_t macOffset) const;

    const std::vector<std::uint8_t> m_key;
    std::atomic<std::uint64_t> m_nextSequence;
};

enum class RelayCheck { Accepted, Malformed, BadMac, Stale, Replayed, SequenceAhead };
inline constexpr int kRelayCheckCount = 6;
const char* RelayCheckName(RelayCheck check);

// Checks relay datagrams on Server2's side. Any thread: one lock, taken for a few instructions.
class CRelayVerifier {
public:
    // An empty key accepts any MAC: the source address check done by the caller is then the
    // only protection. windowMs: how far the sender's clock may be from ours, either way.
    // A relay whose sequence number is more than kRelaySequenceLeadUs ahead of its timestamp
    // in µs is refused as SequenceAhead and leaves the replay window untouched.
    CRelayVerifier(std::vector<std::uint8_t> key, std::uint64_t windowMs);

    RelayCheck Verify(const std::uint8_t* data, std::size_t len, std::uint64_t wallMs,
                      RelayRequest* out) EXCLUDES(m_mutex);
    // The same checks for a kMsgRelayStun datagram (either length), sharing the replay window.
    RelayCheck VerifyStun(const std::uint8_t* data, std::size_t len, std::uint64_t wallMs,
                          StunRelayRequest* out) EXCLUDES(m_mutex);
    // Whether a relay's MAC is checked; without a key its fields vouch for nothing.
    bool Keyed() const { return !m_key.empty(); }

private:
    // Length, type and MAC, then time window and sequence number; fills out on success.
    RelayCheck Check(const std::uint8_t* data, std::size_t len, std::uint32_t type,
                     std::size_t macOffset, std::uint64_t wallMs, RelayRequest& out)
        EXCLUDES(m_mutex);
    // True the first time sequence is seen inside the replay span, and records it.
    bool FirstSighting(std::uint64_t sequence) EXCLUDES(m_mutex);
    // The word of m_seen that holds sequence's bit.
    std::uint64_t& SeenWord(std::uint64_t sequence) REQUIRES(m_mutex);

    // The accepted sequence numbers are bits in a ring of words: sequence s is bit s % 64 of
    // word (s / 64) % kSeenWords. The ring holds more than the span, so every number within
    // kRelayReplaySpanUs of the highest has a word of its own (128 KiB in all).
    static constexpr std::size_t kSeenWords = 16384;
    static_assert((kSeenWords - 2) * 64 >= kRelayReplaySpanUs, "the ring must cover the span");

    const std::vector<std::uint8_t> m_key;
    const std::uint64_t m_windowMs;

    // Lock order: a leaf. Held for a few instructions (a relay after a pause clears the words
    // the pause skipped, at most the whole ring); no other lock is taken while it is held, and
    // the handler never holds a rate-limiter shard lock when it takes this one.
    Mutex m_mutex;
    std::uint64_t m_highestSequence GUARDED_BY(m_mutex) = 0;
    // Allocated with the first relay, so that a verifier that never sees one costs nothing.
    std::vector<std::uint64_t> m_seen GUARDED_BY(m_mutex);
};
