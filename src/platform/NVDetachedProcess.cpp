#include "platform/NVDetachedProcess.h"

#include <QFile>
#include <QProcessEnvironment>

#include <vector>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace NVDetachedProcess {

namespace {

// What the two forked processes tell the caller through the status pipe.
struct Report {
    int kind;  // one of the values below
    int value; // a process id or an errno
};
constexpr int kReportPid = 1;
constexpr int kReportError = 2;

// A null-terminated array of C strings that stays valid while this lives;
// built before fork() because the child may not allocate.
class CStringArray {
public:
    explicit CStringArray(const QList<QByteArray> &items) : m_items(items)
    {
        m_pointers.reserve(size_t(m_items.size()) + 1);
        for (QByteArray &item : m_items)
            m_pointers.push_back(item.data());
        m_pointers.push_back(nullptr);
    }
    char **data() { return m_pointers.data(); }

private:
    QList<QByteArray> m_items;
    std::vector<char *> m_pointers;
};

// Only async-signal-safe calls from here on: the caller may have threads.
void writeReport(int fd, int kind, int value)
{
    const Report report{kind, value};
    while (::write(fd, &report, sizeof report) < 0 && errno == EINTR) {
    }
}

[[noreturn]] void execGrandchild(int reportFd, const char *program, char **argv, char **envp, const char *directory)
{
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaultAction = {};
    defaultAction.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        ::sigaction(signal, &defaultAction, nullptr); // fails harmlessly for KILL, STOP and unused numbers

    if (::chdir(directory) != 0) {
        writeReport(reportFd, kReportError, errno);
        ::_exit(127);
    }
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0 || ::dup2(null, STDIN_FILENO) < 0) {
        writeReport(reportFd, kReportError, errno);
        ::_exit(127);
    }
    // Every descriptor above the standard three closes on exec, the report
    // pipe included, so that its end of file tells the caller exec worked.
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        const long maximum = ::sysconf(_SC_OPEN_MAX);
        for (int fd = 3; fd < (maximum > 0 ? maximum : 1024); ++fd)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    ::execve(program, argv, envp);
    writeReport(reportFd, kReportError, errno);
    ::_exit(127);
}

} // namespace

NVResult<pid_t> start(const QString &program, const QStringList &arguments, const Options &options)
{
    if (program.isEmpty() || !program.startsWith(QLatin1Char('/')))
        return NVError::posix(ENOENT, {{NSFilePathErrorKey, program}});

    const QByteArray programBytes = QFile::encodeName(program);
    QList<QByteArray> argumentBytes{programBytes};
    for (const QString &argument : arguments)
        argumentBytes.append(QFile::encodeName(argument));
    CStringArray argv(argumentBytes);

    QList<QByteArray> environmentBytes;
    const QStringList environment = options.environment ? *options.environment
                                                        : QProcessEnvironment::systemEnvironment().toStringList();
    for (const QString &entry : environment)
        environmentBytes.append(QFile::encodeName(entry));
    CStringArray envp(environmentBytes);
    const QByteArray directory = QFile::encodeName(options.workingDirectory.isEmpty() ? QStringLiteral("/") : options.workingDirectory);

    int reportPipe[2];
    if (::pipe2(reportPipe, O_CLOEXEC) != 0)
        return NVError::posix(errno);

    const pid_t intermediate = ::fork();
    if (intermediate < 0) {
        const int error = errno;
        ::close(reportPipe[0]);
        ::close(reportPipe[1]);
        return NVError::posix(error);
    }
    if (intermediate == 0) {
        ::close(reportPipe[0]);
        if (::setsid() < 0) {
            writeReport(reportPipe[1], kReportError, errno);
            ::_exit(127);
        }
        const pid_t grandchild = ::fork();
        if (grandchild < 0) {
            writeReport(reportPipe[1], kReportError, errno);
            ::_exit(127);
        }
        if (grandchild == 0)
            execGrandchild(reportPipe[1], programBytes.constData(), argv.data(), envp.data(), directory.constData());
        writeReport(reportPipe[1], kReportPid, int(grandchild));
        ::_exit(0);
    }

    ::close(reportPipe[1]);
    int status = 0;
    while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
    }

    // The pipe reaches its end once the grandchild has executed the program
    // (close on exec) or has given up.
    pid_t pid = -1;
    int error = 0;
    Report report;
    for (;;) {
        const ssize_t count = ::read(reportPipe[0], &report, sizeof report);
        if (count < 0 && errno == EINTR)
            continue;
        if (count != ssize_t(sizeof report))
            break;
        if (report.kind == kReportPid)
            pid = pid_t(report.value);
        else if (report.kind == kReportError)
            error = report.value;
    }
    ::close(reportPipe[0]);

    if (error != 0)
        return NVError::posix(error, {{NSFilePathErrorKey, program}});
    if (pid <= 0)
        return NVError::posix(ECHILD, {{NSFilePathErrorKey, program}});
    return pid;
}

} // namespace NVDetachedProcess
