#pragma once
// The server's log: one line per event on stderr, "YYYY-MM-DDThh:mm:ssZ gatewise-server: text".
// Any thread: each line goes out in a single write, so lines from two threads never mix.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

// MinGW builds use C99's printf (__USE_MINGW_ANSI_STDIO), so formats are checked against it and
// not against msvcrt's, which lacks %zu.
#ifdef __MINGW32__
void ServerLog(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
void ServerLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif
// Lines are dropped while muted; tests mute the in-process server's chatter.
void SetServerLogMuted(bool muted);

// Lets through at most one line per interval for each kind of event, and counts what it held
// back so the next line of that kind can say so. Kinds are kept apart: a flood of one never
// holds back another's line. Any thread: lock-free.
class CLogThrottle {
public:
    explicit CLogThrottle(std::uint64_t intervalMs, std::size_t kinds = 1)
        : m_intervalMs(intervalMs), m_kinds(kinds), m_slots(std::make_unique<Slot[]>(kinds)) {}
    // True when a line of that kind (below kinds) may be written now; *suppressed then gets the
    // events of that kind held back since.
    bool Admit(std::uint64_t nowMs, std::uint64_t* suppressed, std::size_t kind = 0);

private:
    struct Slot {
        std::atomic<std::uint64_t> nextMs{0};
        std::atomic<std::uint64_t> suppressed{0};
    };
    const std::uint64_t m_intervalMs;
    const std::size_t m_kinds;
    const std::unique_ptr<Slot[]> m_slots;
};

inline std::uint64_t MonotonicMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

inline std::uint64_t WallMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}
