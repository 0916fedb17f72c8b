#pragma once

#include "platform/NVWindowHandle.h"
#include "ui/NVAlert.h"

#include <functional>

// Shows alerts. The Widgets layer installs one that shows message boxes
// (NVMessageBoxAlertPresenter); tests install one that records and answers.
class NVAlertPresenter {
public:
    using CompletionHandler = std::function<void(int response)>;

    virtual ~NVAlertPresenter() = default;

    // Shows the alert application-modally and answers the pressed button's
    // response code (1000 for the first). Main thread; blocks in a nested
    // event loop until a button is pressed.
    virtual int runModal(const NVAlert &alert) = 0;

    // Shows the alert modal for one window (nullptr: for the whole
    // application) and returns at once; completionHandler, when set, is
    // called once on the main thread with the response code after the user
    // pressed a button. Main thread.
    virtual void beginSheetModalForWindow(const NVAlert &alert, NVWindowHandle window,
                                          CompletionHandler completionHandler) = 0;

    // The presenter alerts go to, or nullptr when none is installed. The
    // caller keeps ownership and must uninstall it (nullptr) before
    // destroying it. Main thread.
    static NVAlertPresenter *current();
    static void setCurrent(NVAlertPresenter *presenter);
};

// Runs an alert through the current presenter. Without one (no display and
// nobody installed a presenter) the alert is written to the console and
// answered with its first button, so that a run never waits for a window
// that cannot appear. Main thread; blocks while the alert is shown.
int NVRunAlertModal(const NVAlert &alert);
// The same for a sheet on a window; without a presenter the handler is
// called on the next turn of the event loop with the first button. Main thread.
void NVBeginAlertSheet(const NVAlert &alert, NVWindowHandle window, NVAlertPresenter::CompletionHandler completionHandler);
