#pragma once

#include "foundation/NVError.h"
#include "platform/NVCodeRequirement.h"
#include "platform/NVCodeSigningStatus.h"
#include "platform/NVOpenSSL.h"
#include "platform/NVSignatureSlot.h"

#include <QString>

#include <memory>

// The code-signing service: signatures carried inside downloaded files (see
// NVSignatureSlot.h for where), checked with OpenSSL against a requirement and
// a set of trust anchors.
//
// A signature is a detached CMS SignedData over the signed bytes with SHA-256
// and exactly one signer, signed attributes (content type "data" and the
// message digest) and no unsigned attributes, DER-encoded, carrying the
// signer's certificate and the intermediates its chain is built from, each
// once, and nothing else: no revocation information, no trust anchor, no
// certificate off the chain (anyone could add or drop those without the key,
// and a signed file must have one form only). The signer's chain must be
// valid now (times, signatures, CA flags); a critical extension that OpenSSL
// does not know is refused, except the distribution marker.

// The certificates a signature's chain must end in. Copies share the
// certificates. Any thread.
class NVCodeSigningAnchors {
public:
    NVCodeSigningAnchors() = default;
    // Blocks (reads the file). A missing file or one without certificates
    // gives no anchors, so that nothing chains to an anchor; problem() says
    // why.
    static NVCodeSigningAnchors fromFile(const QString &path);
    static NVCodeSigningAnchors fromPEM(const QByteArray &pem);

    int count() const;
    STACK_OF(X509) *certificates() const { return m_certificates.get(); }
    QString problem() const { return m_problem; }

private:
    std::shared_ptr<STACK_OF(X509)> m_certificates;
    QString m_problem;
};

// A parsed signature that has passed the structural checks above (not yet
// the digest, the signature value or the chain).
struct NVParsedSignature {
    NVOpenSSL::CMSPtr cms;
    CMS_SignerInfo *signerInfo = nullptr;  // owned by cms
    X509 *signerCertificate = nullptr;     // owned by cms
    QByteArray messageDigest;              // the signed SHA-256 of the content
};

// A file to be checked, as the platform's static code object: created for a
// path, then checked against a requirement. Not shared between threads.
class NVStaticCode {
public:
    // Blocks (opens the file). Fails with errSecCSBadObjectFormat when the
    // path is not a readable regular file.
    static NVResult<std::unique_ptr<NVStaticCode>> create(const QString &path);
    static std::unique_ptr<NVStaticCode> create(std::unique_ptr<NVByteSource> source);

    // Blocks: reads the whole file once, front to back, in 1 MiB pieces (the
    // memory used does not grow with the file). errSecSuccess when the
    // signature is valid and satisfies the requirement; otherwise the status
    // and the reason.
    NVCodeSigningResult checkValidity(const NVCodeRequirement &requirement, const NVCodeSigningAnchors &anchors) const;

    // The signer's subject after a check that got as far as reading it.
    QString signerSubject() const { return m_signerSubject; }

private:
    explicit NVStaticCode(std::unique_ptr<NVByteSource> source) : m_source(std::move(source)) {}
    std::unique_ptr<NVByteSource> m_source;
    mutable QString m_signerSubject;
};

namespace NVCodeSigning {

inline constexpr qint64 DigestChunkSize = 1 << 20;

// Errors of signing (not of checking) use this domain.
inline const QString ErrorDomain = QStringLiteral("norvane.CodeSigningErrorDomain");
enum ErrorCode { CannotRead = 1, Refused = 2, BadIdentity = 3, CannotWrite = 4 };

// The structural checks of a signature's DER. Fails with
// errSecCSSignatureFailed and the reason. Any thread.
NVResult<std::unique_ptr<NVParsedSignature>> parseSignature(const QByteArray &der);

// The signer's certificate, its private key and the intermediates to embed.
struct SigningIdentity {
    NVOpenSSL::X509Ptr certificate;
    NVOpenSSL::EVPKeyPtr key;
    NVOpenSSL::X509StackPtr chain;
};
// Blocks (reads the PEM files). `chainPath` may be empty. Certificates after
// the first in `certificatePath` and those in `chainPath` are the candidates
// for the chain: `chain` holds the intermediates among them from the signer
// up, a self-signed root is left out, copies count once. Fails when a file
// cannot be read, holds no certificate or key, the key does not belong to the
// certificate, or a candidate is not on the signer's chain.
NVResult<SigningIdentity> loadIdentity(const QString &certificatePath, const QString &keyPath, const QString &chainPath = QString());

// The DER of a signature over bytes [0, length) of a source. Blocks.
NVResult<QByteArray> signBytes(const NVByteSource &source, qint64 length, const SigningIdentity &identity);

// Signs a file in place: computes the signature over what the slot leaves
// signed and writes the slot. Refuses a file that is already signed or whose
// bytes would make the slot not canonical; on a failed write the file is put
// back as it was. Blocks.
NVResult<void> signFile(const QString &path, const SigningIdentity &identity);

} // namespace NVCodeSigning
