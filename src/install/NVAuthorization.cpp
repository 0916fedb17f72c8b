#include "install/NVAuthorization.h"

#include "platform/NVBundle.h"
#include "logging/NVLog.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const char *const kRootShell = "/bin/bash";
const QByteArray kPolkitAuthority = QByteArrayLiteral("org.freedesktop.PolicyKit1");

std::mutex &settingsMutex()
{
    static std::mutex mutex;
    return mutex;
}
QString &askpassOverride()
{
    static QString path;
    return path;
}
bool &polkitAllowed()
{
    static bool allowed = true;
    return allowed;
}
QString &rootHelperOverride()
{
    static QString path;
    return path;
}

struct Child {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
    int errors = -1;
};

void closeAll(std::initializer_list<int> descriptors)
{
    for (int descriptor : descriptors)
        ::close(descriptor);
}

// Starts argv[0] in "/" with its standard input on one end of a socket pair
// and its standard output and standard error on pipes. Every descriptor of
// ours is close-on-exec, so no other child of this process (started on
// another thread) keeps the root shell's pipes open.
std::optional<Child> spawnChild(const QList<QByteArray> &arguments, const QList<QByteArray> &environment)
{
    int input[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0)
        return std::nullopt;
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) {
        closeAll({input[0], input[1]});
        return std::nullopt;
    }
    int errors[2];
    if (::pipe2(errors, O_CLOEXEC) != 0) {
        closeAll({input[0], input[1], output[0], output[1]});
        return std::nullopt;
    }
    ::fcntl(errors[0], F_SETFL, O_NONBLOCK);

    std::vector<char *> argv;
    for (const QByteArray &argument : arguments)
        argv.push_back(const_cast<char *>(argument.constData()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const QByteArray &entry : environment)
        envp.push_back(const_cast<char *>(entry.constData()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, "/");

    // The child starts with default signal handling and nothing blocked,
    // whatever this thread has set up.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // A process group of its own, so that a Ctrl-C at the terminal reaches
    // only the updater and never cuts a root command short.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeAll({input[1], output[1], errors[1]});
    if (error != 0) {
        closeAll({input[0], output[0], errors[0]});
        NVSULog(QStringLiteral("Cannot start %@: %@"), QString::fromLocal8Bit(arguments.first()),
                QString::fromLocal8Bit(::strerror(error)));
        return std::nullopt;
    }
    return Child{pid, input[0], output[0], errors[0]};
}

// This process's environment without the entries named, plus extra ones.
QList<QByteArray> callerEnvironment(const QMap<QByteArray, QByteArray> &replacements)
{
    QList<QByteArray> environment;
    const QStringList entries = QProcessEnvironment::systemEnvironment().toStringList();
    for (const QString &entry : entries) {
        const QByteArray bytes = QFile::encodeName(entry);
        const QByteArray name = bytes.left(bytes.indexOf('='));
        if (!replacements.contains(name))
            environment << bytes;
    }
    for (auto it = replacements.cbegin(); it != replacements.cend(); ++it)
        environment << it.key() + '=' + it.value();
    return environment;
}

QString firstExecutable(std::initializer_list<const char *> candidates)
{
    for (const char *candidate : candidates) {
        if (::access(candidate, X_OK) == 0)
            return QString::fromLatin1(candidate);
    }
    return QString();
}

bool polkitAuthorityAnswers()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !bus.interface())
        return false;
    const QString name = QString::fromLatin1(kPolkitAuthority);
    const QDBusReply<bool> owned = bus.interface()->isServiceRegistered(name);
    if (owned.isValid() && owned.value())
        return true;
    // polkitd is normally started on demand by the bus.
    const QDBusReply<QStringList> activatable = bus.interface()->call(QStringLiteral("ListActivatableNames"));
    return activatable.isValid() && activatable.value().contains(name);
}

int exitStatus(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Why the helper at `path` may not be what pkexec runs as root: it, and
// every folder above it, must be root's and changeable by nobody else.
std::optional<QString> rootHelperProblem(const QString &path)
{
    struct stat file {};
    if (!path.startsWith(u'/') || ::lstat(QFile::encodeName(path).constData(), &file) != 0)
        return QStringLiteral("%1 is not installed").arg(path);
    if (!S_ISREG(file.st_mode) || !(file.st_mode & S_IXUSR))
        return QStringLiteral("%1 is not an executable file").arg(path);
    for (QString each = path;; each = QFileInfo(each).path()) {
        struct stat info {};
        if (::lstat(QFile::encodeName(each).constData(), &info) != 0 || info.st_uid != 0)
            return QStringLiteral("%1 is not owned by root").arg(each);
        if (info.st_mode & (S_IWGRP | S_IWOTH))
            return QStringLiteral("%1 can be changed by others than root").arg(each);
        if (each == QStringLiteral("/"))
            return std::nullopt;
    }
}

// The last line a failed way to root wrote on standard error, for the log.
QString lastLine(const QByteArray &errors)
{
    const QByteArray last = errors.trimmed().split('\n').last().trimmed();
    return last.isEmpty() ? QStringLiteral("no message") : QString::fromLocal8Bit(last);
}

// sudo gives up on wrong passwords with "N incorrect password attempt(s)";
// every other refusal (not in the sudoers file, not allowed to run the
// shell, a locked account) is final.
bool sudoGaveUpOnWrongPasswords(const QByteArray &errors)
{
    return errors.contains("incorrect password attempt");
}

// sudo's environment: the caller's, with the askpass program and its state
// folder, and the C.UTF-8 locale with LANGUAGE empty, so that sudo's
// messages can be read. The user's language goes to the prompt program in a
// variable of its own.
QList<QByteArray> sudoEnvironment(const QString &askpass, const QString &state)
{
    const QProcessEnvironment caller = QProcessEnvironment::systemEnvironment();
    QString language;
    for (const char *name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        language = caller.value(QString::fromLatin1(name));
        if (!language.isEmpty())
            break;
    }
    return callerEnvironment({{"SUDO_ASKPASS", QFile::encodeName(askpass)},
                              {NVAuthorization::AskpassStateVariable, QFile::encodeName(state)},
                              {NVAuthorization::AskpassLanguageVariable, language.toLocal8Bit()},
                              {"LC_ALL", "C.UTF-8"},
                              {"LANGUAGE", QByteArray()}});
}

NVError cancelledError()
{
    return NVError::withDescription(NSCocoaErrorDomain, NVAuthorization::UserCancelledErrorCode,
                                    QStringLiteral("The user cancelled the request for administrator rights."));
}

NVError failure(qint64 code, const QString &description)
{
    return NVError::withDescription(NVAuthorization::ErrorDomain, code, description);
}

} // namespace

NVAuthorization::NVAuthorization(Route route, pid_t pid, int input, int output, int errors)
    : m_route(route), m_pid(pid), m_input(input), m_output(output), m_errors(errors)
{
}

NVAuthorization::~NVAuthorization()
{
    std::lock_guard lock(m_mutex);
    endLocked();
}

void NVAuthorization::endLocked()
{
    if (m_input >= 0)
        ::close(m_input);
    if (m_output >= 0)
        ::close(m_output);
    m_input = m_output = -1;
    if (m_pid > 0) {
        // The shell ends at the end of its input; one that does not within a
        // few seconds is stopped, so that no caller waits on it for ever.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int status = 0;
        pid_t ended;
        while ((ended = ::waitpid(m_pid, &status, WNOHANG)) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(m_pid, SIGKILL);
                ended = ::waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_exitStatus = ended == m_pid ? exitStatus(status) : -1;
        m_pid = -1;
    }
    // Whatever it wrote before it ended is in the pipe by now.
    passOnErrorsLocked();
    if (m_errors >= 0)
        ::close(m_errors);
    m_errors = -1;
}

void NVAuthorization::passOnErrorsLocked()
{
    char buffer[4096];
    ssize_t n;
    while (m_errors >= 0 && ((n = ::read(m_errors, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))) {
        if (n <= 0)
            continue;
        if (m_keepingErrors)
            m_keptErrors.append(buffer, n);
        else
            (void)!::write(STDERR_FILENO, buffer, size_t(n));
    }
}

bool NVAuthorization::isAlive() const
{
    std::lock_guard lock(m_mutex);
    return m_input >= 0;
}

QByteArray NVAuthorization::singleQuoted(const QByteArray &bytes)
{
    QByteArray quoted;
    quoted.reserve(bytes.size() + 2);
    quoted += '\'';
    for (char byte : bytes) {
        if (byte == '\'')
            quoted += "'\\''";
        else
            quoted += byte;
    }
    quoted += '\'';
    return quoted;
}

QByteArray NVAuthorization::commandLine(const QByteArray &script, const QMap<QString, QByteArray> &variables,
                                        const QByteArray &endMarker)
{
    QByteArray line = QByteArrayLiteral("cd / && /usr/bin/env -i ") + singleQuoted("PATH=" + RootPath);
    for (auto it = variables.cbegin(); it != variables.cend(); ++it) {
        const QByteArray name = QFile::encodeName(it.key());
        if (name.isEmpty() || name.contains('=') || name.contains('\0'))
            continue;
        // The environment cannot carry a NUL byte; the value ends there, as
        // it would for any other child.
        QByteArray value = it.value();
        const qsizetype nul = value.indexOf('\0');
        if (nul >= 0)
            value.truncate(nul);
        line += ' ' + singleQuoted(name + '=' + value);
    }
    line += ' ';
    line += kRootShell;
    // -p: keep root even where only the effective user is root, and import
    // no functions or start-up files from the environment.
    line += " -p -c " + singleQuoted(script) + " </dev/null; echo " + endMarker + '\n';
    return line;
}

std::optional<NVAuthorization::Output> NVAuthorization::run(const QByteArray &script,
                                                            const QMap<QString, QByteArray> &variables)
{
    std::lock_guard lock(m_mutex);
    return runLocked(script, variables);
}

std::optional<NVAuthorization::Output> NVAuthorization::runLocked(const QByteArray &script,
                                                                  const QMap<QString, QByteArray> &variables)
{
    if (m_input < 0)
        return std::nullopt;

    // A marker nobody can guess ends this command's output, whatever the
    // command itself prints.
    QByteArray marker = QByteArrayLiteral("nvsu-end-");
    for (int i = 0; i < 4; ++i)
        marker += QByteArray::number(QRandomGenerator::system()->generate(), 16).rightJustified(8, '0');
    const QByteArray line = commandLine(script, variables, marker);

    for (qsizetype sent = 0; sent < line.size();) {
        const ssize_t n = ::send(m_input, line.constData() + sent, size_t(line.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            endLocked();
            return std::nullopt;
        }
        sent += n;
    }

    // Standard error is read alongside, so a command that writes much there
    // never blocks on a full pipe.
    const QByteArray end = marker + '\n';
    Output output;
    char buffer[4096];
    pollfd ready[2] = {{m_output, POLLIN, 0}, {m_errors, POLLIN, 0}};
    for (;;) {
        if (::poll(ready, 2, -1) < 0 && errno != EINTR)
            break;
        if (ready[1].revents) {
            passOnErrorsLocked();
            if (ready[1].revents & (POLLHUP | POLLERR))
                ready[1].fd = -1;
        }
        if (!ready[0].revents)
            continue;
        const ssize_t n = ::read(m_output, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        output.bytes.append(buffer, n);
        if (output.bytes.endsWith(end)) {
            output.bytes.chop(end.size());
            output.completed = true;
            passOnErrorsLocked();
            return output;
        }
    }
    endLocked();
    return output;
}

void NVAuthorization::setAskpassPath(const QString &path)
{
    std::lock_guard lock(settingsMutex());
    askpassOverride() = path;
}

QString NVAuthorization::askpassPath()
{
    {
        std::lock_guard lock(settingsMutex());
        if (!askpassOverride().isEmpty())
            return askpassOverride();
    }
    const NVBundle *bundle = NVBundle::mainBundle();
    const QString macOS = bundle->contentsPath() + QStringLiteral("/MacOS");
    const QString folder = QFileInfo(macOS).isDir() ? macOS : bundle->bundlePath();
    return folder + QStringLiteral("/nvsu-askpass");
}

void NVAuthorization::setPolkitAllowedForTesting(bool allowed)
{
    std::lock_guard lock(settingsMutex());
    polkitAllowed() = allowed;
}

QString NVAuthorization::rootHelperPath()
{
    std::lock_guard lock(settingsMutex());
    if (!rootHelperOverride().isEmpty())
        return rootHelperOverride();
    return QStringLiteral(NV_SYSTEM_HELPER_DIR "/nvsu-root-helper");
}

void NVAuthorization::setRootHelperPathForTesting(const QString &path)
{
    std::lock_guard lock(settingsMutex());
    rootHelperOverride() = path;
}

namespace {

const QList<QByteArray> kShellArguments = {kRootShell, "--noprofile", "--norc", "-p"};

// Why pkexec is not asked, or nothing when it may be.
std::optional<QString> polkitProblem(const QString &pkexec, const QString &helper)
{
    {
        std::lock_guard lock(settingsMutex());
        if (!polkitAllowed())
            return QStringLiteral("polkit is turned off");
    }
    if (pkexec.isEmpty())
        return QStringLiteral("pkexec is not installed");
    if (const auto problem = rootHelperProblem(helper))
        return problem;
    if (!polkitAuthorityAnswers())
        return QStringLiteral("no polkit authority answers on the system bus");
    return std::nullopt;
}

} // namespace

namespace {

// While the way to root may ask for a password on the terminal (sudo's
// askpass without a display, pkexec's own prompt), its process group has the
// terminal's foreground; a program asking from the background would be
// stopped. The updater takes the terminal back before any root command runs.
// Nothing happens when this process is not in the terminal's foreground.
class TerminalLoan {
public:
    explicit TerminalLoan(pid_t group)
    {
        m_fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (m_fd < 0)
            return;
        if (::tcgetpgrp(m_fd) == ::getpgrp() && ::tcsetpgrp(m_fd, group) == 0)
            m_lent = true;
    }
    ~TerminalLoan()
    {
        if (m_lent) {
            // Taking the terminal back from the background raises SIGTTOU
            // unless the signal is blocked.
            sigset_t block;
            sigset_t previous;
            sigemptyset(&block);
            sigaddset(&block, SIGTTOU);
            ::pthread_sigmask(SIG_BLOCK, &block, &previous);
            ::tcsetpgrp(m_fd, ::getpgrp());
            ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        }
        if (m_fd >= 0)
            ::close(m_fd);
    }
    TerminalLoan(const TerminalLoan &) = delete;
    TerminalLoan &operator=(const TerminalLoan &) = delete;

private:
    int m_fd = -1;
    bool m_lent = false;
};

} // namespace

// A started root shell must prove that it is root before anyone relies on
// it; a shell that fails the proof (sudo refused, the password was wrong)
// is ended, and how it ended is the answer.
NVAuthorization::Attempt NVAuthorization::startAndProve(Route route, const QList<QByteArray> &arguments,
                                                        const QList<QByteArray> &environment)
{
    const auto child = spawnChild(arguments, environment);
    if (!child)
        return {};
    std::shared_ptr<NVAuthorization> authorization(
        new NVAuthorization(route, child->pid, child->input, child->output, child->errors));
    std::lock_guard lock(authorization->m_mutex);
    std::optional<TerminalLoan> loan;
    if (route != Route::AlreadyRoot)
        loan.emplace(child->pid);
    const auto answer = authorization->runLocked(QByteArrayLiteral("id -u"), {});
    loan.reset();
    if (answer && answer->completed && answer->bytes == "0\n") {
        authorization->m_keepingErrors = false;
        authorization->m_keptErrors.clear();
        return {authorization, {}};
    }
    authorization->endLocked();
    return {nullptr, {authorization->m_exitStatus, authorization->m_keptErrors}};
}

NVResult<std::shared_ptr<NVAuthorization>> NVAuthorization::create()
{
    if (::geteuid() == 0) {
        const Attempt attempt = startAndProve(Route::AlreadyRoot, kShellArguments, {"PATH=" + RootPath});
        if (attempt.authorization)
            return attempt.authorization;
        if (attempt.ending.status < 0)
            return failure(CannotStartRootShell, QStringLiteral("The root shell could not be started."));
        return failure(NotRoot, QStringLiteral("The root shell did not run as root."));
    }
    if (auto polkit = createThroughPolkit())
        return std::move(*polkit);
    return createThroughSudo();
}

// Nothing when the polkit route is not taken or polkit itself failed, so
// that sudo is tried; a dismissed prompt is the user's answer and ends the
// request.
std::optional<NVResult<std::shared_ptr<NVAuthorization>>> NVAuthorization::createThroughPolkit()
{
    const QString pkexec = firstExecutable({"/usr/bin/pkexec", "/bin/pkexec"});
    const QString helper = rootHelperPath();
    if (const auto problem = polkitProblem(pkexec, helper)) {
        NVSUDebugLog(QStringLiteral("Not asking through polkit: %@"), *problem);
        return std::nullopt;
    }
    // The helper starts the shell; pkexec passes it nothing of ours.
    QList<QByteArray> command{QFile::encodeName(pkexec)};
    // Without an agent of the desktop, pkexec asks on the terminal itself;
    // outside a login session (a remote shell without one, a container)
    // polkit then refuses the right password, and sudo would ask a second
    // time. There pkexec only takes a desktop's agent, else ends at once.
    if (qEnvironmentVariableIsEmpty("XDG_SESSION_ID"))
        command << QByteArrayLiteral("--disable-internal-agent");
    command << QFile::encodeName(helper);
    const Attempt attempt = startAndProve(Route::Polkit, command, callerEnvironment({}));
    if (attempt.authorization)
        return NVResult<std::shared_ptr<NVAuthorization>>(attempt.authorization);
    if (attempt.ending.status == 126)
        return NVResult<std::shared_ptr<NVAuthorization>>(cancelledError());
    NVSULog(QStringLiteral("pkexec could not obtain administrator rights (status %d: %@); trying sudo"),
            attempt.ending.status, lastLine(attempt.ending.errors));
    return std::nullopt;
}

NVResult<std::shared_ptr<NVAuthorization>> NVAuthorization::createThroughSudo()
{
    const QString sudo = firstExecutable({"/usr/bin/sudo", "/bin/sudo"});
    if (sudo.isEmpty())
        return failure(NoRouteToRoot, QStringLiteral("Neither polkit nor sudo is available to obtain administrator rights."));
    const QString askpass = askpassPath();
    if (::access(QFile::encodeName(askpass).constData(), X_OK) != 0)
        return failure(NoRouteToRoot, QStringLiteral("The password prompt %1 is missing.").arg(askpass));

    const QList<QByteArray> arguments = QList<QByteArray>{QFile::encodeName(sudo), "-A", "-k", "-p", "%p", "--"}
                                        + kShellArguments;
    // Wrong passwords never end the request: sudo asks again by itself up to
    // its limit, and then it is started again, until the user gives the
    // right password or cancels. Any other refusal is final.
    for (;;) {
        QTemporaryDir state(QDir::tempPath() + QStringLiteral("/nvsu-askpass-XXXXXX"));
        if (!state.isValid())
            return failure(CannotStartRootShell, QStringLiteral("No folder for the password prompt's state."));
        const Attempt attempt = startAndProve(Route::Sudo, arguments, sudoEnvironment(askpass, state.path()));
        if (attempt.authorization)
            return attempt.authorization;
        if (attempt.ending.status < 0)
            return failure(CannotStartRootShell, QStringLiteral("sudo could not be started."));

        if (QFileInfo::exists(state.filePath(CancelledFileName)))
            return cancelledError();
        QFile asked(state.filePath(AskedFileName));
        if (!asked.open(QIODevice::ReadOnly) || asked.readAll().isEmpty())
            return failure(CannotStartRootShell, QStringLiteral("sudo refused to start a root shell without asking for a password."));
        if (!sudoGaveUpOnWrongPasswords(attempt.ending.errors)) {
            const QString message = lastLine(attempt.ending.errors);
            NVSULog(QStringLiteral("sudo refused administrator rights by policy (status %d): %@"), attempt.ending.status, message);
            return failure(RefusedByPolicy, QStringLiteral("sudo refused administrator rights by policy: %1").arg(message));
        }
        NVSUDebugLog(QStringLiteral("The password was not accepted; asking again"));
    }
}
