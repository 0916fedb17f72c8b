#pragma once

#include "foundation/NVError.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>
#include <sys/types.h>

// The right to run commands as root, held as one long-lived root /bin/bash.
// The user is asked once, when the authorization is created; every root
// command of the run then goes to the same shell, which ends when the last
// reference to the authorization goes away.
//
// Root is reached, in this order: directly when this process already is root;
// through pkexec when a polkit authority answers; otherwise through
// "sudo -A" with our askpass program. Only a fixed PATH and the variables
// given with each command reach root, never this process's environment.
//
// The askpass protocol (our nvsu-askpass, or a stand-in in tests): sudo runs
// the program named by SUDO_ASKPASS with the prompt as its only argument
// (here the name of the user whose password is wanted). The environment
// holds NVAskpassStateVariable, a private folder. Each time the program is
// asked it appends one line to "<folder>/asked"; when the user cancels it
// creates "<folder>/cancelled" and exits with a non-zero status. A wrong
// password is not the program's business: sudo says so by asking again or by
// giving up, and then the authorization starts sudo again.
class NVAuthorization {
public:
    enum class Route { AlreadyRoot, Polkit, Sudo };

    // Error domain of failed requests; a cancel is NSCocoaErrorDomain 3072
    // (the user cancelled).
    static inline const QString ErrorDomain = QStringLiteral("NVAuthorizationErrorDomain");
    static constexpr qint64 UserCancelledErrorCode = 3072;
    enum ErrorCode : qint64 { NoRouteToRoot = 1, CannotStartRootShell = 2, NotRoot = 3 };

    static inline const QByteArray AskpassStateVariable = QByteArrayLiteral("NVSU_ASKPASS_STATE");
    static inline const QString AskedFileName = QStringLiteral("asked");
    static inline const QString CancelledFileName = QStringLiteral("cancelled");
    // The only search path root commands get.
    static inline const QByteArray RootPath = QByteArrayLiteral("/usr/sbin:/usr/bin:/sbin:/bin");

    // Obtains root rights, asking for a password as often as it is wrong;
    // fails when the user cancels or no way to root exists. Blocks for as
    // long as the user takes to answer; any thread.
    static NVResult<std::shared_ptr<NVAuthorization>> create();

    // Ends the root shell (closes its input and reaps it). Any thread.
    ~NVAuthorization();

    // Runs `script` with /bin/bash -p -c as root, in "/", with standard input
    // from /dev/null, PATH = RootPath and exactly `variables` as the rest of
    // its environment; answers everything it wrote on standard output. Its
    // standard error goes to this process's. Nothing when the root shell is
    // gone; the bytes read so far (completed = false) when it ends during the
    // command. Blocks until the command has finished; any thread (callers
    // are served one at a time).
    struct Output {
        QByteArray bytes;
        bool completed = false;
    };
    std::optional<Output> run(const QByteArray &script, const QMap<QString, QByteArray> &variables);

    // Whether the root shell still answers commands. Any thread.
    bool isAlive() const;
    Route route() const { return m_route; }

    // The askpass program sudo runs; by default nvsu-askpass beside this
    // program in the main bundle. Tests stand in for the person typing.
    // Any thread; an empty path restores the default.
    static void setAskpassPath(const QString &path);
    static QString askpassPath();
    // Tests only: whether pkexec may be used when a polkit authority answers
    // (default true). Any thread.
    static void setPolkitAllowedForTesting(bool allowed);

    // bytes as one bash word in single quotes, every byte kept. Any thread.
    static QByteArray singleQuoted(const QByteArray &bytes);
    // The line that runs script as root with exactly the variables and then
    // prints endMarker on a line of its own. Names that cannot be passed
    // (empty, or holding "=" or a NUL byte) are left out. Any thread.
    static QByteArray commandLine(const QByteArray &script, const QMap<QString, QByteArray> &variables,
                                  const QByteArray &endMarker);

    NVAuthorization(const NVAuthorization &) = delete;
    NVAuthorization &operator=(const NVAuthorization &) = delete;

private:
    NVAuthorization(Route route, pid_t pid, int input, int output);
    void endLocked();

    const Route m_route;
    mutable std::mutex m_mutex;
    pid_t m_pid = -1;
    int m_input = -1;  // the root shell's standard input (a socket, so that writes to a dead shell fail without SIGPIPE)
    int m_output = -1; // the read end of its standard output
};
