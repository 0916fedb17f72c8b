#pragma once

#include <QByteArray>
#include <QString>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

// Owning handles for the OpenSSL objects the code-signing service and the
// certificate maker pass around, so that every early return frees them.
namespace NVOpenSSL {

template <auto FreeFunction>
struct Deleter {
    template <typename T>
    void operator()(T *object) const { FreeFunction(object); }
};

using BIOPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using EVPKeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using EVPMDContextPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using CMSPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using X509StoreContextPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using ASN1ObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;
using ASN1OctetStringPtr = std::unique_ptr<ASN1_OCTET_STRING, Deleter<ASN1_OCTET_STRING_free>>;

struct X509StackDeleter {
    void operator()(STACK_OF(X509) *stack) const { sk_X509_pop_free(stack, X509_free); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackDeleter>;

// Empties this thread's OpenSSL error queue and returns its first entry as
// text ("" when the queue was empty). Any thread.
QString takeErrorText();

// Reads every certificate of a PEM text, in order. An empty result means the
// text held none (or was not PEM). Any thread.
X509StackPtr certificatesFromPEM(const QByteArray &pem);
// Reads one private key from PEM; null when there is none. Any thread.
EVPKeyPtr privateKeyFromPEM(const QByteArray &pem);

QByteArray certificatePEM(X509 *certificate);
QByteArray privateKeyPEM(EVP_PKEY *key);

} // namespace NVOpenSSL
