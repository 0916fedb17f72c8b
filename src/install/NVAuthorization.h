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
// through "pkexec nvsu-root-helper" when a polkit authority answers and the
// helper is installed where only root can change it (rootHelperPath()); a
// dismissed polkit prompt ends the request, any other failure of polkit
// falls through to "sudo -A" with our askpass program. Only a fixed PATH and
// the variables given with each command reach root, never this process's
// environment. What the way to root writes on standard error (sudo's and
// pkexec's messages) is read by the authorization: it tells a wrong password
// from a refusal.
//
// The askpass protocol (our nvsu-askpass, or a stand-in in tests): sudo runs
// the program named by SUDO_ASKPASS with the prompt as its only argument
// (here the name of the user whose password is wanted). The environment
// holds NVAskpassStateVariable, a private folder. Each time the program is
// asked it appends one line to "<folder>/asked"; when the user cancels it
// creates "<folder>/cancelled" and exits with a non-zero status. A wrong
// password is not the program's business: sudo says so, by asking again or
// by giving up after its tries, and then the authorization starts sudo
// again. Any other refusal (the user may not use sudo, or not for a shell)
// ends the request with RefusedByPolicy. sudo runs in the C.UTF-8 locale so
// that its messages can be read; the user's language (LANGUAGE, LC_ALL,
// LC_MESSAGES or LANG, the first one set) reaches the prompt program in
// AskpassLanguageVariable, which it puts back into LANGUAGE.
class NVAuthorization {
public:
    enum class Route { AlreadyRoot, Polkit, Sudo };

    // Error domain of failed requests; a cancel is NSCocoaErrorDomain 3072
    // (the user cancelled).
    static inline const QString ErrorDomain = QStringLiteral("NVAuthorizationErrorDomain");
    static constexpr qint64 UserCancelledErrorCode = 3072;
    enum ErrorCode : qint64 { NoRouteToRoot = 1, CannotStartRootShell = 2, NotRoot = 3, RefusedByPolicy = 4 };

    static inline const QByteArray AskpassStateVariable = QByteArrayLiteral("NVSU_ASKPASS_STATE");
    static inline const QByteArray AskpassLanguageVariable = QByteArrayLiteral("NVSU_ASKPASS_LANGUAGE");
    static inline const QString AskedFileName = QStringLiteral("asked");
    static inline const QString CancelledFileName = QStringLiteral("cancelled");
    // The only search path root commands get.
    static inline const QByteArray RootPath = QByteArrayLiteral("/usr/sbin:/usr/bin:/sbin:/bin");

    // Obtains root rights, asking for a password as often as it is wrong;
    // fails when the user cancels, sudo refuses by policy or no way to root
    // exists. Blocks for as
    // long as the user takes to answer; any thread.
    static NVResult<std::shared_ptr<NVAuthorization>> create();

    // Ends the root shell (closes its input and reaps it). Any thread.
    ~NVAuthorization();

    // Runs `script` with /bin/bash -p -c as root, in "/", with standard input
    // from /dev/null, PATH = RootPath and exactly `variables` as the rest of
    // its environment; answers everything it wrote on standard output. What
    // it writes on standard error is passed on to this process's while the
    // command runs. Nothing when the root shell is
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
    // The program pkexec runs: nvsu-root-helper in the installed system
    // folder (NV_SYSTEM_HELPER_DIR). Tests may name another; an empty path
    // restores it. Any thread.
    static QString rootHelperPath();
    static void setRootHelperPathForTesting(const QString &path);

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
    // A would-be root shell that failed to prove it is root: how it ended.
    struct Ending {
        int status = -1;   // exit status, 128 + signal when killed, -1 when never started
        QByteArray errors; // everything the way to root wrote on standard error
    };
    struct Attempt {
        std::shared_ptr<NVAuthorization> authorization; // null when it failed
        Ending ending;
    };
    static Attempt startAndProve(Route route, const QList<QByteArray> &arguments, const QList<QByteArray> &environment);
    static std::optional<NVResult<std::shared_ptr<NVAuthorization>>> createThroughPolkit();
    static NVResult<std::shared_ptr<NVAuthorization>> createThroughSudo();

    NVAuthorization(Route route, pid_t pid, int input, int output, int errors);
    std::optional<Output> runLocked(const QByteArray &script, const QMap<QString, QByteArray> &variables);
    void passOnErrorsLocked();
    void endLocked();

    const Route m_route;
    mutable std::mutex m_mutex;
    pid_t m_pid = -1;
    int m_input = -1;  // the root shell's standard input (a socket, so that writes to a dead shell fail without SIGPIPE)
    int m_output = -1; // the read end of its standard output
    int m_errors = -1; // the read end of its standard error (non-blocking)
    int m_exitStatus = -1; // once ended: its exit status, 128 + signal when killed
    // Until the shell has proved it is root, its standard error is kept for
    // telling why it failed; afterwards it is passed on.
    bool m_keepingErrors = true;
    QByteArray m_keptErrors;
};
