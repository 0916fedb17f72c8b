#include "widgets/NVDesktopWorkspace.h"

#include "platform/NVProcessWorkspace.h"

#include <QDesktopServices>
#include <QUrl>

bool NVDesktopWorkspace::openURL(const QString &url)
{
    return QDesktopServices::openUrl(QUrl(url));
}

void NVDesktopWorkspace::openApplication(const QString &bundlePath, const QStringList &arguments, LaunchCompletion completion)
{
    NVProcessWorkspace::shared().openApplication(bundlePath, arguments, std::move(completion));
}
