#include "support/PseudoTerminal.h"

#include "support/TestSupport.h"

#include <QFile>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

void readAvailable(int fd, QByteArray &into)
{
    if (fd < 0)
        return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            into.append(buffer, n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return; // EAGAIN, or EIO once the program's side is closed
    }
}

} // namespace

PseudoTerminal::PseudoTerminal(const Options &options)
{
    // Everything the child needs is made before the fork: after it only
    // async-signal-safe calls are allowed (the test has threads).
    std::vector<QByteArray> storage;
    storage.push_back(QFile::encodeName(options.program));
    for (const QString &argument : options.arguments)
        storage.push_back(argument.toLocal8Bit());
    const qsizetype argumentCount = qsizetype(storage.size());
    for (const QString &entry : options.environment.toStringList())
        storage.push_back(entry.toLocal8Bit());
    std::vector<char *> argv, envp;
    for (qsizetype i = 0; i < qsizetype(storage.size()); ++i)
        (i < argumentCount ? argv : envp).push_back(storage[size_t(i)].data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (options.outputToPipe && ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return;
    const int devNull = options.inputFromDevNull ? ::open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;

    struct winsize size = {};
    size.ws_row = 40;
    size.ws_col = 120;
    m_pid = ::forkpty(&m_master, nullptr, nullptr, &size);
    if (m_pid == 0) {
        if (devNull >= 0)
            ::dup2(devNull, STDIN_FILENO);
        if (pipeFds[1] >= 0)
            ::dup2(pipeFds[1], STDOUT_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (devNull >= 0)
        ::close(devNull);
    if (pipeFds[1] >= 0)
        ::close(pipeFds[1]);
    m_pipe = pipeFds[0];
    if (m_master >= 0)
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    if (m_pipe >= 0)
        ::fcntl(m_pipe, F_SETFL, ::fcntl(m_pipe, F_GETFL) | O_NONBLOCK);
}

PseudoTerminal::~PseudoTerminal()
{
    if (m_pid > 0 && !m_status) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_master >= 0)
        ::close(m_master);
    if (m_pipe >= 0)
        ::close(m_pipe);
}

void PseudoTerminal::type(const QByteArray &keys)
{
    qsizetype written = 0;
    while (m_master >= 0 && written < keys.size()) {
        const ssize_t n = ::write(m_master, keys.constData() + written, size_t(keys.size() - written));
        if (n > 0)
            written += n;
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            return;
    }
}

void PseudoTerminal::drain()
{
    readAvailable(m_master, m_screen);
    readAvailable(m_pipe, m_pipeOutput);
}

QString PseudoTerminal::screen()
{
    drain();
    return QString::fromUtf8(m_screen);
}

QString PseudoTerminal::pipeOutput()
{
    drain();
    return QString::fromUtf8(m_pipeOutput);
}

bool PseudoTerminal::waitForScreen(const QString &text, std::chrono::milliseconds timeout)
{
    return TestSupport::waitFor([&] { return screen().contains(text); }, timeout);
}

std::optional<int> PseudoTerminal::waitForExit(std::chrono::milliseconds timeout)
{
    TestSupport::waitFor([&] {
        drain();
        if (m_status || m_pid <= 0)
            return true;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return m_status.has_value();
    }, timeout);
    drain();
    return m_status;
}
