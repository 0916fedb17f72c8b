#include "platform/NVProcessTermination.h"

#include <QProcess>

#include <cstring>

NVProcessTermination NVProcessTermination::of(const QProcess &process)
{
    // For a process that a signal ended, Qt gives the signal's number as the
    // exit code.
    if (process.exitStatus() == QProcess::CrashExit)
        return {128 + process.exitCode(), process.exitCode()};
    return {process.exitCode(), 0};
}

QString NVProcessTermination::description() const
{
    if (signal == 0)
        return QStringLiteral("exit status %1").arg(status);
    // sigdescr_np, unlike strsignal, is safe on any thread and not localized,
    // like the rest of the log.
    const char *name = ::sigdescr_np(signal);
    return QStringLiteral("terminated by signal %1 (%2)").arg(signal).arg(name ? QString::fromLatin1(name) : QStringLiteral("unknown signal"));
}
