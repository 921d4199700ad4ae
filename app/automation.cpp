#include "app/automation.h"

#include <QDir>
#include <QFile>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "app/about_dlg.h"
#include "app/command_ids.h"
#include "app/gatewise_app.h"
#include "app/gatewise_view.h"
#include "app/picture_texts.h"
#include "app/stun_setting_dlg.h"

namespace {
// How long a dialog stays up before it is photographed, so it has been laid out and painted.
constexpr int kSettleMs = 700;
constexpr int kDefaultQuitMs = 60000;
// Into a running check, in ms: behind a NAT that filters, the first test is then waiting for
// its time-out and the bar shows some progress.
constexpr int kRunningShotMs = 12000;

QString Env(const char* name) {
    return qEnvironmentVariable(name);
}

// name.png and, beside it, name.txt: the texts it shows and what they come from.
void Grab(QWidget& widget, const QString& dir, const char* name, const QStringList& inputs = {}) {
    const QString base = QDir(dir).filePath(QString::fromLatin1(name));
    widget.grab().save(base + QStringLiteral(".png"));
    QFile texts(base + QStringLiteral(".txt"));
    if (texts.open(QIODevice::WriteOnly | QIODevice::Truncate))
        texts.write(PictureSourceBytes({inputs, ShownTexts(widget)}));
}

// Shows dialog, photographs it once painted and closes it with Cancel; returns Cancel.
int PhotographDialog(QDialog& dialog, const QString& dir, const char* name,
                     const QStringList& inputs = {}) {
    QTimer::singleShot(kSettleMs, &dialog, [&dialog, dir, name, inputs] {
        Grab(dialog, dir, name, inputs);
        dialog.reject();
    });
    return dialog.exec();
}

// File > STUN Setting answered with OK once shown, as a user who changes nothing: the dialog's
// own OK, so the values are checked and saved as then.
void AcceptSettings(CMainFrame* frame, CGatewiseView* view) {
    view->SetSettingsDialogRunner([](CStunSettingDlg& settings) {
        QTimer::singleShot(kSettleMs, &settings, [&settings] { settings.accept(); });
        return settings.exec();
    });
    frame->ExecuteCommand(cmd::kStunSetting);
    view->SetSettingsDialogRunner({});
}

// After the result dialog: the main window, the settings dialog and the about box; then finish.
void PhotographTheRest(CMainFrame* frame, CGatewiseView* view, const QString& shotsDir,
                       const std::function<void()>& finish) {
    Grab(*frame, shotsDir, "main");
    view->SetSettingsDialogRunner([shotsDir](CStunSettingDlg& settings) {
        return PhotographDialog(settings, shotsDir, "settings");
    });
    frame->ExecuteCommand(cmd::kStunSetting);
    frame->SetAboutRunner(
        [shotsDir](QDialog& about) { return PhotographDialog(about, shotsDir, "about"); });
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
        const CNatProber& prober = view->CheckModule().Prober();
        const CheckOutcome& outcome = prober.Outcome();
        std::optional<bool> mappedIsLocal;
        if (outcome.mappedPort != 0)
            mappedIsLocal = prober.IsLocalAddress(outcome.mappedIp);
        QStringList inputs{OutcomeInput(outcome, mappedIsLocal)};
        for (const std::string& line : dlg.m_lines)
            inputs.append(QString::fromStdString(line));
        const int result = PhotographDialog(dlg, shotsDir, "result", inputs);
        QTimer::singleShot(kSettleMs, frame, [frame, view, shotsDir, finish] {
            PhotographTheRest(frame, view, shotsDir, finish);
        });
        return result;
    });
}

// The main window once a check has run for kRunningShotMs, its progress in the status bar;
// no picture when the check ends sooner.
void PhotographTheRunningCheck(CMainFrame* frame, CGatewiseView* view, const QString& shotsDir) {
    QObject::connect(view, &CGatewiseView::natCheckRunningChanged, frame,
                     [frame, view, shotsDir](bool running) {
                         if (!running)
                             return;
                         QTimer::singleShot(kRunningShotMs, frame, [frame, view, shotsDir] {
                             if (!view->NatCheckRunning())
                                 return;
                             const CNatProber& prober = view->CheckModule().Prober();
                             Grab(*frame, shotsDir, "running",
                                  {QStringLiteral("step=%1 ticksLeft=%2")
                                       .arg(prober.Step())
                                       .arg(prober.TicksLeft())});
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
    const bool autosettings = Env("GATEWISE_AUTOSETTINGS") == QLatin1String("1");
    const QString saveTo = Env("GATEWISE_AUTOSAVE");
    const QString shotsDir = Env("GATEWISE_SCREENSHOTS");
    if (!autostart && !autosettings && saveTo.isEmpty() && shotsDir.isEmpty())
        return;

    CMainFrame* frame = app.MainFrame();
    CGatewiseView* view = app.View();
    CGatewiseDoc* doc = app.Document();
    auto finish = [frame, doc, saveTo] {
        if (!saveTo.isEmpty())
            doc->OnSaveDocument(saveTo);
        frame->close();
    };

    if (autostart || autosettings) {
        QObject::connect(view, &CGatewiseView::startupFinished, frame,
                         [frame, view, finish, autostart, autosettings](bool ok) {
                             if (!ok) {
                                 finish();
                                 return;
                             }
                             if (autosettings)
                                 AcceptSettings(frame, view);
                             if (autostart)
                                 frame->ExecuteCommand(cmd::kStartNatDetect);
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
