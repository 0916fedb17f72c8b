#include "install/NVShell.h"

#include "logging/NVLog.h"

// Placeholder for the elevation path until the authorization service is in:
// every request for root is refused, so callers take their failure branch.
bool NVShell::requestRootShell()
{
    NVSULog(QStringLiteral("Root rights are not available in this build"));
    return false;
}

void NVShell::setIsRootShell(bool isRootShell)
{
    if (!isRootShell) {
        m_isRootShell = false;
        return;
    }
    if (m_authorizationReference)
        m_isRootShell = true;
    else
        requestRootShell();
}

std::shared_ptr<NVShell> NVShell::shellWithAuthorizationReferenceFromShell(const std::shared_ptr<NVShell> &other)
{
    auto shell = create();
    if (other && other->isRootShell()) {
        shell->m_authorizationReference = other->m_authorizationReference;
        shell->m_shellSharingItsAuthorizationReference = other;
        shell->m_isRootShell = true;
    }
    return shell;
}

int NVShell::executeRootCommand(const QString &commandLine)
{
    if (m_logCommandExecution || m_debugMode) {
        NVLog(QStringLiteral("root shell: %@"), commandLine);
        if (m_debugMode)
            return 0;
    }
    return -1;
}
