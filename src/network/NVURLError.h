#pragma once

#include "foundation/NVError.h"

#include <QList>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QUrl>

#include <optional>

// The codes of "NSURLErrorDomain" the transport and the release-notes view
// produce (the view adds the two log-in codes). The product
// application and the driver's alerts match on the numbers, so they are the
// platform's.
inline constexpr qint64 NSURLErrorUnknown = -1;
inline constexpr qint64 NSURLErrorCancelled = -999;
inline constexpr qint64 NSURLErrorTimedOut = -1001;
inline constexpr qint64 NSURLErrorUnsupportedURL = -1002;
inline constexpr qint64 NSURLErrorCannotFindHost = -1003;
inline constexpr qint64 NSURLErrorCannotConnectToHost = -1004;
inline constexpr qint64 NSURLErrorNetworkConnectionLost = -1005;
inline constexpr qint64 NSURLErrorHTTPTooManyRedirects = -1007;
inline constexpr qint64 NSURLErrorNotConnectedToInternet = -1009;
inline constexpr qint64 NSURLErrorBadServerResponse = -1011;
inline constexpr qint64 NSURLErrorUserCancelledAuthentication = -1012;
inline constexpr qint64 NSURLErrorUserAuthenticationRequired = -1013;
inline constexpr qint64 NSURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr qint64 NSURLErrorSecureConnectionFailed = -1200;
inline constexpr qint64 NSURLErrorServerCertificateHasBadDate = -1201;
inline constexpr qint64 NSURLErrorServerCertificateUntrusted = -1202;
inline constexpr qint64 NSURLErrorServerCertificateHasUnknownRoot = -1203;
inline constexpr qint64 NSURLErrorServerCertificateNotYetValid = -1204;
inline constexpr qint64 NSURLErrorClientCertificateRejected = -1205;
inline constexpr qint64 NSURLErrorClientCertificateRequired = -1206;
inline constexpr qint64 NSURLErrorCannotCreateFile = -3000;
inline constexpr qint64 NSURLErrorCannotWriteToFile = -3003;

namespace NVURLError {

// What Qt reported about a failed transfer.
struct NetworkFailure {
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QList<QSslError> sslErrors;   // the certificate checks that failed, if any
    QString errorString;          // Qt's text, which alone names TLS alerts
};

// The code for a failure, by one table: Qt's error chooses the row, and for
// a failed TLS handshake the certificate errors (expired, not yet valid,
// unknown root, untrusted or another host's) or the alert the server sent
// (client certificate refused or required). Any thread.
qint64 codeForFailure(const NetworkFailure &failure);

// True for the secure-connection codes -1200 to -1206. Any thread.
bool isSecureConnectionFailure(qint64 code);

// The error for a code: the failing URL under NSErrorFailingURLKey (and its
// text under NSErrorFailingURLStringKey), a localized description from the
// table "NVSoftwareUpdate" naming the host where that helps, the server's
// certificate chain as DER byte arrays under
// NSURLErrorFailingURLPeerTrustErrorKey for secure-connection failures, and
// the underlying error when there is one. `reason` fills the descriptions
// of codes that have no fixed text (Qt's text for -1; the underlying error
// describes the file errors). Any thread.
NVError errorWithCode(qint64 code, const QUrl &failingURL, const QList<QSslCertificate> &peerChain = {},
                      const std::optional<NVError> &underlying = std::nullopt, const QString &reason = QString());

} // namespace NVURLError
