#pragma once

#include "foundation/NVError.h"
#include "platform/NVOpenSSL.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// Makes certificates and keys (EC P-256, SHA-256) for the release tool's
// "keys" command and for the tests: code-signing roots, intermediates and
// team certificates, and the TLS authority and loopback server certificate
// of the test servers. Any thread; everything it makes is owned by the
// caller.

// The object identifier that marks a certificate for distributing the
// application outside the platform's store.
inline const QString NVDistributionExtensionOID = QStringLiteral("1.2.840.113635.100.6.1.13");

struct NVIdentity {
    NVOpenSSL::X509Ptr certificate;
    NVOpenSSL::EVPKeyPtr key;

    QByteArray certificatePEM() const { return NVOpenSSL::certificatePEM(certificate.get()); }
    QByteArray privateKeyPEM() const { return NVOpenSSL::privateKeyPEM(key.get()); }
};

struct NVCertificateRequest {
    enum class Role {
        Authority,    // a CA: root or intermediate
        CodeSigning,  // a team's signing certificate
        TLSServer,    // a server certificate for the given names and addresses
    };
    Role role = Role::CodeSigning;
    QString commonName;
    QString organization;
    QString organizationalUnit;   // the team identifier of a signing certificate
    QDateTime notBefore;          // invalid: one hour ago
    QDateTime notAfter;           // invalid: ten years after notBefore
    int pathLength = -1;          // authorities: the pathLenConstraint, -1 for none
    bool distributionExtension = false;
    bool distributionExtensionCritical = true;
    // Critical extensions no verifier knows (object identifiers), for tests
    // of how unknown critical extensions are treated.
    QStringList unknownCriticalExtensions;
    QStringList dnsNames;         // TLS servers
    QStringList ipAddresses;      // TLS servers
};

namespace NVCertificateMaker {

// Makes a new key and a certificate for it, issued by `issuer`, or
// self-signed when `issuer` is null.
NVResult<NVIdentity> make(const NVCertificateRequest &request, const NVIdentity *issuer = nullptr);

} // namespace NVCertificateMaker
