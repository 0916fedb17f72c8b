#include "install/NVShell.h"

#include "install/NVAuthorization.h"
#include "logging/NVLog.h"

#include <QFile>

bool NVShell::requestRootShell()
{
    // One root shell serves the whole run: a shell that still holds a live
    // one does not make the user type the password again.
    if (m_authorizationReference && m_authorizationReference->isAlive()) {
        m_isRootShell = true;
        return true;
    }

    NVResult<std::shared_ptr<NVAuthorization>> authorization = NVAuthorization::create();
    if (!authorization) {
        m_authorizationReference.reset();
        m_shellSharingItsAuthorizationReference.reset();
        if (authorization.error().code() != NVAuthorization::UserCancelledErrorCode)
            NVSULog(QStringLiteral("Cannot obtain administrator rights: %@"), authorization.error().localizedDescription());
        return false;
    }
    // A fresh authorization is this shell's own, no longer a borrowed one.
    m_authorizationReference = std::move(authorization).value();
    m_shellSharingItsAuthorizationReference.reset();
    m_isRootShell = true;
    return true;
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
    if (!m_authorizationReference) {
        NVSULog(QStringLiteral("No administrator rights to run a root command"));
        return -1;
    }

    // The subshell keeps the command's own exits and traps away from the
    // trailer, which therefore always comes last in the stream.
    const QString framed = NVFormat::format(QStringLiteral("( %@ ); echo \"/$?\""), commandLine);
    const auto output = m_authorizationReference->run(QFile::encodeName(framed), m_allVariables);
    if (!output) {
        NVSULog(QStringLiteral("The root shell is not running"));
        return -1;
    }
    if (!output->completed)
        NVSULog(QStringLiteral("The root shell ended during a command"));

    // The status is the number after the last "/"; the last byte (the
    // trailer's line feed) is never part of the search, so a command whose
    // output ends in "/" and digits cannot be mistaken for the trailer.
    const QByteArray &stream = output->bytes;
    qsizetype slash = -1;
    for (qsizetype i = stream.size() - 2; i >= 0; --i) {
        if (stream.at(i) == '/') {
            slash = i;
            break;
        }
    }
    bool isNumber = false;
    const int status = slash >= 0 ? stream.mid(slash + 1, stream.size() - slash - 2).toInt(&isNumber) : 0;
    if (!isNumber) {
        // No trailer: the status is lost, and all output is kept.
        m_lastCommandOutput = stream;
        return -1;
    }
    m_lastCommandOutput = stream.left(slash);
    return status;
}
