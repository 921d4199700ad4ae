#include "app/gatewise_view.h"

#include <QApplication>
#include <QFontDialog>
#include <QKeyEvent>
#include <QMimeData>
#include <QTextBlock>
#include <QTimer>
#include <QTimerEvent>
#include <QtEndian>

#include "app/command_ids.h"
#include "app/lifetime_dlg.h"
#include "app/stun_server_dlg.h"
#include "app/stun_setting_dlg.h"
#include "app/template_dialog.h"
#include "core/host_resolver.h"
#include "core/profile.h"
#include "core/profile_file.h"
#include "core/settings.h"
#include "core/utf8_text.h"
#include "engine/p2p_meaning.h"
#include "net/address_text.h"
#include "net/messages.h"
#include "standard/stun_runner.h"

namespace {

// The log font: "MS Sans Serif", 20 pixels high, normal weight, or the closest sans-serif face.
QFont MakeLogFont() {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(20);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

// How a second server is given here, for SecondServerSuggestion.
constexpr const char* kSecondServerHow =
    "enter one in the dialog's \"Second server\" field and run the check again";

constexpr const char* kExampleServersText =
    "The settings still name the built-in example servers 192.168.0.55 and 192.168.0.97, which "
    "answer nobody: enter your servers in File > STUN Setting..., or use File > Standard STUN "
    "Check... with a public STUN server.";

// Why STUN.ini could not be written. A file that is there but is no readable regular file is
// refused before anything is written, so its state says why; otherwise the system's code for the
// call that failed (open, write, flush or rename of the replacement).
QString SettingsSaveFailureText(const std::string& path, int error) {
    const ProfileFileState state = CheckProfileFile(path);
    QString reason = QStringLiteral("it cannot be written");
    if (state.access != ProfileAccess::kReadable && state.access != ProfileAccess::kMissing)
        reason = QStringLiteral("it ") + QString::fromLocal8Bit(state.reason);
    else if (error != 0)
        reason = QString::fromStdString(ProfileErrorText(error));
    return QStringLiteral(
               "Cannot save the settings to \"%1\": %2.\n\nMake the file and its folder writable, "
               "then press OK again.")
        .arg(QString::fromLocal8Bit(path), reason);
}

// A server as typed, to an endpoint: dotted addresses as they are, names through the resolver.
// Runs on the STUN check's thread; a name that cannot be resolved writes one log line.
std::optional<Ipv4Endpoint> ResolveStunServer(const StunServerText& server, const char* what) {
    if (const std::optional<std::uint32_t> dotted = ParseIpv4(server.host))
        return Ipv4Endpoint{*dotted, server.port};
    const HostLookup found = ResolveIpv4Host(server.host);
    if (!found.ok || found.addressNet == 0) {
        theLog.WriteLine("Cannot resolve %s address \"%s\": %s", what, server.host.c_str(),
                         found.ok ? "it resolves to 0.0.0.0" : found.error.c_str());
        return std::nullopt;
    }
    return Ipv4Endpoint{found.addressNet, server.port};
}

// STUN Server1 of the settings, for the port-mapping check and the lifetime test. Runs on the
// run's thread: a name is looked up there, and what is wrong with the file or the name is
// logged (ReadSettingsForCheck); a zero address or port adds a line ending in withoutIt.
std::optional<Ipv4Endpoint> Server1OfSettings(const std::string& path, const char* withoutIt) {
    StunSettings s;
    AddressLookup lookup;
    lookup.server2 = false;
    lookup.friendAddress = false;
    ReadSettingsForCheck(s, path, lookup);
    if (s.server1Ip == 0 || s.server1Port == 0) {
        theLog.WriteLine(
            "STUN Server1 of the settings has no address or port (File > STUN "
            "Setting...): %s.",
            withoutIt);
        return std::nullopt;
    }
    if (UsesExampleServers(StunSettings{.server1Ip = s.server1Ip}))
        theLog.WriteLine("%s", kExampleServersText);
    return Ipv4Endpoint{s.server1Ip, HostPort(s.server1Port)};
}

// How a background run is named in the status bar, the stop line and a refusal.
struct BackgroundNames {
    const char* title;     // "Standard STUN check"
    const char* sentence;  // "STUN check", in "start the STUN check when it has ended"
};
BackgroundNames NamesOf(BackgroundKind kind) {
    switch (kind) {
        case BackgroundKind::StunCheck:
            return {"Standard STUN check", "STUN check"};
        case BackgroundKind::Lifetime:
            return {"Mapping lifetime test", "mapping lifetime test"};
        case BackgroundKind::PortMap:
            return {"Port mapping check", "port mapping check"};
        case BackgroundKind::None:
            break;
    }
    return {"", ""};
}

// A runner of the standard tests, seen from the window.
CBackgroundRun::Control StunRunnerControl(const std::shared_ptr<CStunRunner>& runner) {
    return {.stop = [runner] { runner->RequestStop(); },
            .progress = [runner] { return runner->Progress(); }};
}

// The most a port-mapping check with the inbound test can take: the probe, the mapped address,
// then for each protocol a mapping, the inbound test and the deletion (1 s each); then PCP over
// IPv6's ANNOUNCE, pinhole and its deletion.
std::uint64_t PortMapBoundMs(const PortMapRunConfig& config) {
    constexpr std::uint64_t kProtocols = 3;
    constexpr std::uint64_t kDeleteMs = 1000;
    return config.budgetMs * (2 + 2 * kProtocols) + kDeleteMs * kProtocols + config.budgetMs * 2 +
           kDeleteMs;
}

// The peer-to-peer block after a run's summary, as one piece so no line is cut at WriteLine's
// length.
void AppendMeaningBlock(const std::vector<std::string>& lines) {
    std::string block = "\r\n";
    for (const std::string& line : lines)
        block += line + "\r\n";
    theLog.AppendText(block.c_str());
}
}  // namespace

QString LogBytesToText(std::string_view bytes) {
    QString text = QString::fromStdString(ToValidUtf8(bytes));
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text;
}

CGatewiseView::CGatewiseView(QWidget* parent)
    : QPlainTextEdit(parent), m_notify(this), m_presenter(this) {
    // Long lines wrap at the window edge; there is no horizontal scrolling.
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setReadOnly(false);
    m_check.SetResultPresenter(&m_endPresenter);
    SetSettingsPath({});
}

bool CGatewiseView::CheckEndPresenter::ShowResult(const std::vector<std::string>& lines,
                                                  bool& sendReport) {
    m_view->UpdateCheckState();
    // The outcome is the check's that just ended: a check started from the dialog's nested loop
    // comes after this read.
    const CNatProber& prober = m_view->m_check.Prober();
    const CheckOutcome& outcome = prober.Outcome();
    CheckFacts facts{.exampleServers = m_view->m_exampleServers};
    if (outcome.mappedPort != 0)
        facts.mappedIsLocal = prober.IsLocalAddress(outcome.mappedIp);
    return m_view->m_presenter.ShowResult(lines, DetailsOfCheck(outcome, facts), sendReport);
}

void CGatewiseView::CheckEndPresenter::OpenLink(const std::string& url) {
    m_view->m_presenter.OpenLink(url);
}

CGatewiseView::~CGatewiseView() {
    m_timer1.stop();
    m_timer2.stop();
    // Before the log is unbound: a background run's thread writes through it. No signal here,
    // the frame that listens is being destroyed.
    m_background.Join();
    if (theLog.OutputWindow() == this)
        theLog.SetOutputWindow(nullptr);
    // Cancels a delivery waiting for this thread and joins the network threads before the Qt
    // object (the target of posted deliveries) goes away.
    m_check.Stop();
    m_check.CleanupWinsock();
}

void CGatewiseView::SetSettingsPath(std::string path) {
    m_settingsPath = path;
    m_check.SetSettingsLoader([this, path](StunSettings& settings) {
        const SettingsLoad load = ReadSettingsForCheck(settings, path);
        // Before the servers are asked: otherwise the first check just waits and ends UNKNOWN.
        m_exampleServers = load == SettingsLoad::kComplete && UsesExampleServers(settings);
        if (m_exampleServers)
            theLog.WriteLine("%s", kExampleServersText);
        return load;
    });
    m_check.SetSettingsPath(std::move(path));
}

void CGatewiseView::OnInitialUpdate() {
    m_timer1.start(m_startDelayMs, this);
}

void CGatewiseView::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_timer1.timerId()) {
        OnStartupTimer();
    } else if (event->timerId() == m_timer2.timerId()) {
        m_check.OnTick(0);
        UpdateCheckState();
    } else if (event->timerId() == m_progressTimer.timerId()) {
        UpdateCheckState();
    }
    QPlainTextEdit::timerEvent(event);
}

void CGatewiseView::OnStartupTimer() {
    m_timer1.stop();
    m_logFont = MakeLogFont();
    setFont(m_logFont);
    theLog.SetOutputWindow(this);
    // A file opened as the initial text may end in the middle of a line; the banner starts a
    // line of its own.
    if (!document()->lastBlock().text().isEmpty())
        theLog.AppendText("\r\n");
    m_check.SetNotifyTarget(&m_notify);
    const bool ok = m_check.StartUp();
    if (!ok) {
        // The window stays painted during the pause, unlike a sleeping thread.
        QTimer::singleShot(m_failureCloseMs, this, [this] { window()->close(); });
    }
    m_timer2.start(kTickMs, this);
    m_startupDone = true;
    emit startupFinished(ok);
}

void CGatewiseView::OnStartNatDetect() {
    // Before start-up the network side does not exist yet; a module created now would be
    // replaced, still running, at start-up.
    if (!m_startupDone || BackgroundRunning())
        return;
    m_check.StartCheck();
    UpdateCheckState();
}

void CGatewiseView::OnQuickNatDetect() {
    if (!m_startupDone || BackgroundRunning())
        return;
    m_check.StartQuickCheck();
    UpdateCheckState();
}

void CGatewiseView::OnStopNatDetect() {
    if (m_check.StopCheck()) {
        UpdateCheckState();
    } else if (BackgroundRunning()) {
        const char* name = NamesOf(m_backgroundKind).title;
        StopBackgroundRun();
        // Queued behind the lines the stopped thread has posted, so it comes last.
        QMetaObject::invokeMethod(
            this, [name] { theLog.WriteTimedLine("%s stopped by the user.", name); },
            Qt::QueuedConnection);
    }
}

void CGatewiseView::UpdateCheckState() {
    const bool running = m_check.IsChecking();
    if (running != m_natCheckRunning) {
        m_natCheckRunning = running;
        if (running) {
            m_checkClock.start();
            m_progressTimer.start(kProgressMs, this);
        } else {
            m_progressTimer.stop();
        }
        emit natCheckRunningChanged(running);
    }
    EmitStatus();
}

QString RunningStatusText(const CheckProgress& progress, int tickMs) {
    // The elapsed time and the bound of the whole check are the progress bar's own text, so
    // this stays short enough for the window's default width.
    const long long stepSeconds =
        (static_cast<long long>(progress.stepTicks) * tickMs + 999) / 1000;
    return QStringLiteral("%1: waiting for %2, %3 s at most")
        .arg(QString::fromLatin1(progress.test), QString::fromLatin1(progress.waitingFor))
        .arg(stepSeconds);
}

QString CGatewiseView::StatusText() const {
    if (m_natCheckRunning)
        return RunningStatusText(m_check.Progress(), kTickMs);
    if (BackgroundRunning())
        return QStringLiteral("%1 running; Esc stops it.")
            .arg(QString::fromLatin1(NamesOf(m_backgroundKind).title));
    if (m_logFullNoted)
        return LogFullText();
    return QString::fromLatin1(kIdleStatusText);
}

void CGatewiseView::EmitStatus() {
    if (BackgroundRunning()) {
        const auto [value, maximum] = m_background.ProgressSeconds();
        emit statusChanged(StatusText(), value, maximum);
        return;
    }
    if (!m_natCheckRunning) {
        emit statusChanged(StatusText(), 0, 0);
        return;
    }
    const int elapsed = static_cast<int>(m_checkClock.elapsed() / 1000);
    const int bound = m_check.Progress().boundTicks * kTickMs / 1000;
    emit statusChanged(StatusText(), elapsed, elapsed + std::max(bound, 1));
}

QString CGatewiseView::LogFullText() {
    return QStringLiteral(
               "The log is full (%1 characters); later lines are not shown. Save it and clear it "
               "(Ctrl+L) to see more.")
        .arg(kLogTextLimit);
}

bool CGatewiseView::MayStartBackgroundRun(BackgroundKind kind) {
    // Before start-up the log is not bound to this window yet.
    if (!m_startupDone || BackgroundRunning())
        return false;
    if (m_check.IsChecking()) {
        theLog.WriteLine("The NAT check is running; start the %s when it has ended.",
                         NamesOf(kind).sentence);
        return false;
    }
    return true;
}

void CGatewiseView::StartBackgroundRun(BackgroundKind kind, CBackgroundRun::Control control,
                                       std::function<CBackgroundRun::Epilogue()> body) {
    m_backgroundKind = kind;
    m_background.Start(this, std::move(control), [this, body = std::move(body)] {
        return [this, then = body()] {
            BackgroundRunEnded();
            then();
        };
    });
    m_progressTimer.start(kProgressMs, this);
    emit backgroundRunChanged(true);
    EmitStatus();
}

void CGatewiseView::BackgroundRunEnded() {
    m_backgroundKind = BackgroundKind::None;
    m_progressTimer.stop();
    emit backgroundRunChanged(false);
    EmitStatus();
}

void CGatewiseView::StopBackgroundRun() {
    if (m_background.Join())
        BackgroundRunEnded();
}

void CGatewiseView::OnStandardStunCheck() {
    AskAndStartStunCheck(false);
}

void CGatewiseView::OnQuickStunCheck() {
    AskAndStartStunCheck(true);
}

void CGatewiseView::AskAndStartStunCheck(bool quick) {
    if (!MayStartBackgroundRun(BackgroundKind::StunCheck))
        return;
    CStunServerDlg dlg(window());
    UseDialogTitleBar(dlg);
    if (quick)
        dlg.setWindowTitle(QStringLiteral("Quick Standard STUN Check"));
    dlg.m_serverText = QString::fromStdString(LoadStunServerText(m_settingsPath));
    dlg.m_server2Text = m_stunServer2Text;
    const int result = m_runStunServerDialog ? m_runStunServerDialog(dlg) : dlg.exec();
    if (result != QDialog::Accepted)
        return;
    SaveStunServerText(dlg.m_serverText.toStdString(), m_settingsPath);
    m_stunServer2Text = dlg.m_server2Text;
    // The dialog's event loop ran the engine's ticks, not the keys: nothing else can have started.
    StartStunCheck(dlg.m_server, dlg.m_server2, quick);
}

void CGatewiseView::StartStunCheck(const StunServerText& server,
                                   const std::optional<StunServerText>& server2, bool quick) {
    auto runner = std::make_shared<CStunRunner>();
    StunCheckConfig config;
    config.timing = m_stunTiming;
    config.quick = quick;
    config.serverName = ParseIpv4(server.host) ? std::string() : server.host;
    StartBackgroundRun(
        BackgroundKind::StunCheck, StunRunnerControl(runner),
        [this, runner, config, server, server2]() mutable -> CBackgroundRun::Epilogue {
            // Name lookups happen here, so a slow resolver never freezes the window.
            StunOutcome outcome;
            const std::optional<Ipv4Endpoint> first = ResolveStunServer(server, "STUN server");
            std::optional<Ipv4Endpoint> second;
            if (first && server2)
                second = ResolveStunServer(*server2, "second STUN server");
            if (first && (!server2 || second)) {
                config.server = *first;
                config.server2 = second;
                outcome = runner->Run(config);
            }
            return [this, outcome] { OnStunCheckEnded(outcome); };
        });
}

void CGatewiseView::OnStunCheckEnded(const StunOutcome& outcome) {
    m_lastStunOutcome = outcome;
    if (outcome.finished && !outcome.interrupted && !outcome.socketsFailed) {
        if (const std::string hint = SecondServerSuggestion(outcome, kSecondServerHow);
            !hint.empty()) {
            theLog.WriteLine("");
            theLog.WriteLine("%s", hint.c_str());
        }
        AppendMeaningBlock(P2pMeaningLines(MeaningOfStun(outcome)));
    }
}

void CGatewiseView::OnMappingLifetime() {
    if (!MayStartBackgroundRun(BackgroundKind::Lifetime))
        return;
    CLifetimeDlg dlg(window());
    UseDialogTitleBar(dlg);
    if (m_lifetimeMaxSeconds != 0)
        dlg.m_maxSeconds = m_lifetimeMaxSeconds;
    dlg.m_serverText = m_lifetimeServerText;
    const int result = m_runLifetimeDialog ? m_runLifetimeDialog(dlg) : dlg.exec();
    if (result != QDialog::Accepted)
        return;
    m_lifetimeMaxSeconds = dlg.m_maxSeconds;
    m_lifetimeServerText = dlg.m_serverText;
    LifetimeConfig config;
    config.maxMs = static_cast<std::uint64_t>(dlg.m_maxSeconds) * 1000;
    if (m_lifetimeConfigHook)
        m_lifetimeConfigHook(config);
    auto runner = std::make_shared<CStunRunner>();
    StartBackgroundRun(BackgroundKind::Lifetime, StunRunnerControl(runner),
                       [this, runner, config, server = dlg.m_server,
                        path = m_settingsPath]() mutable -> CBackgroundRun::Epilogue {
                           LifetimeOutcome outcome;
                           const std::optional<Ipv4Endpoint> at =
                               server ? ResolveStunServer(*server, "STUN server")
                                      : Server1OfSettings(path, "no lifetime test was started");
                           if (at) {
                               config.server = *at;
                               config.serverName =
                                   server && !ParseIpv4(server->host) ? server->host : "";
                               outcome = runner->RunLifetime(config);
                           }
                           return [this, outcome] { OnLifetimeEnded(outcome); };
                       });
}

void CGatewiseView::OnLifetimeEnded(const LifetimeOutcome& outcome) {
    m_lastLifetimeOutcome = outcome;
    if (outcome.finished && !outcome.interrupted && !outcome.socketsFailed)
        AppendMeaningBlock({kP2pHeading, "", KeepAliveSentence(outcome)});
}

void CGatewiseView::OnPortMapCheck() {
    if (!MayStartBackgroundRun(BackgroundKind::PortMap))
        return;
    auto runner = std::make_shared<CPortMapRunner>();
    PortMapRunConfig config;
    config.verify = true;
    CBackgroundRun::Control control;
    control.stop = [runner] { runner->RequestStop(); };
    control.boundMs = PortMapBoundMs(config);
    StartBackgroundRun(
        BackgroundKind::PortMap, std::move(control),
        [this, runner, config, path = m_settingsPath]() mutable -> CBackgroundRun::Epilogue {
            if (const std::optional<Ipv4Endpoint> server = Server1OfSettings(
                    path, "the check runs without the mapped address and the inbound test"))
                config.server = *server;
            const PortMapOutcome outcome = runner->Run(config);
            return [this, outcome] { OnPortMapEnded(outcome); };
        });
}

void CGatewiseView::OnPortMapEnded(const PortMapOutcome& outcome) {
    m_lastPortMapOutcome = outcome;
    if (!outcome.finished || outcome.interrupted)
        return;
    const std::vector<std::string> meaning = {kP2pHeading, "", PortMapMeaningSentence(outcome)};
    AppendMeaningBlock(meaning);
    ResultDetails details;
    details.meaning = meaning;
    std::vector<std::string> notes;
    for (const std::string& reason : outcome.layers.reasons)
        notes.push_back("NAT layers: " + reason);
    notes.insert(notes.end(), outcome.cleanup.begin(), outcome.cleanup.end());
    details.otherLines = notes;
    m_presenter.ShowOtherResult(QStringLiteral("Port Mapping"),
                                QStringLiteral("Port mapping check finish:"), outcome.lines,
                                details);
}

void CGatewiseView::OnStunSetting() {
    // Settings that start no check (a zero or unreadable value) open too: this is where they are
    // mended. The dialog shows and writes the file's texts: a host name stays a name.
    CStunSettingDlg dlg(window());
    dlg.m_values = LoadSettingsText(m_settingsPath);
    // Saved at OK, inside the dialog: a file that cannot be written keeps the dialog open.
    dlg.SetSaver([this](const CStunSettingDlg& d) {
        ClearProfileError();
        if (SaveSettingsText(d.m_values, m_settingsPath))
            return QString();
        const int error = LastProfileError();  // before anything else can change it
        if (m_settingsPath.empty()) {
            // No HOME, or XDG_CONFIG_HOME naming a file: no folder to make writable.
            const SettingsPathChoice choice = DefaultSettingsChoice();
            if (!choice.problem.empty())
                return QString::fromLocal8Bit(UnusableSettingsText(choice) + ".");
        }
        return SettingsSaveFailureText(
            m_settingsPath.empty() ? DefaultSettingsPath() : m_settingsPath, error);
    });
    if (m_runSettingsDialog)
        m_runSettingsDialog(dlg);
    else
        dlg.exec();
}

void CGatewiseView::OnClearLog() {
    clear();
    if (m_logFullNoted) {
        m_logFullNoted = false;
        EmitStatus();
    }
}

void CGatewiseView::OnSelectFont() {
    std::optional<QFont> chosen;
    if (m_promptFont) {
        chosen = m_promptFont(this);
    } else {
        bool ok = false;
        const QFont font = QFontDialog::getFont(&ok, QFont(), this, QStringLiteral("Font"));
        if (ok)
            chosen = font;
    }
    if (!chosen)
        return;
    m_logFont = *chosen;
    setFont(m_logFont);
}

std::size_t CGatewiseView::TextLength() const {
    // Another thread's text is appended at the end whatever it asks for.
    if (!OnUiThread())
        return 0;
    return static_cast<std::size_t>(std::max(0, document()->characterCount() - 1));
}

void CGatewiseView::SetEmptySelection(std::size_t pos) {
    if (!OnUiThread())
        return;
    QTextCursor cursor(document());
    cursor.setPosition(static_cast<int>(std::min(pos, TextLength())));
    setTextCursor(cursor);
}

void CGatewiseView::ReplaceSelectionNoUndo(const char* text) {
    if (!OnUiThread()) {
        // Queued calls to one object run in posting order; dropped if the window goes first.
        QMetaObject::invokeMethod(
            this, [piece = std::string(text)] { theLog.AppendText(piece.c_str()); },
            Qt::QueuedConnection);
        return;
    }
    QString piece = LogBytesToText(text);
    QTextCursor cursor = textCursor();
    const qsizetype kept =
        static_cast<qsizetype>(TextLength()) - (cursor.selectionEnd() - cursor.selectionStart());
    // Text beyond the window's limit is not shown, as the edit window cuts a replacement to fit.
    // The first cut keeps room for a last line that says so (a line end and the notice), unless
    // the text was already too near the limit for it; the status bar says so either way.
    const qsizetype room = std::max<qsizetype>(0, kLogTextLimit - kept);
    const qsizetype reserve = LogFullText().size() + 2;
    bool noteNow = false;
    if (m_logFullNoted) {
        if (piece.size() > room || LogEndsWithFullNotice())
            piece.truncate(LogEndsWithFullNotice() ? 0 : room);
    } else if (piece.size() + reserve > room) {
        noteNow = true;
        piece.truncate(room >= reserve ? room - reserve : room);
    }
    QTextDocument* doc = document();
    const bool undo = doc->isUndoRedoEnabled();
    doc->setUndoRedoEnabled(false);
    cursor.insertText(piece);
    if (noteNow && room >= reserve)
        AppendLogFullNotice(cursor);
    doc->setUndoRedoEnabled(undo);
    if (noteNow) {
        m_logFullNoted = true;
        EmitStatus();
    }
    setTextCursor(cursor);
    ensureCursorVisible();
}

void CGatewiseView::AppendLogFullNotice(QTextCursor& cursor) {
    // At the very end, whatever the selection was: it is the log's last line.
    cursor.movePosition(QTextCursor::End);
    const bool lineStart = document()->lastBlock().text().isEmpty();
    cursor.insertText((lineStart ? QString() : QStringLiteral("\n")) + LogFullText() +
                      QLatin1Char('\n'));
}

bool CGatewiseView::LogEndsWithFullNotice() const {
    const QTextBlock last = document()->lastBlock();
    return last.text().isEmpty() && last.previous().text() == LogFullText();
}

void CGatewiseView::keyPressEvent(QKeyEvent* event) {
    const QString typed = event->text();
    const bool inserts =
        !typed.isEmpty() && (typed.at(0).isPrint() || typed.at(0) == QLatin1Char('\t'));
    if (inserts || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        const QTextCursor cursor = textCursor();
        const qsizetype after = static_cast<qsizetype>(TextLength()) -
                                (cursor.selectionEnd() - cursor.selectionStart()) +
                                std::max<qsizetype>(1, typed.size());
        if (after > kLogTextLimit) {
            QApplication::beep();
            return;
        }
    }
    QPlainTextEdit::keyPressEvent(event);
}

void CGatewiseView::insertFromMimeData(const QMimeData* source) {
    if (!source->hasText())
        return;
    QString text = source->text();
    const QTextCursor cursor = textCursor();
    const qsizetype kept =
        static_cast<qsizetype>(TextLength()) - (cursor.selectionEnd() - cursor.selectionStart());
    const qsizetype room = std::max<qsizetype>(0, kLogTextLimit - kept);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    if (text.size() > room)
        text.truncate(room);
    QTextCursor insert = textCursor();
    insert.insertText(text);
    setTextCursor(insert);
    ensureCursorVisible();
}
