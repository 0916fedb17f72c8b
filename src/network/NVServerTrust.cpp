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
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    // Without anchors Qt looks the issuer up in the system store during the
    // handshake, one file by its subject hash. Reading the whole store takes
    // a few hundred milliseconds, more than the rest of a background check.
    if (anchorsPath.isEmpty() || !QFileInfo::exists(anchorsPath))
        return configuration;
    const QList<QSslCertificate> anchors = QSslCertificate::fromPath(anchorsPath, QSsl::Pem);
    if (anchors.isEmpty()) {
        NVSULog(QStringLiteral("No certificate could be read from the server trust anchors \"%@\""), anchorsPath);
        return configuration;
    }
    // Setting any authority list stops Qt from looking in the system store
    // on demand, so the system's authorities go into the list as well.
    configuration.setCaCertificates(QSslConfiguration::systemCaCertificates() + anchors);
    return configuration;
}

} // namespace NVServerTrust
