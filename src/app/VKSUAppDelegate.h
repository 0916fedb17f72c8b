#pragma once

#include "driver/NVSUDriver.h"

#include <QObject>

#include <memory>
#include <vector>

class NVClock;
class NVSUUpdateManager;
class NVTimer;
class NVUserDefaults;

inline const QString VKSoftwareUpdateURLScheme = QStringLiteral("x-velkin-software-update:");
inline const QString VKSoftwareUpdateLastCheckDateDidChangeNotification =
    QStringLiteral("VKSoftwareUpdateLastCheckDateDidChangeNotification");
inline const QString VKSoftwareUpdateCheckingForUpdateDidChangeNotification =
    QStringLiteral("VKSoftwareUpdateCheckingForUpdateDidChangeNotification");

// The application's delegate: owns the update manager for the life of the
// process, turns URL commands into checks, brings the process forward when
// a window or alert is about to appear, republishes the check state to
// other processes, and quits 2.0 seconds after every finished run.
//
//   "x-velkin-software-update:check-manually"       an interactive check
//   "x-velkin-software-update:check-automatically"  a background check, if due
//
// Prefix and command are compared exactly (case-sensitive, nothing
// trimmed); anything else is ignored without a message. Without a command in
// the first 3.0 seconds the background check-if-due runs by itself.
//
// Distributed notifications (NVDistributedNotificationCenter):
//   VKSoftwareUpdateLastCheckDateDidChangeNotification      no user info; the
//       settings are on disk before it is sent
//   VKSoftwareUpdateCheckingForUpdateDidChangeNotification  {"checkingForUpdate":
//       the interactive-check state}
//
// Debug log lines, for whoever watches a run:
//   "URL command: %@"
//   "No URL command came; checking in the background if due"
//   "Quitting in 2 seconds"
class VKSUAppDelegate : public QObject {
    Q_OBJECT
public:
    // Creates the update manager with these settings and clock, and gives it
    // the main bundle's "SoftwareUpdateFeedURL" and "SoftwareUpdateWebsiteURL".
    // Main thread.
    VKSUAppDelegate(NVUserDefaults &userDefaults, NVClock &clock, NVSUDriverConfiguration driverConfiguration = {},
                    QObject *parent = nullptr);
    ~VKSUAppDelegate() override;

    // Start-up, in this order. Main thread; return at once.
    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    // Before the event loop ends: the current run's download goes. Main thread.
    void applicationWillTerminate();

    // A URL command from the command line or from a later process. Main
    // thread; returns at once.
    void getURL(const QString &url);

    NVSUUpdateManager &updateManager() const { return *m_updateManager; }

Q_SIGNALS:
    // The quit timer started: the process ends 2.0 seconds from now.
    void quitTimerStarted();

private:
    void checkForUpdateManually();
    void checkForUpdateAutomatically();
    void launchFallbackDidFire();
    void willShowWindow();
    void updateManagerDidFinish();

    NVUserDefaults &m_userDefaults;
    NVClock &m_clock;
    bool m_didPerformUpdateCheck = false;
    NVSUUpdateManager *m_updateManager;
    std::unique_ptr<NVTimer> m_launchFallback;
    // Never cancelled: every finished run ends the process 2.0 seconds later.
    std::vector<std::unique_ptr<NVTimer>> m_quitTimers;
};
