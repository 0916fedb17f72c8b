#include "InstallTestSupport.h"

#include "install/NVRelaunch.h"
#include "install/NVSUInstallerLaunch.h"
#include "platform/NVApplicationServices.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <unistd.h>

using namespace InstallTest;

namespace {

// Records what the core asks of the application object, in order.
class RecordingApplication : public NVApplication {
public:
    QStringList calls;
    std::function<void()> onTerminate;

    RecordingApplication() { NVApplicationServices::setApplication(this); }
    ~RecordingApplication() override { NVApplicationServices::setApplication(nullptr); }

    void terminate() override
    {
        calls << QStringLiteral("terminate");
        if (onTerminate)
            onTerminate();
    }
    void setActivationPolicy(ActivationPolicy policy) override { calls << QStringLiteral("policy %1").arg(int(policy)); }
    void activate() override { calls << QStringLiteral("activate"); }
    void hide() override { calls << QStringLiteral("hide"); }
    bool isModalWindowUp() const override { return false; }
};

} // namespace

// The installer runs with exactly its two arguments, the window is closed
// and the application steps back before it starts, and the application
// terminates only after the installer has exited, whatever its status.
TEST(NVSUInstallerLaunchTest, RunsTheInstallerWaitsAndQuits)
{
    const auto work = makeWorkDir();
    const QString installer = work->filePath(QStringLiteral("Set up ") + kAwkward + QStringLiteral(".app"));
    makeBundle(installer, QStringLiteral("1"), "installer", QStringLiteral("Set up ") + kAwkward);
    // The recorder exits with 3 after a moment: a failing installer still ends the run.
    const QString executable = installer + QStringLiteral("/Contents/MacOS/Set up ") + kAwkward;
    TestSupport::writeFile(executable, TestSupport::readFile(executable) + "sleep 0.3\nexit 3\n");

    RecordingApplication application;
    application.onTerminate = [&] { EXPECT_FALSE(launchRecord(installer).isEmpty()) << "terminated before the installer ran"; };
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(NVSUInstallerLaunch::runInstaller(installer, [&] { application.calls << QStringLiteral("close window"); }));
    EXPECT_GE(clock.elapsed(), 300);
    EXPECT_EQ(launchRecord(installer), "2\n-startedBySoftwareUpdate\nYES\n");
    EXPECT_EQ(application.calls, (QStringList{"close window", "policy 1", "terminate"}));
}

TEST(NVSUInstallerLaunchTest, InstallerNamedOtherwiseThanItsBundleDoesNotStart)
{
    const auto work = makeWorkDir();
    const QString installer = work->filePath(QStringLiteral("Setup ü.app"));
    makeBundle(installer, QStringLiteral("1"), "installer", QStringLiteral("Installer"));
    RecordingApplication application;
    bool closed = false;
    EXPECT_FALSE(NVSUInstallerLaunch::runInstaller(installer, [&] { closed = true; }));
    EXPECT_TRUE(closed);
    EXPECT_EQ(application.calls, QStringList{"policy 1"}) << "nothing is terminated";
    EXPECT_TRUE(launchRecord(installer).isEmpty());
}

// ---- relaunch ---------------------------------------------------------------------

// The watcher polls: a parent that lives a second and a half is outlived,
// and the application starts once it is gone, through the launcher, with
// the relaunch flag. The launcher's path has blanks, quotes and a dollar
// sign, as the updater's own folder may.
TEST(NVRelaunchTest, WatcherWaitsForTheParentThenOpensTheApplication)
{
    const auto work = makeWorkDir();
    const QString application = work->filePath(QStringLiteral("Re launch ") + kAwkward + QStringLiteral(".app"));
    makeBundle(application, QStringLiteral("2"), "app");
    const QString launcher = work->filePath(QStringLiteral("nvsu-open ") + kAwkward);
    ASSERT_TRUE(QFile::copy(TestSupport::bundlePath() + QStringLiteral("/Contents/MacOS/nvsu-open"), launcher));

    QProcess parent;
    parent.start(QStringLiteral("/bin/sleep"), {QStringLiteral("1.5")});
    ASSERT_TRUE(parent.waitForStarted());
    const NVResult<pid_t> watcher = NVRelaunch::startWatcher(application, pid_t(parent.processId()), launcher);
    ASSERT_TRUE(watcher.ok()) << watcher.error().description().toStdString();
    EXPECT_FALSE(qEnvironmentVariableIsSet("NV_RELAUNCH_APP_PATH")) << "the variables are the watcher's alone";
    EXPECT_FALSE(qEnvironmentVariableIsSet("NV_RELAUNCH_PARENT_PID"));

    // Reaped as soon as it exits, so that its id is really gone.
    parent.waitForFinished();
    EXPECT_TRUE(launchRecord(application).isEmpty()) << "started while the parent lived";
    EXPECT_EQ(waitForLaunchRecord(application, std::chrono::seconds(60)), "2\n-NVApplicationDidRelaunch\nYES\n");
}
