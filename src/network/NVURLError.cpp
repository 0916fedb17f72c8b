#include "network/NVURLError.h"

#include "foundation/NVFormat.h"
#include "localization/NVLocalization.h"
#include "localization/NVSoftwareUpdateStrings.h"

#include <QVariantList>

namespace NVURLError {

namespace {

namespace Strings = NVSoftwareUpdateStrings;

// What fills a description's one argument.
enum class Argument { None, Host, URL, Reason };

struct Row {
    qint64 code;
    const QString &key;
    Argument argument;
};

const Row kRows[] = {
    {NSURLErrorUnknown, Strings::_urlErrorUnknown, Argument::Reason},
    {NSURLErrorCancelled, Strings::_urlErrorCancelled, Argument::None},
    {NSURLErrorTimedOut, Strings::_urlErrorTimedOut, Argument::Host},
    {NSURLErrorUnsupportedURL, Strings::_urlErrorUnsupportedURL, Argument::URL},
    {NSURLErrorCannotFindHost, Strings::_urlErrorCannotFindHost, Argument::Host},
    {NSURLErrorCannotConnectToHost, Strings::_urlErrorCannotConnectToHost, Argument::Host},
    {NSURLErrorNetworkConnectionLost, Strings::_urlErrorNetworkConnectionLost, Argument::None},
    {NSURLErrorHTTPTooManyRedirects, Strings::_urlErrorHTTPTooManyRedirects, Argument::None},
    {NSURLErrorNotConnectedToInternet, Strings::_urlErrorNotConnectedToInternet, Argument::None},
    {NSURLErrorBadServerResponse, Strings::_urlErrorBadServerResponse, Argument::Host},
    {NSURLErrorUserCancelledAuthentication, Strings::_urlErrorUserCancelledAuthentication, Argument::None},
    {NSURLErrorUserAuthenticationRequired, Strings::_urlErrorUserAuthenticationRequired, Argument::Host},
    {NSURLErrorDataLengthExceedsMaximum, Strings::_urlErrorDataLengthExceedsMaximum, Argument::None},
    {NSURLErrorSecureConnectionFailed, Strings::_urlErrorSecureConnectionFailed, Argument::Host},
    {NSURLErrorServerCertificateHasBadDate, Strings::_urlErrorServerCertificateHasBadDate, Argument::Host},
    {NSURLErrorServerCertificateUntrusted, Strings::_urlErrorServerCertificateUntrusted, Argument::Host},
    {NSURLErrorServerCertificateHasUnknownRoot, Strings::_urlErrorServerCertificateHasUnknownRoot, Argument::Host},
    {NSURLErrorServerCertificateNotYetValid, Strings::_urlErrorServerCertificateNotYetValid, Argument::Host},
    {NSURLErrorClientCertificateRejected, Strings::_urlErrorClientCertificateRejected, Argument::Host},
    {NSURLErrorClientCertificateRequired, Strings::_urlErrorClientCertificateRequired, Argument::Host},
    {NSURLErrorCannotCreateFile, Strings::_urlErrorCannotCreateFile, Argument::Reason},
    {NSURLErrorCannotWriteToFile, Strings::_urlErrorCannotWriteToFile, Argument::Reason},
};

const Row &rowForCode(qint64 code)
{
    for (const Row &row : kRows)
        if (row.code == code)
            return row;
    return kRows[0];
}

// A failed handshake: the certificate checks say what was wrong with the
// server; without any, the alert text may say what the server disliked
// about us.
qint64 codeForHandshake(const NetworkFailure &failure)
{
    for (const QSslError &error : failure.sslErrors) {
        switch (error.error()) {
        case QSslError::CertificateExpired:
            return NSURLErrorServerCertificateHasBadDate;
        case QSslError::CertificateNotYetValid:
            return NSURLErrorServerCertificateNotYetValid;
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
            return NSURLErrorServerCertificateHasUnknownRoot;
        default:
            break;
        }
    }
    if (!failure.sslErrors.isEmpty())
        return NSURLErrorServerCertificateUntrusted;
    const QString text = failure.errorString.toLower();
    if (text.contains(QLatin1String("certificate required")))
        return NSURLErrorClientCertificateRequired;
    if (text.contains(QLatin1String("bad certificate")) || text.contains(QLatin1String("certificate unknown")))
        return NSURLErrorClientCertificateRejected;
    return NSURLErrorSecureConnectionFailed;
}

} // namespace

qint64 codeForFailure(const NetworkFailure &failure)
{
    // A server that refuses a client certificate may do it after the
    // handshake seemed done (TLS 1.3), so its alert can arrive as a closed
    // connection: the text tells.
    const QString text = failure.errorString.toLower();
    if (text.contains(QLatin1String("alert certificate required")))
        return NSURLErrorClientCertificateRequired;
    switch (failure.error) {
    case QNetworkReply::NoError:
        return 0;
    case QNetworkReply::OperationCanceledError:
        return NSURLErrorCancelled;
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
        return NSURLErrorTimedOut;
    case QNetworkReply::ProtocolUnknownError:
    case QNetworkReply::InsecureRedirectError:
        return NSURLErrorUnsupportedURL;
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ProxyNotFoundError:
        return NSURLErrorCannotFindHost;
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::UnknownProxyError:
        return NSURLErrorCannotConnectToHost;
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ProxyConnectionClosedError:
        return NSURLErrorNetworkConnectionLost;
    case QNetworkReply::TooManyRedirectsError:
        return NSURLErrorHTTPTooManyRedirects;
    // Socket errors Qt has no name for (an unreachable network or host among
    // them) arrive as UnknownNetworkError.
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::BackgroundRequestNotAllowedError:
    case QNetworkReply::UnknownNetworkError:
        return NSURLErrorNotConnectedToInternet;
    case QNetworkReply::ProtocolFailure:
        return NSURLErrorBadServerResponse;
    case QNetworkReply::SslHandshakeFailedError:
        return codeForHandshake(failure);
    default:
        return NSURLErrorUnknown;
    }
}

bool isSecureConnectionFailure(qint64 code)
{
    return code <= NSURLErrorSecureConnectionFailed && code >= NSURLErrorClientCertificateRequired;
}

NVError errorWithCode(qint64 code, const QUrl &failingURL, const QList<QSslCertificate> &peerChain,
                      const std::optional<NVError> &underlying, const QString &reason)
{
    const Row &row = rowForCode(code);
    const QString text = NVLocalization::localizedStringFromTable(row.key, Strings::Table);
    QString description;
    switch (row.argument) {
    case Argument::None:
        description = text;
        break;
    case Argument::Host:
        description = NVFormat::format(text, failingURL.host());
        break;
    case Argument::URL:
        description = NVFormat::format(text, failingURL.toDisplayString());
        break;
    case Argument::Reason:
        description = NVFormat::format(text, underlying ? underlying->localizedDescription() : reason);
        break;
    }
    QVariantMap userInfo{
        {NSLocalizedDescriptionKey, description},
        {NSErrorFailingURLKey, failingURL},
        {NSErrorFailingURLStringKey, failingURL.toString()},
    };
    if (isSecureConnectionFailure(code)) {
        QVariantList chain;
        for (const QSslCertificate &certificate : peerChain)
            chain << certificate.toDer();
        userInfo.insert(NSURLErrorFailingURLPeerTrustErrorKey, chain);
    }
    if (underlying)
        userInfo.insert(NSUnderlyingErrorKey, QVariant::fromValue(*underlying));
    return NVError(NSURLErrorDomain, code, userInfo);
}

} // namespace NVURLError
