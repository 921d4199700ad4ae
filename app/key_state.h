#pragma once
// The state of the keyboard's lock keys, for the status bar's CAP, NUM and SCRL indicators.
// Platform seam: X11 tells it through XKB; other platforms (and the offscreen one) do not.
// User-interface thread only.

#include <optional>

enum class LockKey { Caps, Num, Scroll };

// True when the key's lock is on; nullopt when the platform does not say.
std::optional<bool> QueryLockKey(LockKey key);
