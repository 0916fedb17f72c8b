#pragma once

#include "driver/NVSUDriver.h"

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QVariantMap>

#include <memory>

class NVClock;
class NVSUSchedule;
class NVTimer;
class NVUserDefaults;

// The long-lived owner of the update runs: at most one driver at a time. It
// starts interactive and background checks, asks the schedule every 300
// seconds whether a background check is due (the poll timer exists exactly
// while the schedule has a next date), mirrors the driver's state into two
// properties, records the end of each run in the schedule, and announces
// through two signals when a window or alert is about to appear and when a
// run has finished (or a background check turned out not to be due).
class NVSUUpdateManager : public QObject, public NVSUDriverDelegate, public NVSUDriverHost {
    Q_OBJECT
    Q_PROPERTY(bool checkingForUpdate READ isCheckingForUpdate NOTIFY checkingForUpdateChanged)
    Q_PROPERTY(bool checkingForUpdateInteractively READ isCheckingForUpdateInteractively NOTIFY checkingForUpdateInteractivelyChanged)
public:
    // Creates the schedule on the same settings; every driver gets
    // `driverConfiguration` with this manager's feed URL, settings and clock.
    // Main thread.
    NVSUUpdateManager(NVUserDefaults &userDefaults, NVClock &clock, NVSUDriverConfiguration driverConfiguration = {},
                      QObject *parent = nullptr);
    ~NVSUUpdateManager() override;

    // An interactive check; an alert hangs from sheetParentWindow when it is
    // on screen. A run in progress is brought to the front instead. Main
    // thread; returns at once.
    void checkForUpdate(NVWindowHandle sheetParentWindow = nullptr);
    // Starts a background check when no run is in progress and the next
    // check date lies strictly before now; when no check is due, emits
    // updateManagerDidFinish. Main thread; returns at once.
    void checkForUpdateInBackgroundIfNecessary();

    // Main thread.
    bool isCheckingForUpdate() const { return m_isCheckingForUpdate; }
    bool isCheckingForUpdateInteractively() const { return m_isCheckingForUpdateInteractively; }
    const QUrl &feedURL() const { return m_feedURL; }
    void setFeedURL(const QUrl &url) { m_feedURL = url; }
    const QUrl &websiteURL() const { return m_websiteURL; }
    void setWebsiteURL(const QUrl &url) { m_websiteURL = url; }
    bool canSkipPreReleaseVersions() const { return m_canSkipPreReleaseVersions; }
    // Also changes the running driver's value.
    void setCanSkipPreReleaseVersions(bool value);
    // The icon set, else the application's own (its bundle's
    // CFBundleIconFile; empty when it has none). Any thread.
    QString softwareUpdateIcon() const override;
    void setSoftwareUpdateIcon(const QString &imagePath) { m_softwareUpdateIcon = imagePath; }
    NVSUSchedule &schedule() const { return *m_schedule; }
    // The current run, if any. Main thread.
    NVSUDriver *driver() const { return m_driver; }

    // Removes the current run's download and detaches its image; the quit
    // path calls it before the event loop ends. Main thread.
    void cleanupForTermination();

    // NVSUDriverDelegate and NVSUDriverHost. Main thread.
    void driverDidTerminate(NVSUDriver *driver, int termination) override;
    void postWillShowWindowNotificationWithWindow(NVWindowHandle window) override;
    void postWillShowWindowNotificationWithAlert(const NVAlert &alert) override;

Q_SIGNALS:
    void checkingForUpdateChanged(bool checkingForUpdate);
    void checkingForUpdateInteractivelyChanged(bool checkingForUpdateInteractively);
    // A run ended, or a background check was asked for and is not due.
    void updateManagerDidFinish();
    // A window or alert is about to appear: userInfo holds "window" (an
    // NVWindowHandle) or "alert" (an NVAlert), and is empty for no window.
    void updateManagerWillShowWindow(const QVariantMap &userInfo);

private:
    NVSUDriver &currentDriver();
    void setDriver(NVSUDriver *driver);
    void checkForUpdateInteractively(bool interactively, NVWindowHandle sheetParentWindow);
    void refetchDriverProperties();
    void reschedule();

    NVUserDefaults &m_userDefaults;
    NVClock &m_clock;
    const NVSUDriverConfiguration m_driverConfiguration;
    QPointer<NVSUDriver> m_driver;
    NVSUSchedule *m_schedule;
    std::unique_ptr<NVTimer> m_timer;
    bool m_isCheckingForUpdate = false;
    bool m_isCheckingForUpdateInteractively = false;
    QString m_softwareUpdateIcon;
    bool m_canSkipPreReleaseVersions = true;
    QUrl m_feedURL;
    QUrl m_websiteURL;
};
