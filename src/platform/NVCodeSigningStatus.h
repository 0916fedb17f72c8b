#pragma once

#include "foundation/NVError.h"

#include <QString>

// The code-signing service answers with the platform's status codes so that
// callers classify results exactly as they would on the platform.
using NVOSStatus = qint32;

inline constexpr NVOSStatus errSecSuccess = 0;
// No signature slot at all.
inline constexpr NVOSStatus errSecCSUnsigned = -67062;
// A signature is there but broken: a slot that is not canonical or does not
// fit the file's format, bad CMS, wrong digest or signature, an unusable
// certificate chain.
inline constexpr NVOSStatus errSecCSSignatureFailed = -67061;
// The signature is sound but does not satisfy the requirement.
inline constexpr NVOSStatus errSecCSReqFailed = -67050;
// The file cannot present a signature: not a readable regular file, or a
// slot whose lengths do not fit the file.
inline constexpr NVOSStatus errSecCSBadObjectFormat = -67049;
// The requirement text does not parse.
inline constexpr NVOSStatus errSecCSReqInvalid = -67052;

// Status codes travel inside errors of this domain; the description says why.
inline const QString NSOSStatusErrorDomain = QStringLiteral("NSOSStatusErrorDomain");

inline NVError NVCodeSigningError(NVOSStatus status, const QString &reason)
{
    return NVError::withDescription(NSOSStatusErrorDomain, status, reason);
}

// What a check found: the status and, for people, the reason.
struct NVCodeSigningResult {
    NVOSStatus status = errSecSuccess;
    QString reason;

    static NVCodeSigningResult fromError(const NVError &error)
    {
        return {NVOSStatus(error.code()), error.localizedDescription()};
    }
};
