#include "server/server_log.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

std::atomic<bool> g_muted{false};

}  // namespace

void SetServerLogMuted(bool muted) {
    g_muted.store(muted, std::memory_order_relaxed);
}

void ServerLog(const char* format, ...) {
    if (g_muted.load(std::memory_order_relaxed))
        return;
    char line[1024];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::size_t n = std::strftime(line, sizeof line, "%Y-%m-%dT%H:%M:%SZ gatewise-server: ", &utc);
    va_list args;
    va_start(args, format);
    const int m = std::vsnprintf(line + n, sizeof line - n - 1, format, args);
    va_end(args);
    if (m > 0)
        n += std::min<std::size_t>(static_cast<std::size_t>(m), sizeof line - n - 2);
    line[n++] = '\n';
    [[maybe_unused]] const ssize_t w = ::write(STDERR_FILENO, line, n);
}

bool CLogThrottle::Admit(std::uint64_t nowMs, std::uint64_t* suppressed, std::size_t kind) {
    Slot& slot = m_slots[std::min(kind, m_kinds - 1)];
    std::uint64_t next = slot.nextMs.load(std::memory_order_relaxed);
    if (nowMs < next || !slot.nextMs.compare_exchange_strong(next, nowMs + m_intervalMs,
                                                             std::memory_order_relaxed)) {
        slot.suppressed.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    *suppressed = slot.suppressed.exchange(0, std::memory_order_relaxed);
    return true;
}
