#include "network/NVServerTrust.h"

#include "platform/NVBundle.h"
#include "logging/NVLog.h"

#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>

namespace NVServerTrust {

QString bundleAnchorsPath()
{
    return NVBundle::mainBundle()->resourcePath() + QStringLiteral("/ServerTrustAnchors.pem");
}

QSslConfiguration configurationWithAnchors(const QString &anchorsPath)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    // Setting any authority list stops Qt from loading the system store on
    // demand, so the system's authorities go into the list as well.
    QList<QSslCertificate> authorities = QSslConfiguration::systemCaCertificates();
    if (!anchorsPath.isEmpty() && QFileInfo::exists(anchorsPath)) {
        const QList<QSslCertificate> anchors = QSslCertificate::fromPath(anchorsPath, QSsl::Pem);
        if (anchors.isEmpty())
            NVSULog(QStringLiteral("No certificate could be read from the server trust anchors \"%@\""), anchorsPath);
        authorities += anchors;
    }
    configuration.setCaCertificates(authorities);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return configuration;
}

} // namespace NVServerTrust
