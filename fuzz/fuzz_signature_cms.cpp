// Arbitrary bytes as the signature block of a download: the CMS structure is
// either refused with the signature-failed status and a reason, or it gives
// one signer with its certificate and a SHA-256 message digest, the only
// shape the check that follows knows how to use.

#include "platform/NVCodeSigning.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray der = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto parsed = NVCodeSigning::parseSignature(der);
    if (!parsed) {
        if (parsed.error().code() != errSecCSSignatureFailed || parsed.error().localizedDescription().isEmpty())
            std::abort();
        return 0;
    }
    const NVParsedSignature &signature = **parsed;
    if (!signature.cms || !signature.signerInfo || !signature.signerCertificate || signature.messageDigest.size() != 32)
        std::abort();
    return 0;
}
