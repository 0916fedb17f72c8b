#pragma once

#include "platform/NVWindowHandle.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Shows a server's certificate chain to the person deciding whether to trust
// it: the show-certificate button of a failed secure connection. The
// Widgets layer installs a dialog (subject, issuer, validity and SHA-256
// fingerprint of each certificate), the terminal interface prints the same.
class NVCertificatePanel {
public:
    virtual ~NVCertificatePanel() = default;

    // Shows the chain (DER certificates, the server's first) until the user
    // presses the default button, titled `defaultButtonTitle`. Main thread;
    // blocks in a nested event loop while shown.
    virtual void runModalForTrust(const QList<QByteArray> &chain, const QString &defaultButtonTitle) = 0;

    // The installed panel, or nullptr (the chain is then written to the log).
    // The caller keeps ownership and uninstalls before destroying it. Main
    // thread.
    static NVCertificatePanel *current();
    static void setCurrent(NVCertificatePanel *panel);
};
