#pragma once

#include <QString>

#include <functional>

// Handing over to an installer application carried in the download: it is
// started, waited for, and then this application quits.
namespace NVSUInstallerLaunch {

// "<path>/Contents/MacOS/<last component of path without its extension>":
// an installer at /media/X/Setup.app runs /media/X/Setup.app/Contents/MacOS/Setup.
// Any thread.
QString installerExecutablePath(const QString &installerPath);

// Starts the installer with the two arguments "-startedBySoftwareUpdate" and
// "YES", after closing the update window (closeUpdateWindow) and giving up
// the application's regular presence (activation policy accessory), waits
// for it to exit, whatever its status, and asks the application to
// terminate. False when the installer cannot be started; the window stays
// closed then. Main thread; blocks until the installer has exited.
bool runInstaller(const QString &installerPath, const std::function<void()> &closeUpdateWindow);

} // namespace NVSUInstallerLaunch
