#include "net/tick.h"

#include <chrono>

std::uint64_t SteadyMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::uint32_t GetTickCountMs() {
    // Keeping the low 32 bits is the wrap the callers expect (unsigned differences).
    return static_cast<std::uint32_t>(SteadyMs());
}
