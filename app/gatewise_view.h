#pragma once
// The log window. Shows the check's log (the target theLog writes to), owns the check module and
// drives it: timer 1 starts the network side one second after the view is first shown, timer 2
// passes the one-second tick on for the rest of the run. User-interface thread only; the network
// module's threads reach it only through the notify target, which posts to this thread.
// The one exception is the log target (TextLength, SetEmptySelection, ReplaceSelectionNoUndo):
// the thread of a background run (the standard STUN check, the mapping lifetime test, the
// port-mapping check) writes through theLog too, and its text is posted to this thread and
// appended at the end there, in the order it was written.

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QFont>
#include <QPlainTextEdit>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "app/background_run.h"
#include "app/qt_notify_target.h"
#include "app/result_dlg.h"
#include "core/log.h"
#include "engine/check_module.h"
#include "standard/mapping_lifetime.h"
#include "standard/portmap_runner.h"
#include "standard/stun_check.h"

class CLifetimeDlg;
class CStunSettingDlg;
class CStunServerDlg;
struct StunServerText;

// What runs on a thread of its own beside the window, if anything: one at a time.
enum class BackgroundKind { None, StunCheck, Lifetime, PortMap };

class CGatewiseView : public QPlainTextEdit, public ILogTarget {
    Q_OBJECT
public:
    // Timer 1: one-shot start-up, 1000 ms. Timer 2: the engine's tick, every 1000 ms.
    static constexpr int kTickMs = 1000;

    explicit CGatewiseView(QWidget* parent = nullptr);
    ~CGatewiseView() override;

    // Starts timer 1; the frame calls it once the window is shown.
    void OnInitialUpdate();

    // Commands.
    void OnStartNatDetect();
    // Shift+F5: the same check in its quick mode (CCheckModule::StartQuickCheck), under the same
    // rules as F5; Esc stops it too.
    void OnQuickNatDetect();
    // The stop command (Esc): ends the NAT check or the background run that runs, with a log
    // line; does nothing when none runs.
    void OnStopNatDetect();
    void OnStunSetting();
    void OnClearLog();
    void OnSelectFont();
    // Asks for a standard STUN server (STUN_SERVER of STUN.ini) and runs the standard STUN check
    // on a thread of its own. Ignored before start-up and while a STUN check runs; refused with a
    // log line while the NAT check runs. A run that finishes adds, after its summary, a second
    // server's suggestion where one would help (SecondServerSuggestion) and what the result means
    // for peer-to-peer (P2pMeaningLines), as the command-line client does.
    void OnStandardStunCheck();
    // Ctrl+Shift+F5: the same in the check's quick mode (StunCheckConfig::quick).
    void OnQuickStunCheck();
    // The port-mapping check (CPortMapRunner) with the inbound test, against STUN Server1 of the
    // settings, on a thread of its own: its log, the peer-to-peer sentence, then its result in
    // the result dialog. Under the same rules as the standard STUN check; a stop (Esc, closing)
    // waits until every mapping made is deleted.
    void OnPortMapCheck();
    // Asks for the longest idle time and a server (STUN Server1 of the settings when left empty)
    // and runs the mapping lifetime test on a thread of its own, under the same rules; a test
    // that finishes adds the keep-alive sentence for peer-to-peer.
    void OnMappingLifetime();

    BackgroundKind RunningKind() const { return m_backgroundKind; }
    bool BackgroundRunning() const { return m_background.Running(); }
    bool StunCheckRunning() const { return m_backgroundKind == BackgroundKind::StunCheck; }
    // The NAT check as the window last showed it (checked on every tick, every delivery's
    // aftermath within kProgressMs, and at once after the start and stop commands).
    bool NatCheckRunning() const { return m_natCheckRunning; }
    // What the status bar shows while nothing else is shown there: the running check's progress,
    // the full-log notice or "Ready".
    QString StatusText() const;
    // Ends a background run in progress and waits for its thread: about 100 ms, or as long as a
    // name lookup in progress or the deletion of a port mapping takes. Lines already written
    // still reach the log.
    void StopBackgroundRun();
    // What the last run of each kind that ran to its end found (not one that was stopped).
    const std::optional<StunOutcome>& LastStunOutcome() const { return m_lastStunOutcome; }
    const std::optional<LifetimeOutcome>& LastLifetimeOutcome() const {
        return m_lastLifetimeOutcome;
    }
    const std::optional<PortMapOutcome>& LastPortMapOutcome() const { return m_lastPortMapOutcome; }

    // The log target: lengths and positions in characters of the shown text, where a line end is
    // one character.
    std::size_t TextLength() const override;
    void SetEmptySelection(std::size_t pos) override;
    void ReplaceSelectionNoUndo(const char* text) override;

    CCheckModule& CheckModule() { return m_check; }
    CQtResultPresenter& ResultPresenter() { return m_presenter; }
    const QFont& LogFont() const { return m_logFont; }
    bool StartupDone() const { return m_startupDone; }

    // The last line written when the check's text reaches the text limit.
    static QString LogFullText();

    // Seams for tests and scripted runs.
    // STUN.ini to read and write (empty: beside the executable), for the dialog and the checks.
    void SetSettingsPath(std::string path);
    // Runs the settings dialog instead of exec(); returns its result.
    void SetSettingsDialogRunner(std::function<int(CStunSettingDlg&)> runner) {
        m_runSettingsDialog = std::move(runner);
    }
    // Runs the standard STUN check's dialog instead of exec(); returns its result.
    void SetStunServerDialogRunner(std::function<int(CStunServerDlg&)> runner) {
        m_runStunServerDialog = std::move(runner);
    }
    // The STUN check's retransmission timing (tests shorten the waits).
    void SetStunTiming(const StunTiming& timing) { m_stunTiming = timing; }
    // Runs the mapping lifetime test's dialog instead of exec(); returns its result.
    void SetLifetimeDialogRunner(std::function<int(CLifetimeDlg&)> runner) {
        m_runLifetimeDialog = std::move(runner);
    }
    // Changes each lifetime test's configuration as the dialog made it (tests shorten the
    // idle times and waits).
    void SetLifetimeConfigHook(std::function<void(LifetimeConfig&)> hook) {
        m_lifetimeConfigHook = std::move(hook);
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
    // The NAT check started (true) or ended (false); the frame disables F5 meanwhile.
    void natCheckRunningChanged(bool running);
    // StatusText() or the progress changed. maximum 0: no progress to show. In seconds: the time
    // since the running check (any kind) started, and that plus the most it can still take.
    void statusChanged(const QString& text, int value, int maximum);
    // A background run started (true) or ended (false); the frame disables F5 meanwhile.
    void backgroundRunChanged(bool running);

protected:
    void timerEvent(QTimerEvent* event) override;
    // Typing and pasting stop at the text limit.
    void keyPressEvent(QKeyEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;

private:
    void OnStartupTimer();
    // Looks at the NAT check and tells the frame what changed.
    void UpdateCheckState();
    void EmitStatus();
    // The notice that the check's text reached the limit, as the log's last line.
    void AppendLogFullNotice(QTextCursor& cursor);
    bool LogEndsWithFullNotice() const;
    // Whether a background run of kind may start now: not before start-up or while one runs,
    // and not during the NAT check (refused with a log line).
    bool MayStartBackgroundRun(BackgroundKind kind);
    // Starts body on the run's thread; its epilogue runs here once the run has ended by itself.
    void StartBackgroundRun(BackgroundKind kind, CBackgroundRun::Control control,
                            std::function<CBackgroundRun::Epilogue()> body);
    // The window after a background run: commands, progress and status as when idle.
    void BackgroundRunEnded();
    void AskAndStartStunCheck(bool quick);
    void StartStunCheck(const StunServerText& server, const std::optional<StunServerText>& server2,
                        bool quick);
    void OnStunCheckEnded(const StunOutcome& outcome);
    void OnLifetimeEnded(const LifetimeOutcome& outcome);
    void OnPortMapEnded(const PortMapOutcome& outcome);
    bool OnUiThread() const { return std::this_thread::get_id() == m_uiThread; }

    // How often the status bar looks at a running check: a reply ends a step between ticks.
    static constexpr int kProgressMs = 250;

    // The engine's presenter: every check that runs to its end shows its result, idle already,
    // so the window learns of the end here, before the dialog, rather than at the next look.
    class CheckEndPresenter : public IResultPresenter {
    public:
        explicit CheckEndPresenter(CGatewiseView* view) : m_view(view) {}
        bool ShowResult(const std::vector<std::string>& lines, bool& sendReport) override;
        void OpenLink(const std::string& url) override;

    private:
        CGatewiseView* m_view;
    };

    CQtNotifyTarget m_notify;
    CQtResultPresenter m_presenter;
    CheckEndPresenter m_endPresenter{this};
    CCheckModule m_check;  // after the three above: it points at them
    QFont m_logFont;
    QBasicTimer m_timer1;
    QBasicTimer m_timer2;
    int m_startDelayMs = 1000;
    int m_failureCloseMs = 3000;
    bool m_startupDone = false;
    bool m_natCheckRunning = false;
    QElapsedTimer m_checkClock;   // since the running NAT check started
    QBasicTimer m_progressTimer;  // while either check runs
    bool m_logFullNoted = false;  // the notice is in the log; cleared with the log
    std::string m_settingsPath;
    bool m_exampleServers = false;  // the last check's settings name the example servers
    std::function<int(CStunSettingDlg&)> m_runSettingsDialog;
    std::function<std::optional<QFont>(QWidget*)> m_promptFont;

    // The background run: its runner lives as long as its thread (the run's thread runs it, and
    // its stop and progress are safe from here).
    const std::thread::id m_uiThread = std::this_thread::get_id();
    CBackgroundRun m_background;
    BackgroundKind m_backgroundKind = BackgroundKind::None;
    StunTiming m_stunTiming;
    QString m_stunServer2Text;  // the second server, kept for this session only
    std::optional<StunOutcome> m_lastStunOutcome;
    std::function<int(CStunServerDlg&)> m_runStunServerDialog;
    // The lifetime dialog's values, kept for this session only.
    int m_lifetimeMaxSeconds = 0;  // 0: the dialog's default
    QString m_lifetimeServerText;
    std::optional<LifetimeOutcome> m_lastLifetimeOutcome;
    std::function<int(CLifetimeDlg&)> m_runLifetimeDialog;
    std::function<void(LifetimeConfig&)> m_lifetimeConfigHook;
    std::optional<PortMapOutcome> m_lastPortMapOutcome;
};

// The status text of a running check: its test, what it waits for and its step's time-out.
QString RunningStatusText(const CheckProgress& progress, int tickMs);

// A piece of the log as the window shows it: UTF-8, as paths, names and the system's messages
// come, with any byte that is not part of valid UTF-8 taken as Latin-1 (network text arrives as
// printable ASCII already, see CleanNetworkText); "\r\n" becomes the window's "\n".
QString LogBytesToText(std::string_view bytes);
