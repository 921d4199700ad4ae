#include "net/tick.h"

#include <chrono>

std::uint32_t GetTickCountMs() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    // Keeping the low 32 bits is the wrap the callers expect (unsigned differences).
    return static_cast<std::uint32_t>(ms.count());
}
