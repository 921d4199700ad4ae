#pragma once
// SipHash-2-4, a keyed 64-bit hash: the rate table's slot for an address comes from it, so that
// nobody who does not know this process's key can pick addresses that share a slot group.
// Pure functions: any thread.

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kSipKeySize = 16;
using SipKey = std::array<std::uint8_t, kSipKeySize>;

// The 64-bit result as the reference implementation returns it (its 8 output bytes read
// little-endian).
std::uint64_t SipHash24(const SipKey& key, const std::uint8_t* data, std::size_t len);

// A fresh key from getrandom(), or /dev/urandom where that call is missing. Only if both fail
// does it fall back to the clock, the process id and an address (weak, but never a fixed key).
SipKey RandomSipKey();
