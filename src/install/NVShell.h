#pragma once

#include "foundation/NVFormat.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <memory>
#include <optional>

class NVAuthorization;

// Runs shell command lines as the user or, once the user has authorised it,
// as root, and reports each command's exit status and standard output.
// Commands take their paths from variables held by the shell, so that the
// command texts stay constant and no path is ever quoted into them.
//
// A shell is used by one thread at a time; every call that runs a command
// blocks until the command has finished (and, for the first root command of
// a run, until the user has answered the password prompt). Call those from a
// background thread when a window must stay responsive.
class NVShell : public std::enable_shared_from_this<NVShell> {
public:
    // A user shell with no variables. Any thread.
    static std::shared_ptr<NVShell> create();
    // A new shell; when `other` is a root shell, the new one is a root shell
    // too, shares other's authorization and keeps `other` alive. Any thread.
    static std::shared_ptr<NVShell> shellWithAuthorizationReferenceFromShell(const std::shared_ptr<NVShell> &other);

    // Releases the authorization unless it is borrowed; the variables go
    // with the shell.
    ~NVShell();

    // Obtains root rights, asking the user for a password as often as it is
    // wrong; false when the user cancels or no way to root exists. Blocks.
    bool requestRootShell();
    // false: commands run as the user again (the authorization is kept);
    // true: back to root, asking only when no authorization is held. Blocks.
    void setIsRootShell(bool isRootShell);
    bool isRootShell() const { return m_isRootShell; }

    // Sets (or with no value removes) a variable that every later command of
    // this shell sees in its environment. Any thread.
    void setVariable(const QString &name, const std::optional<QString> &value);

    // Runs `commandLine` with /bin/bash -c in "/" and answers its exit
    // status; -1 when the shell could not be started or, as root, when the
    // status was lost. A command killed by a signal answers 128 + signal.
    // Blocks.
    int executeCommand(const QString &commandLine);
    template <typename... Args>
    int executeCommandWithFormat(const QString &format, const Args &...args)
    {
        return executeCommand(NVFormat::format(format, args...));
    }

    // The last command's standard output (nothing before the first command).
    const std::optional<QByteArray> &lastCommandOutput() const { return m_lastCommandOutput; }
    // The same decoded as UTF-8: empty without output, nothing when the
    // bytes are not valid UTF-8.
    std::optional<QString> lastCommandOutputString() const;

    bool debugMode() const { return m_debugMode; }
    void setDebugMode(bool debugMode) { m_debugMode = debugMode; }
    bool logCommandExecution() const { return m_logCommandExecution; }
    void setLogCommandExecution(bool logCommandExecution) { m_logCommandExecution = logCommandExecution; }

    NVShell(const NVShell &) = delete;
    NVShell &operator=(const NVShell &) = delete;

private:
    NVShell() = default;
    int executeRootCommand(const QString &commandLine);

    std::shared_ptr<NVAuthorization> m_authorizationReference;
    std::optional<QByteArray> m_lastCommandOutput;
    QMap<QString, QByteArray> m_allVariables; // name -> value in its file-system form
    std::shared_ptr<NVShell> m_shellSharingItsAuthorizationReference;
    bool m_debugMode = false;
    bool m_logCommandExecution = false;
    bool m_isRootShell = false;
};
