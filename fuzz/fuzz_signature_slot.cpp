// Arbitrary bytes as a downloaded file: slot location, the signing plan, the
// CMS parser on the bytes themselves and the whole check must answer with a
// status, never crash, and never call anything valid without trust anchors.

#include "platform/NVCodeSigning.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const NVMemoryByteSource source(bytes);

    const auto location = NVSignatureSlot::locate(source);
    if (location) {
        if (location->signedLength < 0 || location->signatureOffset < location->signedLength
            || location->signatureOffset + location->signatureLength > bytes.size())
            std::abort();
    } else if (location.error().code() != errSecCSUnsigned && location.error().code() != errSecCSBadObjectFormat
               && location.error().code() != errSecCSSignatureFailed) {
        std::abort();
    }
    (void)NVSignatureSlot::plan(source);
    (void)NVCodeSigning::parseSignature(bytes);

    static const NVCodeRequirement requirement = NVCodeRequirement::create(QStringLiteral(
        "anchor apple generic and certificate leaf[subject.OU] = \"Q4XW8N2JTD\" and "
        "certificate leaf[field.1.2.840.113635.100.6.1.13] exists")).value();
    const auto code = NVStaticCode::create(std::make_unique<NVMemoryByteSource>(bytes));
    if (code->checkValidity(requirement, NVCodeSigningAnchors()).status == errSecSuccess)
        std::abort();
    return 0;
}
