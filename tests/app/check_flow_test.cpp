// The engine on the Qt thread: start-up, checks driven by keys and ticks, deliveries from the
// network threads, the result dialog inside the engine's summary, and closing during a check.
// Real sockets on loopback; ports chosen by the system.
#include <QCheckBox>
#include <QElapsedTimer>
#include <QTest>
#include <QtEndian>
#include <atomic>
#include <memory>
#include <thread>

#include "app/command_ids.h"
#include "app/qt_notify_target.h"
#include "app_fixture.h"
#include "core/host_resolver.h"
#include "engine/p2p_meaning.h"
#include "net/socket_layer.h"
#include "tests/core/temp_dir.h"

namespace apptest {
namespace {

class CheckFlow : public AppFixture {
protected:
    // Ticks the engine until the check ends (its step returns to idle); at most 30 ticks.
    bool TickUntilIdle() {
        for (int i = 0; i < 30 && View()->CheckModule().IsChecking(); ++i) {
            View()->CheckModule().OnTick(0);
            QCoreApplication::processEvents();
        }
        return !View()->CheckModule().IsChecking();
    }

    void PressKey(int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        Frame()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(Frame()));
        QTest::keyClick(View(), static_cast<Qt::Key>(key), mods);
    }
};

TEST_F(CheckFlow, StartUpBindsTheLogAndWritesTheBanner) {
    MakeApp();
    View()->insertPlainText(QStringLiteral("typed early\n"));
    StartUp();
    const QString text = View()->toPlainText();
    EXPECT_TRUE(text.startsWith(QStringLiteral(
        "typed early\nSTUN - Simple Traversal of User Datagram Protocol (UDP)Through Network "
        "Address Translators (NATs) Test Program\nUsing ")))
        << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral("\n\nPress F5 to start...\n"))) << text.toStdString();
    EXPECT_EQ(theLog.OutputWindow(), View());
    EXPECT_EQ(View()->LogFont().pixelSize(), 20);
    EXPECT_NE(View()->CheckModule().Network(), nullptr);
}

TEST_F(CheckFlow, FailedStartUpSaysSoAndClosesTheWindow) {
    // The friend port is taken, so the network side cannot open its sockets.
    const SocketHandle busy = MakeAppWithPort9802Held();
    ASSERT_NE(busy, kInvalidSocket);
    bool result = true;
    QObject::connect(View(), &CGatewiseView::startupFinished, [&](bool ok) { result = ok; });
    StartUp();
    EXPECT_FALSE(result);
    EXPECT_TRUE(View()->toPlainText().endsWith(
        QStringLiteral("\nInit WinSock2.0 fail...I have to exit program\n")));
    EXPECT_TRUE(WaitUntil([this] { return !Frame()->isVisible(); }, 3000));
    CloseSocket(busy);
}

TEST_F(CheckFlow, F5BeforeStartUpDoesNothing) {
    MakeApp();
    View()->SetStartupDelays(60000, 100);
    Frame()->show();
    Frame()->ExecuteCommand(cmd::kStartNatDetect);
    EXPECT_FALSE(View()->CheckModule().IsChecking());
    EXPECT_EQ(View()->CheckModule().Network(), nullptr);
}

TEST_F(CheckFlow, CtrlLDuringACheckEmptiesTheLogAndTheCheckWritesOn) {
    MakeApp();
    std::vector<std::string> shown;
    View()->ResultPresenter().SetDialogRunner([&](CResultDlg& dlg) {
        dlg.show();
        shown = dlg.m_lines;
        return static_cast<int>(QDialog::Rejected);
    });
    StartUp();
    PressKey(Qt::Key_F5);
    ASSERT_TRUE(View()->CheckModule().IsChecking());
    EXPECT_TRUE(View()->toPlainText().contains(QStringLiteral("Start NAT Check...")));
    // F5 again while it runs changes nothing.
    const QString during = View()->toPlainText();
    PressKey(Qt::Key_F5);
    EXPECT_EQ(View()->toPlainText(), during);

    PressKey(Qt::Key_L, Qt::ControlModifier);
    EXPECT_TRUE(View()->toPlainText().isEmpty());
    EXPECT_TRUE(View()->CheckModule().IsChecking());

    ASSERT_TRUE(TickUntilIdle());
    const QString after = View()->toPlainText();
    EXPECT_FALSE(after.contains(QStringLiteral("Start NAT Check...")));
    EXPECT_TRUE(after.contains(QStringLiteral("NAT INCOMING PACKAGES FILTER :    UNKNOWN")))
        << after.toStdString();
    EXPECT_TRUE(after.endsWith(QStringLiteral("Press F5 to start...\n")));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "nat incoming packages filter :    unknown");
}

// The settings as a check reads them: host names through a fake resolver (no query leaves the
// machine), and a FIFO in place of STUN.ini, which used to block the window's thread for ever.
TEST_F(CheckFlow, SettingsHostNamesAndUnreadableFilesAtCheckStart) {
    struct Row {
        const char* name;
        const char* server1;  // STUN1_IP's text; null: STUN.ini is a FIFO
        bool checks;          // a check starts
        QString logged;
    };
    const Row rows[] = {
        {"host name", "stun1.lab.test", true,
         QStringLiteral("    STUN Server1 IP address: 127.0.0.2   Port:47911\n")},
        {"unknown host name", "nowhere.lab.test", false,
         QStringLiteral("Init NAT Check module success...\nCannot resolve STUN Server1 address "
                        "\"nowhere.lab.test\": Name or service not known\n")},
#ifndef _WIN32  // Windows has no FIFOs
        {"FIFO", nullptr, false,
         QStringLiteral("Cannot read the settings file \"%1\": it is a FIFO, not a regular file\n")
             .arg(m_ini)},
#endif
    };
    SetHostResolver([](const std::string& name) {
        HostLookup found;
        found.ok = name == "stun1.lab.test";
        found.addressNet = found.ok ? qToBigEndian(quint32{0x7F000002}) : 0;
        found.error = found.ok ? "" : "Name or service not known";
        return found;
    });
    MakeApp();
    View()->ResultPresenter().SetDialogRunner([](CResultDlg&) { return int{QDialog::Rejected}; });
    StartUp();
    for (const Row& row : rows) {
        QFile::remove(m_ini);
#ifndef _WIN32
        std::unique_ptr<FifoGuard> fifo;
        if (row.server1 == nullptr) {
            fifo = std::make_unique<FifoGuard>(m_ini.toStdString());
            ASSERT_TRUE(fifo->Made());
        } else
#endif
        {
            WriteIni(QByteArray("[Setting]\r\nSTUN1_IP=") + row.server1 +
                     "\r\nSTUN1_PORT=47911\r\nSTUN2_IP=127.0.0.3\r\nSTUN2_PORT=47912\r\n"
                     "FRIEND_IP=0.0.0.0\r\n");
        }
        View()->clear();
        Frame()->ExecuteCommand(cmd::kStartNatDetect);
        EXPECT_EQ(View()->CheckModule().IsChecking(), row.checks) << row.name;
        const QString text = View()->toPlainText();
        EXPECT_TRUE(text.contains(row.logged)) << row.name << "\n" << text.toStdString();
        EXPECT_EQ(text.contains(QStringLiteral("STUN Server Information")), row.checks) << row.name;
#ifndef _WIN32
        if (fifo) {
            EXPECT_FALSE(fifo->Rescued()) << "the window's thread blocked on the FIFO";
        }
#endif
        ASSERT_TRUE(TickUntilIdle()) << row.name;
    }
    SetHostResolver({});
}

struct ReportRow {
    const char* name;
    int result;
    bool tick;
    bool opened;
};

TEST_F(CheckFlow, ReportIsOpenedOnlyForOkWithTheBoxTicked) {
    const ReportRow rows[] = {
        {"ok ticked", QDialog::Accepted, true, true},
        {"ok unticked", QDialog::Accepted, false, false},
        {"cancel", QDialog::Rejected, true, false},
    };
    MakeApp();
    StartUp();
    for (const ReportRow& row : rows) {
        UrlRecorder urls({"mailto", "https", "http"});
        View()->ResultPresenter().SetDialogRunner([&](CResultDlg& dlg) {
            dlg.show();
            dlg.ReportBox()->setChecked(row.tick);
            if (row.result == QDialog::Accepted) {
                dlg.accept();
            } else {
                dlg.reject();
            }
            return dlg.result();
        });
        Frame()->ExecuteCommand(cmd::kStartNatDetect);
        ASSERT_TRUE(View()->CheckModule().IsChecking()) << row.name;
        ASSERT_TRUE(TickUntilIdle()) << row.name;
        if (!row.opened) {
            EXPECT_TRUE(urls.opened.isEmpty()) << row.name;
            continue;
        }
        ASSERT_EQ(urls.opened.size(), 1) << row.name;
        const QString url = urls.opened[0].toString();
        EXPECT_TRUE(url.startsWith(QStringLiteral("mailto:report@tarnwick.test?subject=")))
            << url.toStdString();
        EXPECT_TRUE(url.contains(QStringLiteral("NAT INCOMING PACKAGES FILTER :    UNKNOWN")))
            << url.toStdString();
    }
}

// The window hands the ended check's outcome to the dialog: nothing answers here, so the
// meaning is the undetermined one, saying why, and the public address is not known.
TEST_F(CheckFlow, ResultDialogGetsTheMeaningOfTheCheckThatEnded) {
    MakeApp();
    StartUp();
    std::optional<ResultDetails> seen;
    View()->ResultPresenter().SetDialogRunner([&](CResultDlg& dlg) {
        seen = dlg.m_details;
        return int{QDialog::Rejected};
    });
    Frame()->ExecuteCommand(cmd::kStartNatDetect);
    ASSERT_TRUE(TickUntilIdle());
    ASSERT_TRUE(seen.has_value());
    P2pMeaning noServer;
    noServer.endText = CheckEndText(CheckEnd::NoServerAnswered, {});
    EXPECT_EQ(seen->meaning, P2pMeaningLines(noServer));
    EXPECT_FALSE(seen->publicEndpoint.has_value());
}

TEST_F(CheckFlow, ClosingWhileADeliveryWaitsDoesNotHang) {
    MakeApp();
    StartUp();
    Frame()->ExecuteCommand(cmd::kStartNatDetect);
    ASSERT_TRUE(View()->CheckModule().IsChecking());
    // A datagram to the friend socket: the dispatch thread posts it and waits for this thread,
    // which does not run its event loop until the window is gone.
    const std::uint16_t port = View()->CheckModule().Network()->LocalPort(kPort9802Slot);
    SocketHandle sender = OpenUdpSocket(0, false);
    ASSERT_NE(sender, kInvalidSocket);
    std::uint8_t bytes[12];
    const std::uint16_t len = EncodeEmpty(bytes, kMsgFriendSearch);
    ASSERT_TRUE(SendDatagramTo(sender, bytes, len, qToBigEndian<std::uint32_t>(0x7F000001u),
                               qToBigEndian<std::uint16_t>(port), 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Frame()->close();
    QElapsedTimer timer;
    timer.start();
    m_app.reset();
    EXPECT_LT(timer.elapsed(), 5000);
    EXPECT_EQ(theLog.OutputWindow(), nullptr);
    CloseSocket(sender);
}

TEST(CheckFlowNotify, PostedWorkRunsLaterOnTheQtThreadInOrder) {
    QObject context;
    CQtNotifyTarget target(&context);
    std::vector<int> order;
    std::atomic<bool> posted{false};
    const auto qtThread = std::this_thread::get_id();
    bool onQtThread = true;
    std::thread worker([&] {
        for (int i = 0; i < 50; ++i) {
            target.Post([&, i] {
                onQtThread = onQtThread && std::this_thread::get_id() == qtThread;
                order.push_back(i);
            });
        }
        posted = true;
    });
    worker.join();
    ASSERT_TRUE(posted);
    EXPECT_TRUE(order.empty());  // never inline
    ASSERT_TRUE(WaitUntil([&] { return order.size() == 50; }));
    EXPECT_TRUE(onQtThread);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(CheckFlowNotify, WorkPostedToADestroyedContextIsDropped) {
    bool ran = false;
    {
        QObject context;
        CQtNotifyTarget target(&context);
        target.Post([&] { ran = true; });
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace apptest
