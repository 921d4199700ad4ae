#pragma once
// The log window. Shows the check's log (the target theLog writes to), owns the check module and
// drives it: timer 1 starts the network side one second after the view is first shown, timer 2
// passes the one-second tick on for the rest of the run. User-interface thread only; the network
// module's threads reach it only through the notify target, which posts to this thread.

#include <QBasicTimer>
#include <QFont>
#include <QPlainTextEdit>
#include <functional>
#include <optional>
#include <string>

#include "app/qt_notify_target.h"
#include "app/result_dlg.h"
#include "core/log.h"
#include "engine/check_module.h"

class CStunSettingDlg;

class CGatewiseView : public QPlainTextEdit, public ILogTarget {
    Q_OBJECT
public:
    explicit CGatewiseView(QWidget* parent = nullptr);
    ~CGatewiseView() override;

    // Starts timer 1; the frame calls it once the window is shown.
    void OnInitialUpdate();

    // Commands.
    void OnStartNatDetect();
    void OnStunSetting();
    void OnClearLog();
    void OnSelectFont();

    // The log target: lengths and positions in characters of the shown text, where a line end is
    // one character.
    std::size_t TextLength() const override;
    void SetEmptySelection(std::size_t pos) override;
    void ReplaceSelectionNoUndo(const char* text) override;

    // The whole text as the saved file holds it: Latin-1, lines ended by "\r\n".
    QByteArray TextAsFileBytes() const;
    // Replaces the text with a file's bytes (Latin-1, any line ends).
    void SetTextFromFileBytes(const QByteArray& bytes);

    CCheckModule& CheckModule() { return m_check; }
    CQtResultPresenter& ResultPresenter() { return m_presenter; }
    const QFont& LogFont() const { return m_logFont; }
    bool StartupDone() const { return m_startupDone; }

    // Seams for tests and scripted runs.
    // STUN.ini to read and write (empty: beside the executable), for the dialog and the checks.
    void SetSettingsPath(std::string path);
    // Runs the settings dialog instead of exec(); returns its result.
    void SetSettingsDialogRunner(std::function<int(CStunSettingDlg&)> runner) {
        m_runSettingsDialog = std::move(runner);
    }
    // Asks for a font instead of the font dialog; nullopt = cancelled.
    void SetFontPrompt(std::function<std::optional<QFont>(QWidget*)> prompt) {
        m_promptFont = std::move(prompt);
    }
    // Delay of timer 1 (tests shorten it) and the pause before closing after a failed start-up.
    void SetStartupDelays(int startMs, int failureCloseMs) {
        m_startDelayMs = startMs;
        m_failureCloseMs = failureCloseMs;
    }

signals:
    // After timer 1's work: true when the network side runs ("Press F5 to start...").
    void startupFinished(bool ok);

protected:
    void timerEvent(QTimerEvent* event) override;
    // Typing and pasting stop at the text limit.
    void keyPressEvent(QKeyEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;

private:
    void OnStartupTimer();

    // Timer 1: one-shot start-up, 1000 ms. Timer 2: the engine's tick, every 1000 ms.
    static constexpr int kTickMs = 1000;

    CQtNotifyTarget m_notify;
    CQtResultPresenter m_presenter;
    CCheckModule m_check;  // after the two above: it points at them
    QFont m_logFont;
    QBasicTimer m_timer1;
    QBasicTimer m_timer2;
    int m_startDelayMs = 1000;
    int m_failureCloseMs = 3000;
    bool m_startupDone = false;
    std::string m_settingsPath;
    std::function<int(CStunSettingDlg&)> m_runSettingsDialog;
    std::function<std::optional<QFont>(QWidget*)> m_promptFont;
};

// The text as it goes to a file and back: "\n" <-> "\r\n", Latin-1 (characters outside it as '?').
QByteArray LogTextToFileBytes(const QString& text);
QString FileBytesToLogText(const QByteArray& bytes);
