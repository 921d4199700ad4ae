#include "app/automation.h"

#include <QDir>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <memory>

#include "app/about_dlg.h"
#include "app/command_ids.h"
#include "app/gatewise_app.h"
#include "app/gatewise_view.h"
#include "app/stun_setting_dlg.h"

namespace {
// How long a dialog stays up before it is photographed, so it has been laid out and painted.
constexpr int kSettleMs = 700;
constexpr int kDefaultQuitMs = 60000;
// Into a running check, in ms: behind a NAT that filters, the first test is then waiting for
// its time-out and the bar shows some progress. Width in pixels, within the 1280 of the
// screenshots' virtual screen.
constexpr int kRunningShotMs = 12000;
constexpr int kRunningShotWidth = 1200;

QString Env(const char* name) {
    return qEnvironmentVariable(name);
}

void Grab(QWidget& widget, const QString& dir, const char* name) {
    widget.grab().save(QDir(dir).filePath(QString::fromLatin1(name)));
}

// Shows dialog, photographs it once painted and closes it with Cancel; returns Cancel.
int PhotographDialog(QDialog& dialog, const QString& dir, const char* name) {
    QTimer::singleShot(kSettleMs, &dialog, [&dialog, dir, name] {
        Grab(dialog, dir, name);
        dialog.reject();
    });
    return dialog.exec();
}

// After the result dialog: the main window, the settings dialog and the about box; then finish.
void PhotographTheRest(CMainFrame* frame, CGatewiseView* view, const QString& shotsDir,
                       const std::function<void()>& finish) {
    Grab(*frame, shotsDir, "main.png");
    view->SetSettingsDialogRunner([shotsDir](CStunSettingDlg& settings) {
        return PhotographDialog(settings, shotsDir, "settings.png");
    });
    frame->ExecuteCommand(cmd::kStunSetting);
    frame->SetAboutRunner(
        [shotsDir](QDialog& about) { return PhotographDialog(about, shotsDir, "about.png"); });
    frame->ExecuteCommand(cmd::kAppAbout);
    finish();
}

// The result dialog is photographed when shown, the rest once the engine has finished its
// summary and the window shows it.
void PhotographAfterTheResult(CMainFrame* frame, CGatewiseView* view, const QString& shotsDir,
                              const std::function<void()>& finish) {
    QDir().mkpath(shotsDir);
    view->ResultPresenter().SetDialogRunner([frame, view, shotsDir, finish](CResultDlg& dlg) {
        dlg.ShowDetails(true);
        const int result = PhotographDialog(dlg, shotsDir, "result.png");
        QTimer::singleShot(kSettleMs, frame, [frame, view, shotsDir, finish] {
            PhotographTheRest(frame, view, shotsDir, finish);
        });
        return result;
    });
}

// The main window once a check has run for kRunningShotMs, its progress in the status bar;
// no picture when the check ends sooner. The window is widened while the check runs so the
// status text fits beside the bar, and given its size back when the check ends.
void PhotographTheRunningCheck(CMainFrame* frame, CGatewiseView* view, const QString& shotsDir) {
    auto normalSize = std::make_shared<QSize>();  // invalid while not widened
    QObject::connect(view, &CGatewiseView::natCheckRunningChanged, frame,
                     [frame, view, shotsDir, normalSize](bool running) {
                         if (!running) {
                             if (normalSize->isValid())
                                 frame->resize(*normalSize);
                             *normalSize = QSize();
                             return;
                         }
                         *normalSize = frame->size();
                         frame->resize(std::max(normalSize->width(), kRunningShotWidth),
                                       normalSize->height());
                         QTimer::singleShot(kRunningShotMs, frame, [frame, view, shotsDir] {
                             if (view->NatCheckRunning())
                                 Grab(*frame, shotsDir, "running.png");
                         });
                     });
}

// GATEWISE_AUTOQUIT_MS, or the default when it is no positive number.
int QuitAfterMs() {
    bool ok = false;
    const int quitMs = Env("GATEWISE_AUTOQUIT_MS").toInt(&ok);
    return ok && quitMs > 0 ? quitMs : kDefaultQuitMs;
}
}  // namespace

void ArmAutomation(CGatewiseApp& app) {
    const bool autostart = Env("GATEWISE_AUTOSTART") == QLatin1String("1");
    const QString saveTo = Env("GATEWISE_AUTOSAVE");
    const QString shotsDir = Env("GATEWISE_SCREENSHOTS");
    if (!autostart && saveTo.isEmpty() && shotsDir.isEmpty())
        return;

    CMainFrame* frame = app.MainFrame();
    CGatewiseView* view = app.View();
    CGatewiseDoc* doc = app.Document();
    auto finish = [frame, doc, saveTo] {
        if (!saveTo.isEmpty())
            doc->OnSaveDocument(saveTo);
        frame->close();
    };

    if (autostart) {
        QObject::connect(view, &CGatewiseView::startupFinished, frame, [frame, finish](bool ok) {
            if (ok) {
                frame->ExecuteCommand(cmd::kStartNatDetect);
            } else {
                finish();
            }
        });
    }
    if (!shotsDir.isEmpty()) {
        PhotographTheRunningCheck(frame, view, shotsDir);
        PhotographAfterTheResult(frame, view, shotsDir, finish);
    } else if (!saveTo.isEmpty()) {
        view->ResultPresenter().SetDialogRunner([frame, finish](CResultDlg&) {
            QTimer::singleShot(0, frame, finish);
            return static_cast<int>(QDialog::Rejected);
        });
    }

    QTimer::singleShot(QuitAfterMs(), frame, finish);
}
