// The standard STUN check in the window: its dialog (STUN_SERVER, input checks), runs on a thread
// of their own against the in-test responder on 127.0.0.2/127.0.0.3, the log lines handed to the
// window's thread, and closing during a run. Names go through a fake resolver; loopback only.
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProgressBar>
#include <QStatusBar>
#include <QtEndian>

#include "app/command_ids.h"
#include "app/main_frame.h"
#include "app/stun_server_dlg.h"
#include "app_fixture.h"
#include "core/host_resolver.h"
#include "core/settings.h"
#include "engine/p2p_meaning.h"
#include "tests/standard/stun_test_responder.h"

namespace apptest {
namespace {

const QString kNeedHost = QStringLiteral("Please enter the STUN server's host name or address.");
const QString kBadHost =
    QStringLiteral("Please enter a host name or a dotted IPv4 address other than 0.0.0.0.");
const QString kBadPort = QStringLiteral("Please enter a port from 1 to 65535.");

struct ParseRow {
    const char* text;
    const char* host;  // null: refused
    std::uint16_t port;
    QString why;
};

TEST(StunServerText, ReadsHostAndPortAndRefusesWhatIsNoServer) {
    // clang-format off
    const ParseRow rows[] = {
        {.text = "stun.lab.test", .host = "stun.lab.test", .port = 3478, .why = {}},
        {.text = "  127.0.0.2:47911 ", .host = "127.0.0.2", .port = 47911, .why = {}},
        {.text = "stun.lab.test:1", .host = "stun.lab.test", .port = 1, .why = {}},
        {.text = "stun.lab.test:65535", .host = "stun.lab.test", .port = 65535, .why = {}},
        {.text = "", .host = nullptr, .port = 0, .why = kNeedHost},
        {.text = "   ", .host = nullptr, .port = 0, .why = kNeedHost},
        {.text = ":3478", .host = nullptr, .port = 0, .why = kNeedHost},
        {.text = "stun.lab.test:", .host = nullptr, .port = 0, .why = kBadPort},
        {.text = "stun.lab.test:0", .host = nullptr, .port = 0, .why = kBadPort},
        {.text = "stun.lab.test:65536", .host = nullptr, .port = 0, .why = kBadPort},
        {.text = "stun.lab.test:+80", .host = nullptr, .port = 0, .why = kBadPort},
        {.text = "stun.lab.test: 80", .host = nullptr, .port = 0, .why = kBadPort},
        {.text = "stun.lab.test:port", .host = nullptr, .port = 0, .why = kBadPort},
        {.text = "0.0.0.0", .host = nullptr, .port = 0, .why = kBadHost},
        {.text = "1.2.3", .host = nullptr, .port = 0, .why = kBadHost},  // no name: never looked up
        {.text = "stun lab", .host = nullptr, .port = 0, .why = kBadHost},
        {.text = "[::1]:3478", .host = nullptr, .port = 0, .why = kBadHost},
    };
    // clang-format on
    for (const ParseRow& row : rows) {
        QString why;
        const auto parsed = ParseStunServerText(QString::fromLatin1(row.text), why);
        if (row.host == nullptr) {
            EXPECT_FALSE(parsed.has_value()) << row.text;
            EXPECT_EQ(why, row.why) << row.text;
            continue;
        }
        ASSERT_TRUE(parsed.has_value()) << row.text << ": " << why.toStdString();
        EXPECT_EQ(*parsed, (StunServerText{.host = row.host, .port = row.port})) << row.text;
    }
}

// The empty server field says what to type, whole at the dialog's own width.
TEST(StunServerDlg, EmptyServerFieldShowsWhatToTypeInFull) {
    CStunServerDlg dlg;
    dlg.show();
    const QLineEdit* edit = dlg.ServerEdit();
    EXPECT_EQ(edit->placeholderText(),
              QStringLiteral("host name or IPv4 address, optionally :port (default 3478)"));
    EXPECT_GT(edit->width(), edit->fontMetrics().horizontalAdvance(edit->placeholderText()));
}

class CheckFlowStun : public AppFixture {
protected:
    void TearDown() override {
        AppFixture::TearDown();
        SetHostResolver({});
    }

    // Starts the window with short STUN waits; the dialog answers with server and server2.
    void StartWindow() {
        MakeApp();
        StunTiming fast;
        fast.rtoMs = 50;
        fast.transmissions = 3;
        fast.lastWaitFactor = 2;
        fast.capMs = 400;
        View()->SetStunTiming(fast);
        View()->SetStunServerDialogRunner([this](CStunServerDlg& dlg) {
            dlg.show();
            m_title = dlg.windowTitle();
            m_prefilled = dlg.ServerEdit()->text();
            dlg.ServerEdit()->setText(m_answer);
            dlg.Server2Edit()->setText(m_answer2);
            dlg.accept();
            return dlg.result();
        });
        StartUp();
    }

    bool Enabled(int id) const { return Frame()->Command(id)->isEnabled(); }
    QString Ini() const { return QString::fromLatin1(ReadFile(m_ini)); }

    QString m_answer;
    QString m_answer2;
    QString m_prefilled;
    QString m_title;
};

struct DialogRow {
    const char* name;
    const char* server;
    const char* server2;
    const char* saved;  // STUN_SERVER afterwards
    QString message;    // the box shown, if any
    bool runs;
};

// OK writes STUN_SERVER only, beside the other keys; a refused input saves and starts nothing.
TEST_F(CheckFlowStun, DialogReadsAndWritesStunServerAndChecksInput) {
    WriteIni(
        "[Setting]\r\nSTUN1_IP=127.0.0.2\r\nSTUN1_PORT=47911\r\nSTUN2_IP=127.0.0.3\r\n"
        "STUN2_PORT=47912\r\nFRIEND_IP=0.0.0.0\r\nSTUN_SERVER=127.0.0.2:9\r\n"
        "REPORT=report@tarnwick.test\r\n");
    // clang-format off
    const DialogRow rows[] = {
        {.name = "empty host", .server = "", .server2 = "", .saved = "127.0.0.2:9", .message = kNeedHost, .runs = false},
        {.name = "bad port", .server = "127.0.0.3:99999", .server2 = "", .saved = "127.0.0.2:9", .message = kBadPort, .runs = false},
        {.name = "bad second", .server = "127.0.0.3:9", .server2 = "127.0.0.3:x", .saved = "127.0.0.2:9", .message = kBadPort, .runs = false},
        {.name = "ok", .server = " 127.0.0.3:9 ", .server2 = "", .saved = "127.0.0.3:9", .message = {}, .runs = true},
        {.name = "ok, two servers", .server = "127.0.0.2", .server2 = "127.0.0.3:9", .saved = "127.0.0.2", .message = {}, .runs = true},
    };
    // clang-format on
    StartWindow();
    const QString before = Ini();
    QString lastSaved = QStringLiteral("127.0.0.2:9");
    for (const DialogRow& row : rows) {
        m_messages.clear();
        m_answer = QString::fromLatin1(row.server);
        m_answer2 = QString::fromLatin1(row.server2);
        Frame()->ExecuteCommand(cmd::kStandardStunCheck);
        EXPECT_EQ(m_prefilled, lastSaved) << row.name;
        EXPECT_EQ(m_messages, row.message.isEmpty() ? QStringList() : QStringList{row.message})
            << row.name;
        EXPECT_EQ(View()->StunCheckRunning(), row.runs) << row.name;
        EXPECT_EQ(LoadStunServerText(m_ini.toStdString()), row.saved) << row.name;
        View()->StopBackgroundRun();
        lastSaved = QString::fromLatin1(row.saved);
    }
    // Every other line stays as it was.
    QString after = Ini();
    after.replace(QStringLiteral("STUN_SERVER=127.0.0.2\r\n"),
                  QStringLiteral("STUN_SERVER=127.0.0.2:9\r\n"));
    EXPECT_EQ(after, before);
    EXPECT_TRUE(Enabled(cmd::kStartNatDetect));
    EXPECT_TRUE(Enabled(cmd::kStandardStunCheck));
}

struct RunRow {
    const char* name;
    QString server;  // %1: the responder's port
    bool summary;
    QString logged;
};

// A run's lines reach the log on the window's thread, whole and in order, then both commands
// come back; names go through the resolver on the run's thread.
TEST_F(CheckFlowStun, RunShowsTheSummaryInTheLogAndReenablesTheCommands) {
    CTestStunResponder responder;
    ASSERT_TRUE(responder.Start());
    const QString port = QString::number(responder.Primary().port);
    // clang-format off
    const RunRow rows[] = {
        {.name = "dotted", .server = QStringLiteral("127.0.0.2:%1"), .summary = true, .logged = QStringLiteral("    STUN server: 127.0.0.2:%1\n")},
        {.name = "host name", .server = QStringLiteral("stun.lab.test:%1"), .summary = true, .logged = QStringLiteral("127.0.0.2:%1 (stun.lab.test)\n")},
        {.name = "unknown name", .server = QStringLiteral("nowhere.lab.test:%1"), .summary = false, .logged = QStringLiteral("Cannot resolve STUN server address \"nowhere.lab.test\": Name or service not known\n")},
    };
    // clang-format on
    SetHostResolver([](const std::string& name) {
        HostLookup found;
        found.ok = name == "stun.lab.test";
        found.addressNet = found.ok ? qToBigEndian(quint32{0x7F000002}) : 0;
        found.error = found.ok ? "" : "Name or service not known";
        return found;
    });
    StartWindow();
    for (const RunRow& row : rows) {
        View()->clear();
        m_answer = row.server.arg(port);
        Frame()->ExecuteCommand(cmd::kStandardStunCheck);
        ASSERT_TRUE(View()->StunCheckRunning()) << row.name;
        EXPECT_FALSE(Enabled(cmd::kStartNatDetect)) << row.name;
        EXPECT_FALSE(Enabled(cmd::kStandardStunCheck)) << row.name;
        // F5 while it runs starts nothing.
        View()->OnStartNatDetect();
        EXPECT_FALSE(View()->CheckModule().IsChecking()) << row.name;
        ASSERT_TRUE(WaitUntil([this] { return !View()->StunCheckRunning(); }, 20000)) << row.name;
        EXPECT_TRUE(Enabled(cmd::kStartNatDetect)) << row.name;
        EXPECT_TRUE(Enabled(cmd::kStandardStunCheck)) << row.name;
        const QString text = View()->toPlainText();
        const QString logged =
            row.logged.contains(QStringLiteral("%1")) ? row.logged.arg(port) : row.logged;
        EXPECT_TRUE(text.contains(logged)) << row.name << "\n" << text.toStdString();
        const qsizetype start = text.indexOf(QStringLiteral("Start STUN NAT behaviour discovery"));
        const qsizetype summary =
            text.indexOf(QStringLiteral("STUN NAT Behaviour Discovery Result Summarize"));
        EXPECT_EQ(summary >= 0, row.summary) << row.name;
        if (!row.summary)
            continue;
        EXPECT_GT(summary, start) << row.name;
        ASSERT_TRUE(View()->LastStunOutcome().has_value()) << row.name;
        const StunOutcome& outcome = *View()->LastStunOutcome();
        EXPECT_TRUE(outcome.finished) << row.name;
        // The verdicts follow the heading as one block, each a whole line.
        QString block;
        for (const std::string& line : outcome.lines)
            block += QString::fromStdString(line) + QLatin1Char('\n');
        ASSERT_FALSE(outcome.lines.empty()) << row.name;
        EXPECT_GT(text.indexOf(block, summary), summary) << row.name << "\n" << text.toStdString();
    }
}

enum class Second { None, OtherIp, SameIp };

struct MeaningRow {
    const char* name;
    int command;
    bool otherAddress;  // the server sends OTHER-ADDRESS (RFC 5780)
    Second second;      // a second server: the RFC 5780 responder's other or primary address
    bool suggestion;
};

// A finished run ends with the suggestion of a second server where it would settle the mapping,
// then the peer-to-peer block of the command-line client; Ctrl+Shift+F5 runs quick mode.
TEST_F(CheckFlowStun, FinishedRunEndsWithTheP2pBlockAndWhereItHelpsASecondServersSuggestion) {
    CTestStunResponder rfc5780;
    CTestStunResponder plain;
    plain.SetNoOtherAddress();
    ASSERT_TRUE(rfc5780.Start());
    ASSERT_TRUE(plain.Start());
    const auto text = [](const Ipv4Endpoint& e) {
        return QString::fromStdString(FormatIpv4Endpoint(e));
    };
    const QString suggestion = QStringLiteral(
        "\nWithout RFC 5780 the mapping behaviour needs a second STUN server on another IP "
        "address: enter one in the dialog's \"Second server\" field and run the check again.\n");
    // clang-format off
    const MeaningRow rows[] = {
        {.name = "full", .command = cmd::kStandardStunCheck, .otherAddress = true, .second = Second::None, .suggestion = false},
        {.name = "quick", .command = cmd::kQuickStunCheck, .otherAddress = true, .second = Second::None, .suggestion = false},
        {.name = "no OTHER-ADDRESS", .command = cmd::kStandardStunCheck, .otherAddress = false, .second = Second::None, .suggestion = true},
        {.name = "no OTHER-ADDRESS, quick", .command = cmd::kQuickStunCheck, .otherAddress = false, .second = Second::None, .suggestion = true},
        {.name = "second on another IP", .command = cmd::kStandardStunCheck, .otherAddress = false, .second = Second::OtherIp, .suggestion = false},
        {.name = "second on the same IP", .command = cmd::kStandardStunCheck, .otherAddress = false, .second = Second::SameIp, .suggestion = true},
    };
    // clang-format on
    StartWindow();
    for (const MeaningRow& row : rows) {
        View()->clear();
        m_answer = text((row.otherAddress ? rfc5780 : plain).Primary());
        m_answer2 = row.second == Second::None      ? QString()
                    : row.second == Second::OtherIp ? text(rfc5780.Other())
                                                    : text(rfc5780.Primary());
        Frame()->ExecuteCommand(row.command);
        ASSERT_TRUE(View()->StunCheckRunning()) << row.name;
        EXPECT_FALSE(Enabled(cmd::kQuickStunCheck)) << row.name;
        ASSERT_TRUE(WaitUntil([this] { return !View()->StunCheckRunning(); }, 20000)) << row.name;
        EXPECT_TRUE(Enabled(cmd::kQuickStunCheck)) << row.name;
        const bool quick = row.command == cmd::kQuickStunCheck;
        EXPECT_EQ(m_title, quick ? QStringLiteral("Quick Standard STUN Check")
                                 : QStringLiteral("Standard STUN Check"))
            << row.name;
        const QString log = View()->toPlainText();
        EXPECT_EQ(log.contains(QStringLiteral("Quick mode: after test I")), quick) << row.name;
        ASSERT_TRUE(View()->LastStunOutcome().has_value()) << row.name;
        const StunOutcome& outcome = *View()->LastStunOutcome();
        ASSERT_TRUE(outcome.Determined()) << row.name << "\n" << log.toStdString();
        // The block closes the log, after the summary's frame and the suggestion.
        QString block = QStringLiteral("\n");
        for (const std::string& line : P2pMeaningLines(MeaningOfStun(outcome)))
            block += QString::fromStdString(line) + QLatin1Char('\n');
        const QString frame = QStringLiteral("*\n");
        EXPECT_TRUE(log.endsWith(frame + (row.suggestion ? suggestion : QString()) + block))
            << row.name << "\n"
            << log.toStdString();
        EXPECT_EQ(outcome.mappingEndpointIndependent.has_value(), !row.suggestion) << row.name;
    }
}

struct ProgressRow {
    const char* name;
    int command;
    int maximum;  // s: the waiting test I's give-up and the worst case of every later request
};

// Nobody answers: the bar counts up towards the run's worst case and goes when the run ends.
TEST_F(CheckFlowStun, ProgressBarCountsTowardsTheWorstCaseAndGoesAtTheEnd) {
    // clang-format off
    const ProgressRow rows[] = {
        // Test I gives up at 1.5 s, and up to seven more requests may follow it, one by one.
        {.name = "full", .command = cmd::kStandardStunCheck, .maximum = 12},
        // Test I gives up at 3 s; then the tests at once and the hairpinned request, 2 s each.
        {.name = "quick", .command = cmd::kQuickStunCheck, .maximum = 7},
    };
    // clang-format on
    StartWindow();
    StunTiming timing;  // 0, 0.25 and 0.75 s, given up at the cap
    timing.rtoMs = 250;
    timing.transmissions = 3;
    timing.capMs = 1500;
    View()->SetStunTiming(timing);
    QProgressBar* bar = Frame()->CheckProgressBar();
    m_answer = QStringLiteral("127.0.0.2:9");
    for (const ProgressRow& row : rows) {
        Frame()->ExecuteCommand(row.command);
        ASSERT_TRUE(View()->StunCheckRunning()) << row.name;
        // The runner's own bound, as soon as it reports one: waiting for a second to pass instead
        // leaves half a second before the run gives up, too little on a busy machine.
        ASSERT_TRUE(WaitUntil([bar] { return bar->isVisible() && bar->maximum() > 1; }))
            << row.name;
        // A late timer may push the end a little.
        EXPECT_GE(bar->maximum(), row.maximum) << row.name;
        EXPECT_LE(bar->maximum(), row.maximum + 1) << row.name;
        ASSERT_TRUE(WaitUntil([this] { return !View()->StunCheckRunning(); })) << row.name;
        EXPECT_FALSE(bar->isVisible()) << row.name;
        EXPECT_EQ(Frame()->statusBar()->currentMessage(), QStringLiteral("Ready")) << row.name;
    }
}

// The NAT check and the STUN check never share the log: each refuses while the other runs.
TEST_F(CheckFlowStun, StunCommandDuringTheNatCheckIsRefusedWithALine) {
    StartWindow();
    View()->ResultPresenter().SetDialogRunner([](CResultDlg&) { return int{QDialog::Rejected}; });
    m_answer = QStringLiteral("127.0.0.2:9");
    Frame()->ExecuteCommand(cmd::kStartNatDetect);
    ASSERT_TRUE(View()->CheckModule().IsChecking());
    m_prefilled = QStringLiteral("(not asked)");
    Frame()->ExecuteCommand(cmd::kStandardStunCheck);
    EXPECT_FALSE(View()->StunCheckRunning());
    EXPECT_EQ(m_prefilled, QStringLiteral("(not asked)"));
    EXPECT_TRUE(View()->toPlainText().endsWith(
        QStringLiteral("The NAT check is running; start the STUN check when it has ended.\n")));
    for (int i = 0; i < 30 && View()->CheckModule().IsChecking(); ++i)
        View()->CheckModule().OnTick(0);
}

TEST_F(CheckFlowStun, ClosingDuringARunStopsItWithoutHanging) {
    StartWindow();
    // Nobody answers there, and the default waits would take 9.5 s per transaction.
    View()->SetStunTiming(StunTiming{});
    m_answer = QStringLiteral("127.0.0.2:9");
    Frame()->show();
    Frame()->ExecuteCommand(cmd::kStandardStunCheck);
    ASSERT_TRUE(View()->StunCheckRunning());
    ASSERT_TRUE(WaitUntil([this] {
        return View()->toPlainText().contains(QStringLiteral("Test I: Binding request"));
    }));
    QElapsedTimer timer;
    timer.start();
    Frame()->close();
    EXPECT_FALSE(View()->StunCheckRunning());
    m_app.reset();
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_EQ(theLog.OutputWindow(), nullptr);
}

}  // namespace
}  // namespace apptest
