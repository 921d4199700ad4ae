// Saving the log as a text file (Save, Save As) and opening a file named on the command line.
#include <QDir>

#include "app/command_ids.h"
#include "app/gatewise_doc.h"
#include "app_fixture.h"

namespace apptest {
namespace {

using SaveLoad = AppFixture;

TEST_F(SaveLoad, SavingTwiceAsksOnceAndOverwritesWithTheWholeLogInCrlf) {
    MakeApp();
    int asked = 0;
    QString proposed;
    Doc()->SetSaveNamePrompt([&](QWidget*, const QString& offered) {
        ++asked;
        proposed = offered;
        return Path("result");  // bare name: ".txt" is added
    });
    theLog.SetOutputWindow(View());
    theLog.WriteLine("first line");
    theLog.SetOutputWindow(nullptr);
    ASSERT_TRUE(Frame()->ExecuteCommand(cmd::kFileSave));
    EXPECT_EQ(QFileInfo(proposed).fileName(), QStringLiteral("Untitled.txt"));
    EXPECT_EQ(ReadFile(Path("result.txt")), QByteArray("first line\r\n"));

    // The user types into the log, then the check writes on; the second save takes it all.
    View()->moveCursor(QTextCursor::End);
    View()->insertPlainText(QStringLiteral("typed\n"));
    theLog.SetOutputWindow(View());
    theLog.WriteTimedLine("second %s", "line");
    theLog.SetOutputWindow(nullptr);
    ASSERT_TRUE(Frame()->ExecuteCommand(cmd::kFileSave));
    EXPECT_EQ(asked, 1);
    const QByteArray saved = ReadFile(Path("result.txt"));
    EXPECT_TRUE(saved.startsWith("first line\r\ntyped\r\n")) << saved.constData();
    EXPECT_TRUE(saved.endsWith(" --- second line\r\n")) << saved.constData();
    EXPECT_EQ(saved.count('\n'), saved.count("\r\n"));  // no bare line feed left
}

TEST_F(SaveLoad, SavedBytesAreLatin1WithNothingAdded) {
    MakeApp();
    View()->setPlainText(QString::fromUtf8("caf\xc3\xa9\nend"));
    ASSERT_TRUE(Doc()->OnSaveDocument(Path("latin1.txt")));
    EXPECT_EQ(ReadFile(Path("latin1.txt")), QByteArray("caf\xe9\r\nend"));
}

// Latin-1 while the text fits it; otherwise UTF-8 after a byte-order mark, so nothing becomes
// '?'. Either file opens again as the same text.
TEST_F(SaveLoad, TextBeyondLatin1IsSavedAsUtf8WithAMarkAndOpensAgain) {
    MakeApp();
    struct Row {
        const char* text;  // UTF-8
        QByteArray saved;
    };
    // One row per line:
    // clang-format off
    const Row rows[] = {
        {.text = "plain\nend", .saved = "plain\r\nend"},
        {.text = "caf\xc3\xa9 \xc3\xbf", .saved = "caf\xe9 \xff"},
        {.text = "100 \xe2\x82\xac\n", .saved = "\xef\xbb\xbf" "100 \xe2\x82\xac\r\n"},
        {.text = "caf\xc3\xa9 \xe5\x90\x8d", .saved = "\xef\xbb\xbf" "caf\xc3\xa9 \xe5\x90\x8d"},
        {.text = "\xf0\x9f\x93\xa7", .saved = "\xef\xbb\xbf\xf0\x9f\x93\xa7"},
        {.text = "Cannot read \"/home/u/Pr\xc3\xbc" "fung/STUN.ini\"", .saved = "Cannot read \"/home/u/Pr\xfc" "fung/STUN.ini\""},
        // Latin-1 bytes that read as UTF-8 would open as "\xc3\xbc": they get the mark.
        {.text = "Pr\xc3\x83\xc2\xbc" "fung", .saved = "\xef\xbb\xbf" "Pr\xc3\x83\xc2\xbc" "fung"},
    };
    // clang-format on
    for (const Row& row : rows) {
        const QString text = QString::fromUtf8(row.text);
        View()->setPlainText(text);
        ASSERT_TRUE(Doc()->OnSaveDocument(Path("saved.txt"))) << row.text;
        EXPECT_EQ(ReadFile(Path("saved.txt")), row.saved) << row.text;
        View()->clear();
        ASSERT_TRUE(Doc()->OnOpenDocument(Path("saved.txt"))) << row.text;
        EXPECT_EQ(View()->toPlainText(), text) << row.text;
    }
    EXPECT_TRUE(m_messages.isEmpty());
}

// Files written by other programs: UTF-8 without a mark (the command-line client's log) opens as
// UTF-8; bytes that are not valid UTF-8 throughout are Latin-1.
TEST_F(SaveLoad, FilesFromElsewhereOpenAsUtf8WhenTheyAreValidUtf8) {
    MakeApp();
    struct Row {
        QByteArray file;
        const char* text;  // UTF-8
    };
    // One row per line:
    // clang-format off
    const Row rows[] = {
        {.file = "Pr\xc3\xbc" "fung\r\n", .text = "Pr\xc3\xbc" "fung\n"},
        {.file = "Pr\xfc" "fung\n", .text = "Pr\xc3\xbc" "fung\n"},
        {.file = "\xc3\xbc and \xfc", .text = "\xc3\x83\xc2\xbc and \xc3\xbc"},
    };
    // clang-format on
    for (const Row& row : rows) {
        WriteFile(Path("other.txt"), row.file);
        ASSERT_TRUE(Doc()->OnOpenDocument(Path("other.txt"))) << row.text;
        EXPECT_EQ(View()->toPlainText(), QString::fromUtf8(row.text)) << row.text;
    }
}

// Save As asks every time, offering the current file; the file chosen is where Save then goes.
TEST_F(SaveLoad, SaveAsAsksEveryTimeAndMovesTheSaveTarget) {
    MakeApp();
    QStringList offered;
    QString answer;
    Doc()->SetSaveNamePrompt([&](QWidget*, const QString& proposed) {
        offered.append(QFileInfo(proposed).fileName());
        return answer;
    });
    View()->setPlainText(QStringLiteral("one"));
    answer = Path("a");
    ASSERT_TRUE(Frame()->ExecuteCommand(cmd::kFileSaveAs));
    answer = Path("b.txt");
    ASSERT_TRUE(Frame()->ExecuteCommand(cmd::kFileSaveAs));
    answer.clear();
    ASSERT_TRUE(Frame()->ExecuteCommand(cmd::kFileSaveAs));  // cancelled
    View()->setPlainText(QStringLiteral("two"));
    ASSERT_TRUE(Frame()->ExecuteCommand(cmd::kFileSave));  // no question: b.txt
    EXPECT_EQ(offered, (QStringList{"Untitled.txt", "a.txt", "b.txt"}));
    EXPECT_EQ(ReadFile(Path("a.txt")), QByteArray("one"));
    EXPECT_EQ(ReadFile(Path("b.txt")), QByteArray("two"));
    EXPECT_EQ(Doc()->PathName(), QFileInfo(Path("b.txt")).absoluteFilePath());
}

TEST_F(SaveLoad, CancelledSaveAsWritesNothingAndAsksAgainNextTime) {
    MakeApp();
    int asked = 0;
    Doc()->SetSaveNamePrompt([&](QWidget*, const QString&) {
        ++asked;
        return QString();
    });
    EXPECT_FALSE(Doc()->DoFileSave());
    EXPECT_FALSE(Doc()->DoFileSave());
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(QDir(m_dir.path()).entryList({"*.txt"}).isEmpty());
}

TEST_F(SaveLoad, FailedSaveReportsTheReasonAndLeavesTheLogAlone) {
    MakeApp();
    View()->setPlainText(QStringLiteral("keep me"));
    // A folder that does not exist cannot take the file (a permission test would not hold as root).
    EXPECT_FALSE(Doc()->OnSaveDocument(Path("missing/dir/log.txt")));
    ASSERT_EQ(m_messages.size(), 1);
    EXPECT_TRUE(m_messages[0].startsWith(QStringLiteral("Failed to save document.\n")));
    EXPECT_GT(m_messages[0].size(), QStringLiteral("Failed to save document.\n").size());
    EXPECT_EQ(View()->toPlainText(), QStringLiteral("keep me"));
    EXPECT_TRUE(Doc()->PathName().isEmpty());
}

TEST_F(SaveLoad, ExtensionIsAddedOnlyToABareName) {
    struct Row {
        const char* typed;
        const char* saved;
    };
    const Row rows[] = {
        {"/tmp/x/log", "/tmp/x/log.txt"},
        {"/tmp/x/log.txt", "/tmp/x/log.txt"},
        {"/tmp/x/log.csv", "/tmp/x/log.csv"},
        {"/tmp/x.d/log", "/tmp/x.d/log.txt"},  // a dot in the folder does not count
    };
    for (const Row& row : rows) {
        EXPECT_EQ(WithDefaultExtension(QString::fromLatin1(row.typed)),
                  QString::fromLatin1(row.saved));
    }
}

TEST_F(SaveLoad, FileOnTheCommandLineBecomesTheInitialTextAndTheSaveTarget) {
    WriteFile(Path("old.txt"), "line one\r\nline two\r\n");
    MakeApp({Path("old.txt")});
    EXPECT_EQ(View()->toPlainText(), QStringLiteral("line one\nline two\n"));
    // Saving goes back to that file without asking.
    Doc()->SetSaveNamePrompt([](QWidget*, const QString&) -> QString {
        ADD_FAILURE() << "asked for a name";
        return {};
    });
    View()->appendPlainText(QStringLiteral("three"));
    ASSERT_TRUE(Doc()->DoFileSave());
    EXPECT_EQ(ReadFile(Path("old.txt")), QByteArray("line one\r\nline two\r\n\r\nthree"));
}

TEST_F(SaveLoad, FileOverTheLimitIsRefusedAndTheProgramEnds) {
    WriteFile(Path("big.txt"), QByteArray(kLogTextLimit + 1, 'a'));
    MakeApp({Path("big.txt")}, /*expectOk=*/false);
    EXPECT_EQ(m_messages, QStringList{QStringLiteral("The file is too large to open.")});
}

TEST_F(SaveLoad, FileExactlyAtTheLimitOpens) {
    WriteFile(Path("full.txt"), QByteArray(kLogTextLimit, 'a'));
    MakeApp({Path("full.txt")});
    EXPECT_EQ(View()->TextLength(), static_cast<std::size_t>(kLogTextLimit));
    EXPECT_TRUE(m_messages.isEmpty());
}

// The start-up banner begins a line of its own, also after a file that ends inside a line.
using CheckFlowLoadedLog = AppFixture;
TEST_F(CheckFlowLoadedLog, BannerStartsOnALineOfItsOwn) {
    struct Row {
        QByteArray file;
        const char* before;  // the text up to the banner
    };
    const Row rows[] = {
        {"", ""},
        {"a\r\nlast", "a\nlast\n"},
        {"a\r\nlast\r\n", "a\nlast\n"},
    };
    for (const Row& row : rows) {
        WriteFile(Path("old.txt"), row.file);
        MakeApp({Path("old.txt")});
        StartUp();
        const QString text = View()->toPlainText();
        const QString before = QString::fromLatin1(row.before);
        EXPECT_TRUE(text.startsWith(before + QStringLiteral("STUN - Simple Traversal")))
            << text.left(60).toStdString();
        m_app.reset();
    }
}

}  // namespace
}  // namespace apptest
