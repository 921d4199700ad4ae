// The mapping lifetime test and the port-mapping check in the window: their dialogs, runs on a
// thread of their own against gatewise-server's Server1 on 127.0.0.2 (in this process), Esc and
// closing. The port-mapping check asks the default gateway, so it runs only where that gateway is
// on loopback: in the network namespace of its own that CMake gives it (in_netns.sh).
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>
#include <memory>

#include "app/command_ids.h"
#include "app/lifetime_dlg.h"
#include "app/main_frame.h"
#include "app_fixture.h"
#include "core/host_resolver.h"
#include "core/sys_inet.h"
#include "engine/p2p_meaning.h"
#include "loopback_servers.h"
#include "net/default_gateway.h"

namespace apptest {
namespace {

class BackgroundFixture : public AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        // No name reaches the system's resolver.
        SetHostResolver([](const std::string&) {
            HostLookup none;
            none.error = "Name or service not known";
            return none;
        });
    }
    void TearDown() override {
        AppFixture::TearDown();
        SetHostResolver({});
    }
    void StartWindow(std::uint16_t server1Port) {
        WriteIni(QStringLiteral("[Setting]\r\nSTUN1_IP=127.0.0.2\r\nSTUN1_PORT=%1\r\nSTUN2_IP="
                                "127.0.0.3\r\nSTUN2_PORT=%1\r\nFRIEND_IP=0.0.0.0\r\n")
                     .arg(server1Port)
                     .toLatin1());
        MakeApp();
        StartUp();
    }
    bool Enabled(int id) const { return Frame()->Command(id)->isEnabled(); }
    QString Log() const { return View()->toPlainText(); }
    // Every start command rests while a run goes on; the stop command does not.
    void ExpectCommandsWhileRunning(bool running, const char* name) const {
        for (const int id : {cmd::kStartNatDetect, cmd::kQuickNatDetect, cmd::kStandardStunCheck,
                             cmd::kQuickStunCheck, cmd::kPortMapCheck, cmd::kMappingLifetime})
            EXPECT_EQ(Enabled(id), !running) << name << " " << id;
        EXPECT_EQ(Enabled(cmd::kStopNatDetect), running) << name;
    }
    // While a run of that name goes on, Esc (or closing the window) ends it at once; Esc adds
    // a line of its own.
    void ExpectStopped(bool close, const QString& name) {
        EXPECT_EQ(Frame()->statusBar()->currentMessage(),
                  name + QStringLiteral(" running; Esc stops it."));
        QElapsedTimer timer;
        timer.start();
        if (close)
            Frame()->close();
        else
            Frame()->ExecuteCommand(cmd::kStopNatDetect);
        EXPECT_FALSE(View()->BackgroundRunning()) << close;
        EXPECT_LT(timer.elapsed(), 1000) << close;
        if (close)
            return;
        const QString line = name + QStringLiteral(" stopped by the user.\n");
        EXPECT_TRUE(WaitUntil([&] { return Log().endsWith(line); })) << Log().toStdString();
        ExpectCommandsWhileRunning(false, "stopped");
    }
    QString Block(const std::vector<std::string>& lines) const {
        QString block = QStringLiteral("\n");
        for (const std::string& line : lines)
            block += QString::fromStdString(line) + QLatin1Char('\n');
        return block;
    }
};

using CheckFlowLifetime = BackgroundFixture;

struct LifetimeDialogRow {
    const char* name;
    int max;
    const char* server;
    QString message;  // the box shown, if any
    QString logged;   // at the end of the log once the run is over; empty: still running
};

// The dialog's values reach the test or are refused; they are offered again next time.
TEST_F(CheckFlowLifetime, DialogValuesStartTheTestOrAreRefused) {
    const QString badPort = QStringLiteral("Please enter a port from 1 to 65535.");
    // clang-format off
    const LifetimeDialogRow rows[] = {
        {.name = "bad server", .max = 30, .server = "127.0.0.2:0", .message = badPort, .logged = {}},
        {.name = "name that cannot be resolved", .max = 20, .server = "nowhere.invalid", .message = {}, .logged = QStringLiteral("Cannot resolve STUN server address \"nowhere.invalid\"")},
        {.name = "silent server", .max = 1200, .server = "127.0.0.2:9", .message = {}, .logged = {}},
    };
    // clang-format on
    StartWindow(9);
    LifetimeDialogRow shown{.name = "",
                            .max = CLifetimeDlg::kDefaultSeconds,
                            .server = "",
                            .message = {},
                            .logged = {}};
    std::uint64_t maxMs = 0;
    QString duration;
    View()->SetLifetimeConfigHook([&maxMs](LifetimeConfig& c) { maxMs = c.maxMs; });
    for (const LifetimeDialogRow& row : rows) {
        m_messages.clear();
        View()->clear();
        maxMs = 0;
        View()->SetLifetimeDialogRunner([&](CLifetimeDlg& dlg) {
            dlg.show();
            EXPECT_EQ(dlg.MaxBox()->value(), shown.max) << row.name;
            EXPECT_EQ(dlg.ServerEdit()->text(), QString::fromLatin1(shown.server)) << row.name;
            dlg.MaxBox()->setValue(row.max);
            dlg.ServerEdit()->setText(QString::fromLatin1(row.server));
            duration = dlg.DurationText();
            dlg.accept();
            return dlg.result();
        });
        Frame()->ExecuteCommand(cmd::kMappingLifetime);
        EXPECT_EQ(m_messages, row.message.isEmpty() ? QStringList() : QStringList{row.message})
            << row.name;
        if (!row.message.isEmpty()) {
            EXPECT_FALSE(View()->BackgroundRunning()) << row.name;
            continue;
        }
        shown = row;
        EXPECT_EQ(maxMs, static_cast<std::uint64_t>(row.max) * 1000) << row.name;
        if (row.logged.isEmpty()) {
            // The dialog says what the log says at the start: how long the test may take.
            ASSERT_TRUE(duration.startsWith(QStringLiteral("The test takes at most ")));
            duration.replace(QStringLiteral("The test takes"), QStringLiteral("the test takes"));
            duration.chop(1);
            ASSERT_TRUE(WaitUntil([&] {
                return Log().contains(QStringLiteral("Idle times up to 1200 s; ") + duration);
            })) << duration.toStdString()
                << "\n"
                << Log().toStdString();
            EXPECT_EQ(View()->RunningKind(), BackgroundKind::Lifetime);
            View()->StopBackgroundRun();
            continue;
        }
        ASSERT_TRUE(WaitUntil([this] { return !View()->BackgroundRunning(); })) << row.name;
        EXPECT_TRUE(Log().contains(row.logged)) << row.name << "\n" << Log().toStdString();
        EXPECT_FALSE(Log().contains(QStringLiteral("Start NAT mapping lifetime test"))) << row.name;
    }
}

// Against gatewise-server on loopback no mapping expires: "more than MAX", the keep-alive advice
// and the sentence for peer-to-peer. Server1 of the settings is asked when the field is empty.
TEST_F(CheckFlowLifetime, OnLoopbackTheMappingOutlivesMaxAndTheAdviceFollows) {
    CLoopbackServers servers;
    ASSERT_TRUE(servers.Start());
    StartWindow(servers.Port());
    View()->SetLifetimeDialogRunner([](CLifetimeDlg& dlg) {
        dlg.show();
        dlg.MaxBox()->setValue(10);
        dlg.accept();
        return dlg.result();
    });
    // Idle trials of 1 and 2 s instead of 5 and 10, and a probe given up after 0.5 s.
    View()->SetLifetimeConfigHook([](LifetimeConfig& c) {
        c.maxMs = 2000;
        c.firstIdleMs = 1000;
        c.timing.rtoMs = 100;
        c.timing.capMs = 1000;
        c.probeIntervalMs = 100;
        c.probeLastWaitMs = 200;
    });
    Frame()->ExecuteCommand(cmd::kMappingLifetime);
    ASSERT_EQ(View()->RunningKind(), BackgroundKind::Lifetime);
    ExpectCommandsWhileRunning(true, "running");
    QProgressBar* bar = Frame()->CheckProgressBar();
    EXPECT_TRUE(bar->isVisible());
    EXPECT_GE(bar->maximum(), 1);
    ASSERT_TRUE(WaitUntil([this] { return !View()->BackgroundRunning(); }, 15000));
    ExpectCommandsWhileRunning(false, "ended");
    EXPECT_FALSE(bar->isVisible());
    ASSERT_TRUE(View()->LastLifetimeOutcome().has_value());
    const LifetimeOutcome& outcome = *View()->LastLifetimeOutcome();
    const QString log = Log();
    EXPECT_TRUE(log.contains(QStringLiteral("    STUN server: 127.0.0.2:%1\n").arg(servers.Port())))
        << log.toStdString();
    EXPECT_EQ(outcome.lines.front(), "MAPPING LIFETIME: more than 2 s") << log.toStdString();
    EXPECT_EQ(outcome.lines.at(1), "KEEP-ALIVE: send something at least every 1 s");
    EXPECT_TRUE(
        log.endsWith(QStringLiteral("*\n") + Block({kP2pHeading, "", KeepAliveSentence(outcome)})))
        << log.toStdString();
}

// Esc ends a run at once with a line of its own; closing the window ends it without hanging.
// Nobody answers at 127.0.0.2:9.
TEST_F(CheckFlowLifetime, EscAndClosingStopTheRun) {
    for (const bool close : {false, true}) {
        StartWindow(9);
        View()->SetLifetimeDialogRunner([](CLifetimeDlg&) { return int{QDialog::Accepted}; });
        Frame()->ExecuteCommand(cmd::kMappingLifetime);
        ASSERT_TRUE(View()->BackgroundRunning()) << close;
        ASSERT_TRUE(WaitUntil([this] {
            return Log().contains(QStringLiteral("from the probing socket..."));
        })) << close;
        ExpectStopped(close, QStringLiteral("Mapping lifetime test"));
        if (!close) {
            EXPECT_FALSE(View()->LastLifetimeOutcome().has_value());
        }
        m_app.reset();
    }
}

// STUN Server1 of the settings zero: the test does not start, and the log says why.
TEST_F(CheckFlowLifetime, ZeroServer1StartsNoTest) {
    StartWindow(0);
    View()->SetLifetimeDialogRunner([](CLifetimeDlg&) { return int{QDialog::Accepted}; });
    Frame()->ExecuteCommand(cmd::kMappingLifetime);
    ASSERT_TRUE(WaitUntil([this] { return !View()->BackgroundRunning(); }));
    EXPECT_TRUE(Log().endsWith(
        QStringLiteral("STUN Server1 of the settings has no address or port (File > STUN "
                       "Setting...): no lifetime test was started.\n")))
        << Log().toStdString();
}

// Run in a network namespace whose default gateway is 127.0.0.4, where nothing answers.
using IsolatedPortMap = BackgroundFixture;

bool GatewayOnLoopback() {
    const std::optional<DefaultGateway> gw = FindDefaultGateway();
    return gw && (ntohl(gw->gatewayNet) >> 24) == 127;
}

// Nothing answers: "nothing present" within about 3 s, the sentence, and the result dialog
// with the summary and the details, offering no report.
TEST_F(IsolatedPortMap, NoGatewayServiceEndsSoonWithNothingPresent) {
    if (!GatewayOnLoopback())
        GTEST_SKIP() << "needs a default gateway on loopback (tests/app/in_netns.sh)";
    CLoopbackServers servers;
    ASSERT_TRUE(servers.Start());
    StartWindow(servers.Port());
    QString title;
    bool reportShown = true;
    std::vector<std::string> shownLines;
    QString details;
    View()->ResultPresenter().SetDialogRunner([&](CResultDlg& dlg) {
        dlg.show();
        title = dlg.windowTitle();
        reportShown = dlg.ReportBox()->isVisible();
        shownLines = dlg.m_lines;
        details = dlg.DetailsView()->toPlainText();
        return int{QDialog::Accepted};
    });
    QElapsedTimer timer;
    timer.start();
    Frame()->ExecuteCommand(cmd::kPortMapCheck);
    ASSERT_EQ(View()->RunningKind(), BackgroundKind::PortMap);
    ExpectCommandsWhileRunning(true, "running");
    ASSERT_TRUE(WaitUntil([this] { return !View()->BackgroundRunning(); }, 10000));
    // The probe's 2 s and one exchange with Server1, with room for a busy machine.
    EXPECT_LT(timer.elapsed(), 4000);
    ExpectCommandsWhileRunning(false, "ended");
    ASSERT_TRUE(View()->LastPortMapOutcome().has_value());
    const PortMapOutcome& o = *View()->LastPortMapOutcome();
    const std::string upnp = o.upnpAvailable ? "UPnP NO" : "UPnP NOT ASKED (NOT IN THIS BUILD)";
    EXPECT_EQ(o.lines, (std::vector<std::string>{
                           "DEFAULT GATEWAY :    127.0.0.4",
                           "PORT MAPPING :    " + upnp + ", NAT-PMP NO, PCP NO",
                           "INBOUND THROUGH MAPPING :    NOT TRIED",
                           std::string("NAT LAYERS :    ") + NatLayersText(o.layers),
                       }));
    const std::string sentence = PortMapMeaningSentence(o);
    EXPECT_NE(sentence.find("does not open ports on request"), std::string::npos);
    EXPECT_TRUE(Log().endsWith(QStringLiteral("*\n") + Block({kP2pHeading, "", sentence})))
        << Log().toStdString();
    EXPECT_TRUE(Log().contains(QStringLiteral("Mapped address: 127.0.0.1\n")));
    EXPECT_EQ(title, QStringLiteral("Port Mapping"));
    EXPECT_FALSE(reportShown);
    EXPECT_EQ(shownLines.size(), o.lines.size());
    EXPECT_TRUE(details.startsWith(QString::fromLatin1(kP2pHeading) + QStringLiteral("\n\n") +
                                   QString::fromStdString(sentence)))
        << details.toStdString();
}

// Esc and closing end the check at once, as they end the other runs.
TEST_F(IsolatedPortMap, EscAndClosingStopTheCheck) {
    if (!GatewayOnLoopback())
        GTEST_SKIP() << "needs a default gateway on loopback (tests/app/in_netns.sh)";
    for (const bool close : {false, true}) {
        StartWindow(9);
        Frame()->ExecuteCommand(cmd::kPortMapCheck);
        ASSERT_TRUE(WaitUntil([this] {
            return Log().contains(QStringLiteral("UPnP: SSDP search to 127.0.0.4:1900"));
        })) << Log().toStdString();
        ExpectStopped(close, QStringLiteral("Port mapping check"));
        if (!close) {
            EXPECT_FALSE(View()->LastPortMapOutcome().has_value());
        }
        m_app.reset();
    }
}

}  // namespace
}  // namespace apptest
