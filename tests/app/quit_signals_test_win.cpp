// The quit hook on Windows: the session's end (WM_QUERYENDSESSION, then WM_ENDSESSION, as logoff
// and shutdown send them to every top-level window) runs beforeQuit once, before the system would
// end the process. Needs the Windows platform (a real window handle); elsewhere skipped.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QWidget>

#include "app/quit_signals.h"
#include "app_fixture.h"
#include "core/win_util.h"

namespace apptest {
namespace {

TEST(QuitSignals, SessionEndRunsBeforeQuitOnce) {
    if (QGuiApplication::platformName() != QLatin1String("windows"))
        GTEST_SKIP() << "needs the Windows platform, not "
                     << qPrintable(QGuiApplication::platformName());
    // Static: the hook lives as long as the application.
    static int beforeQuit = 0;
    WatchQuitSignals([] { ++beforeQuit; });
    QWidget window;
    window.show();
    const auto hwnd = reinterpret_cast<HWND>(window.winId());
    ::SendMessageW(hwnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    EXPECT_EQ(beforeQuit, 0) << "asked only, the session may still go on";
    ::SendMessageW(hwnd, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    ::SendMessageW(hwnd, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);  // every window has one
    EXPECT_EQ(beforeQuit, 1);
}

}  // namespace
}  // namespace apptest
