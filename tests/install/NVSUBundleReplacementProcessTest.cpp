#include "InstallTestSupport.h"

#include "install/NVSUBundleReplacement.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "support/TestUser.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <unistd.h>

using namespace InstallTest;

namespace {

// The old version's executable is a copy of bash, so that the processes
// started from it carry the bundle's executable path, as the application's
// own would. Each copy notes "ready" once its TERM handling is set up and
// "TERM" whenever the signal arrives.
const QString kEndsOnTerm = QStringLiteral("trap 'echo TERM >> \"$0\"; exit 0' TERM; echo ready >> \"$0\"; while :; do sleep 0.05; done");
const QString kIgnoresTerm = QStringLiteral("trap 'echo TERM >> \"$0\"' TERM; echo ready >> \"$0\"; while :; do sleep 0.05; done");
// Ends by itself after about twenty seconds, for copies the test cannot signal.
const QString kBounded = QStringLiteral("echo ready >> \"$0\"; for i in $(seq 400); do sleep 0.05; done");

struct RunningCopies {
    std::unique_ptr<QTemporaryDir> work = makeWorkDir();
    QString folder = work->filePath(QStringLiteral("Apps ") + kAwkward);
    QString target = folder + QStringLiteral("/Prödüct \"Q\".app");
    QString newBundle = work->filePath(QStringLiteral("download/Prödüct \"Q\".app"));
    QString executable = target + QStringLiteral("/Contents/MacOS/Prödüct run");

    RunningCopies()
    {
        makeBundle(target, QStringLiteral("1.0"), "old");
        makeBundle(newBundle, QStringLiteral("2.0"), "new");
        QFile::remove(executable);
        QFile::copy(QStringLiteral("/bin/bash"), executable);
        QFile::setPermissions(executable, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                              QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther);
    }

    QString logPath(const QString &name) const { return work->filePath(name + QStringLiteral(" log")); }
    QByteArray log(const QString &name) const { return TestSupport::readFile(logPath(name)); }

    // Starts program with arguments and waits until the copy has said "ready".
    std::unique_ptr<QProcess> start(const QString &name, const QString &program, const QStringList &arguments) const
    {
        TestSupport::writeFile(logPath(name), QByteArray());
        QFile::setPermissions(logPath(name), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther | QFileDevice::WriteOther);
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(program, arguments);
        process->waitForStarted();
        TestSupport::waitFor([&] { return log(name).contains("ready"); });
        return process;
    }
    std::unique_ptr<QProcess> startCopy(const QString &name, const QString &script) const
    {
        return start(name, executable, {QStringLiteral("-c"), script, logPath(name)});
    }
};

QStringList signalLines(const LogCapture &log)
{
    return log.matching(QStringLiteral(" signal to pid="));
}

} // namespace

// The two waits are what this test is about: they keep their real lengths.
TEST(NVSUBundleReplacementProcessTest, OwnCopiesGetTermThenKillAndOtherAccountsCopiesAreLeftAlone)
{
    const auto user = TestUser::account();
    if (::geteuid() != 0 || !user)
        GTEST_SKIP() << "needs root and the test account";
    RunningCopies copies;
    auto endsOnTerm = copies.startCopy(QStringLiteral("a"), kEndsOnTerm);
    auto ignoresTerm = copies.startCopy(QStringLiteral("b"), kIgnoresTerm);
    auto otherAccount = copies.start(QStringLiteral("c"), QStringLiteral("/usr/bin/setpriv"),
                                     {QStringLiteral("--reuid=%1").arg(user->uid), QStringLiteral("--regid=%1").arg(user->gid),
                                      QStringLiteral("--clear-groups"), copies.executable, QStringLiteral("-c"), kBounded, copies.logPath("c")});
    ASSERT_TRUE(copies.log("a").contains("ready") && copies.log("b").contains("ready") && copies.log("c").contains("ready"));

    const QString a = QString::number(endsOnTerm->processId());
    const QString b = QString::number(ignoresTerm->processId());
    QElapsedTimer clock;
    qint64 firstEnded = -1;
    qint64 secondEnded = -1;
    QObject::connect(endsOnTerm.get(), &QProcess::finished, [&] { firstEnded = clock.elapsed(); });
    QObject::connect(ignoresTerm.get(), &QProcess::finished, [&] { secondEnded = clock.elapsed(); });
    DebugLogs debug;
    LogCapture log;
    clock.start();
    ASSERT_TRUE(installOnWorker(copies.newBundle, copies.target, false, nullptr, NVSUBundleReplacementOptions(), std::chrono::milliseconds(0)));
    const qint64 took = clock.elapsed();

    // The event loop turned during the replacement, so they may have been
    // seen to finish already.
    EXPECT_TRUE(TestSupport::waitFor([&] { return endsOnTerm->state() == QProcess::NotRunning && ignoresTerm->state() == QProcess::NotRunning; }));
    EXPECT_EQ(endsOnTerm->exitStatus(), QProcess::NormalExit) << "ended by its TERM handler";
    EXPECT_EQ(ignoresTerm->exitStatus(), QProcess::CrashExit) << "ended by KILL";
    EXPECT_EQ(copies.log("a"), "ready\nTERM\n");
    EXPECT_EQ(copies.log("b"), "ready\nTERM\n");
    EXPECT_GE(secondEnded - firstEnded, 1800) << firstEnded << " " << secondEnded;
    EXPECT_GE(took, 2500);
    EXPECT_EQ(otherAccount->state(), QProcess::Running);
    EXPECT_EQ(copies.log("c"), "ready\n");

    // A copy caught between fork and exec of its sleep counts as a copy too,
    // so there may be more than the two; every TERM comes before every KILL,
    // and the other account's copy gets neither.
    const QStringList lines = signalLines(log);
    const QStringList terms = lines.filter(QStringLiteral("Sending TERM"));
    ASSERT_GE(terms.size(), 2) << lines.join('\n').toStdString();
    EXPECT_EQ(lines.mid(0, terms.size()), terms);
    EXPECT_EQ(lines.mid(terms.size()).filter(QStringLiteral("Sending KILL")).size(), terms.size());
    for (const QString &pid : {a, b})
        EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("pid=%1$").arg(pid))).size(), 2) << pid.toStdString();
    EXPECT_TRUE(lines.filter(QRegularExpression(QStringLiteral("pid=%1$").arg(otherAccount->processId()))).isEmpty());
    // The new version is launched afterwards.
    EXPECT_EQ(waitForLaunchRecord(copies.target), "0\n\n");

    otherAccount->kill();
    otherAccount->waitForFinished();
}

// As the test account, whose view of root's processes is limited, its own
// copy is still found and ended.
TEST(NVSUBundleReplacementProcessTest, TheTestAccountEndsItsOwnCopy)
{
    NV_RUN_AS_TEST_USER();
    RunningCopies copies;
    auto own = copies.startCopy(QStringLiteral("own"), kIgnoresTerm);
    const QString pid = QString::number(own->processId());
    DebugLogs debug;
    LogCapture log;
    NVSUBundleReplacementOptions options;
    options.termWait = std::chrono::milliseconds(300); // not what this test is about
    ASSERT_TRUE(installOnWorker(copies.newBundle, copies.target, false, nullptr, options, std::chrono::milliseconds(0)));
    EXPECT_TRUE(TestSupport::waitFor([&] { return own->state() == QProcess::NotRunning; }));
    EXPECT_EQ(own->exitStatus(), QProcess::CrashExit);
    EXPECT_EQ(copies.log("own"), "ready\nTERM\n");
    EXPECT_EQ(signalLines(log).filter(QRegularExpression(QStringLiteral("pid=%1$").arg(pid))),
              (QStringList{"Software Update Debug: Sending TERM signal to pid=" + pid, "Software Update Debug: Sending KILL signal to pid=" + pid}));
}

// When the application replaces itself the caller relaunches it: nothing is
// signalled and nothing launched.
TEST(NVSUBundleReplacementProcessTest, ReplacingSelfSignalsAndLaunchesNothing)
{
    RunningCopies copies;
    auto running = copies.startCopy(QStringLiteral("self"), kEndsOnTerm);
    DebugLogs debug;
    LogCapture log;
    ASSERT_TRUE(installOnWorker(copies.newBundle, copies.target, true, nullptr, NVSUBundleReplacementOptions(), std::chrono::milliseconds(0)));
    EXPECT_EQ(markerOf(copies.target), "new");
    EXPECT_TRUE(launchRecord(copies.target).isEmpty());
    EXPECT_TRUE(signalLines(log).isEmpty());
    EXPECT_TRUE(log.matching(QStringLiteral("Launching app")).isEmpty());
    running->kill();
    running->waitForFinished();
}
