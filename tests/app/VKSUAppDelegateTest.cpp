#include "app/AppTestSupport.h"
#include "app/NVSUSchedule.h"
#include "app/NVSUUpdateManager.h"
#include "app/VKSUAppDelegate.h"

namespace {

// A launched delegate with no check due, so that a background request
// finishes at once and every finish is counted.
class VKSUAppDelegateTest : public AppShellTest {
protected:
    void SetUp() override
    {
        AppShellTest::SetUp();
        defaults.setObject(clock.now(), SoftwareUpdateLastCheckKey);
        delegate = std::make_unique<VKSUAppDelegate>(defaults, clock, bundle.driverConfiguration());
        delegate->applicationWillFinishLaunching();
        delegate->applicationDidFinishLaunching();
    }
    void TearDown() override
    {
        delegate.reset();
        AppShellTest::TearDown();
    }

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
        if (outcome == Manual) {
            ASSERT_TRUE(TestSupport::waitFor([&] { return finished.count() == 1; }, std::chrono::seconds(60)));
        }

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

// Showing a window makes the process a regular application in front. The
// announcement names what is about to show; the icon falls back to the
// bundle's own.
TEST_F(VKSUAppDelegateTest, WillShowWindowActivatesAndNamesTheAlert)
{
    NVSUUpdateManager &manager = delegate->updateManager();
    SignalLog willShow(&manager, &NVSUUpdateManager::updateManagerWillShowWindow);
    manager.postWillShowWindowNotificationWithAlert(NVAlert{QStringLiteral("Headline"), {}, {}, {}});
    EXPECT_EQ(application.policy, NVApplication::ActivationPolicy::Regular);
    EXPECT_EQ(application.calls.count("activate"), 1);
    ASSERT_EQ(willShow.count(), 1);
    EXPECT_EQ(willShow.at(0).at(0).toMap().value("alert").value<NVAlert>().messageText, "Headline");

    EXPECT_EQ(manager.softwareUpdateIcon(), QString()) << "a bundle without an icon of its own";
    TestSupport::writeFile(bundle.bundlePath + "/Contents/Resources/Updater.png", "png");
    QVariantMap info = NVBundle::mainBundle()->infoDictionary();
    info.insert("CFBundleIconFile", "Updater.png");
    TestSupport::writeInfoPlist(bundle.bundlePath, info);
    NVBundle::bundleWithPath(bundle.bundlePath, true);
    EXPECT_EQ(manager.softwareUpdateIcon(), bundle.bundlePath + "/Contents/Resources/Updater.png");
}
