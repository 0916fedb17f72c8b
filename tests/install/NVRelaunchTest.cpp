#include "InstallTestSupport.h"

#include "install/NVRelaunch.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>

using namespace InstallTest;

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
