#pragma once

#include <QString>
#include <QUrl>

#include <optional>

// The signature test of a downloaded update: before anything downloaded is
// unpacked, the file as a whole must carry a valid code signature that meets
// the requirement below, checked against the trust anchors the updater bundle
// carries (Resources/CodeSigningAnchors.pem; callers pass its path).

enum NVSUCodeSignatureOutcome {
    NVSUCodeSignatureOutcomeMissing = 0, // no signature, or a file that cannot carry or present one
    NVSUCodeSignatureOutcomeInvalid = 1, // a signature that is broken or does not meet the requirement
    NVSUCodeSignatureOutcomeValid = 2,   // valid and meets the requirement
};

// The chain ends in one of the anchors, the signing certificate belongs to the
// maker's team, and it is a certificate for distribution outside the store.
inline const QString NVSUCodeSignatureRequirement = QStringLiteral(
    "anchor apple generic and certificate leaf[subject.OU] = \"Q4XW8N2JTD\" and "
    "certificate leaf[field.1.2.840.113635.100.6.1.13] exists");

// The maker's team identifier, as the requirement names it.
inline const QString NVSUCodeSignatureTeamIdentifier = QStringLiteral("Q4XW8N2JTD");

// Classifies a code-signing status: the five codes that mean "unsigned or a
// format that cannot carry a signature" are missing, 0 is valid, everything
// else is invalid. Any thread; returns at once.
NVSUCodeSignatureOutcome NVSUCodeSignatureOutcomeForStatus(qint32 status);

// Tests a file URL against the requirement. A requirement that cannot be
// created counts as a missing signature. Blocks while it reads the whole file;
// main thread (inside the driver's download step) or any other.
NVSUCodeSignatureOutcome NVSUCheckCodeSignature(const QUrl &url, const QString &anchorsPath);
// The same with another requirement text, for checking that a requirement
// that does not parse is reported as a missing signature.
NVSUCodeSignatureOutcome NVSUCheckCodeSignature(const QUrl &url, const QString &anchorsPath, const QString &requirementText);

// What the driver's signatureIsValid answers for its downloaded file URL
// (none when the download could not be moved into place): tests it and
// writes exactly one of the four "Signature check: ..." lines with NVSULog,
// whatever the result. Blocks like NVSUCheckCodeSignature.
bool NVSUSignatureIsValid(const std::optional<QUrl> &downloadedFileURL, const QString &anchorsPath);
