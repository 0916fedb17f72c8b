#pragma once

#include "install/NVSUBundleReplacement.h"
#include "install/NVShell.h"
#include "logging/NVLog.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <memory>

// Shared by the installation tests: bundles on disk whose paths break careless
// quoting, a recorder executable that notes how it was started, and a way to
// run the blocking replacement off the main thread while the main thread
// delivers the workspace's completion.
namespace InstallTest {

// A piece of a file name with blanks, both quote characters, a dollar sign
// and non-ASCII letters.
inline const QString kAwkward = QStringLiteral("Prö dü\"c't $x ü");

// A fresh folder under /tmp whose own name holds kAwkward.
std::unique_ptr<QTemporaryDir> makeWorkDir();

// A bundle at `path`: Info.plist with CFBundleVersion and CFBundleExecutable,
// the recorder script as its executable, and Contents/Resources/marker.txt
// holding `marker`. An empty executable name leaves CFBundleExecutable out.
void makeBundle(const QString &path, const QString &version, const QByteArray &marker,
                const QString &executableName = QStringLiteral("Prödüct run"));

// What the recorder wrote when it ran from the bundle at `bundlePath`: its
// argument count, then one argument per line. Empty while it has not run.
QByteArray launchRecord(const QString &bundlePath);
// Waits for launchRecord to appear, turning the main event loop.
QByteArray waitForLaunchRecord(const QString &bundlePath, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Marker and version of the bundle now at `path` ("" when absent).
QByteArray markerOf(const QString &path);

// Every path below `folder` (relative, sorted) with the size and the first
// bytes of each file: a picture of the disk to compare before and after.
QStringList snapshot(const QString &folder);

// Short signal waits, for the tests that are not about them.
NVSUBundleReplacementOptions quickOptions();

// NVSUInstallFile on a worker thread; the main thread turns its event loop
// meanwhile and for `settle` afterwards, so the launch completion arrives.
bool installOnWorker(const QString &newPath, const QString &targetPath, bool replacingSelf,
                     NVSUBundleReplacementDelegate *delegate, const NVSUBundleReplacementOptions &options,
                     std::chrono::milliseconds settle = std::chrono::milliseconds(300));

// Turns the debug log on while it lives.
class DebugLogs : public NVLogEnvironment {
public:
    DebugLogs() { NVSetLogEnvironment(this); }
    ~DebugLogs() override { NVSetLogEnvironment(nullptr); }
    bool boolForKey(const QString &key) const override { return key == SoftwareUpdateDebugLogsEnabledKey; }
    QString bundleIdentifier() const override { return QString(); }
};

// Console messages that the update flow's failure log wrote.
QStringList failureLines(const QStringList &messages);

// An askpass program that appends a line to `counterPath` each time sudo
// runs it, and answers the test account's password or, with `cancel`, is
// cancelled as a person closing the prompt cancels it.
QString writeAskpass(const QString &folder, const QString &counterPath, bool cancel = false);
// How often that askpass was run.
int askpassCount(const QString &counterPath);

// A shell that has asked for root (directly when the tests run as root, else
// through sudo or polkit); the test fails where it did not get it.
std::shared_ptr<NVShell> rootShell();

// Runs a command through "sudo -A" with an askpass that answers the test
// account's password (for preparing root-owned files as the test account).
// Answers the exit status.
int sudo(const QStringList &command);

} // namespace InstallTest
