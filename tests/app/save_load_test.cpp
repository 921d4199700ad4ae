// Saving the log as a text file and opening a file named on the command line.
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

}  // namespace
}  // namespace apptest
