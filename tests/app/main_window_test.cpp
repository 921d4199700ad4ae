// The main window: fixed title, menus and keys, status bar, no save prompt, the log target.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QTest>

#include "app/command_ids.h"
#include "app_fixture.h"

namespace apptest {
namespace {

using MainWindow = AppFixture;

TEST_F(MainWindow, TitleIsForcedAtStartAfterSaveAndAfterDirectAttempt) {
    MakeApp();
    EXPECT_EQ(Frame()->windowTitle(), QStringLiteral("Tarnwick NAT Detector"));

    Frame()->setWindowTitle(QStringLiteral("something else"));
    EXPECT_EQ(Frame()->windowTitle(), QStringLiteral("Tarnwick NAT Detector"));

    // Saving gives the document a title; the frame must not show it.
    Doc()->SetSaveNamePrompt([this](QWidget*, const QString&) { return Path("log.txt"); });
    ASSERT_TRUE(Doc()->DoFileSave());
    EXPECT_EQ(Doc()->Title(), QStringLiteral("log.txt"));
    EXPECT_EQ(Frame()->windowTitle(), QStringLiteral("Tarnwick NAT Detector"));
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
        {.menu = "&File", .text = "STUN Setting...", .id = cmd::kStunSetting, .keys = {}},
        {.menu = "&File", .text = "Start NAT Detect", .id = cmd::kStartNatDetect, .keys = {QKeySequence(Qt::Key_F5)}},
        {.menu = "&File", .text = "Quick NAT Detect\tShift+F5", .id = cmd::kQuickNatDetect, .keys = keys("Shift+F5")},
        {.menu = "&File", .text = "Standard STUN Check...\tCtrl+F5", .id = cmd::kStandardStunCheck, .keys = keys("Ctrl+F5")},
        {.menu = "&File", .text = "Quick Standard STUN Check...\tCtrl+Shift+F5", .id = cmd::kQuickStunCheck, .keys = keys("Ctrl+Shift+F5")},
        {.menu = "&File", .text = "S&top NAT Detect\tEsc", .id = cmd::kStopNatDetect, .keys = keys("Esc")},
        {.menu = "&File", .text = "&Save Result\tCtrl+S", .id = cmd::kFileSave, .keys = keys("Ctrl+S")},
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
