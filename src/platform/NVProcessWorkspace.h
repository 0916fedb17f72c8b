#pragma once

#include "foundation/NVError.h"
#include "platform/NVApplicationServices.h"

// The workspace of a process without a desktop layer of its own: it opens
// applications by starting their executables and URLs through xdg-open.
// The bundle replacement falls back to it when the application layer has
// installed no workspace, so that the updated application is launched even
// from the terminal interface.
class NVProcessWorkspace : public NVWorkspace {
public:
    // The process-wide instance. Any thread.
    static NVProcessWorkspace &shared();

    // Starts "/usr/bin/xdg-open URL" detached; true when it started. Any thread.
    bool openURL(const QString &url) override;

    // Starts the bundle's Contents/MacOS/<CFBundleExecutable>, as its
    // Info.plist reads now, detached in a session of its own with
    // `arguments`. The completion is posted to the main thread's event loop
    // (so it runs once the caller's thread, if it is the main thread, turns
    // its loop). Any thread; returns at once after the start.
    void openApplication(const QString &bundlePath, const QStringList &arguments, LaunchCompletion completion) override;
};

// The executable that opening the bundle at `bundlePath` starts, read from
// its Info.plist now; an error when the bundle has none or names one that is
// not a plain file name inside Contents/MacOS. Any thread.
NVResult<QString> NVBundleExecutableForLaunch(const QString &bundlePath);
