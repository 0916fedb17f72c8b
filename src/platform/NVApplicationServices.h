#pragma once

#include "platform/NVWindowHandle.h"

#include <QString>
#include <QStringList>

#include <functional>

// What the core asks of the application object and the workspace. The
// application layer installs an implementation built on Qt Widgets; tests
// install recorders; without an installation the core falls back to the
// plain behaviour documented on each function of NVApplicationServices::.

// The application object: activation, termination and the activation policy.
class NVApplication {
public:
    enum class ActivationPolicy { Regular = 0, Accessory = 1, Prohibited = 2 };

    virtual ~NVApplication() = default;
    // Asks the application to terminate through its normal path (download
    // folders removed, images detached). Main thread; may not return.
    virtual void terminate() = 0;
    // Main thread; returns at once.
    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    // Raises and activates the process's window, if any. Main thread.
    virtual void activate() = 0;
    // Main thread.
    virtual void hide() = 0;
    // Whether an application-modal window or alert is up. Main thread.
    virtual bool isModalWindowUp() const = 0;
    // Whether the window is on screen, so that a sheet can hang from it.
    // Main thread.
    virtual bool isWindowVisible(NVWindowHandle window) const { return window != nullptr; }
};

// The workspace: opening URLs and applications.
class NVWorkspace {
public:
    // Called once, on the main thread, with the launched bundle's path or
    // with an error text.
    using LaunchCompletion = std::function<void(const QString &launchedBundlePath, const QString &errorText)>;

    virtual ~NVWorkspace() = default;
    // Opens a URL with the desktop's handler. Main thread.
    virtual bool openURL(const QString &url) = 0;
    // Starts the application bundle at `bundlePath` (its
    // Contents/MacOS/<CFBundleExecutable>) detached, in a session of its own,
    // with `arguments`; `completion` (optional) tells how it went. Any thread;
    // returns at once.
    virtual void openApplication(const QString &bundlePath, const QStringList &arguments,
                                 LaunchCompletion completion) = 0;
};

namespace NVApplicationServices {
// The installed implementations, or nullptr. The caller keeps ownership and
// uninstalls (nullptr) before destroying them. Install on the main thread
// before any run starts; read from any thread.
NVApplication *application();
void setApplication(NVApplication *application);
NVWorkspace *workspace();
void setWorkspace(NVWorkspace *workspace);

// Terminates through the installed application object; without one, quits
// the Qt event loop of the process. Main thread.
void terminateApplication();
} // namespace NVApplicationServices
