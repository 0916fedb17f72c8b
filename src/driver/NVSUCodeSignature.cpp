#include "driver/NVSUCodeSignature.h"

#include "logging/NVLog.h"
#include "platform/NVCodeSigning.h"

NVSUCodeSignatureOutcome NVSUCodeSignatureOutcomeForStatus(qint32 status)
{
    // -67062 unsigned, -67049 bad object format, -67028, -67010 and -67001:
    // the codes with which a file reports that it has no signature or cannot
    // carry one, as bits of a mask over status + 67062.
    constexpr quint64 missingMask = 0x2010000400002001ULL;
    const qint64 offset = qint64(status) + 67062;
    if (offset >= 0 && offset <= 61 && ((missingMask >> offset) & 1))
        return NVSUCodeSignatureOutcomeMissing;
    if (status == 0)
        return NVSUCodeSignatureOutcomeValid;
    return NVSUCodeSignatureOutcomeInvalid;
}

NVSUCodeSignatureOutcome NVSUCheckCodeSignature(const QUrl &url, const QString &anchorsPath)
{
    return NVSUCheckCodeSignature(url, anchorsPath, NVSUCodeSignatureRequirement);
}

NVSUCodeSignatureOutcome NVSUCheckCodeSignature(const QUrl &url, const QString &anchorsPath, const QString &requirementText)
{
    auto code = NVStaticCode::create(url.toLocalFile());
    if (!code) {
        NVSUDebugLog(QStringLiteral("Signature check detail: %@ (status %d)"), code.error().localizedDescription(), code.error().code());
        return NVSUCodeSignatureOutcomeForStatus(qint32(code.error().code()));
    }
    const NVResult<NVCodeRequirement> requirement = NVCodeRequirement::create(requirementText);
    if (!requirement) {
        NVSUDebugLog(QStringLiteral("Signature check detail: %@"), requirement.error().localizedDescription());
        return NVSUCodeSignatureOutcomeMissing;
    }
    const NVCodeSigningResult result = code.value()->checkValidity(requirement.value(), NVCodeSigningAnchors::fromFile(anchorsPath));
    if (result.status != errSecSuccess)
        NVSUDebugLog(QStringLiteral("Signature check detail: %@ (status %d)"), result.reason, result.status);
    return NVSUCodeSignatureOutcomeForStatus(result.status);
}

bool NVSUSignatureIsValid(const std::optional<QUrl> &downloadedFileURL, const QString &anchorsPath)
{
    QString message = QStringLiteral("Signature check: No file to check was downloaded.");
    bool result = false;
    if (downloadedFileURL && downloadedFileURL->isLocalFile()) {
        switch (NVSUCheckCodeSignature(*downloadedFileURL, anchorsPath)) {
        case NVSUCodeSignatureOutcomeMissing:
            message = QStringLiteral("Signature check: Downloaded file has no code signature or bad format, rejecting.");
            break;
        case NVSUCodeSignatureOutcomeInvalid:
            message = QStringLiteral("Signature check: Downloaded file has invalid code signature, rejecting.");
            break;
        case NVSUCodeSignatureOutcomeValid:
            message = QStringLiteral("Signature check: Accepted because it meets code signature requirement.");
            result = true;
            break;
        }
    }
    NVSULog(QStringLiteral("%@"), message);
    return result;
}
