#include "install/NVSUInstallerLaunch.h"

#include "foundation/NVFormat.h"
#include "logging/NVLog.h"
#include "platform/NVApplicationServices.h"

#include <QProcess>

namespace NVSUInstallerLaunch {

QString installerExecutablePath(const QString &installerPath)
{
    QString name = installerPath;
    while (name.size() > 1 && name.endsWith(QLatin1Char('/')))
        name.chop(1);
    name = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot > 0)
        name.truncate(dot);
    return NVFormat::format("%@/Contents/MacOS/%@", installerPath, name);
}

bool runInstaller(const QString &installerPath, const std::function<void()> &closeUpdateWindow)
{
    const QString executable = installerExecutablePath(installerPath);
    NVSUDebugLog("Launching installer: %@", executable);
    if (closeUpdateWindow)
        closeUpdateWindow();
    if (NVApplication *application = NVApplicationServices::application())
        application->setActivationPolicy(NVApplication::ActivationPolicy::Accessory);

    QProcess installer;
    installer.setProgram(executable);
    installer.setArguments({QStringLiteral("-startedBySoftwareUpdate"), QStringLiteral("YES")});
    installer.setStandardInputFile(QProcess::nullDevice());
    // The installer's output belongs in our log, not in a buffer nobody reads.
    installer.setProcessChannelMode(QProcess::ForwardedChannels);
    installer.start();
    if (!installer.waitForStarted(-1))
        return false;
    installer.waitForFinished(-1);

    NVApplicationServices::terminateApplication();
    NVSUDebugLog("Installer terminated, we quit as well");
    return true;
}

} // namespace NVSUInstallerLaunch
