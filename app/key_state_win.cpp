#include "app/key_state.h"

#include "core/win_util.h"

std::optional<bool> QueryLockKey(LockKey key) {
    // The low bit of GetKeyState is the key's toggle: on while its lock (and its light) is on.
    int virtualKey = 0;
    switch (key) {
        case LockKey::Caps:
            virtualKey = VK_CAPITAL;
            break;
        case LockKey::Num:
            virtualKey = VK_NUMLOCK;
            break;
        case LockKey::Scroll:
            virtualKey = VK_SCROLL;
            break;
    }
    if (virtualKey == 0)
        return std::nullopt;
    return (::GetKeyState(virtualKey) & 1) != 0;
}
