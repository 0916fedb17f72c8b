#include "platform/NVCodeSigning.h"

#include "platform/NVCertificateMaker.h"

#include <QFile>

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cerrno>
#include <vector>

#include <unistd.h>

using namespace NVOpenSSL;

// ---- Anchors --------------------------------------------------------------------

NVCodeSigningAnchors NVCodeSigningAnchors::fromFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        NVCodeSigningAnchors none;
        none.m_problem = QStringLiteral("cannot read the trust anchors \"%1\": %2").arg(path, file.errorString());
        return none;
    }
    NVCodeSigningAnchors anchors = fromPEM(file.read(16 << 20));
    if (!anchors.m_problem.isEmpty())
        anchors.m_problem = QStringLiteral("\"%1\": %2").arg(path, anchors.m_problem);
    return anchors;
}

NVCodeSigningAnchors NVCodeSigningAnchors::fromPEM(const QByteArray &pem)
{
    NVCodeSigningAnchors anchors;
    X509StackPtr certificates = certificatesFromPEM(pem);
    anchors.m_certificates = std::shared_ptr<STACK_OF(X509)>(certificates.release(), X509StackDeleter());
    if (anchors.count() == 0)
        anchors.m_problem = QStringLiteral("there are no trust anchors");
    return anchors;
}

int NVCodeSigningAnchors::count() const { return m_certificates ? sk_X509_num(m_certificates.get()) : 0; }

// ---- Parsing ----------------------------------------------------------------------

namespace {

NVError signatureFailed(const QString &reason)
{
    QString text = reason;
    const QString detail = takeErrorText();
    if (!detail.isEmpty())
        text += QStringLiteral(" (") + detail + QLatin1Char(')');
    return NVCodeSigningError(errSecCSSignatureFailed, text);
}

QString nameText(const X509_NAME *name)
{
    BIOPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0)
        return QString();
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return QString::fromUtf8(data, int(length));
}

const ASN1_OBJECT *dataType() { return OBJ_nid2obj(NID_pkcs7_data); }

QString subjectOf(X509 *certificate) { return nameText(X509_get_subject_name(certificate)); }

struct DERElement {
    int tag = 0;
    int tagClass = 0;
    const unsigned char *content = nullptr;
    long length = 0;
};

// The elements that exactly fill [begin, end), or nothing when they do not.
std::optional<std::vector<DERElement>> elementsIn(const unsigned char *begin, const unsigned char *end)
{
    std::vector<DERElement> elements;
    while (begin < end) {
        DERElement element;
        if (ASN1_get_object(&begin, &element.length, &element.tag, &element.tagClass, end - begin) & 0x80)
            return std::nullopt;
        element.content = begin;
        begin += element.length;
        elements.push_back(element);
    }
    return elements;
}

std::optional<std::vector<DERElement>> elementsIn(const DERElement &element)
{
    return elementsIn(element.content, element.content + element.length);
}

// How many entries the SignedData's certificate set and revocation set hold
// (-1 for a set that is absent), counted in the DER itself: OpenSSL's
// accessors list only the entries that are plain certificates or CRLs, and
// other kinds must not pass unseen.
struct EmbeddedSets {
    int certificates = -1;
    int revocations = -1;
};

std::optional<EmbeddedSets> embeddedSets(const QByteArray &der)
{
    // ContentInfo { contentType, [0] { SignedData { version, digestAlgorithms,
    // encapContentInfo, [0] certificates OPTIONAL, [1] crls OPTIONAL, signerInfos } } }
    const auto *begin = reinterpret_cast<const unsigned char *>(der.constData());
    const auto contentInfo = elementsIn(begin, begin + der.size());
    const auto contentInfoFields = contentInfo && contentInfo->size() == 1 ? elementsIn(contentInfo->front()) : std::nullopt;
    const auto signedData = contentInfoFields && contentInfoFields->size() == 2 ? elementsIn(contentInfoFields->back()) : std::nullopt;
    const auto fields = signedData && signedData->size() == 1 ? elementsIn(signedData->front()) : std::nullopt;
    if (!fields)
        return std::nullopt;
    EmbeddedSets sets;
    for (const DERElement &field : *fields) {
        if (field.tagClass != V_ASN1_CONTEXT_SPECIFIC || field.tag > 1)
            continue;
        const auto entries = elementsIn(field);
        if (!entries)
            return std::nullopt;
        (field.tag == 0 ? sets.certificates : sets.revocations) = int(entries->size());
    }
    return sets;
}

// Everything in the block may change without the key, so the block holds
// only what the signer needed: no revocation information (chains are judged
// without it), and only plain certificates, each once, none self-signed but
// the signer's own (verifiers bring their own anchors, and a block that could
// carry one or not would not be byte-unique). That each certificate is on the
// signer's chain is checked with the chain.
NVResult<void> checkEmbeddedSets(CMS_ContentInfo *cms, const QByteArray &der, X509 *signer)
{
    const std::optional<EmbeddedSets> sets = embeddedSets(der);
    if (!sets)
        return signatureFailed(QStringLiteral("the signature's certificate sets cannot be read"));
    if (sets->revocations >= 0)
        return signatureFailed(QStringLiteral("the signature carries revocation information (CRLs); it must carry none"));
    X509StackPtr certificates(CMS_get1_certs(cms));
    const int count = std::max(0, sk_X509_num(certificates.get()));
    if (std::max(0, sets->certificates) != count)
        return signatureFailed(QStringLiteral("the signature's certificate set holds entries that are not X.509 certificates"));
    for (int i = 0; i < count; ++i) {
        X509 *certificate = sk_X509_value(certificates.get(), i);
        for (int j = 0; j < i; ++j)
            if (X509_cmp(certificate, sk_X509_value(certificates.get(), j)) == 0)
                return signatureFailed(QStringLiteral("the signature carries the certificate \"%1\" twice").arg(subjectOf(certificate)));
        if (X509_cmp(certificate, signer) != 0 && X509_self_signed(certificate, 0) == 1)
            return signatureFailed(QStringLiteral("the signature carries the self-signed certificate \"%1\"; trust anchors are never embedded")
                                       .arg(subjectOf(certificate)));
    }
    return {};
}

} // namespace

namespace NVCodeSigning {

NVResult<std::unique_ptr<NVParsedSignature>> parseSignature(const QByteArray &der)
{
    ERR_clear_error();
    auto parsed = std::make_unique<NVParsedSignature>();
    const unsigned char *cursor = reinterpret_cast<const unsigned char *>(der.constData());
    parsed->cms.reset(d2i_CMS_ContentInfo(nullptr, &cursor, long(der.size())));
    CMS_ContentInfo *cms = parsed->cms.get();
    if (!cms)
        return signatureFailed(QStringLiteral("the signature is not a CMS structure"));
    if (cursor != reinterpret_cast<const unsigned char *>(der.constData()) + der.size())
        return signatureFailed(QStringLiteral("bytes follow the CMS structure inside the signature block"));

    // Only the one encoding: no slack in lengths or orderings in which
    // anything could hide.
    unsigned char *encoded = nullptr;
    const int encodedLength = i2d_CMS_ContentInfo(cms, &encoded);
    const bool isDER = encodedLength == der.size() && std::memcmp(encoded, der.constData(), size_t(encodedLength)) == 0;
    OPENSSL_free(encoded);
    if (!isDER)
        return signatureFailed(QStringLiteral("the signature is not DER-encoded"));

    if (OBJ_obj2nid(CMS_get0_type(cms)) != NID_pkcs7_signed)
        return signatureFailed(QStringLiteral("the signature is not SignedData"));
    if (OBJ_cmp(CMS_get0_eContentType(cms), dataType()) != 0)
        return signatureFailed(QStringLiteral("the signed content is not of type data"));
    ASN1_OCTET_STRING **content = CMS_get0_content(cms);
    if (!content || *content)
        return signatureFailed(QStringLiteral("the signature embeds content; it must be detached"));

    STACK_OF(CMS_SignerInfo) *signers = CMS_get0_SignerInfos(cms);
    if (sk_CMS_SignerInfo_num(signers) != 1)
        return signatureFailed(QStringLiteral("the signature has %1 signers, not one").arg(std::max(0, sk_CMS_SignerInfo_num(signers))));
    CMS_SignerInfo *signerInfo = sk_CMS_SignerInfo_value(signers, 0);
    parsed->signerInfo = signerInfo;
    if (CMS_unsigned_get_attr_count(signerInfo) > 0)
        return signatureFailed(QStringLiteral("the signer has unsigned attributes"));
    if (CMS_signed_get_attr_count(signerInfo) <= 0)
        return signatureFailed(QStringLiteral("the signer has no signed attributes"));

    X509_ALGOR *digestAlgorithm = nullptr;
    CMS_SignerInfo_get0_algs(signerInfo, nullptr, nullptr, &digestAlgorithm, nullptr);
    const ASN1_OBJECT *digestObject = nullptr;
    if (digestAlgorithm)
        X509_ALGOR_get0(&digestObject, nullptr, nullptr, digestAlgorithm);
    if (OBJ_obj2nid(digestObject) != NID_sha256)
        return signatureFailed(QStringLiteral("the signer's digest is not SHA-256"));

    // Exactly one of each (lastpos -3 refuses duplicates).
    const auto *contentType = static_cast<const ASN1_OBJECT *>(
        CMS_signed_get0_data_by_OBJ(signerInfo, OBJ_nid2obj(NID_pkcs9_contentType), -3, V_ASN1_OBJECT));
    if (!contentType || OBJ_cmp(contentType, dataType()) != 0)
        return signatureFailed(QStringLiteral("the signed content-type attribute is missing or not data"));
    const auto *digest = static_cast<const ASN1_OCTET_STRING *>(
        CMS_signed_get0_data_by_OBJ(signerInfo, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
    if (!digest || ASN1_STRING_length(digest) != 32)
        return signatureFailed(QStringLiteral("the signed message-digest attribute is missing or not SHA-256"));
    parsed->messageDigest = QByteArray(reinterpret_cast<const char *>(ASN1_STRING_get0_data(digest)), 32);

    if (CMS_set1_signers_certs(cms, nullptr, 0) < 0)
        return signatureFailed(QStringLiteral("the signer's certificate cannot be matched"));
    X509 *signer = nullptr;
    CMS_SignerInfo_get0_algs(signerInfo, nullptr, &signer, nullptr, nullptr);
    if (!signer)
        return signatureFailed(QStringLiteral("the signer's certificate is not included"));
    parsed->signerCertificate = signer;
    NV_TRY(checkEmbeddedSets(cms, der, signer));
    ERR_clear_error();
    return parsed;
}

} // namespace NVCodeSigning

// ---- Checking ---------------------------------------------------------------------

namespace {

// Errors that only say the chain does not end in one of the anchors. They are
// the requirement's business ("anchor ..."), not faults of the signature.
bool isUntrustedChainError(int error)
{
    switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
        return true;
    default:
        return false;
    }
}

// True when every critical extension OpenSSL does not handle is the
// distribution marker, which the requirement asks about by itself.
bool onlyDistributionMarkerIsUnknown(X509 *certificate)
{
    ASN1ObjectPtr marker(OBJ_txt2obj(NVDistributionExtensionOID.toLatin1().constData(), 1));
    for (int i = 0; i < X509_get_ext_count(certificate); ++i) {
        X509_EXTENSION *extension = X509_get_ext(certificate, i);
        if (X509_EXTENSION_get_critical(extension) && !X509_supported_extension(extension)
            && OBJ_cmp(X509_EXTENSION_get_object(extension), marker.get()) != 0)
            return false;
    }
    return true;
}

struct ChainState {
    bool untrusted = false;
    int error = X509_V_OK;
    int errorDepth = 0;
};

int verifyChainCallback(int ok, X509_STORE_CTX *context)
{
    if (ok)
        return 1;
    auto *state = static_cast<ChainState *>(X509_STORE_CTX_get_app_data(context));
    const int error = X509_STORE_CTX_get_error(context);
    if (isUntrustedChainError(error)) {
        // Go on, so that the rest of the chain (times, signatures,
        // extensions) is still checked.
        state->untrusted = true;
        return 1;
    }
    if (error == X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION && onlyDistributionMarkerIsUnknown(X509_STORE_CTX_get_current_cert(context)))
        return 1;
    if (state->error == X509_V_OK) {
        state->error = error;
        state->errorDepth = X509_STORE_CTX_get_error_depth(context);
    }
    return 0;
}

// Verifies the signer's chain. Returns whether it ends in an anchor, or the
// reason why the chain itself is not valid.
NVResult<bool> checkChain(const NVParsedSignature &signature, const NVCodeSigningAnchors &anchors)
{
    X509StorePtr store(X509_STORE_new());
    X509StoreContextPtr context(X509_STORE_CTX_new());
    X509StackPtr embedded(CMS_get1_certs(signature.cms.get()));
    if (!store || !context)
        return signatureFailed(QStringLiteral("out of memory"));
    for (int i = 0; i < anchors.count(); ++i)
        X509_STORE_add_cert(store.get(), sk_X509_value(anchors.certificates(), i));
    ERR_clear_error();
    if (!X509_STORE_CTX_init(context.get(), store.get(), signature.signerCertificate, embedded.get()))
        return signatureFailed(QStringLiteral("cannot set up the chain verification"));
    ChainState state;
    X509_STORE_CTX_set_app_data(context.get(), &state);
    X509_STORE_CTX_set_verify_cb(context.get(), verifyChainCallback);
    const int verified = X509_verify_cert(context.get());
    ERR_clear_error();
    if (verified != 1 || state.error != X509_V_OK) {
        const int error = state.error != X509_V_OK ? state.error : X509_STORE_CTX_get_error(context.get());
        return signatureFailed(QStringLiteral("the certificate chain is not valid at depth %1: %2")
                                   .arg(state.errorDepth)
                                   .arg(QString::fromLatin1(X509_verify_cert_error_string(error))));
    }
    // Only the certificates the chain was built from may ride along; any
    // other could be added or dropped by anyone.
    STACK_OF(X509) *chain = X509_STORE_CTX_get0_chain(context.get());
    for (int i = 0; i < sk_X509_num(embedded.get()); ++i) {
        X509 *certificate = sk_X509_value(embedded.get(), i);
        bool onChain = false;
        for (int j = 0; j < sk_X509_num(chain) && !onChain; ++j)
            onChain = X509_cmp(certificate, sk_X509_value(chain, j)) == 0;
        if (!onChain)
            return signatureFailed(QStringLiteral("the signature carries the certificate \"%1\", which is not on the signer's chain")
                                       .arg(subjectOf(certificate)));
    }
    return !state.untrusted && anchors.count() > 0;
}

class SignerSubject final : public NVCodeRequirement::Subject {
public:
    SignerSubject(bool anchored, X509 *leaf) : m_anchored(anchored), m_leaf(leaf) {}

    bool chainsToAnchor() const override { return m_anchored; }

    QStringList leafOrganizationalUnits() const override
    {
        QStringList units;
        const X509_NAME *name = X509_get_subject_name(m_leaf);
        for (int i = X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, -1); i >= 0;
             i = X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, i)) {
            unsigned char *utf8 = nullptr;
            const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
            if (length >= 0)
                units << QString::fromUtf8(reinterpret_cast<const char *>(utf8), length);
            OPENSSL_free(utf8);
        }
        return units;
    }

    bool leafHasExtension(const QString &oid) const override
    {
        ASN1ObjectPtr object(OBJ_txt2obj(oid.toLatin1().constData(), 1));
        return object && X509_get_ext_by_OBJ(m_leaf, object.get(), -1) >= 0;
    }

private:
    bool m_anchored;
    X509 *m_leaf;
};

// SHA-256 of bytes [0, length), read in fixed pieces.
NVResult<QByteArray> digestOf(const NVByteSource &source, qint64 length)
{
    EVPMDContextPtr context(EVP_MD_CTX_new());
    if (!context || !EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr))
        return signatureFailed(QStringLiteral("cannot compute SHA-256"));
    std::vector<char> buffer(size_t(std::min<qint64>(NVCodeSigning::DigestChunkSize, std::max<qint64>(length, 1))));
    for (qint64 done = 0; done < length;) {
        const qint64 piece = std::min<qint64>(qint64(buffer.size()), length - done);
        if (!source.readAt(done, buffer.data(), piece))
            return NVCodeSigningError(errSecCSBadObjectFormat, QStringLiteral("the file could not be read at byte %1").arg(done));
        EVP_DigestUpdate(context.get(), buffer.data(), size_t(piece));
        done += piece;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_DigestFinal_ex(context.get(), digest, &digestLength);
    return QByteArray(reinterpret_cast<const char *>(digest), int(digestLength));
}

} // namespace

NVResult<std::unique_ptr<NVStaticCode>> NVStaticCode::create(const QString &path)
{
    auto source = NVFileByteSource::open(path);
    if (!source)
        return NVCodeSigningError(errSecCSBadObjectFormat,
                                  QStringLiteral("\"%1\" is not a readable file: %2").arg(path, source.error().localizedDescription()));
    return create(std::move(source).value());
}

std::unique_ptr<NVStaticCode> NVStaticCode::create(std::unique_ptr<NVByteSource> source)
{
    return std::unique_ptr<NVStaticCode>(new NVStaticCode(std::move(source)));
}

NVCodeSigningResult NVStaticCode::checkValidity(const NVCodeRequirement &requirement, const NVCodeSigningAnchors &anchors) const
{
    m_signerSubject.clear();
    const NVResult<NVSignatureSlot::Location> location = NVSignatureSlot::locate(*m_source);
    if (!location)
        return NVCodeSigningResult::fromError(location.error());

    const QByteArray der = m_source->read(location->signatureOffset, location->signatureLength);
    if (der.size() != location->signatureLength)
        return {errSecCSBadObjectFormat, QStringLiteral("the signature could not be read")};
    auto parsed = NVCodeSigning::parseSignature(der);
    if (!parsed)
        return NVCodeSigningResult::fromError(parsed.error());
    const NVParsedSignature &signature = *parsed.value();
    m_signerSubject = nameText(X509_get_subject_name(signature.signerCertificate));

    if (CMS_SignerInfo_verify(signature.signerInfo) != 1)
        return NVCodeSigningResult::fromError(signatureFailed(QStringLiteral("the signer's signature does not verify")));
    const NVResult<bool> anchored = checkChain(signature, anchors);
    if (!anchored)
        return NVCodeSigningResult::fromError(anchored.error());

    const NVResult<QByteArray> digest = digestOf(*m_source, location->signedLength);
    if (!digest)
        return NVCodeSigningResult::fromError(digest.error());
    if (!m_source->isUnchanged())
        return {errSecCSBadObjectFormat, QStringLiteral("the file changed while it was being checked")};
    if (digest.value() != signature.messageDigest)
        return {errSecCSSignatureFailed, QStringLiteral("the signed bytes were modified after signing (SHA-256 differs)")};

    if (!requirement.isSatisfiedBy(SignerSubject(anchored.value(), signature.signerCertificate))) {
        QString reason = QStringLiteral("the signature does not satisfy the requirement: %1").arg(requirement.text());
        if (!anchored.value())
            reason += QStringLiteral(" (the chain does not end in a trust anchor%1)")
                          .arg(anchors.problem().isEmpty() ? QString() : QStringLiteral("; ") + anchors.problem());
        return {errSecCSReqFailed, reason};
    }
    return {errSecSuccess,
            QStringLiteral("signed by %1 (%2), satisfies the requirement").arg(m_signerSubject, NVSignatureSlot::kindName(location->kind))};
}

// ---- Signing ----------------------------------------------------------------------

namespace NVCodeSigning {

namespace {

NVError signingError(ErrorCode code, const QString &reason)
{
    QString text = reason;
    const QString detail = takeErrorText();
    if (!detail.isEmpty())
        text += QStringLiteral(" (") + detail + QLatin1Char(')');
    return NVError::withDescription(ErrorDomain, code, text);
}

NVResult<QByteArray> readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return signingError(CannotRead, QStringLiteral("cannot read \"%1\": %2").arg(path, file.errorString()));
    return file.read(16 << 20);
}

bool writeAll(int fd, const QByteArray &bytes, qint64 offset)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::pwrite(fd, data, size_t(left), off_t(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        offset += written;
        left -= written;
    }
    return true;
}

// The certificates a signature embeds: the signer's intermediates from
// `candidates`, from the signer up. A self-signed certificate ends the chain
// and stays out, as verifiers refuse a block that carries one; copies count
// once. Any other certificate is refused rather than dropped unseen, since it
// names a chain the signer did not mean.
NVResult<X509StackPtr> chainToEmbed(X509 *signer, STACK_OF(X509) *candidates)
{
    X509StackPtr chain(sk_X509_new_null());
    const int count = std::max(0, sk_X509_num(candidates));
    std::vector<bool> placed(size_t(count), false);
    const auto place = [&](X509 *certificate) {
        for (int i = 0; i < count; ++i)
            placed[size_t(i)] = placed[size_t(i)] || X509_cmp(sk_X509_value(candidates, i), certificate) == 0;
    };
    place(signer);
    for (X509 *current = signer; X509_self_signed(current, 0) != 1;) {
        X509 *issuer = nullptr;
        for (int i = 0; i < count && !issuer; ++i)
            if (!placed[size_t(i)] && X509_check_issued(sk_X509_value(candidates, i), current) == X509_V_OK)
                issuer = sk_X509_value(candidates, i);
        if (!issuer)
            break;
        place(issuer);
        if (X509_self_signed(issuer, 0) == 1)
            break;
        if (!chain || !sk_X509_push(chain.get(), issuer))
            return signingError(BadIdentity, QStringLiteral("out of memory"));
        X509_up_ref(issuer);
        current = issuer;
    }
    for (int i = 0; i < count; ++i)
        if (!placed[size_t(i)])
            return signingError(BadIdentity, QStringLiteral("the certificate \"%1\" is not on the chain of \"%2\"")
                                                 .arg(subjectOf(sk_X509_value(candidates, i)), subjectOf(signer)));
    ERR_clear_error();
    return chain;
}

} // namespace

NVResult<SigningIdentity> loadIdentity(const QString &certificatePath, const QString &keyPath, const QString &chainPath)
{
    SigningIdentity identity;
    const NVResult<QByteArray> certificatePEM = readSmallFile(certificatePath);
    if (!certificatePEM)
        return certificatePEM.error();
    X509StackPtr certificates = certificatesFromPEM(certificatePEM.value());
    if (sk_X509_num(certificates.get()) < 1)
        return signingError(BadIdentity, QStringLiteral("\"%1\" holds no certificate").arg(certificatePath));
    identity.certificate.reset(sk_X509_shift(certificates.get()));
    // Certificates after the first in the same file count as the chain.
    identity.chain = std::move(certificates);

    const NVResult<QByteArray> keyPEM = readSmallFile(keyPath);
    if (!keyPEM)
        return keyPEM.error();
    identity.key = privateKeyFromPEM(keyPEM.value());
    if (!identity.key)
        return signingError(BadIdentity, QStringLiteral("\"%1\" holds no private key").arg(keyPath));
    if (X509_check_private_key(identity.certificate.get(), identity.key.get()) != 1)
        return signingError(BadIdentity, QStringLiteral("the private key does not belong to the certificate"));

    if (!chainPath.isEmpty()) {
        const NVResult<QByteArray> chainPEM = readSmallFile(chainPath);
        if (!chainPEM)
            return chainPEM.error();
        X509StackPtr chain = certificatesFromPEM(chainPEM.value());
        if (sk_X509_num(chain.get()) < 1)
            return signingError(BadIdentity, QStringLiteral("\"%1\" holds no certificate").arg(chainPath));
        while (X509 *certificate = sk_X509_shift(chain.get()))
            sk_X509_push(identity.chain.get(), certificate);
    }
    NV_TRY_ASSIGN(identity.chain, chainToEmbed(identity.certificate.get(), identity.chain.get()));
    return identity;
}

NVResult<QByteArray> signBytes(const NVByteSource &source, qint64 length, const SigningIdentity &identity)
{
    ERR_clear_error();
    const unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
    CMSPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!cms || !CMS_add1_signer(cms.get(), identity.certificate.get(), identity.key.get(), EVP_sha256(), flags))
        return signingError(BadIdentity, QStringLiteral("cannot set up the signature"));
    for (int i = 0; i < sk_X509_num(identity.chain.get()); ++i)
        if (!CMS_add1_cert(cms.get(), sk_X509_value(identity.chain.get(), i)))
            return signingError(BadIdentity, QStringLiteral("cannot add the certificate chain"));

    BIOPtr sink(CMS_dataInit(cms.get(), nullptr));
    if (!sink)
        return signingError(BadIdentity, QStringLiteral("cannot start the signature"));
    std::vector<char> buffer(static_cast<size_t>(DigestChunkSize));
    for (qint64 done = 0; done < length;) {
        const qint64 piece = std::min<qint64>(qint64(buffer.size()), length - done);
        if (!source.readAt(done, buffer.data(), piece))
            return signingError(CannotRead, QStringLiteral("the file could not be read at byte %1").arg(done));
        if (BIO_write(sink.get(), buffer.data(), int(piece)) != int(piece))
            return signingError(CannotRead, QStringLiteral("cannot digest the file"));
        done += piece;
    }
    if (!CMS_dataFinal(cms.get(), sink.get()))
        return signingError(BadIdentity, QStringLiteral("cannot finish the signature"));

    unsigned char *der = nullptr;
    const int derLength = i2d_CMS_ContentInfo(cms.get(), &der);
    if (derLength <= 0)
        return signingError(BadIdentity, QStringLiteral("cannot encode the signature"));
    QByteArray result(reinterpret_cast<const char *>(der), derLength);
    OPENSSL_free(der);
    return result;
}

NVResult<void> signFile(const QString &path, const SigningIdentity &identity)
{
    auto opened = NVFileByteSource::open(path, true);
    if (!opened)
        return signingError(CannotRead, QStringLiteral("cannot open \"%1\": %2").arg(path, opened.error().localizedDescription()));
    const NVFileByteSource &file = *opened.value();
    const NVResult<NVSignatureSlot::Plan> plan = NVSignatureSlot::plan(file);
    if (!plan)
        return signingError(Refused, QStringLiteral("refusing to sign \"%1\": %2").arg(path, plan.error().localizedDescription()));

    // The signature could by chance contain bytes a slot may not hold (a zip
    // end record); a new signature has other random bytes, so try again.
    QByteArray slot;
    QString lastProblem;
    for (int attempt = 0; attempt < 4 && slot.isEmpty(); ++attempt) {
        const NVResult<QByteArray> cms = signBytes(file, plan->writeOffset, identity);
        if (!cms)
            return cms.error();
        const QByteArray candidate = NVSignatureSlot::composeSlot(plan->kind, cms.value());
        if (candidate.isEmpty())
            return signingError(Refused, QStringLiteral("the signature (%1 bytes) is too large for a %2")
                                             .arg(cms->size())
                                             .arg(NVSignatureSlot::kindName(plan->kind)));
        const NVOverlayByteSource signedFile(file, plan->writeOffset, candidate);
        const NVResult<NVSignatureSlot::Location> found = NVSignatureSlot::locate(signedFile);
        if (found && found->kind == plan->kind && found->signedLength == plan->writeOffset)
            slot = candidate;
        else
            lastProblem = found ? QStringLiteral("the slot would be read differently") : found.error().localizedDescription();
    }
    if (slot.isEmpty())
        return signingError(Refused, QStringLiteral("refusing to sign \"%1\": the signed file would not be canonical: %2").arg(path, lastProblem));

    if (!file.isUnchanged())
        return signingError(CannotWrite, QStringLiteral("\"%1\" changed while it was being signed").arg(path));
    const qint64 originalSize = file.size();
    const QByteArray originalTail = file.read(plan->writeOffset, originalSize - plan->writeOffset);
    if (!writeAll(file.descriptor(), slot, plan->writeOffset) || ::fsync(file.descriptor()) != 0) {
        const int error = errno;
        // Put the file back as it was.
        (void)::ftruncate(file.descriptor(), off_t(originalSize));
        (void)writeAll(file.descriptor(), originalTail, plan->writeOffset);
        return signingError(CannotWrite, QStringLiteral("cannot write the signature into \"%1\": %2").arg(path, QString::fromLocal8Bit(strerror(error))));
    }
    return {};
}

} // namespace NVCodeSigning
