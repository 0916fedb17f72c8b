#pragma once

#include "foundation/NVError.h"

#include <QString>

#include <sys/types.h>

// Ending this application and opening an application bundle once it has
// ended: a small watcher process outlives us, waits until our process id is
// gone and then starts the bundle through the launcher (nvsu-open) with the
// launch arguments "-NVApplicationDidRelaunch" "YES", which the relaunched
// application's user defaults read as NVApplicationDidRelaunch = true.
namespace NVRelaunch {

inline const QString NVRelaunchAppPathVariable = QStringLiteral("NV_RELAUNCH_APP_PATH");
inline const QString NVRelaunchParentPidVariable = QStringLiteral("NV_RELAUNCH_PARENT_PID");
inline const QString NVApplicationDidRelaunchKey = QStringLiteral("NVApplicationDidRelaunch");

// The launcher beside this process's executable. Any thread.
QString launcherPath();

// The watcher's /bin/sh script: polls the parent once a second and then runs
// the launcher, whose path is quoted into it. The paths of the application
// and the parent's id come from the environment. Any thread.
QString watcherScript(const QString &launcherPath);

// Starts the watcher for `parentPid`, detached, in "/", with the two
// variables added to its environment only. Answers its process id, or why it
// could not start. Any thread; returns at once.
NVResult<pid_t> startWatcher(const QString &applicationPath, pid_t parentPid, const QString &launcherPath);

// Starts the watcher for this process and asks the application to terminate.
// When the watcher cannot be started nothing is terminated and the error is
// returned. Main thread.
NVResult<void> terminateAndLaunchApplication(const QString &applicationPath);

// terminateAndLaunchApplication with the main bundle's path. Main thread.
NVResult<void> relaunch();

} // namespace NVRelaunch
