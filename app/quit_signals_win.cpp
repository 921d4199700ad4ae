#include "app/quit_signals.h"

#include <QCoreApplication>

// A window program has no console, so Ctrl+C and the console's close never reach it, and closing
// the window (or a polite taskkill, which sends WM_CLOSE) goes through the main window's close,
// which stops a check already. What is left is the session's end: at logoff or shutdown the
// Windows platform plugin emits aboutToQuit on the user-interface thread and the system ends the
// process soon after, without closing the window first.
void WatchQuitSignals(std::function<void()> beforeQuit) {
    static bool watching = false;
    if (watching || QCoreApplication::instance() == nullptr)
        return;
    watching = true;
    // Also at an ordinary end of the program, when nothing runs any more: then it does nothing.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
                     QCoreApplication::instance(), [beforeQuit = std::move(beforeQuit)] {
                         if (beforeQuit)
                             beforeQuit();
                     });
}
