#include "app/AppTestSupport.h"
#include "app/NVSUSchedule.h"
#include "app/NVSUUpdateManager.h"

// A manager whose runs fetch the feed from the loopback server.
using NVSUUpdateManagerTest = AppShellTest;

// A background check starts only when the next date lies strictly before
// now, at the first poll tick after it; otherwise the manager says at once
// that it has finished.
TEST_F(NVSUUpdateManagerTest, BackgroundCheckRunsOnlyWhenStrictlyDue)
{
    NVSUUpdateManager manager(defaults, clock, bundle.driverConfiguration());
    manager.setFeedURL(QUrl("https://updates.velkin.test" + AppTestBundle::FeedPath));
    SignalLog finished(&manager, &NVSUUpdateManager::updateManagerDidFinish);
    defaults.setBool(false, SoftwareUpdateCheckAutomaticallyKey);
    EXPECT_EQ(clock.runningTimers(), 0) << "no poll timer without a date";
    manager.checkForUpdateInBackgroundIfNecessary();
    EXPECT_EQ(finished.count(), 1);

    defaults.setObject(clock.now().addSecs(-86400 + 1000), SoftwareUpdateLastCheckKey);
    const QDateTime timerStart = clock.now();
    defaults.setBool(true, SoftwareUpdateCheckAutomaticallyKey);
    EXPECT_EQ(clock.runningTimers(), 1);
    // The poll ticks before the date find nothing due; at the date itself
    // the check is not due yet either.
    const QDateTime due = manager.schedule().nextCheckDate();
    clock.advance(std::chrono::milliseconds(timerStart.msecsTo(due)));
    const int ticks = int(timerStart.msecsTo(due) / 300'000);
    EXPECT_EQ(finished.count(), 1 + ticks);
    manager.checkForUpdateInBackgroundIfNecessary();
    EXPECT_EQ(finished.count(), 2 + ticks);
    EXPECT_FALSE(manager.isCheckingForUpdate());

    // The first poll tick after the date starts the check.
    clock.advance(std::chrono::milliseconds(300'000 - timerStart.msecsTo(due) % 300'000));
    EXPECT_TRUE(manager.isCheckingForUpdate());
    EXPECT_FALSE(manager.isCheckingForUpdateInteractively());
    // A request while the run goes on changes nothing and says nothing.
    manager.checkForUpdateInBackgroundIfNecessary();
    EXPECT_EQ(finished.count(), 2 + ticks);
    ASSERT_TRUE(TestSupport::waitFor([&] { return finished.count() >= 3 + ticks; }, std::chrono::seconds(60)));
    EXPECT_EQ(bundle.feedRequests(), 1);
}

// Every run records its end; only a failed background run sets the failure
// mark; the driver is gone afterwards. (The interactive state's changes are
// checked where other processes hear them, in the process tests.)
TEST_F(NVSUUpdateManagerTest, EndOfRunBookkeeping)
{
    NVSUUpdateManager manager(defaults, clock, bundle.driverConfiguration());
    manager.setFeedURL(QUrl("https://updates.velkin.test" + AppTestBundle::FeedPath));
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
        SignalLog finished(&manager, &NVSUUpdateManager::updateManagerDidFinish);
        clock.advance(std::chrono::minutes(1));

        if (row.interactive)
            manager.checkForUpdate();
        else
            manager.checkForUpdateInBackgroundIfNecessary();
        ASSERT_TRUE(TestSupport::waitFor([&] { return finished.count() > 0; }, std::chrono::seconds(60)));

        EXPECT_EQ(finished.count(), 1);
        EXPECT_EQ(defaults.objectForKey(SoftwareUpdateLastCheckKey).toDateTime(), clock.now());
        EXPECT_EQ(defaults.persistentDomain().contains(SoftwareUpdateLastCheckFailedKey), row.failureMark);
        EXPECT_EQ(alerts.shown.size(), row.alertsShown);
        EXPECT_FALSE(manager.isCheckingForUpdate() || manager.isCheckingForUpdateInteractively());
        EXPECT_EQ(manager.driver(), nullptr);
    }
}
