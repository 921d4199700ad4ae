// gatewise: the desktop application that tells what the NAT in front of this computer does to
// peer-to-peer UDP.

#include <QApplication>

#include "app/automation.h"
#include "app/gatewise_app.h"
#include "app/gatewise_view.h"
#include "app/quit_signals.h"
#include "app/toolkit_options.h"
#include "app/tsan_qt_suppressions.h"

int main(int argc, char* argv[]) {
    ChooseToolkitOptions();
    QApplication qapp(argc, argv);
    CGatewiseApp app;
    QStringList args = QApplication::arguments();
    args.removeFirst();
    if (!app.InitInstance(args))
        return 1;
    ArmAutomation(app);
    // A port-mapping check in progress deletes its mappings before a signal ends the program.
    WatchQuitSignals([&app] {
        if (CGatewiseView* view = app.View())
            view->StopBackgroundRun();
    });
    return QApplication::exec();
}
