#include "app/AppTestSupport.h"
#include "app/NVSUSchedule.h"
#include "app/NVSUUpdateManager.h"
#include "platform/NVUserDefaults.h"
#include "support/ManualClock.h"
#include "support/RecordingAlertPresenter.h"

namespace {

// A manager on private settings and a manual clock whose runs fetch the feed
// from the loopback server.
class NVSUUpdateManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NVBundle::setMainBundle(bundle.bundlePath);
        qputenv("XDG_CACHE_HOME", QFile::encodeName(bundle.cacheDirectory));
        manager = std::make_unique<NVSUUpdateManager>(defaults, clock, bundle.driverConfiguration());
        manager->setFeedURL(QUrl("https://updates.velkin.test" + AppTestBundle::FeedPath));
    }
    void TearDown() override
    {
        manager.reset();
        qunsetenv("XDG_CACHE_HOME");
    }

    template <typename Log>
    bool waitForFinish(Log &finished, int count = 1)
    {
        return TestSupport::waitFor([&] { return finished.count() >= count; }, std::chrono::seconds(60));
    }

    AppTestBundle bundle{QStringLiteral("Manager")};
    NVUserDefaults defaults{bundle.identifier, bundle.configDirectory};
    ManualClock clock;
    RecordingApplication application;
    RecordingAlertPresenter alerts;
    std::unique_ptr<NVSUUpdateManager> manager;
};

} // namespace

// A background check starts only when the next date lies strictly before
// now, at the first poll tick after it; otherwise the manager says at once
// that it has finished.
TEST_F(NVSUUpdateManagerTest, BackgroundCheckRunsOnlyWhenStrictlyDue)
{
    SignalLog finished(manager.get(), &NVSUUpdateManager::updateManagerDidFinish);
    defaults.setBool(false, SoftwareUpdateCheckAutomaticallyKey);
    EXPECT_EQ(clock.runningTimers(), 0) << "no poll timer without a date";
    manager->checkForUpdateInBackgroundIfNecessary();
    EXPECT_EQ(finished.count(), 1);

    defaults.setObject(clock.now().addSecs(-86400 + 1000), SoftwareUpdateLastCheckKey);
    const QDateTime timerStart = clock.now();
    defaults.setBool(true, SoftwareUpdateCheckAutomaticallyKey);
    EXPECT_EQ(clock.runningTimers(), 1);
    // The poll ticks before the date find nothing due; at the date itself
    // the check is not due yet either.
    const QDateTime due = manager->schedule().nextCheckDate();
    clock.advance(std::chrono::milliseconds(timerStart.msecsTo(due)));
    const int ticks = int(timerStart.msecsTo(due) / 300'000);
    EXPECT_EQ(finished.count(), 1 + ticks);
    manager->checkForUpdateInBackgroundIfNecessary();
    EXPECT_EQ(finished.count(), 2 + ticks);
    EXPECT_FALSE(manager->isCheckingForUpdate());

    // The first poll tick after the date starts the check.
    clock.advance(std::chrono::milliseconds(300'000 - timerStart.msecsTo(due) % 300'000));
    EXPECT_TRUE(manager->isCheckingForUpdate());
    EXPECT_FALSE(manager->isCheckingForUpdateInteractively());
    // A request while the run goes on changes nothing and says nothing.
    manager->checkForUpdateInBackgroundIfNecessary();
    EXPECT_EQ(finished.count(), 2 + ticks);
    ASSERT_TRUE(waitForFinish(finished, 3 + ticks));
    EXPECT_EQ(bundle.feedRequests(), 1);
}

// Every run records its end; only a failed background run sets the failure
// mark. The mirrored properties change once each way, the interactive one
// only for an interactive run, and the driver is gone afterwards.
TEST_F(NVSUUpdateManagerTest, EndOfRunBookkeeping)
{
    struct Row {
        const char *name;
        bool interactive;
        QByteArray feed;
        bool failureMark;
        int alertsShown;
    };
    const Row rows[] = {
        {"background, up to date", false, AppTestBundle::UpToDateFeed, false, 0},
        {"background, unreadable feed", false, "no property list", true, 0},
        {"interactive, unreadable feed", true, "no property list", false, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        bundle.serveFeed(row.feed);
        defaults.setBool(true, SoftwareUpdateLastCheckFailedKey);
        defaults.removeObject(SoftwareUpdateLastCheckKey);
        alerts.shown.clear();
        SignalLog checking(manager.get(), &NVSUUpdateManager::checkingForUpdateChanged);
        SignalLog interactive(manager.get(), &NVSUUpdateManager::checkingForUpdateInteractivelyChanged);
        SignalLog finished(manager.get(), &NVSUUpdateManager::updateManagerDidFinish);
        clock.advance(std::chrono::minutes(1));

        if (row.interactive)
            manager->checkForUpdate();
        else
            manager->checkForUpdateInBackgroundIfNecessary();
        ASSERT_TRUE(waitForFinish(finished));

        EXPECT_EQ(finished.count(), 1);
        EXPECT_EQ(defaults.objectForKey(SoftwareUpdateLastCheckKey).toDateTime(), clock.now());
        EXPECT_EQ(defaults.persistentDomain().contains(SoftwareUpdateLastCheckFailedKey), row.failureMark);
        EXPECT_EQ(alerts.shown.size(), row.alertsShown);
        ASSERT_EQ(checking.count(), 2);
        EXPECT_TRUE(checking.at(0).at(0).toBool());
        EXPECT_FALSE(checking.at(1).at(0).toBool());
        EXPECT_EQ(interactive.count(), row.interactive ? 2 : 0);
        EXPECT_FALSE(manager->isCheckingForUpdate() || manager->isCheckingForUpdateInteractively());
        EXPECT_EQ(manager->driver(), nullptr);
    }
}

// The announcement names what is about to show; the icon falls back to the
// bundle's own.
TEST_F(NVSUUpdateManagerTest, WillShowWindowNamesTheAlertAndTheIconFallsBack)
{
    SignalLog willShow(manager.get(), &NVSUUpdateManager::updateManagerWillShowWindow);
    manager->postWillShowWindowNotificationWithAlert(NVAlert{QStringLiteral("Headline")});
    ASSERT_EQ(willShow.count(), 1);
    EXPECT_EQ(willShow.at(0).at(0).toMap().value("alert").value<NVAlert>().messageText, "Headline");

    EXPECT_EQ(manager->softwareUpdateIcon(), QString()) << "a bundle without an icon of its own";
    TestSupport::writeFile(bundle.bundlePath + "/Contents/Resources/Updater.png", "png");
    QVariantMap info = NVBundle::mainBundle()->infoDictionary();
    info.insert("CFBundleIconFile", "Updater.png");
    TestSupport::writeInfoPlist(bundle.bundlePath, info);
    NVBundle::bundleWithPath(bundle.bundlePath, true);
    EXPECT_EQ(manager->softwareUpdateIcon(), bundle.bundlePath + "/Contents/Resources/Updater.png");
}
