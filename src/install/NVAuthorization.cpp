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
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

struct Child {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
};

// Starts argv[0] in "/" with its standard input on one end of a socket pair
// and its standard output on a pipe; standard error is shared with us.
// Every descriptor of ours is close-on-exec, so no other child of this
// process (started on another thread) keeps the root shell's pipes open.
std::optional<Child> spawnChild(const QList<QByteArray> &arguments, const QList<QByteArray> &environment)
{
    int input[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0)
        return std::nullopt;
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        return std::nullopt;
    }

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
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(input[1]);
    ::close(output[1]);
    if (error != 0) {
        ::close(input[0]);
        ::close(output[0]);
        NVSULog(QStringLiteral("Cannot start %@: %@"), QString::fromLocal8Bit(arguments.first()),
                QString::fromLocal8Bit(::strerror(error)));
        return std::nullopt;
    }
    return Child{pid, input[0], output[0]};
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

int waitForExit(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

NVAuthorization::NVAuthorization(Route route, pid_t pid, int input, int output)
    : m_route(route), m_pid(pid), m_input(input), m_output(output)
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
    if (m_pid <= 0)
        return;
    // The shell ends at the end of its input; one that does not within a few
    // seconds is stopped, so that no caller waits on it for ever.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(m_pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_pid = -1;
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

    const QByteArray end = marker + '\n';
    Output output;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_output, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            endLocked();
            return output;
        }
        output.bytes.append(buffer, n);
        if (output.bytes.endsWith(end)) {
            output.bytes.chop(end.size());
            output.completed = true;
            return output;
        }
    }
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

namespace {

// A started root shell must prove that it is root before anyone relies on
// it; a shell that fails the proof (sudo refused, the password was wrong)
// is ended with the object.
bool provesRoot(NVAuthorization &authorization)
{
    const auto answer = authorization.run(QByteArrayLiteral("id -u"), {});
    return answer && answer->completed && answer->bytes == "0\n";
}

} // namespace

NVResult<std::shared_ptr<NVAuthorization>> NVAuthorization::create()
{
    const QList<QByteArray> shellArguments = {kRootShell, "--noprofile", "--norc", "-p"};

    if (::geteuid() == 0) {
        const auto child = spawnChild(shellArguments, {"PATH=" + RootPath});
        if (!child)
            return failure(CannotStartRootShell, QStringLiteral("The root shell could not be started."));
        std::shared_ptr<NVAuthorization> authorization(
            new NVAuthorization(Route::AlreadyRoot, child->pid, child->input, child->output));
        if (!provesRoot(*authorization))
            return failure(NotRoot, QStringLiteral("The root shell did not run as root."));
        return authorization;
    }

    bool usePolkit;
    {
        std::lock_guard lock(settingsMutex());
        usePolkit = polkitAllowed();
    }
    const QString pkexec = usePolkit ? firstExecutable({"/usr/bin/pkexec", "/bin/pkexec"}) : QString();
    if (!pkexec.isEmpty() && polkitAuthorityAnswers()) {
        QList<QByteArray> arguments = {QFile::encodeName(pkexec)};
        arguments += shellArguments;
        if (const auto child = spawnChild(arguments, callerEnvironment({}))) {
            std::shared_ptr<NVAuthorization> authorization(
                new NVAuthorization(Route::Polkit, child->pid, child->input, child->output));
            if (provesRoot(*authorization))
                return authorization;
            // pkexec's own agent asks again after a wrong password; when it
            // gives up the user either dismissed it (126) or polkit could not
            // authorise at all (no agent, no rule), and sudo may still work.
            ::close(std::exchange(authorization->m_input, -1));
            ::close(std::exchange(authorization->m_output, -1));
            const int status = waitForExit(std::exchange(authorization->m_pid, -1));
            if (status == 126)
                return cancelledError();
            NVSULog(QStringLiteral("pkexec could not obtain administrator rights (status %d); trying sudo"), status);
        }
    }

    const QString sudo = firstExecutable({"/usr/bin/sudo", "/bin/sudo"});
    if (sudo.isEmpty())
        return failure(NoRouteToRoot, QStringLiteral("Neither polkit nor sudo is available to obtain administrator rights."));
    const QString askpass = askpassPath();
    if (::access(QFile::encodeName(askpass).constData(), X_OK) != 0)
        return failure(NoRouteToRoot, QStringLiteral("The password prompt %1 is missing.").arg(askpass));

    const QList<QByteArray> arguments = QList<QByteArray>{QFile::encodeName(sudo), "-A", "-k", "-p", "%p", "--"}
                                        + shellArguments;
    // Wrong passwords never end the request: sudo asks again by itself up to
    // its limit, and then it is started again, until the user gives the
    // right password or cancels.
    for (;;) {
        QTemporaryDir state(QDir::tempPath() + QStringLiteral("/nvsu-askpass-XXXXXX"));
        if (!state.isValid())
            return failure(CannotStartRootShell, QStringLiteral("No folder for the password prompt's state."));
        const auto child = spawnChild(arguments, callerEnvironment({{"SUDO_ASKPASS", QFile::encodeName(askpass)},
                                                                    {AskpassStateVariable, QFile::encodeName(state.path())}}));
        if (!child)
            return failure(CannotStartRootShell, QStringLiteral("sudo could not be started."));
        std::shared_ptr<NVAuthorization> authorization(
            new NVAuthorization(Route::Sudo, child->pid, child->input, child->output));
        if (provesRoot(*authorization))
            return authorization;
        authorization.reset();

        if (QFileInfo::exists(state.filePath(CancelledFileName)))
            return cancelledError();
        QFile asked(state.filePath(AskedFileName));
        const bool wasAsked = asked.open(QIODevice::ReadOnly) && !asked.readAll().isEmpty();
        if (!wasAsked)
            return failure(CannotStartRootShell, QStringLiteral("sudo refused to start a root shell without asking for a password."));
        NVSUDebugLog(QStringLiteral("The password was not accepted; asking again"));
    }
}
