#include "app/AppTestSupport.h"
#include "app/NVSUSchedule.h"
#include "app/NVSUUpdateManager.h"
#include "app/VKSUAppDelegate.h"
#include "platform/NVUserDefaults.h"
#include "support/ManualClock.h"
#include "support/RecordingAlertPresenter.h"

namespace {

// A delegate on private settings and a manual clock, with no check due, so
// that a background request finishes at once and every finish is counted.
class VKSUAppDelegateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NVBundle::setMainBundle(bundle.bundlePath);
        qputenv("XDG_CACHE_HOME", QFile::encodeName(bundle.cacheDirectory));
        defaults.setObject(clock.now(), SoftwareUpdateLastCheckKey);
        delegate = std::make_unique<VKSUAppDelegate>(defaults, clock, bundle.driverConfiguration());
        delegate->applicationWillFinishLaunching();
        delegate->applicationDidFinishLaunching();
    }
    void TearDown() override
    {
        delegate.reset();
        qunsetenv("XDG_CACHE_HOME");
    }

    AppTestBundle bundle{QStringLiteral("Delegate")};
    NVUserDefaults defaults{bundle.identifier, bundle.configDirectory};
    ManualClock clock;
    RecordingApplication application;
    RecordingAlertPresenter alerts;
    std::unique_ptr<VKSUAppDelegate> delegate;
};

} // namespace

// Only the exact prefix and command words count; a recognised command also
// keeps the launch fallback from running a second check.
TEST_F(VKSUAppDelegateTest, URLCommandsAreMatchedExactly)
{
    enum Outcome { Ignored, Manual, Automatic };
    const std::pair<QString, Outcome> rows[] = {
        {"x-velkin-software-update:check-manually", Manual},
        {"x-velkin-software-update:check-automatically", Automatic},
        {"x-velkin-software-update:Check-Manually", Ignored},
        {"x-velkin-software-update:check-manually ", Ignored},
        {"x-velkin-software-update://check-manually", Ignored},
        {"x-other-update:check-manually", Ignored},
        {"", Ignored},
    };
    for (const auto &[url, outcome] : rows) {
        SCOPED_TRACE(url.toStdString());
        TearDown();
        SetUp();
        SignalLog finished(&delegate->updateManager(), &NVSUUpdateManager::updateManagerDidFinish);
        delegate->getURL(url);
        EXPECT_EQ(delegate->updateManager().isCheckingForUpdateInteractively(), outcome == Manual);
        EXPECT_EQ(application.calls.count("activate"), outcome == Manual ? 1 : 0);
        EXPECT_EQ(finished.count(), outcome == Automatic ? 1 : 0) << "a background check that is not due finishes at once";
        if (outcome == Manual)
            ASSERT_TRUE(TestSupport::waitFor([&] { return finished.count() == 1; }, std::chrono::seconds(60)));

        clock.advance(std::chrono::milliseconds(2999));
        const qsizetype before = finished.count();
        clock.advance(std::chrono::milliseconds(1));
        EXPECT_EQ(finished.count(), before + (outcome == Ignored ? 1 : 0)) << "the fallback after 3.0 s";
        application.calls.clear();
    }
}

// Every finish quits 2.0 seconds later; a command in between does not
// cancel that.
TEST_F(VKSUAppDelegateTest, QuitsTwoSecondsAfterEveryFinish)
{
    SignalLog quitTimers(delegate.get(), &VKSUAppDelegate::quitTimerStarted);
    delegate->getURL(QStringLiteral("x-velkin-software-update:check-automatically"));
    ASSERT_EQ(quitTimers.count(), 1);
    clock.advance(std::chrono::milliseconds(1999));
    EXPECT_EQ(application.calls.count("terminate"), 0);
    delegate->getURL(QStringLiteral("x-velkin-software-update:check-manually"));
    EXPECT_TRUE(delegate->updateManager().isCheckingForUpdate());
    clock.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(application.calls.count("terminate"), 1);
}

// Showing a window makes the process a regular application in front.
TEST_F(VKSUAppDelegateTest, WillShowWindowActivates)
{
    delegate->updateManager().postWillShowWindowNotificationWithWindow(nullptr);
    EXPECT_EQ(application.policy, NVApplication::ActivationPolicy::Regular);
    EXPECT_EQ(application.calls.count("activate"), 1);
}
