#include "app/NVSUUpdateManager.h"

#include "app/NVSUSchedule.h"
#include "logging/NVLog.h"
#include "platform/NVBundle.h"
#include "platform/NVClock.h"

NVSUUpdateManager::NVSUUpdateManager(NVUserDefaults &userDefaults, NVClock &clock, NVSUDriverConfiguration driverConfiguration,
                                     QObject *parent)
    : QObject(parent),
      m_userDefaults(userDefaults),
      m_clock(clock),
      m_driverConfiguration(std::move(driverConfiguration)),
      m_schedule(new NVSUSchedule(userDefaults, clock, this))
{
    reschedule();
    connect(m_schedule, &NVSUSchedule::nextCheckDateChanged, this, &NVSUUpdateManager::reschedule);
}

NVSUUpdateManager::~NVSUUpdateManager()
{
    // A run still going ends here without reporting back.
    if (m_driver)
        m_driver->setDelegate(nullptr);
}

void NVSUUpdateManager::checkForUpdate(NVWindowHandle sheetParentWindow)
{
    checkForUpdateInteractively(true, sheetParentWindow);
}

void NVSUUpdateManager::checkForUpdateInBackgroundIfNecessary()
{
    // The run in progress posts the finish notification when it ends.
    if (m_driver)
        return;
    const QDateTime next = m_schedule->nextCheckDate();
    if (next.isValid() && next < m_clock.now()) {
        checkForUpdateInteractively(false, nullptr);
        return;
    }
    Q_EMIT updateManagerDidFinish();
}

void NVSUUpdateManager::checkForUpdateInteractively(bool interactively, NVWindowHandle sheetParentWindow)
{
    currentDriver().checkForUpdateInteractively(interactively, sheetParentWindow);
}

NVSUDriver &NVSUUpdateManager::currentDriver()
{
    if (!m_driver) {
        NVSUDriverConfiguration configuration = m_driverConfiguration;
        configuration.feedURL = m_feedURL;
        configuration.userDefaults = &m_userDefaults;
        configuration.clock = &m_clock;
        setDriver(new NVSUDriver(this, std::move(configuration), this));
    }
    return *m_driver;
}

void NVSUUpdateManager::setDriver(NVSUDriver *driver)
{
    if (m_driver) {
        disconnect(m_driver, nullptr, this, nullptr);
        m_driver->setDelegate(nullptr);
        // The old driver may be on the call stack (it reports its end from
        // inside its own code), so it goes on the next turn of the loop.
        m_driver->deleteLater();
    }
    m_driver = driver;
    if (driver) {
        driver->setCanSkipPreReleaseVersions(m_canSkipPreReleaseVersions);
        driver->setWebsiteURL(m_websiteURL);
        driver->setDelegate(this);
        connect(driver, &NVSUDriver::checkingForUpdateChanged, this, &NVSUUpdateManager::refetchDriverProperties);
        connect(driver, &NVSUDriver::runningInteractivelyChanged, this, &NVSUUpdateManager::refetchDriverProperties);
    }
    refetchDriverProperties();
}

void NVSUUpdateManager::refetchDriverProperties()
{
    const bool checking = m_driver && m_driver->isCheckingForUpdate();
    const bool interactive = checking && m_driver->isRunningInteractively();
    if (checking != m_isCheckingForUpdate) {
        m_isCheckingForUpdate = checking;
        Q_EMIT checkingForUpdateChanged(checking);
    }
    if (interactive != m_isCheckingForUpdateInteractively) {
        m_isCheckingForUpdateInteractively = interactive;
        Q_EMIT checkingForUpdateInteractivelyChanged(interactive);
    }
}

void NVSUUpdateManager::reschedule()
{
    const bool hasDate = m_schedule->nextCheckDate().isValid();
    // A moved date leaves a running timer alone, phase and all.
    if (hasDate && !m_timer)
        m_timer = m_clock.startTimer(NVSUSchedule::internalCheckInterval(), true, [this] { checkForUpdateInBackgroundIfNecessary(); });
    else if (!hasDate && m_timer)
        m_timer.reset();
}

void NVSUUpdateManager::setCanSkipPreReleaseVersions(bool value)
{
    m_canSkipPreReleaseVersions = value;
    if (m_driver)
        m_driver->setCanSkipPreReleaseVersions(value);
}

QString NVSUUpdateManager::softwareUpdateIcon() const
{
    if (!m_softwareUpdateIcon.isEmpty())
        return m_softwareUpdateIcon;
    const NVBundle *bundle = NVBundle::mainBundle();
    const QString iconFile = bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleIconFile")).toString();
    return iconFile.isEmpty() ? QString() : bundle->pathForResource(iconFile, QString());
}

void NVSUUpdateManager::cleanupForTermination()
{
    if (m_driver)
        m_driver->cleanupAfterDownload();
}

void NVSUUpdateManager::driverDidTerminate(NVSUDriver *driver, int termination)
{
    if (driver != m_driver)
        return;
    const bool interactive = driver->isRunningInteractively();
    NVSUDebugLog(QStringLiteral("Update run finished (termination %d)"), qint64(termination));
    m_schedule->noteUpdateCheckDidStart();
    if (termination == NVSUDriverTerminationFailed && !interactive)
        m_schedule->noteUpdateCheckFailed();
    setDriver(nullptr);
    Q_EMIT updateManagerDidFinish();
}

void NVSUUpdateManager::postWillShowWindowNotificationWithWindow(NVWindowHandle window)
{
    QVariantMap userInfo;
    if (window)
        userInfo.insert(QStringLiteral("window"), QVariant::fromValue(window));
    Q_EMIT updateManagerWillShowWindow(userInfo);
}

void NVSUUpdateManager::postWillShowWindowNotificationWithAlert(const NVAlert &alert)
{
    Q_EMIT updateManagerWillShowWindow({{QStringLiteral("alert"), QVariant::fromValue(alert)}});
}
