#include "network/NVServerTrust.h"

#include "foundation/NVFormat.h"
#include "logging/NVLog.h"
#include "network/NVURLError.h"
#include "platform/NVBundle.h"
#include "platform/NVOpenSSL.h"

#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>

#include <openssl/err.h>

#include <algorithm>
#include <iterator>

namespace NVServerTrust {

QString bundleAnchorsPath()
{
    return NVBundle::mainBundle()->resourcePath() + QStringLiteral("/ServerTrustAnchors.pem");
}

QList<QSslCertificate> anchorsAtPath(const QString &anchorsPath)
{
    if (anchorsPath.isEmpty() || !QFileInfo::exists(anchorsPath))
        return {};
    const QList<QSslCertificate> anchors = QSslCertificate::fromPath(anchorsPath, QSsl::Pem);
    if (anchors.isEmpty())
        NVSULog(QStringLiteral("No certificate could be read from the server trust anchors \"%@\""), anchorsPath);
    return anchors;
}

QSslConfiguration serverConfiguration()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return configuration;
}

namespace {

NVOpenSSL::X509Ptr toX509(const QSslCertificate &certificate)
{
    const QByteArray der = certificate.toDer();
    const auto *bytes = reinterpret_cast<const unsigned char *>(der.constData());
    return NVOpenSSL::X509Ptr(d2i_X509(nullptr, &bytes, long(der.size())));
}

NVError untrusted(const QString &hostName, const QString &reason)
{
    return NVError::withDescription(NSURLErrorDomain, NSURLErrorServerCertificateUntrusted,
                                    NVFormat::format(QStringLiteral("The certificate of %@ is not trusted: %@"), hostName, reason));
}

// The faults that mean only "no trusted authority found for this chain".
bool isAboutTheIssuer(int error)
{
    switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
        return true;
    default:
        return false;
    }
}

// Forgives every fault but a missing authority: verification then says only
// whether the chain leads to a trusted certificate at all.
int forgiveAllButTheIssuer(int ok, X509_STORE_CTX *context)
{
    return ok || !isAboutTheIssuer(X509_STORE_CTX_get_error(context));
}

bool isAboutTheAuthority(const QSslError &error)
{
    switch (error.error()) {
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::CertificateUntrusted:
        return true;
    default:
        return false;
    }
}

enum class Authorities { SystemAndAnchors, AnchorsAlone };

NVResult<void> verifyChain(const QList<QSslCertificate> &chain, const QString &hostName, const QList<QSslCertificate> &anchors,
                           Authorities authorities)
{
    using namespace NVOpenSSL;
    if (chain.isEmpty())
        return untrusted(hostName, QStringLiteral("the server presented no certificate"));
    X509StorePtr store(X509_STORE_new());
    X509StoreContextPtr context(X509_STORE_CTX_new());
    X509StackPtr intermediates(sk_X509_new_null());
    if (!store || !context || !intermediates)
        return untrusted(hostName, QStringLiteral("out of memory"));
    // The system's authorities are looked up by subject hash in its
    // certificate folder, the one Qt reads too: only the few a chain names
    // are read, where loading the whole store costs most of a second.
    if (authorities == Authorities::SystemAndAnchors) {
        X509_LOOKUP *systemFolder = X509_STORE_add_lookup(store.get(), X509_LOOKUP_hash_dir());
        if (!systemFolder || X509_LOOKUP_add_dir(systemFolder, X509_get_default_cert_dir(), X509_FILETYPE_PEM) != 1)
            return untrusted(hostName, QStringLiteral("the system's certificates cannot be read"));
    } else {
        X509_STORE_set_verify_cb(store.get(), forgiveAllButTheIssuer);
    }
    for (const QSslCertificate &anchor : anchors) {
        if (X509Ptr certificate = toX509(anchor))
            X509_STORE_add_cert(store.get(), certificate.get());
    }
    X509Ptr leaf = toX509(chain.first());
    if (!leaf)
        return untrusted(hostName, QStringLiteral("the server's certificate cannot be read"));
    for (qsizetype i = 1; i < chain.size(); ++i) {
        if (X509Ptr certificate = toX509(chain[i]))
            sk_X509_push(intermediates.get(), certificate.release());
    }
    ERR_clear_error();
    if (!X509_STORE_CTX_init(context.get(), store.get(), leaf.get(), intermediates.get()))
        return untrusted(hostName, takeErrorText());
    X509_VERIFY_PARAM *parameters = X509_STORE_CTX_get0_param(context.get());
    X509_VERIFY_PARAM_set_purpose(parameters, X509_PURPOSE_SSL_SERVER);
    // An address is matched against the certificate's IP entries, a name
    // against its DNS names.
    const QByteArray host = hostName.toUtf8();
    if (X509_VERIFY_PARAM_set1_ip_asc(parameters, host.constData()) != 1) {
        ERR_clear_error();
        X509_VERIFY_PARAM_set1_host(parameters, host.constData(), size_t(host.size()));
    }
    const int verified = X509_verify_cert(context.get());
    const int error = X509_STORE_CTX_get_error(context.get());
    ERR_clear_error();
    if (verified != 1)
        return untrusted(hostName, QString::fromLatin1(X509_verify_cert_error_string(error)));
    return {};
}

} // namespace

NVResult<void> evaluateServerChain(const QList<QSslCertificate> &chain, const QString &hostName,
                                   const QList<QSslCertificate> &anchors)
{
    return verifyChain(chain, hostName, anchors, Authorities::SystemAndAnchors);
}

QList<QSslError> applyAnchors(QNetworkReply &reply, const QList<QSslError> &errors, const QList<QSslCertificate> &anchors)
{
    if (anchors.isEmpty() || std::none_of(errors.begin(), errors.end(), isAboutTheAuthority))
        return errors;
    const QList<QSslCertificate> chain = reply.sslConfiguration().peerCertificateChain();
    const QString host = reply.url().host();
    if (!verifyChain(chain, host, anchors, Authorities::AnchorsAlone))
        return errors;
    QList<QSslError> remaining;
    std::copy_if(errors.begin(), errors.end(), std::back_inserter(remaining), [](const QSslError &error) { return !isAboutTheAuthority(error); });
    if (!remaining.isEmpty())
        return remaining;
    // Qt's list and OpenSSL's verdict should agree; where they do not, the
    // connection stays refused.
    if (!evaluateServerChain(chain, host, anchors))
        return errors;
    reply.ignoreSslErrors();
    return {};
}

} // namespace NVServerTrust
