#include "platform/NVProcessWorkspace.h"

#include "platform/NVBundle.h"
#include "foundation/NVError.h"
#include "platform/NVDetachedProcess.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>

#include <cerrno>

NVResult<QString> NVBundleExecutableForLaunch(const QString &bundlePath)
{
    const NVBundle *bundle = NVBundle::bundleWithPath(bundlePath, true);
    if (!bundle)
        return NVError::withDescription(NSPOSIXErrorDomain, ENOENT,
                                        QStringLiteral("\"%1\" is not an application bundle (no such folder)").arg(bundlePath));
    const QString name = bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleExecutable")).toString();
    // The name comes from a file that anyone who can write the bundle can
    // edit; it must not lead out of Contents/MacOS.
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") || name == QLatin1String(".."))
        return NVError::withDescription(NSPOSIXErrorDomain, ENOEXEC,
                                        QStringLiteral("\"%1\" names no executable (CFBundleExecutable missing or not a file name)").arg(bundlePath));
    return bundle->executablePath();
}

NVProcessWorkspace &NVProcessWorkspace::shared()
{
    static NVProcessWorkspace workspace;
    return workspace;
}

bool NVProcessWorkspace::openURL(const QString &url)
{
    return NVDetachedProcess::start(QStringLiteral("/usr/bin/xdg-open"), {url}).ok();
}

void NVProcessWorkspace::openApplication(const QString &bundlePath, const QStringList &arguments, LaunchCompletion completion)
{
    QString launchedPath;
    QString errorText;
    const NVResult<QString> executable = NVBundleExecutableForLaunch(bundlePath);
    if (!executable) {
        errorText = executable.error().localizedDescription();
    } else if (const NVResult<pid_t> started = NVDetachedProcess::start(executable.value(), arguments); !started) {
        errorText = QStringLiteral("%1: %2").arg(executable.value(), started.error().localizedDescription());
    } else {
        launchedPath = bundlePath;
    }
    if (!completion)
        return;
    QCoreApplication *application = QCoreApplication::instance();
    if (!application) {
        completion(launchedPath, errorText);
        return;
    }
    QMetaObject::invokeMethod(
        application, [completion = std::move(completion), launchedPath, errorText] { completion(launchedPath, errorText); },
        Qt::QueuedConnection);
}
