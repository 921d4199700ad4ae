#include "app/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>

#include "app/about_dlg.h"
#include "app/app_icon.h"
#include "app/command_ids.h"
#include "app/gatewise_doc.h"
#include "app/gatewise_view.h"
#include "app/key_state.h"

namespace {
// Splits "&Save Result\tCtrl+S" into the item text and the accelerator hint.
std::pair<QString, QString> SplitMenuText(const QString& text) {
    const qsizetype tab = text.indexOf(QLatin1Char('\t'));
    if (tab < 0)
        return {text, {}};
    return {text.left(tab), text.mid(tab + 1)};
}
}  // namespace

CMainFrame::CMainFrame(CGatewiseDoc* doc) : m_doc(doc), m_view(new CGatewiseView(this)) {
    setObjectName(QStringLiteral("mainFrame"));
    setCentralWidget(m_view);
    setWindowIcon(AppIcon());
    m_doc->SetView(m_view);
    CreateActions();
    CreateMenus();
    CreateStatusBar();
    // The framework would show the document's title; the frame shows its own instead.
    connect(m_doc, &CGatewiseDoc::titleChanged, this, [this](const QString& title) {
        setWindowTitle(title + QStringLiteral(" - ") + QString::fromLatin1(kAppTitle));
    });
    ForceTitle();
    // Wide enough for the log's rows of 81 asterisks in the 20-pixel log font.
    resize(920, 640);
}

QAction* CMainFrame::AddCommand(int id, const QString& menuText, std::function<void()> handler,
                                const QString& prompt, const QList<QKeySequence>& extraKeys) {
    const auto [text, hint] = SplitMenuText(menuText);
    auto* action = new QAction(text, this);
    action->setData(id);
    action->setObjectName(QStringLiteral("cmd%1").arg(id));
    QList<QKeySequence> keys;
    if (!hint.isEmpty())
        keys.append(QKeySequence(hint));
    keys.append(extraKeys);
    action->setShortcuts(keys);
    action->setShortcutContext(Qt::WindowShortcut);
    action->setStatusTip(prompt);
    connect(action, &QAction::triggered, this, [handler = std::move(handler)] { handler(); });
    addAction(action);  // keys work even while the menu bar is hidden
    m_commands.insert(id, action);
    return action;
}

void CMainFrame::CreateActions() {
    CGatewiseView* v = m_view;
    AddCommand(cmd::kStunSetting, QStringLiteral("STUN Setting..."), [v] { v->OnStunSetting(); });
    AddCommand(cmd::kStartNatDetect, QStringLiteral("Start NAT Detect"),
               [v] { v->OnStartNatDetect(); }, {}, {QKeySequence(Qt::Key_F5)});
    AddCommand(cmd::kQuickNatDetect, QStringLiteral("Quick NAT Detect\tShift+F5"),
               [v] { v->OnQuickNatDetect(); });
    AddCommand(cmd::kStandardStunCheck, QStringLiteral("Standard STUN Check...\tCtrl+F5"),
               [v] { v->OnStandardStunCheck(); });
    AddCommand(cmd::kQuickStunCheck, QStringLiteral("Quick Standard STUN Check...\tCtrl+Shift+F5"),
               [v] { v->OnQuickStunCheck(); });
    AddCommand(
        cmd::kStopNatDetect, QStringLiteral("S&top NAT Detect\tEsc"), [v] { v->OnStopNatDetect(); },
        QStringLiteral("Stop the running check"));
    // One check at a time: the start commands rest while a check runs, the stop command while
    // none does. Ctrl+F5 stays on during the NAT check to say in the log why it cannot start.
    connect(v, &CGatewiseView::stunCheckRunningChanged, this, [this] { UpdateCheckCommands(); });
    connect(v, &CGatewiseView::natCheckRunningChanged, this, [this] { UpdateCheckCommands(); });
    AddCommand(
        cmd::kFileSave, QStringLiteral("&Save Result\tCtrl+S"), [this] { m_doc->DoFileSave(); },
        QStringLiteral("Save the log to a text file"));
    AddCommand(
        cmd::kAppExit, QStringLiteral("E&xit"), [this] { close(); },
        QStringLiteral("Quit the application"));
    AddCommand(cmd::kEditUndo, QStringLiteral("&Undo\tCtrl+Z"), [v] { v->undo(); },
               QStringLiteral("Undo the last action"), {QKeySequence(Qt::ALT | Qt::Key_Backspace)});
    AddCommand(cmd::kEditCut, QStringLiteral("Cu&t\tCtrl+X"), [v] { v->cut(); },
               QStringLiteral("Cut the selection and put it on the Clipboard"),
               {QKeySequence(Qt::SHIFT | Qt::Key_Delete)});
    AddCommand(cmd::kEditCopy, QStringLiteral("&Copy\tCtrl+C"), [v] { v->copy(); },
               QStringLiteral("Copy the selection and put it on the Clipboard"),
               {QKeySequence(Qt::CTRL | Qt::Key_Insert)});
    AddCommand(cmd::kEditPaste, QStringLiteral("&Paste\tCtrl+V"), [v] { v->paste(); },
               QStringLiteral("Insert Clipboard contents"),
               {QKeySequence(Qt::SHIFT | Qt::Key_Insert)});
    AddCommand(cmd::kClearLog, QStringLiteral("&Clear\tCtrl+L"), [v] { v->OnClearLog(); });
    AddCommand(cmd::kSelectFont, QStringLiteral("Select Font..."), [v] { v->OnSelectFont(); });
    AddCommand(
        cmd::kViewStatusBar, QStringLiteral("&Status Bar"),
        [] {},  // the toggled signal shows or hides the bar
        QStringLiteral("Show or hide the status bar"));
    Command(cmd::kViewStatusBar)->setCheckable(true);
    Command(cmd::kViewStatusBar)->setChecked(true);
    AddCommand(
        cmd::kAppAbout, QStringLiteral("&About Tarnwick NAT Detector..."), [this] { OnAppAbout(); },
        QStringLiteral("Display program information, version number and copyright"));
    // The window has no panes, so moving between them does nothing; the keys are still taken.
    AddCommand(cmd::kNextPane, QStringLiteral("Next Pane"), [] {}, {}, {QKeySequence(Qt::Key_F6)});
    AddCommand(cmd::kPrevPane, QStringLiteral("Previous Pane"), [] {}, {},
               {QKeySequence(Qt::SHIFT | Qt::Key_F6)});
    AddCommand(cmd::kFileNew, QStringLiteral("&New"), [this] { m_doc->OnNewDocument(); });
    AddCommand(cmd::kFileOpen, QStringLiteral("&Open..."), [this] { OnFileOpen(); });
}

void CMainFrame::CreateMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(Command(cmd::kStunSetting));
    file->addAction(Command(cmd::kStartNatDetect));
    file->addAction(Command(cmd::kQuickNatDetect));
    file->addAction(Command(cmd::kStandardStunCheck));
    file->addAction(Command(cmd::kQuickStunCheck));
    file->addAction(Command(cmd::kStopNatDetect));
    file->addAction(Command(cmd::kFileSave));
    file->addAction(Command(cmd::kAppExit));
    QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    edit->addAction(Command(cmd::kEditUndo));
    edit->addSeparator();
    edit->addAction(Command(cmd::kEditCut));
    edit->addAction(Command(cmd::kEditCopy));
    edit->addAction(Command(cmd::kEditPaste));
    edit->addSeparator();
    edit->addAction(Command(cmd::kClearLog));
    edit->addAction(Command(cmd::kSelectFont));
    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    view->addAction(Command(cmd::kViewStatusBar));
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->addAction(Command(cmd::kAppAbout));
}

void CMainFrame::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("statusBar%1").arg(kIdStatusBar));
    m_restingText = QString::fromLatin1(kIdleStatusText);
    bar->showMessage(m_restingText);
    // When a menu prompt goes away the message pane returns to its resting text.
    connect(bar, &QStatusBar::messageChanged, this, [this, bar](const QString& message) {
        if (message.isEmpty())
            bar->showMessage(m_restingText);
    });
    m_progress = new QProgressBar(bar);
    m_progress->setObjectName(QStringLiteral("checkProgress"));
    m_progress->setMaximumWidth(160);
    m_progress->setTextVisible(true);  // "elapsed / at most", m:ss
    m_progress->hide();
    bar->addPermanentWidget(m_progress);
    connect(m_view, &CGatewiseView::statusChanged, this, &CMainFrame::OnStatusChanged);
    auto makePane = [bar](const char* text) {
        auto* pane = new QLabel(QString::fromLatin1(text), bar);
        pane->setFrameShape(QFrame::Panel);
        pane->setFrameShadow(QFrame::Sunken);
        pane->setAlignment(Qt::AlignCenter);
        pane->setMinimumWidth(pane->fontMetrics().horizontalAdvance(QStringLiteral("SCRL")) + 10);
        bar->addPermanentWidget(pane);
        return pane;
    };
    m_caps = makePane("CAP");
    m_num = makePane("NUM");
    m_scrl = makePane("SCRL");
    connect(Command(cmd::kViewStatusBar), &QAction::toggled, bar, &QStatusBar::setVisible);
    UpdateIndicators();
    UpdateCheckCommands();
    // No polling: an idle window costs no wake-ups for the panes.
    qApp->installEventFilter(this);
}

void CMainFrame::UpdateCheckCommands() {
    const bool nat = m_view->NatCheckRunning();
    const bool stun = m_view->StunCheckRunning();
    Command(cmd::kStartNatDetect)->setEnabled(!nat && !stun);
    Command(cmd::kQuickNatDetect)->setEnabled(!nat && !stun);
    Command(cmd::kStandardStunCheck)->setEnabled(!stun);
    Command(cmd::kQuickStunCheck)->setEnabled(!stun);
    Command(cmd::kStopNatDetect)->setEnabled(nat || stun);
}

void CMainFrame::OnStatusChanged(const QString& text, int value, int maximum) {
    QStatusBar* bar = statusBar();
    // A menu prompt on show keeps its place; the new text comes when it goes.
    const bool resting = bar->currentMessage() == m_restingText;
    m_restingText = text;
    if (resting)
        bar->showMessage(text);
    m_progress->setVisible(maximum > 0);
    if (maximum > 0) {
        m_progress->setRange(0, maximum);
        m_progress->setValue(std::min(value, maximum));
        const auto clock = [](int seconds) {
            return QStringLiteral("%1:%2")
                .arg(seconds / 60)
                .arg(seconds % 60, 2, 10, QLatin1Char('0'));
        };
        m_progress->setFormat(clock(value) + QStringLiteral(" / ") + clock(maximum));
    }
}

void CMainFrame::UpdateIndicators() {
    // A lit pane shows the lock is on; where the platform does not tell, the panes stay dim.
    const std::pair<QLabel*, LockKey> panes[] = {
        {m_caps, LockKey::Caps}, {m_num, LockKey::Num}, {m_scrl, LockKey::Scroll}};
    for (const auto& [pane, key] : panes)
        pane->setEnabled(QueryLockKey(key).value_or(false));
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ApplicationActivate:
        case QEvent::WindowActivate:
            UpdateIndicators();
            break;
        default:
            break;
    }
    return QMainWindow::eventFilter(watched, event);
}

bool CMainFrame::ExecuteCommand(int id) {
    QAction* action = Command(id);
    if (action == nullptr)
        return false;
    action->trigger();
    return true;
}

void CMainFrame::ForceTitle() {
    const QString title = QString::fromLatin1(kAppTitle);
    if (windowTitle() == title)
        return;
    m_forcingTitle = true;
    setWindowTitle(title);
    m_forcingTitle = false;
}

void CMainFrame::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowTitleChange && !m_forcingTitle)
        ForceTitle();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    // The log is never worth a save prompt: the check can be run again.
    m_doc->SetModifiedFlag(false);
    m_view->StopStunCheck();
    event->accept();
}

void CMainFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!m_initialUpdateDone) {
        m_initialUpdateDone = true;
        m_view->OnInitialUpdate();
    }
}

void CMainFrame::OnAppAbout() {
    CAboutDlg dlg(this);
    if (m_runAbout) {
        m_runAbout(dlg);
    } else {
        dlg.exec();
    }
}

void CMainFrame::OnFileOpen() {
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Open"), QString(), QStringLiteral("*.txt (*.txt);;All Files (*.*)"));
    if (!path.isEmpty())
        m_doc->OnOpenDocument(path);
}
