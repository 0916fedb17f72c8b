#include "platform/NVOpenSSL.h"

#include <openssl/err.h>
#include <openssl/pem.h>

namespace NVOpenSSL {

QString takeErrorText()
{
    const unsigned long first = ERR_get_error();
    ERR_clear_error();
    if (first == 0)
        return QString();
    char text[256];
    ERR_error_string_n(first, text, sizeof text);
    return QString::fromLatin1(text);
}

X509StackPtr certificatesFromPEM(const QByteArray &pem)
{
    X509StackPtr certificates(sk_X509_new_null());
    BIOPtr bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    if (!certificates || !bio)
        return certificates;
    while (X509 *certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        if (!sk_X509_push(certificates.get(), certificate)) {
            X509_free(certificate);
            break;
        }
    }
    // Reading stops with "no start line" at the end of the text; that is not
    // a failure worth keeping in the queue.
    ERR_clear_error();
    return certificates;
}

EVPKeyPtr privateKeyFromPEM(const QByteArray &pem)
{
    BIOPtr bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    if (!bio)
        return nullptr;
    EVPKeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    return key;
}

namespace {
QByteArray drain(BIO *bio)
{
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? QByteArray(data, int(length)) : QByteArray();
}
} // namespace

QByteArray certificatePEM(X509 *certificate)
{
    BIOPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_X509(bio.get(), certificate))
        return QByteArray();
    return drain(bio.get());
}

QByteArray privateKeyPEM(EVP_PKEY *key)
{
    BIOPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr))
        return QByteArray();
    return drain(bio.get());
}

} // namespace NVOpenSSL
