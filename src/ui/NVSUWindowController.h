#pragma once

#include "localization/NVLocalization.h"
#include "model/NVSUUpdate.h"
#include "platform/NVWindowHandle.h"

#include <QString>
#include <QVariantList>

#include <functional>
#include <memory>

// The contract between one update run and the window that shows it. The
// driver decides every step and calls the operations of
// NVSUWindowControllerInterface; the window turns the user's clicks back into
// calls on NVSUWindowControllerOwner. Two implementations exist: the Qt
// window (widgets/) and the terminal interface. The factory that makes them
// is installed by the application at start-up, so the driver never sees a
// Widgets header.

// The user's answers, with the values the settings and logs use.
enum NVSUUserChoice : int {
    NVSUUserChoiceSkipThisVersion = 0,
    NVSUUserChoiceRemindMeLater = 1,
    NVSUUserChoiceUpdate = 2,
    NVSUUserChoiceCancel = 3,
    NVSUUserChoiceWindowClosed = 4,
};

// What the window asks of the run it belongs to: the driver. Every call on
// the main thread; the resume calls may start the next step at once.
class NVSUWindowControllerOwner {
public:
    virtual ~NVSUWindowControllerOwner() = default;

    // The product's name for headlines and titles.
    virtual QString bundleName() const = 0;
    // An image file for the window's icon; empty for the application's own.
    virtual QString softwareUpdateIcon() const = 0;
    // Whether a person asked for this run (else it is an automatic check,
    // and the window must not take the focus).
    virtual bool isRunningInteractively() const = 0;
    // The table the window's alert texts come from (the driver's).
    virtual const NVLocalizable &localizable() const = 0;

    // Once, just before the window is first shown.
    virtual void updateWindowWillOpen() = 0;
    // When the window is closing, whoever closes it.
    virtual void updateWindowWillClose() = 0;
    // One of the three choices of the presentation: skip this version (0),
    // remind me later (1), update (2).
    virtual void dialogFinishedWithChoice(int choice) = 0;
    // The action button while downloading or unpacking.
    virtual void cancelDownload() = 0;
    // The action button once the installation is offered.
    virtual void startInstaller() = 0;
    // The action button while an error is shown in the window: go back.
    virtual void alertDidFinish() = 0;
};

// What the driver asks of the window. Every operation on the main thread;
// none blocks.
class NVSUWindowControllerInterface {
public:
    virtual ~NVSUWindowControllerInterface() = default;

    // Replaces the offered update (its release notes are loaded, if any).
    virtual void setUpdate(const NVSUUpdate &update) = 0;
    virtual void switchToPresentationView() = 0;
    virtual void switchToDownloadView() = 0;
    virtual void setProgressDescription(const QString &description) = 0;
    virtual void downloadStarted() = 0;
    // received and total bytes; total is -1 when the size is not known.
    virtual void downloadProgress(qint64 received, qint64 totalDownloadSize) = 0;
    virtual void unpackStarted() = 0;
    virtual void processingAborted() = 0;
    virtual void resetDownloadView() = 0;
    // The mechanism's raw value (NVSUInstallationMechanism).
    virtual void offerInstallationWithMechanism(int mechanism) = 0;
    // Opens the in-window alert whose texts are the owner's localized alert
    // `name` filled with `arguments`; its button reports alertDidFinish.
    virtual void runAlertWithName(const QString &name, const QVariantList &arguments = {}) = 0;

    // The window, as the parent of the driver's sheets; nullptr when it is
    // not on screen (or there is none, as in a terminal).
    virtual NVWindowHandle window() const = 0;
    // Brings the window to the front and makes it key.
    virtual void showWindow() = 0;
    // Hides the window without closing it (an installer takes over).
    virtual void closeUpdateWindow() = 0;
    // Closes the window; the owner hears updateWindowWillClose.
    virtual void close() = 0;
};

// Makes the controller for an update: created and shown at once, as the
// first operation of a presentation. The factory may decline (no display,
// no terminal, nobody to answer): the run then ends as postponed.
using NVSUWindowControllerFactory =
    std::function<std::unique_ptr<NVSUWindowControllerInterface>(const NVSUUpdate &update, NVSUWindowControllerOwner *owner)>;

namespace NVSUWindowControllers {
// The installed factory; empty when none is installed. Install on the main
// thread before the first run; read on the main thread.
const NVSUWindowControllerFactory &factory();
void setFactory(NVSUWindowControllerFactory factory);
} // namespace NVSUWindowControllers
