#include "platform/NVCertificateMaker.h"

#include <openssl/bn.h>
#include <openssl/ec.h>

namespace NVCertificateMaker {

namespace {

using namespace NVOpenSSL;

NVError failure(const QString &what)
{
    QString reason = what;
    const QString detail = takeErrorText();
    if (!detail.isEmpty())
        reason += QStringLiteral(" (") + detail + QLatin1Char(')');
    return NVError::withDescription(QStringLiteral("norvane.CertificateMakerErrorDomain"), 1, reason);
}

bool addNameEntry(X509_NAME *name, const char *field, const QString &value)
{
    if (value.isEmpty())
        return true;
    const QByteArray utf8 = value.toUtf8();
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(utf8.constData()),
                                      int(utf8.size()), -1, 0) == 1;
}

bool addConfiguredExtension(X509 *certificate, X509V3_CTX *context, int nid, const QString &value)
{
    const QByteArray text = value.toLatin1();
    X509ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, context, nid, text.constData()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// An extension whose value is an ASN.1 NULL, the form the distribution
// marker takes; the value does not matter to anyone who only asks whether the
// extension is there.
bool addMarkerExtension(X509 *certificate, const QString &oid, bool critical)
{
    ASN1ObjectPtr object(OBJ_txt2obj(oid.toLatin1().constData(), 1));
    ASN1OctetStringPtr value(ASN1_OCTET_STRING_new());
    static const unsigned char asn1Null[] = {0x05, 0x00};
    if (!object || !value || !ASN1_OCTET_STRING_set(value.get(), asn1Null, sizeof asn1Null))
        return false;
    X509ExtensionPtr extension(X509_EXTENSION_create_by_OBJ(nullptr, object.get(), critical ? 1 : 0, value.get()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

bool setTime(ASN1_TIME *field, const QDateTime &when)
{
    return ASN1_TIME_set(field, time_t(when.toSecsSinceEpoch())) != nullptr;
}

bool setRandomSerial(X509 *certificate)
{
    std::unique_ptr<BIGNUM, Deleter<BN_free>> serial(BN_new());
    // 127 random bits: positive, unique enough that two test runs never
    // issue the same serial under one name.
    return serial && BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY)
        && BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate));
}

} // namespace

NVResult<NVIdentity> make(const NVCertificateRequest &request, const NVIdentity *issuer)
{
    NVIdentity identity;
    identity.key.reset(EVP_EC_gen("P-256"));
    identity.certificate.reset(X509_new());
    X509 *certificate = identity.certificate.get();
    if (!identity.key || !certificate)
        return failure(QStringLiteral("could not create a key"));

    const QDateTime notBefore = request.notBefore.isValid() ? request.notBefore : QDateTime::currentDateTimeUtc().addSecs(-3600);
    const QDateTime notAfter = request.notAfter.isValid() ? request.notAfter : notBefore.addYears(10);

    X509_NAME *subject = X509_get_subject_name(certificate);
    if (!X509_set_version(certificate, X509_VERSION_3) || !setRandomSerial(certificate)
        || !addNameEntry(subject, "O", request.organization) || !addNameEntry(subject, "OU", request.organizationalUnit)
        || !addNameEntry(subject, "CN", request.commonName)
        || !X509_set_issuer_name(certificate, issuer ? X509_get_subject_name(issuer->certificate.get()) : subject)
        || !setTime(X509_getm_notBefore(certificate), notBefore) || !setTime(X509_getm_notAfter(certificate), notAfter)
        || !X509_set_pubkey(certificate, identity.key.get()))
        return failure(QStringLiteral("could not fill in the certificate"));

    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer ? issuer->certificate.get() : certificate, certificate, nullptr, nullptr, 0);
    bool ok = addConfiguredExtension(certificate, &context, NID_subject_key_identifier, QStringLiteral("hash"))
        && addConfiguredExtension(certificate, &context, NID_authority_key_identifier, QStringLiteral("keyid:always"));
    switch (request.role) {
    case NVCertificateRequest::Role::Authority:
        ok = ok
            && addConfiguredExtension(certificate, &context, NID_basic_constraints,
                                      request.pathLength >= 0 ? QStringLiteral("critical,CA:TRUE,pathlen:%1").arg(request.pathLength)
                                                              : QStringLiteral("critical,CA:TRUE"))
            && addConfiguredExtension(certificate, &context, NID_key_usage, QStringLiteral("critical,keyCertSign,cRLSign"));
        break;
    case NVCertificateRequest::Role::CodeSigning:
        ok = ok && addConfiguredExtension(certificate, &context, NID_basic_constraints, QStringLiteral("critical,CA:FALSE"))
            && addConfiguredExtension(certificate, &context, NID_key_usage, QStringLiteral("critical,digitalSignature"))
            && addConfiguredExtension(certificate, &context, NID_ext_key_usage, QStringLiteral("codeSigning"));
        break;
    case NVCertificateRequest::Role::TLSServer: {
        QStringList names;
        for (const QString &name : request.dnsNames)
            names << QStringLiteral("DNS:") + name;
        for (const QString &address : request.ipAddresses)
            names << QStringLiteral("IP:") + address;
        ok = ok && addConfiguredExtension(certificate, &context, NID_basic_constraints, QStringLiteral("critical,CA:FALSE"))
            && addConfiguredExtension(certificate, &context, NID_key_usage, QStringLiteral("critical,digitalSignature"))
            && addConfiguredExtension(certificate, &context, NID_ext_key_usage, QStringLiteral("serverAuth"))
            && (names.isEmpty() || addConfiguredExtension(certificate, &context, NID_subject_alt_name, names.join(QLatin1Char(','))));
        break;
    }
    }
    if (request.distributionExtension)
        ok = ok && addMarkerExtension(certificate, NVDistributionExtensionOID, request.distributionExtensionCritical);
    for (const QString &oid : request.unknownCriticalExtensions)
        ok = ok && addMarkerExtension(certificate, oid, true);
    if (!ok)
        return failure(QStringLiteral("could not add the certificate's extensions"));

    EVP_PKEY *signingKey = issuer ? issuer->key.get() : identity.key.get();
    if (X509_sign(certificate, signingKey, EVP_sha256()) <= 0)
        return failure(QStringLiteral("could not sign the certificate"));
    return identity;
}

} // namespace NVCertificateMaker
