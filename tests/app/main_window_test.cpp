// The main window: its title, menus and keys, status bar, no save prompt, the log target; the
// dialogs' title bars and the about box.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include "app/command_ids.h"
#include "app/lifetime_dlg.h"
#include "app/main_frame.h"
#include "app/result_dlg.h"
#include "app/stun_server_dlg.h"
#include "app/stun_setting_dlg.h"
#include "app_fixture.h"
#include "gatewise_version.h"

namespace apptest {
namespace {

using MainWindow = AppFixture;

// Untitled, the title is the program's alone; a saved or opened log's file name comes first.
// Nothing else that sets the title sticks.
TEST_F(MainWindow, TitleNamesTheFileAfterSaveOrOpenAndNothingElse) {
    MakeApp();
    WriteFile(Path("old.txt"), "old\r\n");
    QString name;
    Doc()->SetSaveNamePrompt([&](QWidget*, const QString&) { return name; });
    struct Step {
        const char* what;
        std::function<void()> act;
        QString title;
    };
    const QString app = QStringLiteral("Tarnwick NAT Detector");
    const Step steps[] = {
        {"start", [] {}, app},
        {"direct attempt", [this] { Frame()->setWindowTitle(QStringLiteral("x")); }, app},
        {"save",
         [&] {
             name = Path("log.txt");
             Frame()->ExecuteCommand(cmd::kFileSave);
         },
         QStringLiteral("log.txt - ") + app},
        {"direct attempt after save", [this] { Frame()->setWindowTitle(QStringLiteral("x")); },
         QStringLiteral("log.txt - ") + app},
        {"save as, non-ASCII name",
         [&] {
             name =
                 m_dir.filePath(QString::fromUtf8("Pr\xc3\xbc"
                                                  "fung.txt"));
             Frame()->ExecuteCommand(cmd::kFileSaveAs);
         },
         QString::fromUtf8("Pr\xc3\xbc"
                           "fung.txt - ") +
             app},
        {"save as cancelled",
         [&] {
             name.clear();
             Frame()->ExecuteCommand(cmd::kFileSaveAs);
         },
         QString::fromUtf8("Pr\xc3\xbc"
                           "fung.txt - ") +
             app},
        {"new", [this] { Frame()->ExecuteCommand(cmd::kFileNew); }, app},
        {"open", [this] { Doc()->OnOpenDocument(Path("old.txt")); },
         QStringLiteral("old.txt - ") + app},
    };
    for (const Step& step : steps) {
        step.act();
        EXPECT_EQ(Frame()->windowTitle(), step.title) << step.what;
    }
    EXPECT_TRUE(m_messages.isEmpty());
}

TEST_F(MainWindow, ClosingWithTypedTextNeverAsksToSave) {
    MakeApp();
    Frame()->show();
    View()->insertPlainText(QStringLiteral("typed by the user"));
    ASSERT_TRUE(Doc()->IsModified());
    EXPECT_TRUE(Frame()->close());
    EXPECT_FALSE(Frame()->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(m_messages.isEmpty());
    EXPECT_FALSE(Doc()->IsModified());
}

struct MenuRow {
    const char* menu;
    const char* text;  // as the item shows it, "\t" and the accelerator hint included
    int id;
    std::vector<QKeySequence> keys;
};

TEST_F(MainWindow, MenusItemsIdsAndAcceleratorsAreExact) {
    MakeApp();
    const auto keys = [](const char* text, QKeySequence alternative = {}) {
        std::vector<QKeySequence> list = {QKeySequence(QString::fromLatin1(text))};
        if (!alternative.isEmpty())
            list.push_back(alternative);
        return list;
    };
    // One row per line:
    // clang-format off
    const std::vector<MenuRow> rows = {
        {.menu = "&File", .text = "STUN S&etting...", .id = cmd::kStunSetting, .keys = {}},
        {.menu = "&File", .text = "Start NAT &Detect", .id = cmd::kStartNatDetect, .keys = {QKeySequence(Qt::Key_F5)}},
        {.menu = "&File", .text = "&Quick NAT Detect\tShift+F5", .id = cmd::kQuickNatDetect, .keys = keys("Shift+F5")},
        {.menu = "&File", .text = "Standard STUN &Check...\tCtrl+F5", .id = cmd::kStandardStunCheck, .keys = keys("Ctrl+F5")},
        {.menu = "&File", .text = "Q&uick Standard STUN Check...\tCtrl+Shift+F5", .id = cmd::kQuickStunCheck, .keys = keys("Ctrl+Shift+F5")},
        {.menu = "&File", .text = "Port &Mapping Check", .id = cmd::kPortMapCheck, .keys = {}},
        {.menu = "&File", .text = "Mapping &Lifetime Test...", .id = cmd::kMappingLifetime, .keys = {}},
        {.menu = "&File", .text = "S&top NAT Detect\tEsc", .id = cmd::kStopNatDetect, .keys = keys("Esc")},
        {.menu = "&File", .text = "&Save Result\tCtrl+S", .id = cmd::kFileSave, .keys = keys("Ctrl+S")},
        {.menu = "&File", .text = "Save Result &As...\tCtrl+Shift+S", .id = cmd::kFileSaveAs, .keys = keys("Ctrl+Shift+S")},
        {.menu = "&File", .text = "E&xit", .id = cmd::kAppExit, .keys = {}},
        {.menu = "&Edit", .text = "&Undo\tCtrl+Z", .id = cmd::kEditUndo, .keys = keys("Ctrl+Z", QKeySequence(Qt::ALT | Qt::Key_Backspace))},
        {.menu = "&Edit", .text = "Cu&t\tCtrl+X", .id = cmd::kEditCut, .keys = keys("Ctrl+X", QKeySequence(Qt::SHIFT | Qt::Key_Delete))},
        {.menu = "&Edit", .text = "&Copy\tCtrl+C", .id = cmd::kEditCopy, .keys = keys("Ctrl+C", QKeySequence(Qt::CTRL | Qt::Key_Insert))},
        {.menu = "&Edit", .text = "&Paste\tCtrl+V", .id = cmd::kEditPaste, .keys = keys("Ctrl+V", QKeySequence(Qt::SHIFT | Qt::Key_Insert))},
        {.menu = "&Edit", .text = "&Clear\tCtrl+L", .id = cmd::kClearLog, .keys = keys("Ctrl+L")},
        {.menu = "&Edit", .text = "Select Font...", .id = cmd::kSelectFont, .keys = {}},
        {.menu = "&View", .text = "&Status Bar", .id = cmd::kViewStatusBar, .keys = {}},
        {.menu = "&Help", .text = "&About Tarnwick NAT Detector...", .id = cmd::kAppAbout, .keys = {}},
    };
    // clang-format on
    QStringList menus;
    QStringList items;
    for (QAction* top : Frame()->menuBar()->actions()) {
        menus.append(top->text());
        for (QAction* a : top->menu()->actions()) {
            if (a->isSeparator()) {
                items.append(top->text() + QStringLiteral("|-"));
                continue;
            }
            const QString hint =
                a->shortcut().isEmpty() || a->shortcut() == QKeySequence(Qt::Key_F5)
                    ? QString()
                    : QStringLiteral("\t") + a->shortcut().toString();
            items.append(top->text() + QLatin1Char('|') + a->text() + hint);
        }
    }
    EXPECT_EQ(menus, (QStringList{"&File", "&Edit", "&View", "&Help"}));
    QStringList expected;
    for (const MenuRow& row : rows) {
        expected.append(QString::fromLatin1(row.menu) + QLatin1Char('|') +
                        QString::fromLatin1(row.text));
        if (row.id == cmd::kEditUndo || row.id == cmd::kEditPaste)
            expected.append(QStringLiteral("&Edit|-"));
        QAction* action = Frame()->Command(row.id);
        ASSERT_NE(action, nullptr) << row.text;
        EXPECT_EQ(action->data().toInt(), row.id) << row.text;
        EXPECT_EQ(action->shortcuts(), QList<QKeySequence>(row.keys.begin(), row.keys.end()))
            << row.text;
    }
    EXPECT_EQ(items, expected);
    // Every File item can be reached from the keyboard with a letter of its own.
    QString letters;
    for (QAction* a : Frame()->menuBar()->actions().at(0)->menu()->actions()) {
        const qsizetype amp = a->text().indexOf(QLatin1Char('&'));
        ASSERT_GE(amp, 0) << a->text().toStdString();
        const QChar letter = a->text().at(amp + 1).toLower();
        EXPECT_FALSE(letters.contains(letter)) << a->text().toStdString();
        letters.append(letter);
    }
    // The program's own commands have no status-bar prompt; the framework's have one.
    EXPECT_TRUE(Frame()->Command(cmd::kStartNatDetect)->statusTip().isEmpty());
    EXPECT_EQ(Frame()->Command(cmd::kViewStatusBar)->statusTip(),
              QStringLiteral("Show or hide the status bar"));
}

TEST_F(MainWindow, F6AndShiftF6AreTakenAndDoNothing) {
    MakeApp();
    Frame()->show();
    View()->setPlainText(QStringLiteral("abc"));
    for (int id : {cmd::kNextPane, cmd::kPrevPane}) {
        ASSERT_NE(Frame()->Command(id), nullptr);
        EXPECT_TRUE(Frame()->ExecuteCommand(id));
    }
    EXPECT_EQ(Frame()->Command(cmd::kNextPane)->shortcut(), QKeySequence(Qt::Key_F6));
    EXPECT_EQ(Frame()->Command(cmd::kPrevPane)->shortcut(), QKeySequence(Qt::SHIFT | Qt::Key_F6));
    EXPECT_EQ(View()->toPlainText(), QStringLiteral("abc"));
    EXPECT_TRUE(Frame()->isVisible());
}

TEST_F(MainWindow, StatusBarShowsReadyAndDimIndicatorsAndToggles) {
    MakeApp();
    Frame()->show();
    EXPECT_EQ(Frame()->statusBar()->currentMessage(), QStringLiteral("Ready"));
    EXPECT_EQ(Frame()->CapsIndicator()->text(), QStringLiteral("CAP"));
    EXPECT_EQ(Frame()->NumIndicator()->text(), QStringLiteral("NUM"));
    EXPECT_EQ(Frame()->ScrollIndicator()->text(), QStringLiteral("SCRL"));
    // The offscreen platform does not tell the lock state: the panes are shown dim.
    EXPECT_FALSE(Frame()->CapsIndicator()->isEnabled());
    // A prompt replaces "Ready" only while it is shown.
    Frame()->statusBar()->showMessage(QStringLiteral("prompt"));
    Frame()->statusBar()->clearMessage();
    EXPECT_EQ(Frame()->statusBar()->currentMessage(), QStringLiteral("Ready"));

    Frame()->ExecuteCommand(cmd::kViewStatusBar);
    EXPECT_FALSE(Frame()->statusBar()->isVisible());
    Frame()->ExecuteCommand(cmd::kViewStatusBar);
    EXPECT_TRUE(Frame()->statusBar()->isVisible());
}

// A status text wider than the message pane ends in an ellipsis, whole in the tool tip; the
// pane takes it back whole when the window grows.
TEST_F(MainWindow, StatusTextTooWideForThePaneIsElided) {
    MakeApp();
    Frame()->resize(600, 400);
    Frame()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Frame()));
    QStatusBar* bar = Frame()->statusBar();
    const QString text =
        QStringLiteral("Incoming filter test: waiting for Server1 binding reply, 13 s at most");
    struct Row {
        int width;
        int progressMax;  // 0: no progress bar
        bool elided;
    };
    // At 600 pixels the progress bar leaves the text about 270 pixels, without it about 430.
    const Row rows[] = {
        {600, 169, true}, {920, 169, false}, {600, 169, true}, {600, 0, false}, {450, 0, true}};
    for (const Row& row : rows) {
        Frame()->resize(row.width, 400);
        emit View()->statusChanged(text, 1, row.progressMax);
        QCoreApplication::processEvents();
        const QString shown = bar->currentMessage();
        const QWidget* firstPane = row.progressMax > 0
                                       ? static_cast<QWidget*>(Frame()->CheckProgressBar())
                                       : static_cast<QWidget*>(Frame()->CapsIndicator());
        EXPECT_LE(6 + bar->fontMetrics().horizontalAdvance(shown), firstPane->x() - 2) << row.width;
        EXPECT_EQ(shown.endsWith(QChar(0x2026)), row.elided) << row.width;
        EXPECT_EQ(shown == text, !row.elided) << row.width;
        EXPECT_EQ(bar->toolTip(), row.elided ? text : QString()) << row.width;
    }
    // A menu prompt keeps its place while shown; the elided text comes back after it.
    bar->showMessage(QStringLiteral("prompt"));
    bar->clearMessage();
    EXPECT_TRUE(bar->currentMessage().endsWith(QChar(0x2026)));
}

// No dialog of the program offers to minimise or maximise itself. (The standard STUN check's
// dialog opens only after start-up, whose network threads make this a CheckFlow test.)
using CheckFlowDialogs = AppFixture;
TEST_F(CheckFlowDialogs, HaveNoMinimiseOrMaximiseButton) {
    MakeApp();
    QStringList seen;
    const auto check = [&seen](QWidget& dlg) {
        seen.append(dlg.windowTitle());
        const Qt::WindowFlags flags = dlg.windowFlags();
        EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint) << dlg.windowTitle().toStdString();
        EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint) << dlg.windowTitle().toStdString();
        EXPECT_TRUE(flags & Qt::WindowCloseButtonHint) << dlg.windowTitle().toStdString();
        EXPECT_TRUE(flags & Qt::CustomizeWindowHint) << dlg.windowTitle().toStdString();
        return int{QDialog::Rejected};
    };
    Frame()->SetAboutRunner(check);
    View()->SetSettingsDialogRunner([&](CStunSettingDlg& dlg) { return check(dlg); });
    View()->SetStunServerDialogRunner([&](CStunServerDlg& dlg) { return check(dlg); });
    View()->SetLifetimeDialogRunner([&](CLifetimeDlg& dlg) { return check(dlg); });
    Frame()->ExecuteCommand(cmd::kAppAbout);
    Frame()->ExecuteCommand(cmd::kStunSetting);
    StartUp();
    Frame()->ExecuteCommand(cmd::kStandardStunCheck);
    Frame()->ExecuteCommand(cmd::kMappingLifetime);
    CResultDlg result;
    check(result);
    // The message box, shown for real and closed from the event loop.
    SetAppMessageHook({});
    QTimer::singleShot(0, [&] {
        QWidget* box = QApplication::activeModalWidget();
        ASSERT_NE(box, nullptr);
        check(*box);
        box->close();
    });
    AppMessageBox(Frame(), QStringLiteral("text"));
    EXPECT_EQ(seen.size(), 6) << seen.join(QLatin1Char('|')).toStdString();
}

// The about box is titled as the menu item that opens it; the program's version is the build's.
TEST_F(MainWindow, AboutBoxIsTitledAsItsMenuItem) {
    MakeApp();
    QString title;
    Frame()->SetAboutRunner([&](QDialog& dlg) {
        title = dlg.windowTitle();
        return int{QDialog::Accepted};
    });
    Frame()->ExecuteCommand(cmd::kAppAbout);
    EXPECT_EQ(title + QStringLiteral("..."), Frame()->Command(cmd::kAppAbout)->text().remove('&'));
    EXPECT_EQ(QCoreApplication::applicationVersion(), QStringLiteral(GATEWISE_VERSION));
}

// Paths and the system's messages come as UTF-8; a byte that is no part of valid UTF-8 is the
// Latin-1 character the log always showed.
TEST_F(MainWindow, LogShowsUtf8AndTakesOtherBytesAsLatin1) {
    MakeApp();
    struct Row {
        const char* bytes;
        const char* shown;  // UTF-8
    };
    // One row per line (the other byte sequences are the core's table):
    // clang-format off
    const Row rows[] = {
        {"Cannot read \"/home/u/Pr\xc3\xbc" "fung/STUN.ini\"", "Cannot read \"/home/u/Pr\xc3\xbc" "fung/STUN.ini\""},
        {"Pr\xfc" "fung", "Pr\xc3\xbc" "fung"},
    };
    // clang-format on
    theLog.SetOutputWindow(View());
    for (const Row& row : rows) {
        View()->clear();
        theLog.WriteLine("%s", row.bytes);
        EXPECT_EQ(View()->toPlainText(), QString::fromUtf8(row.shown) + QLatin1Char('\n'))
            << row.bytes;
    }
    theLog.SetOutputWindow(nullptr);
}

TEST_F(MainWindow, LogLinesGoToTheEndWhateverTheUserSelected) {
    MakeApp();
    View()->setPlainText(QStringLiteral("first\nsecond"));
    QTextCursor sel(View()->document());
    sel.setPosition(1);
    sel.setPosition(4, QTextCursor::KeepAnchor);
    View()->setTextCursor(sel);
    theLog.SetOutputWindow(View());
    theLog.WriteLine("line %d", 3);
    theLog.SetOutputWindow(nullptr);
    EXPECT_EQ(View()->toPlainText(), QStringLiteral("first\nsecondline 3\n"));
    EXPECT_FALSE(View()->textCursor().hasSelection());
    EXPECT_EQ(View()->textCursor().position(), View()->toPlainText().size());
    // Log lines are not the user's edits: they cannot be undone.
    EXPECT_FALSE(View()->document()->isUndoAvailable());
}

TEST_F(MainWindow, LogStopsAtTheTextLimit) {
    MakeApp();
    View()->setPlainText(QString(kLogTextLimit - 5, QLatin1Char('x')));
    theLog.SetOutputWindow(View());
    theLog.WriteLine("0123456789");
    theLog.SetOutputWindow(nullptr);
    EXPECT_EQ(View()->TextLength(), static_cast<std::size_t>(kLogTextLimit));
    EXPECT_TRUE(View()->toPlainText().endsWith(QStringLiteral("x01234")));
    // The user cannot type or paste past the limit either.
    QTest::keyClicks(View(), QStringLiteral("ab"));
    QApplication::clipboard()->setText(QStringLiteral("pasted"));
    View()->paste();
    EXPECT_EQ(View()->TextLength(), static_cast<std::size_t>(kLogTextLimit));
    View()->textCursor().deletePreviousChar();
    QApplication::clipboard()->setText(QStringLiteral("yz"));
    View()->paste();
    EXPECT_TRUE(View()->toPlainText().endsWith(QStringLiteral("x0123y")));
}

TEST_F(MainWindow, SelectFontAppliesTheChosenFontAndCancelKeepsIt) {
    MakeApp();
    const QFont before = View()->font();
    View()->SetFontPrompt([](QWidget*) -> std::optional<QFont> { return std::nullopt; });
    Frame()->ExecuteCommand(cmd::kSelectFont);
    EXPECT_EQ(View()->font(), before);
    QFont chosen(QStringLiteral("DejaVu Sans Mono"), 15);
    View()->SetFontPrompt([chosen](QWidget*) -> std::optional<QFont> { return chosen; });
    Frame()->ExecuteCommand(cmd::kSelectFont);
    EXPECT_EQ(View()->font().family(), chosen.family());
    EXPECT_EQ(View()->LogFont().pointSize(), 15);
}

}  // namespace
}  // namespace apptest
