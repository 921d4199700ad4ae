#pragma once
// The state of the keyboard's lock keys, for the status bar's CAP, NUM and SCRL indicators.
// Platform seam: key_state.cpp asks X11 through XKB where the build has X11 (other platforms,
// the offscreen one included, do not say); key_state_win.cpp asks Windows' GetKeyState.
// User-interface thread only.

#include <optional>

enum class LockKey { Caps, Num, Scroll };

// True when the key's lock is on; nullopt when the platform does not say.
std::optional<bool> QueryLockKey(LockKey key);
