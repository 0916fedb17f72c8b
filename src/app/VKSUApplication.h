#pragma once

#include "driver/NVSUDriver.h"
#include "platform/NVApplicationServices.h"
#include "ui/NVCertificatePanel.h"
#include "ui/NVSUWindowController.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

class NVAlertPresenter;
class NVSingleInstance;
class NVTerminationSignals;
class VKSUAppDelegate;

// The process: one per session bus and bundle identifier. It starts up in a
// fixed order (interface files localized, defaults registered, signals
// routed, the bus name claimed or the URL handed to the process that has it,
// leftovers of killed runs removed, the interfaces installed, the
// application's delegate created and launched), runs the event loop, and
// quits through one path: the current run's download folder removed, its
// image detached (waiting up to five seconds for the detach), then the event
// loop ends. That path waits for a bundle replacement in progress.
//
// It is also the application object when there is no display: no windows to
// activate or hide, and no modal window.
//
// Command line: [URL [--assume-yes]] [-Key Value]...; the URL is the first
// argument unless that begins with "-"; "-Key Value" pairs are settings of
// this run (the argument domain of the user defaults), and an argument that
// begins with "--" never is one.
//
// Debug log lines: "Launched with %@", "Terminating (%@)".
class VKSUApplication : public QObject, public NVApplication {
    Q_OBJECT
public:
    struct LaunchOptions {
        QString url;
        // Answer every question with yes: read by the terminal interface.
        bool assumeYes = false;
    };
    // Any thread.
    static LaunchOptions parseArguments(const QStringList &arguments);
    // Whether windows can be shown: DISPLAY or WAYLAND_DISPLAY is set. Any thread.
    static bool hasDisplay();

    // What shows windows and alerts; main() fills it from the Qt Widgets
    // side when there is a display. Whatever is left empty falls back to the
    // core: this object as the application, the process workspace, alerts on
    // the console, no window.
    struct Interface {
        // What the pieces below share (the terminal, say); it outlives them.
        std::unique_ptr<QObject> owner;
        std::unique_ptr<NVApplication> application;
        std::unique_ptr<NVWorkspace> workspace;
        std::unique_ptr<NVAlertPresenter> alertPresenter;
        std::unique_ptr<NVCertificatePanel> certificatePanel;
        NVSUWindowControllerFactory windowControllerFactory;
        // Run first: switches on the localization of interface files.
        std::function<void()> enableAutomaticLocalization;
    };

    // Main thread; the Qt application object exists.
    explicit VKSUApplication(LaunchOptions options, QObject *parent = nullptr);
    ~VKSUApplication() override;

    // Starts up, runs the event loop and answers the exit status (0 when the
    // URL went to the process that was already running). Main thread.
    int run(Interface interface, NVSUDriverConfiguration driverConfiguration = {});

    const LaunchOptions &launchOptions() const { return m_options; }

    // NVApplication. terminate: the quit path above; may be called any
    // number of times. Main thread.
    void terminate() override;
    void setActivationPolicy(ActivationPolicy) override {}
    void activate() override {}
    void hide() override {}
    bool isModalWindowUp() const override { return false; }

private:
    void beginTermination(const QString &reason);
    void removeLeftovers();

    const LaunchOptions m_options;
    Interface m_interface;
    std::unique_ptr<NVSingleInstance> m_instance;
    std::unique_ptr<NVTerminationSignals> m_signals;
    std::unique_ptr<VKSUAppDelegate> m_delegate;
    bool m_terminating = false;
};
