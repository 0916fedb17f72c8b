#pragma once

#include "terminal/NVTerminal.h"
#include "ui/NVAlertPresenter.h"
#include "ui/NVCertificatePanel.h"

#include <QPointer>

// Alerts on the terminal: the headline, the body, and the buttons as
// numbered choices, Enter taking the first (the default button). With
// --assume-yes the first button is taken; so it is when the input has ended.
// A sheet is shown the same way, since a terminal has no windows; it
// returns at once and answers later.
//
// Main thread, every method; the terminal must outlive the presenter.
class NVTerminalAlertPresenter : public NVAlertPresenter {
public:
    explicit NVTerminalAlertPresenter(NVTerminal *terminal);

    // Blocks in a nested event loop until answered.
    int runModal(const NVAlert &alert) override;
    void beginSheetModalForWindow(const NVAlert &alert, NVWindowHandle window, CompletionHandler completionHandler) override;

private:
    NVTerminalQuestion show(const NVAlert &alert);

    QPointer<NVTerminal> m_terminal;
};

// The server's certificate chain on the terminal, for the person deciding
// whether to trust it: subject, issuer, validity and SHA-256 fingerprint of
// each certificate, then the default button as the one choice.
//
// Main thread; the terminal must outlive the panel.
class NVTerminalCertificatePanel : public NVCertificatePanel {
public:
    explicit NVTerminalCertificatePanel(NVTerminal *terminal);

    // Blocks in a nested event loop until answered (not with --assume-yes).
    void runModalForTrust(const QList<QByteArray> &chain, const QString &defaultButtonTitle) override;

    // The lines that describe a chain of DER certificates. Any thread.
    static QStringList describeChain(const QList<QByteArray> &chain);

private:
    QPointer<NVTerminal> m_terminal;
};
