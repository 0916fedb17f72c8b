#pragma once

#include "foundation/NVError.h"

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>

// Which servers the transport trusts: those whose chain ends in the
// system's certificate store, or in one of the PEM certificates of the
// updater bundle's Resources/ServerTrustAnchors.pem (the product ships
// none; tests and the demo put their own authority there). The host name is
// always checked, and nothing here lets a certificate error pass. Qt does
// not read SSL_CERT_FILE, so the bundle file is the one way to add an
// authority.
namespace NVServerTrust {

// <main bundle>/Contents/Resources/ServerTrustAnchors.pem. Any thread.
QString bundleAnchorsPath();

// A client TLS configuration trusting the system store plus the
// certificates in anchorsPath, when that file exists. A file that exists
// but holds no certificate is reported in one log line and adds nothing.
// Any thread. With anchors it reads the whole system store (a few hundred
// milliseconds), so call it once per session; without, the store is read
// during the handshake, only the issuer needed.
QSslConfiguration configurationWithAnchors(const QString &anchorsPath);

// The authorities configurationWithAnchors trusts: the system store, then
// the certificates in anchorsPath. Any thread; reads the system store.
QList<QSslCertificate> authoritiesWithAnchors(const QString &anchorsPath);

// The certificates in anchorsPath: none when the file does not exist; one
// log line when it exists but holds none. Any thread.
QList<QSslCertificate> anchorsAtPath(const QString &anchorsPath);

// Whether a server that presented chain (its own certificate first) for
// hostName (a name or an IP address) is to be trusted: the chain leads to
// one of the system's authorities or to one of anchors, every certificate
// on it is valid now and may serve a TLS server, and the server's
// certificate names the host. For clients that check certificates against
// a store of their own and ask us about the ones they refuse. Fails with
// NSURLErrorServerCertificateUntrusted and OpenSSL's reason. Any thread;
// reads only the system certificates the chain names.
NVResult<void> evaluateServerChain(const QList<QSslCertificate> &chain, const QString &hostName,
                                   const QList<QSslCertificate> &anchors);

} // namespace NVServerTrust
