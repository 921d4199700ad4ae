#pragma once
// Keeps the responder from being turned into a reflector. Any host may send a friend search that
// names any address as its "Server1", and every search makes this copy send a tracked request
// (0x7477700E, three transmissions) to that address. A real searcher needs one answer; a flood
// gets a bounded one: at most kSearchesPerWindow searches answered per kWindowMs, and no second
// 0x7477700E for a searcher whose first is still unanswered.
//
// Engine (user-interface) thread only, like the prober that owns it; it takes no lock.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class CResponderLimit {
public:
    // Searches answered in any window of kWindowMs (milliseconds of the engine's monotonic clock).
    static constexpr std::size_t kSearchesPerWindow = 4;
    static constexpr std::uint64_t kWindowMs = 1000;
    // The network module gives up on a tracked request after its third transmission, 3000 ms
    // apart, so an unanswered 0x7477700E is dead after 9 s; one more second for a late reply.
    static constexpr std::uint64_t kOutstandingMs = 10000;
    // More than the window rate can ever fill (4 per second for 10 s); a guard, not a tuning knob.
    static constexpr std::size_t kMaxOutstanding = 64;

    enum class Decision {
        Answer,      // answer the search and ask its Server1 (0x7C77700D and 0x7477700E)
        AnswerOnly,  // answer the search; this searcher's 0x7477700E is still outstanding
        Refuse,      // over the rate (or the table): nothing is sent and nothing is logged
    };

    CResponderLimit();

    // A search from searcherIp naming serverIp:serverPort (all network order) has arrived.
    Decision AdmitSearch(std::uint32_t searcherIp, std::uint32_t serverIp,
                         std::uint16_t serverPort);
    // Cheap pre-check before anything costly is done for a search: false (and counted as
    // refused) when AdmitSearch would refuse for the rate.
    bool HasRoom();
    // A 0x7C77700E arrived from serverIp:serverPort: the oldest request sent there is answered.
    // False when none is outstanding there: the reply answers nothing and must be ignored.
    bool OnServerReply(std::uint32_t serverIp, std::uint16_t serverPort);

    // Milliseconds of a monotonic clock; empty restores the steady clock. Tests step their own.
    void SetClock(std::function<std::uint64_t()> nowMs);
    std::uint64_t Now() const;

    // Searches refused outright, and searches answered without a second 0x7477700E.
    std::uint64_t RefusedForRate() const { return m_refusedForRate; }
    std::uint64_t HeldForOutstanding() const { return m_heldForOutstanding; }
    std::size_t OutstandingCount() const { return m_outstanding.size(); }

private:
    struct Outstanding {
        std::uint32_t searcherIp;
        std::uint32_t serverIp;
        std::uint16_t serverPort;
        std::uint64_t sentMs;
    };

    void Expire(std::uint64_t now);
    bool WithinRate(std::uint64_t now) const;

    std::function<std::uint64_t()> m_clock;
    // Times of the last kSearchesPerWindow answered searches, oldest at m_next (a ring).
    std::array<std::uint64_t, kSearchesPerWindow> m_answeredMs{};
    std::size_t m_answeredCount = 0;  // up to kSearchesPerWindow
    std::size_t m_next = 0;
    std::vector<Outstanding> m_outstanding;  // oldest first, at most kMaxOutstanding
    std::uint64_t m_refusedForRate = 0;
    std::uint64_t m_heldForOutstanding = 0;
};
