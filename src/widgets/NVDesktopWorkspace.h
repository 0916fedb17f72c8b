#pragma once

#include "platform/NVApplicationServices.h"

// The workspace when there is a display: URLs open through the desktop's
// handler (QDesktopServices, which knows the session's preferred browser);
// applications start as the process workspace starts them.
class NVDesktopWorkspace : public NVWorkspace {
public:
    // Main thread.
    bool openURL(const QString &url) override;
    // Any thread; returns at once.
    void openApplication(const QString &bundlePath, const QStringList &arguments, LaunchCompletion completion) override;
};
