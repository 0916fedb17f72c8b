#include "app/VKSUAppDelegate.h"

#include "app/NVSUSchedule.h"
#include "app/NVSUUpdateManager.h"
#include "logging/NVLog.h"
#include "platform/NVApplicationServices.h"
#include "platform/NVBundle.h"
#include "platform/NVClock.h"
#include "platform/NVDistributedNotificationCenter.h"
#include "platform/NVUserDefaults.h"

namespace {

constexpr std::chrono::milliseconds kLaunchFallbackDelay{3000};
constexpr std::chrono::milliseconds kQuitDelay{2000};

QUrl infoDictionaryURL(const char *key)
{
    const QString text = NVBundle::mainBundle()->objectForInfoDictionaryKey(QString::fromLatin1(key)).toString();
    return text.isEmpty() ? QUrl() : QUrl(text);
}

} // namespace

VKSUAppDelegate::VKSUAppDelegate(NVUserDefaults &userDefaults, NVClock &clock, NVSUDriverConfiguration driverConfiguration,
                                 QObject *parent)
    : QObject(parent),
      m_userDefaults(userDefaults),
      m_clock(clock),
      m_updateManager(new NVSUUpdateManager(userDefaults, clock, std::move(driverConfiguration), this))
{
    connect(m_updateManager, &NVSUUpdateManager::updateManagerDidFinish, this, &VKSUAppDelegate::updateManagerDidFinish);
    m_userDefaults.observe(SoftwareUpdateLastCheckKey, this, [this] {
        // Readers in other processes look at the file when they hear this.
        m_userDefaults.synchronize();
        NVDistributedNotificationCenter::postNotificationName(VKSoftwareUpdateLastCheckDateDidChangeNotification);
    });
    m_updateManager->setFeedURL(infoDictionaryURL("SoftwareUpdateFeedURL"));
    m_updateManager->setWebsiteURL(infoDictionaryURL("SoftwareUpdateWebsiteURL"));
    connect(m_updateManager, &NVSUUpdateManager::checkingForUpdateInteractivelyChanged, this, [this] {
        NVDistributedNotificationCenter::postNotificationName(
            VKSoftwareUpdateCheckingForUpdateDidChangeNotification,
            {{QStringLiteral("checkingForUpdate"), m_updateManager->isCheckingForUpdateInteractively()}});
    });
}

VKSUAppDelegate::~VKSUAppDelegate() = default;

void VKSUAppDelegate::applicationWillFinishLaunching()
{
    connect(m_updateManager, &NVSUUpdateManager::updateManagerWillShowWindow, this, &VKSUAppDelegate::willShowWindow);
}

void VKSUAppDelegate::applicationDidFinishLaunching()
{
    m_launchFallback = m_clock.startTimer(kLaunchFallbackDelay, false, [this] { launchFallbackDidFire(); });
}

void VKSUAppDelegate::applicationWillTerminate()
{
    m_updateManager->cleanupForTermination();
}

void VKSUAppDelegate::launchFallbackDidFire()
{
    if (m_didPerformUpdateCheck)
        return;
    NVSUDebugLog(QStringLiteral("No URL command came; checking in the background if due"));
    checkForUpdateAutomatically();
}

void VKSUAppDelegate::getURL(const QString &url)
{
    if (!url.startsWith(VKSoftwareUpdateURLScheme))
        return;
    const QStringView command = QStringView(url).mid(VKSoftwareUpdateURLScheme.size());
    if (command == u"check-manually") {
        NVSUDebugLog(QStringLiteral("URL command: %@"), url);
        m_didPerformUpdateCheck = true;
        checkForUpdateManually();
    } else if (command == u"check-automatically") {
        NVSUDebugLog(QStringLiteral("URL command: %@"), url);
        m_didPerformUpdateCheck = true;
        checkForUpdateAutomatically();
    }
}

void VKSUAppDelegate::checkForUpdateManually()
{
    if (NVApplication *application = NVApplicationServices::application())
        application->activate();
    m_updateManager->checkForUpdate();
}

void VKSUAppDelegate::checkForUpdateAutomatically()
{
    m_updateManager->checkForUpdateInBackgroundIfNecessary();
}

void VKSUAppDelegate::willShowWindow()
{
    if (NVApplication *application = NVApplicationServices::application()) {
        application->setActivationPolicy(NVApplication::ActivationPolicy::Regular);
        application->activate();
    }
}

void VKSUAppDelegate::updateManagerDidFinish()
{
    NVSUDebugLog(QStringLiteral("Quitting in 2 seconds"));
    m_quitTimers.push_back(m_clock.startTimer(kQuitDelay, false, [] { NVApplicationServices::terminateApplication(); }));
    Q_EMIT quitTimerStarted();
}
