#pragma once
// Millisecond tick since an arbitrary start, as an unsigned 32-bit count that wraps (about every
// 49.7 days), or as a 64-bit one. Any thread.

#include <cstdint>

std::uint32_t GetTickCountMs();
// The same clock in 64 bits: no wrap.
std::uint64_t SteadyMs();
