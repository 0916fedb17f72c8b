#pragma once

#include "foundation/NVError.h"

#include <QList>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>

// Which servers the transport trusts: those whose chain ends in the
// system's certificate store, or in one of the PEM certificates of the
// updater bundle's Resources/ServerTrustAnchors.pem (the product ships
// none; tests and the demo put their own authority there). The host name is
// always checked. Qt checks against the system store alone; a chain it
// refuses only for its authority is checked again here with the anchors, and
// no other certificate error ever passes. Qt does not read SSL_CERT_FILE, so
// the bundle file is the one way to add an authority.
namespace NVServerTrust {

// <main bundle>/Contents/Resources/ServerTrustAnchors.pem. Any thread.
QString bundleAnchorsPath();

// The transport's client TLS configuration: the peer is verified, and the
// system's authorities are looked up during the handshake by subject hash,
// only the issuer a chain names. Reading the whole store instead (which any
// explicit list of authorities makes Qt do) costs a few hundred
// milliseconds, more than the rest of a background check. Any thread.
QSslConfiguration serverConfiguration();

// What is left of Qt's complaints about reply's chain once anchors count
// as authorities: nothing when the chain is trusted with them
// (evaluateServerChain; reply then goes on), the other complaints when it
// leads to an anchor but has further faults (expired, another host), and all
// of them otherwise; no complaint but the unknown authority is ever
// dropped. Call from a direct connection to QNetworkReply::sslErrors. Main
// thread.
QList<QSslError> applyAnchors(QNetworkReply &reply, const QList<QSslError> &errors, const QList<QSslCertificate> &anchors);

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
