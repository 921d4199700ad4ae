#include "app/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLayout>
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
    connect(m_doc, &CGatewiseDoc::titleChanged, this, [this] { ForceTitle(); });
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
    // Every item of the File menu has a mnemonic of its own.
    AddCommand(cmd::kStunSetting, QStringLiteral("STUN S&etting..."), [v] { v->OnStunSetting(); });
    AddCommand(cmd::kStartNatDetect, QStringLiteral("Start NAT &Detect"),
               [v] { v->OnStartNatDetect(); }, {}, {QKeySequence(Qt::Key_F5)});
    AddCommand(cmd::kQuickNatDetect, QStringLiteral("&Quick NAT Detect\tShift+F5"),
               [v] { v->OnQuickNatDetect(); });
    AddCommand(cmd::kStandardStunCheck, QStringLiteral("Standard STUN &Check...\tCtrl+F5"),
               [v] { v->OnStandardStunCheck(); });
    AddCommand(cmd::kQuickStunCheck, QStringLiteral("Q&uick Standard STUN Check...\tCtrl+Shift+F5"),
               [v] { v->OnQuickStunCheck(); });
    AddCommand(cmd::kPortMapCheck, QStringLiteral("Port &Mapping Check"),
               [v] { v->OnPortMapCheck(); });
    AddCommand(cmd::kMappingLifetime, QStringLiteral("Mapping &Lifetime Test..."),
               [v] { v->OnMappingLifetime(); });
    AddCommand(
        cmd::kStopNatDetect, QStringLiteral("S&top NAT Detect\tEsc"), [v] { v->OnStopNatDetect(); },
        QStringLiteral("Stop the running check"));
    // One check at a time: the start commands rest while a check runs, the stop command while
    // none does. The commands of the checks on a thread of their own stay on during the NAT
    // check to say in the log why they cannot start.
    connect(v, &CGatewiseView::backgroundRunChanged, this, [this] { UpdateCheckCommands(); });
    connect(v, &CGatewiseView::natCheckRunningChanged, this, [this] { UpdateCheckCommands(); });
    AddCommand(
        cmd::kFileSave, QStringLiteral("&Save Result\tCtrl+S"), [this] { m_doc->DoFileSave(); },
        QStringLiteral("Save the log to a text file"));
    AddCommand(
        cmd::kFileSaveAs, QStringLiteral("Save Result &As...\tCtrl+Shift+S"),
        [this] { m_doc->DoFileSaveAs(); },
        QStringLiteral("Save the log to a text file of a new name"));
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
        cmd::kAppAbout, QStringLiteral("&About %1...").arg(QString::fromLatin1(kAppTitle)),
        [this] { OnAppAbout(); },
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
    file->addAction(Command(cmd::kPortMapCheck));
    file->addAction(Command(cmd::kMappingLifetime));
    file->addAction(Command(cmd::kStopNatDetect));
    file->addAction(Command(cmd::kFileSave));
    file->addAction(Command(cmd::kFileSaveAs));
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
    // When a menu prompt goes away the message pane returns to its resting text.
    connect(bar, &QStatusBar::messageChanged, this, [this](const QString& message) {
        if (message.isEmpty())
            ShowRestingText();
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
    ShowRestingText();
    UpdateIndicators();
    UpdateCheckCommands();
    // No polling: an idle window costs no wake-ups for the panes.
    qApp->installEventFilter(this);
}

void CMainFrame::UpdateCheckCommands() {
    const bool nat = m_view->NatCheckRunning();
    const bool background = m_view->BackgroundRunning();
    for (const int id : {cmd::kStartNatDetect, cmd::kQuickNatDetect})
        Command(id)->setEnabled(!nat && !background);
    for (const int id :
         {cmd::kStandardStunCheck, cmd::kQuickStunCheck, cmd::kPortMapCheck, cmd::kMappingLifetime})
        Command(id)->setEnabled(!background);
    Command(cmd::kStopNatDetect)->setEnabled(nat || background);
}

void CMainFrame::OnStatusChanged(const QString& text, int value, int maximum) {
    // A menu prompt on show keeps its place; the new text comes when it goes.
    const bool resting = statusBar()->currentMessage() == m_shownRestingText;
    m_restingText = text;
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
    if (resting)
        ShowRestingText();  // after the progress bar, which takes room from the message
}

int CMainFrame::MessageWidth() const {
    QStatusBar* bar = statusBar();
    if (bar->layout() != nullptr)
        bar->layout()->activate();  // the panes' places after one was shown or hidden
    // The status bar draws its message from 6 pixels in to 2 pixels before the first permanent
    // pane shown, or 12 pixels before its right edge.
    int right = bar->width() - 12;
    for (QWidget* pane : {static_cast<QWidget*>(m_progress), static_cast<QWidget*>(m_caps)}) {
        if (!pane->isHidden()) {
            right = std::min(right, pane->x() - 2);
            break;
        }
    }
    return std::max(0, right - 6);
}

void CMainFrame::ShowRestingText() {
    QStatusBar* bar = statusBar();
    // A hidden bar has no width of its own yet; it is elided when shown.
    m_shownRestingText = bar->isVisible() ? bar->fontMetrics().elidedText(
                                                m_restingText, Qt::ElideRight, MessageWidth())
                                          : m_restingText;
    bar->setToolTip(m_shownRestingText == m_restingText ? QString() : m_restingText);
    bar->showMessage(m_shownRestingText);
}

void CMainFrame::UpdateIndicators() {
    // A lit pane shows the lock is on; where the platform does not tell, the panes stay dim.
    const std::pair<QLabel*, LockKey> panes[] = {
        {m_caps, LockKey::Caps}, {m_num, LockKey::Num}, {m_scrl, LockKey::Scroll}};
    for (const auto& [pane, key] : panes)
        pane->setEnabled(QueryLockKey(key).value_or(false));
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    if (watched == statusBar() &&
        (event->type() == QEvent::Resize || event->type() == QEvent::Show) &&
        statusBar()->currentMessage() == m_shownRestingText)
        ShowRestingText();
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

QString CMainFrame::FrameTitle() const {
    const QString app = QString::fromLatin1(kAppTitle);
    // A log saved or opened shows its file's name first, as desktop programs do.
    if (m_doc->PathName().isEmpty())
        return app;
    return m_doc->Title() + QStringLiteral(" - ") + app;
}

void CMainFrame::ForceTitle() {
    const QString title = FrameTitle();
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
    // A port-mapping check deletes its mappings before this returns.
    m_view->StopBackgroundRun();
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
