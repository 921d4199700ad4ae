// The real program, copied with its own STUN.ini into a private folder, saves its settings through
// File > STUN Setting, runs a check against probe servers on loopback and saves its log. Binds
// 9801/9802 as every copy of the program does.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Stops a process this test started, by its own handle: TERM, then KILL after a bounded wait.
void Stop(QProcess& p) {
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(3000)) {
        p.kill();
        p.waitForFinished(3000);
    }
}

TEST(EndToEnd, CheckAgainstLoopbackServersShowsOpen) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString exe = dir.filePath(QStringLiteral("gatewise"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(GATEWISE_BIN), exe));
    // Server 1 answers on P and P+1 and sends from P+2; server 2 on Q and Q+1.
    const int p = 40000 + static_cast<int>(QRandomGenerator::global()->bounded(10000)) * 2;
    const int q = p + 10;
    QFile ini(dir.filePath(QStringLiteral("STUN.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    // No FRIEND_IP (none, by default): STUN Setting's OK writes it, beside the program.
    ini.write(QStringLiteral("[Setting]\r\nSTUN1_IP=127.0.0.2\r\nSTUN1_PORT=%1\r\n"
                             "STUN2_IP=127.0.0.3\r\nSTUN2_PORT=%2\r\n")
                  .arg(p)
                  .arg(q)
                  .toLatin1());
    ini.close();

    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(QStringLiteral(GATEWISE_SERVER_BIN),
                 {QStringLiteral("--server1"), QStringLiteral("127.0.0.2:%1").arg(p),
                  QStringLiteral("--server2"), QStringLiteral("127.0.0.3:%1").arg(q)});
    ASSERT_TRUE(server.waitForStarted(5000));
    QThread::msleep(300);  // the servers' sockets are open well before this
    ASSERT_EQ(server.state(), QProcess::Running) << server.readAll().constData();

    const QString logFile = dir.filePath(QStringLiteral("log.txt"));
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("GATEWISE_AUTOSETTINGS"), QStringLiteral("1"));
    env.insert(QStringLiteral("GATEWISE_AUTOSTART"), QStringLiteral("1"));
    env.insert(QStringLiteral("GATEWISE_AUTOSAVE"), logFile);
    env.insert(QStringLiteral("GATEWISE_AUTOQUIT_MS"), QStringLiteral("30000"));
    app.setProcessEnvironment(env);
    app.setWorkingDirectory(QDir::tempPath());  // the settings come from beside the program
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(exe, {});
    ASSERT_TRUE(app.waitForStarted(5000));
    const bool finished = app.waitForFinished(40000);
    Stop(app);
    Stop(server);
    ASSERT_TRUE(finished) << "the program did not end by itself";
    EXPECT_EQ(app.exitCode(), 0) << app.readAll().constData();

    const QByteArray log = ReadAll(logFile);
    ASSERT_FALSE(log.isEmpty()) << app.readAll().constData();
    EXPECT_TRUE(log.contains(
        QStringLiteral("    STUN Server1 IP address: 127.0.0.2   Port:%1\r\n").arg(p).toLatin1()))
        << log.constData();
    const QByteArray summary =
        "*********************************************************************************\r\n"
        "        NAT Detect Result Summarize\r\n"
        "\r\n"
        "NAT INCOMING PACKAGES FILTER :    OPEN\r\n"
        "\r\n"
        "*********************************************************************************\r\n"
        "\r\n"
        "Press F5 to start...\r\n";
    EXPECT_TRUE(log.endsWith(summary)) << log.constData();
    const QByteArray saved = ReadAll(dir.filePath(QStringLiteral("STUN.ini")));
    EXPECT_TRUE(saved.endsWith("\r\nFRIEND_IP=0.0.0.0\r\n"))
        << "STUN Setting's OK saved nothing beside the program:\n"
        << saved.constData();
}

}  // namespace
