#pragma once
// Shared set-up for the application tests: a private folder with its own STUN.ini (servers on
// loopback only), an application whose network side uses ports the system picks, boxes captured
// instead of shown, and bounded waits that keep the event loop running.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>
#include <functional>
#include <memory>

#include "app/gatewise_app.h"
#include "app/gatewise_view.h"
#include "app/message_box.h"
#include "net/socket_layer.h"

namespace apptest {

// Runs the event loop until pred holds or ms pass; returns pred's last value.
inline bool WaitUntil(const std::function<bool()>& pred, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

inline QByteArray ReadFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

inline void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// Receives what would be handed to the desktop (QDesktopServices::openUrl) for some schemes.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    explicit UrlRecorder(std::initializer_list<const char*> schemes) {
        for (const char* s : schemes) {
            m_schemes.append(QString::fromLatin1(s));
            QDesktopServices::setUrlHandler(m_schemes.back(), this, "Open");
        }
    }
    ~UrlRecorder() override {
        for (const QString& s : m_schemes)
            QDesktopServices::unsetUrlHandler(s);
    }
    QList<QUrl> opened;

public slots:
    void Open(const QUrl& url) { opened.append(url); }

private:
    QStringList m_schemes;
};

class AppFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_ini = m_dir.filePath(QStringLiteral("STUN.ini"));
        // Nothing listens at these addresses: a check started here stops at its first time-out.
        WriteIni(
            "[Setting]\r\nSTUN1_IP=127.0.0.2\r\nSTUN1_PORT=47911\r\nSTUN2_IP=127.0.0.3\r\n"
            "STUN2_PORT=47912\r\nFRIEND_IP=0.0.0.0\r\nREPORT=report@tarnwick.test\r\n");
        SetAppMessageHook([this](const QString& text) { m_messages.append(text); });
    }

    void TearDown() override {
        m_app.reset();
        SetAppMessageHook({});
    }

    void WriteIni(const QByteArray& text) { WriteFile(m_ini, text); }

    // Builds the application; its view reads and writes only this test's STUN.ini.
    void MakeApp(const QStringList& args = {}, bool expectOk = true) {
        m_app = std::make_unique<CGatewiseApp>();
        const bool ok = m_app->InitInstance(args, /*show=*/false);
        ASSERT_EQ(ok, expectOk);
        View()->SetSettingsPath(m_ini.toStdString());
        NetworkPorts ports;
        ports.slot[kSearchSlot] = 0;
        ports.slot[kPort9802Slot] = 0;
        View()->CheckModule().SetNetworkPorts(ports);
        View()->SetStartupDelays(10, 100);
    }

    // Builds the application with its 9802 slot on a port another socket holds, so the network
    // side cannot start. Returns that socket (the caller closes it), or kInvalidSocket.
    SocketHandle MakeAppWithPort9802Held() {
        const SocketHandle busy = OpenUdpSocket(0, false);
        if (busy == kInvalidSocket)
            return busy;
        MakeApp();
        NetworkPorts ports;
        ports.slot[kSearchSlot] = 0;
        ports.slot[kPort9802Slot] = SocketLocalPort(busy);
        View()->CheckModule().SetNetworkPorts(ports);
        return busy;
    }

    // Shows the window and waits for the network side (timer 1).
    void StartUp() {
        Frame()->show();
        ASSERT_TRUE(WaitUntil([this] { return View()->StartupDone(); }));
    }

    CMainFrame* Frame() const { return m_app->MainFrame(); }
    CGatewiseView* View() const { return m_app->View(); }
    CGatewiseDoc* Doc() const { return m_app->Document(); }
    QString Path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    QTemporaryDir m_dir;
    QString m_ini;
    QStringList m_messages;
    std::unique_ptr<CGatewiseApp> m_app;
};

}  // namespace apptest
