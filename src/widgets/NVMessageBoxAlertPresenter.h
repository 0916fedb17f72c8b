#pragma once

#include "ui/NVAlertPresenter.h"

class QMessageBox;
class QWidget;

// Shows alerts as QMessageBoxes: application-modal with runModal, or modal
// for one window with beginSheetModalForWindow. The first button is the
// default and sits at the trailing end of the row, where Linux desktops put
// the affirmative button; the others follow it towards the leading end. An
// alert without button titles gets one "OK" button (1000). Escape and the
// window's close button end a box only when it has a single button, so every
// alert answers with one of its own codes.
class NVMessageBoxAlertPresenter : public NVAlertPresenter {
public:
    // Main thread; blocks in QMessageBox::exec.
    int runModal(const NVAlert &alert) override;
    // Main thread; returns at once. The box is a child of the window's
    // top-level widget; if that window is destroyed first, the box goes with
    // it and the handler is not called.
    void beginSheetModalForWindow(const NVAlert &alert, NVWindowHandle window,
                                  CompletionHandler completionHandler) override;

    // The box for an alert, not yet shown; the buttons carry their response
    // codes in the property "nvResponse". Main thread.
    static QMessageBox *makeMessageBox(const NVAlert &alert, QWidget *parent);
    // The response code of the button the user pressed in box. Main thread.
    static int responseOf(const QMessageBox *box);
};
