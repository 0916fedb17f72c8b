#include "logging/NVLog.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <mutex>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

class NoEnvironment final : public NVLogEnvironment {
public:
    bool boolForKey(const QString &) const override { return false; }
    QString bundleIdentifier() const override { return QString(); }
};

const NoEnvironment noEnvironment;
std::atomic<const NVLogEnvironment *> currentEnvironment{&noEnvironment};

std::mutex sinkMutex;
NVConsoleSink &consoleSink()
{
    static NVConsoleSink sink;
    return sink;
}

QString processName()
{
    // /proc/self/comm is truncated to 15 bytes; the executable's file name is
    // what a reader of the log expects to see.
    static const QString name = [] {
        const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
        return exe.isEmpty() ? QStringLiteral("velkin-software-update") : QFileInfo(exe).fileName();
    }();
    return name;
}

void writeToStandardError(const QString &line)
{
    // One write per line keeps lines from different threads whole.
    QByteArray bytes = line.toUtf8();
    bytes += '\n';
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, p, size_t(left));
        if (written <= 0)
            return;
        p += written;
        left -= written;
    }
}

} // namespace

void NVSetLogEnvironment(const NVLogEnvironment *environment)
{
    currentEnvironment.store(environment ? environment : &noEnvironment);
}

const NVLogEnvironment &NVCurrentLogEnvironment() { return *currentEnvironment.load(); }

void NVSetConsoleSink(NVConsoleSink sink)
{
    std::lock_guard lock(sinkMutex);
    consoleSink() = std::move(sink);
}

QString NVConsoleLine(const QDateTime &when, const QString &processName, qint64 pid, qint64 tid, const QString &message)
{
    return QStringLiteral("%1 %2[%3:%4] %5")
        .arg(when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")), processName)
        .arg(pid)
        .arg(tid)
        .arg(message);
}

void NVConsoleLog(const QString &message)
{
    {
        std::lock_guard lock(sinkMutex);
        if (consoleSink()) {
            consoleSink()(message);
            return;
        }
    }
    writeToStandardError(NVConsoleLine(QDateTime::currentDateTime(), processName(), ::getpid(), ::syscall(SYS_gettid), message));
}

void NVSULogMessage(const QString &message)
{
    NVConsoleLog(QStringLiteral("Software Update: ") + message);
}

void NVSUDebugLogMessage(const QString &message)
{
    if (NVCurrentLogEnvironment().debugLogsEnabled())
        NVConsoleLog(QStringLiteral("Software Update Debug: ") + message);
}
