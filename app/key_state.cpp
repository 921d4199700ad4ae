#include "app/key_state.h"

#include <QGuiApplication>

#if defined(GATEWISE_HAVE_X11)
#include <X11/XKBlib.h>
#endif

std::optional<bool> QueryLockKey(LockKey key) {
#if defined(GATEWISE_HAVE_X11)
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (x11 == nullptr || x11->display() == nullptr)
        return std::nullopt;
    unsigned int state = 0;
    if (XkbGetIndicatorState(x11->display(), XkbUseCoreKbd, &state) != 0)
        return std::nullopt;
    // Bits of the core keyboard's indicators as the usual X keymaps lay them out.
    switch (key) {
        case LockKey::Caps:
            return (state & 0x01u) != 0;
        case LockKey::Num:
            return (state & 0x02u) != 0;
        case LockKey::Scroll:
            return (state & 0x04u) != 0;
    }
    return std::nullopt;
#else
    (void)key;
    return std::nullopt;
#endif
}
