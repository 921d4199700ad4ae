// The quit signals on POSIX: SIGTERM lets the window finish what it must before the signal's
// default action ends the program. A child process of this binary takes the signal.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QTimer>
#include <csignal>
#include <cstdio>

#include "app/quit_signals.h"
#include "app_fixture.h"

namespace apptest {
namespace {

// The child's half of the test below: runs only when that test starts this binary.
TEST(QuitSignalsChild, SignalRunsBeforeQuitThenTheDefaultAction) {
    if (qEnvironmentVariableIsEmpty("GATEWISE_TEST_QUIT_CHILD"))
        GTEST_SKIP();
    WatchQuitSignals([] {
        std::fputs("before quit\n", stdout);
        std::fflush(stdout);
    });
    QTimer::singleShot(0, [] { std::raise(SIGTERM); });
    WaitUntil([] { return false; }, 5000);
    FAIL() << "still alive";
}

// SIGTERM lets the window stop a run (a port-mapping check deletes its mappings then) before it
// ends the program as it always did.
TEST(QuitSignals, SigtermEndsTheProgramAfterBeforeQuit) {
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("GATEWISE_TEST_QUIT_CHILD"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=QuitSignalsChild.*")});
    ASSERT_TRUE(child.waitForFinished(10000));
    EXPECT_EQ(child.exitStatus(), QProcess::CrashExit);
    const QByteArray out = child.readAllStandardOutput();
    EXPECT_TRUE(out.contains("before quit\n")) << out.constData();
    EXPECT_FALSE(out.contains("still alive")) << out.constData();
}

}  // namespace
}  // namespace apptest
