// The running check in the window: its progress in the status bar, the stop command (Esc and the
// menu) for both kinds of check, and the lines that explain a failed start-up, example servers
// and a full log. Servers on loopback only; ports chosen by the system.
#include <QLineEdit>
#include <QProgressBar>
#include <QStatusBar>
#include <QTest>

#include "app/command_ids.h"
#include "app/main_frame.h"
#include "app/stun_server_dlg.h"
#include "app_fixture.h"
#include "net/socket_layer.h"

namespace apptest {
namespace {

const QString kStopped = QStringLiteral("NAT Check stopped by the user.\n");

class CheckFlowProgress : public AppFixture {
protected:
    // The window up, the result dialog answered with Cancel and counted.
    void StartWindow() {
        MakeApp();
        View()->ResultPresenter().SetDialogRunner([this](CResultDlg&) {
            ++m_results;
            return int{QDialog::Rejected};
        });
        StartUp();
    }

    void PressKey(int key) {
        Frame()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(Frame()));
        QTest::keyClick(View(), static_cast<Qt::Key>(key));
    }

    bool Enabled(int id) const { return Frame()->Command(id)->isEnabled(); }
    QString Status() const { return Frame()->statusBar()->currentMessage(); }
    QProgressBar* Bar() const { return Frame()->CheckProgressBar(); }

    int m_results = 0;
};

TEST_F(CheckFlowProgress, StatusBarNamesTheTestAndCountsDown) {
    StartWindow();
    EXPECT_FALSE(Enabled(cmd::kStopNatDetect));
    EXPECT_FALSE(Bar()->isVisible());
    Frame()->ExecuteCommand(cmd::kStartNatDetect);
    ASSERT_TRUE(View()->CheckModule().IsChecking());
    // Nobody answers on 127.0.0.2: the first step waits out its 13 ticks, and the longest path
    // still ahead is twelve more such steps.
    EXPECT_EQ(
        Status(),
        QStringLiteral("Incoming filter test: waiting for Server1 binding reply, 13 s at most"));
    EXPECT_TRUE(Bar()->isVisible());
    EXPECT_GE(Bar()->maximum(), 169);
    // The bar says the elapsed time and the bound of the whole check; the pane stays short
    // enough for the window's default width.
    EXPECT_TRUE(Bar()->text().startsWith(QStringLiteral("0:0"))) << Bar()->text().toStdString();
    EXPECT_TRUE(Bar()->text().endsWith(QStringLiteral(" / 2:49"))) << Bar()->text().toStdString();
    EXPECT_LT(Frame()->statusBar()->fontMetrics().horizontalAdvance(Status()),
              Frame()->width() - Bar()->width() - 200);
    EXPECT_FALSE(Enabled(cmd::kStartNatDetect));
    EXPECT_TRUE(Enabled(cmd::kStopNatDetect));

    for (int i = 0; i < 3; ++i)
        View()->CheckModule().OnTick(0);
    EXPECT_TRUE(WaitUntil([this] {
        return Status().endsWith(QStringLiteral("10 s at most")) &&
               Bar()->text().endsWith(QStringLiteral(" / 2:46"));
    })) << Status().toStdString();

    // Its time-out ends the check: start again, stop off, the bar gone, the pane "Ready".
    for (int i = 0; i < 30 && View()->CheckModule().IsChecking(); ++i)
        View()->CheckModule().OnTick(0);
    ASSERT_FALSE(View()->CheckModule().IsChecking());
    EXPECT_EQ(m_results, 1);
    EXPECT_TRUE(Enabled(cmd::kStartNatDetect));
    EXPECT_FALSE(Enabled(cmd::kStopNatDetect));
    EXPECT_FALSE(Bar()->isVisible());
    EXPECT_EQ(Status(), QStringLiteral("Ready"));
}

struct StopRow {
    const char* name;
    bool escape;  // the key, or else the menu command
    int start = cmd::kStartNatDetect;
};

TEST_F(CheckFlowProgress, StopEndsTheCheckWithALineAndTheWindowGoesOn) {
    const StopRow rows[] = {{.name = "Esc", .escape = true},
                            {.name = "menu", .escape = false},
                            {.name = "EscQuick", .escape = true, .start = cmd::kQuickNatDetect}};
    StartWindow();
    for (const StopRow& row : rows) {
        Frame()->ExecuteCommand(row.start);
        ASSERT_TRUE(View()->CheckModule().IsChecking()) << row.name;
        // One check at a time, whichever kind.
        EXPECT_FALSE(Enabled(cmd::kStartNatDetect)) << row.name;
        EXPECT_FALSE(Enabled(cmd::kQuickNatDetect)) << row.name;
        View()->CheckModule().OnTick(0);
        if (row.escape) {
            PressKey(Qt::Key_Escape);
        } else {
            Frame()->ExecuteCommand(cmd::kStopNatDetect);
        }
        EXPECT_FALSE(View()->CheckModule().IsChecking()) << row.name;
        EXPECT_EQ(View()->CheckModule().Prober().Step(), StepIdle) << row.name;
        const QString text = View()->toPlainText();
        EXPECT_TRUE(text.endsWith(kStopped)) << row.name << text.toStdString();
        EXPECT_TRUE(Enabled(cmd::kStartNatDetect)) << row.name;
        EXPECT_TRUE(Enabled(cmd::kQuickNatDetect)) << row.name;
        EXPECT_FALSE(Enabled(cmd::kStopNatDetect)) << row.name;
        EXPECT_FALSE(Bar()->isVisible()) << row.name;
        EXPECT_EQ(Status(), QStringLiteral("Ready")) << row.name;
        // A fresh network module answers other copies again, as after a finished check.
        EXPECT_NE(View()->CheckModule().Network(), nullptr) << row.name;
        // The abandoned check never times out into a summary or a result dialog.
        for (int i = 0; i < 30; ++i)
            View()->CheckModule().OnTick(0);
        QCoreApplication::processEvents();
        EXPECT_EQ(View()->toPlainText(), text) << row.name;
        EXPECT_EQ(m_results, 0) << row.name;
    }
    // Stop with nothing running writes nothing.
    const QString before = View()->toPlainText();
    View()->OnStopNatDetect();
    EXPECT_EQ(View()->toPlainText(), before);
}

TEST_F(CheckFlowProgress, EscStopsTheStandardStunCheck) {
    StartWindow();
    // Nobody answers there, and the default waits would take 9.5 s per transaction.
    View()->SetStunServerDialogRunner([](CStunServerDlg& dlg) {
        dlg.show();
        dlg.ServerEdit()->setText(QStringLiteral("127.0.0.2:9"));
        dlg.accept();
        return dlg.result();
    });
    Frame()->ExecuteCommand(cmd::kStandardStunCheck);
    ASSERT_TRUE(View()->StunCheckRunning());
    EXPECT_TRUE(Enabled(cmd::kStopNatDetect));
    ASSERT_TRUE(WaitUntil([this] {
        return View()->toPlainText().contains(QStringLiteral("Test I: Binding request"));
    }));
    PressKey(Qt::Key_Escape);
    EXPECT_FALSE(View()->StunCheckRunning());
    EXPECT_TRUE(WaitUntil([this] {
        return View()->toPlainText().endsWith(
            QStringLiteral("Standard STUN check stopped by the user.\n"));
    })) << View()->toPlainText().toStdString();
    EXPECT_TRUE(Enabled(cmd::kStartNatDetect));
    EXPECT_TRUE(Enabled(cmd::kStandardStunCheck));
    EXPECT_FALSE(Enabled(cmd::kStopNatDetect));
    EXPECT_FALSE(View()->LastStunOutcome().has_value());
}

TEST_F(CheckFlowProgress, HeldPortIsNamedBeforeTheFailureText) {
    const SocketHandle busy = MakeAppWithPort9802Held();
    ASSERT_NE(busy, kInvalidSocket);
    StartUp();
    const QString expected =
        QStringLiteral(
            "\nCannot open the local UDP port %1: another program holds it, perhaps another copy "
            "of this one.\nInit WinSock2.0 fail...I have to exit program\n")
            .arg(SocketLocalPort(busy));
    EXPECT_TRUE(View()->toPlainText().endsWith(expected)) << View()->toPlainText().toStdString();
    CloseSocket(busy);
}

struct ExampleRow {
    const char* name;
    const char* ini;
    bool note;
};

TEST_F(CheckFlowProgress, ExampleServersAreNamedBeforeTheCheckAsksThem) {
    const QString note = QStringLiteral(
        "Init NAT Check module success...\nThe settings still name the built-in example servers "
        "192.168.0.55 and 192.168.0.97, which answer nobody: enter your servers in File > STUN "
        "Setting..., or use File > Standard STUN Check... with a public STUN server.\n\nSTUN "
        "Server Information:\n");
    // clang-format off
    const ExampleRow rows[] = {
        {.name = "no file: the examples", .ini = nullptr, .note = true},
        {.name = "one example left", .ini = "[Setting]\nSTUN1_IP=127.0.0.2\nSTUN1_PORT=47911\n", .note = true},
        {.name = "own servers", .ini = "[Setting]\nSTUN1_IP=127.0.0.2\nSTUN1_PORT=47911\nSTUN2_IP=127.0.0.3\nSTUN2_PORT=47912\n", .note = false},
    };
    // clang-format on
    StartWindow();
    for (const ExampleRow& row : rows) {
        QFile::remove(m_ini);
        if (row.ini != nullptr)
            WriteIni(row.ini);
        View()->clear();
        // Without a network module nothing is sent: the example addresses are not loopback.
        View()->CheckModule().Stop();
        theLog.WriteLine("Init NAT Check module success...");
        ASSERT_TRUE(View()->CheckModule().BeginCheck()) << row.name;
        ASSERT_TRUE(View()->CheckModule().IsChecking()) << row.name;
        EXPECT_EQ(View()->toPlainText().contains(note), row.note)
            << row.name << View()->toPlainText().toStdString();
        EXPECT_TRUE(View()->CheckModule().StopCheck()) << row.name;
    }
}

struct FullRow {
    const char* name;
    int filled;       // characters in the log before the check writes
    bool noticeLine;  // the notice fits as the last line
};

TEST_F(CheckFlowProgress, FullLogIsToldOnceInTheLogAndTheStatusBar) {
    // clang-format off
    const FullRow rows[] = {
        {.name = "room for the notice", .filled = kLogTextLimit - 1000, .noticeLine = true},
        {.name = "filled to the brim", .filled = kLogTextLimit - 5, .noticeLine = false},
    };
    // clang-format on
    MakeApp();
    const QString notice = CGatewiseView::LogFullText();
    EXPECT_TRUE(notice.startsWith(QStringLiteral("The log is full (1048575 characters)")));
    for (const FullRow& row : rows) {
        View()->OnClearLog();
        ASSERT_EQ(Status(), QStringLiteral("Ready")) << row.name;
        View()->setPlainText(QString(row.filled, QLatin1Char('x')));
        theLog.SetOutputWindow(View());
        for (int i = 0; i < 40; ++i)
            theLog.WriteLine("%s", std::string(60, static_cast<char>('a' + i % 26)).c_str());
        theLog.SetOutputWindow(nullptr);
        const QString text = View()->toPlainText();
        EXPECT_LE(text.size(), kLogTextLimit) << row.name;
        EXPECT_EQ(text.count(notice), row.noticeLine ? 1 : 0) << row.name;
        EXPECT_EQ(text.endsWith(QLatin1Char('\n') + notice + QLatin1Char('\n')), row.noticeLine)
            << row.name;
        EXPECT_EQ(Status(), notice) << row.name;
    }
    View()->OnClearLog();
    EXPECT_EQ(Status(), QStringLiteral("Ready"));
}

}  // namespace
}  // namespace apptest
