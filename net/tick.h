#pragma once
// Millisecond tick since an arbitrary start, as an unsigned 32-bit count that wraps (about every
// 49.7 days). Any thread.

#include <cstdint>

std::uint32_t GetTickCountMs();
