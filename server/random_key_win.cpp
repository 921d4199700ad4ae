// RandomSipKey (siphash.h) from the system's random source. Windows: BCryptGenRandom with the
// system's preferred generator.

#include <windows.h>
// After windows.h.
#include <bcrypt.h>

#include <chrono>
#include <cstring>

#include "server/siphash.h"

SipKey RandomSipKey() {
    SipKey key{};
    if (BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, key.data(), static_cast<ULONG>(key.size()),
                                         BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        return key;
    }
    // As on POSIX when no random source answers: the clock and the process, weak but never the
    // same key twice.
    const std::uint64_t a = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    const std::uint64_t b =
        (std::uint64_t{::GetCurrentProcessId()} << 32) ^ reinterpret_cast<std::uintptr_t>(&key);
    std::memcpy(key.data(), &a, 8);
    std::memcpy(key.data() + 8, &b, 8);
    return key;
}
