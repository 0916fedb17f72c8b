#include "install/NVRelaunch.h"

#include "platform/NVBundle.h"
#include "foundation/NVFormat.h"
#include "platform/NVApplicationServices.h"
#include "platform/NVDetachedProcess.h"

#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>

#include <unistd.h>

namespace NVRelaunch {

QString launcherPath()
{
    return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).path() + QStringLiteral("/nvsu-open");
}

QString watcherScript(const QString &launcherPath)
{
    // The launcher path lives in a bundle whose name has blanks; inside
    // single quotes only the single quote itself needs care.
    QString quoted = launcherPath;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    quoted = QLatin1Char('\'') + quoted + QLatin1Char('\'');
    return NVFormat::format("while kill -0 \"$NV_RELAUNCH_PARENT_PID\" 2>/dev/null; do /bin/sleep 1; done; "
                            "%@ \"$NV_RELAUNCH_APP_PATH\" --args -%@ YES",
                            quoted, NVApplicationDidRelaunchKey);
}

NVResult<pid_t> startWatcher(const QString &applicationPath, pid_t parentPid, const QString &launcherPath)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(NVRelaunchAppPathVariable, applicationPath);
    environment.insert(NVRelaunchParentPidVariable, NVFormat::format("%d", qint64(parentPid)));
    NVDetachedProcess::Options options;
    options.workingDirectory = QStringLiteral("/");
    options.environment = environment.toStringList();
    return NVDetachedProcess::start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), watcherScript(launcherPath)}, options);
}

NVResult<void> terminateAndLaunchApplication(const QString &applicationPath)
{
    const NVResult<pid_t> watcher = startWatcher(applicationPath, ::getpid(), launcherPath());
    if (!watcher)
        return watcher.error();
    NVApplicationServices::terminateApplication();
    return {};
}

NVResult<void> relaunch()
{
    return terminateAndLaunchApplication(NVBundle::mainBundle()->bundlePath());
}

} // namespace NVRelaunch
