#pragma once

#include "model/NVVersionNumber.h"

#include <QString>
#include <QStringView>

#include <optional>

// The version of a product as the update system sees it: a comparable
// version-number text (a build number such as 6543, or a dotted version with
// an optional beta suffix such as 5.7.1b2) and the name shown to the user.
// It stands for the version an update offers, the installed version, the
// running system's version and the bounds an update may carry; every
// ordering between them goes through compareVersion().
//
// An immutable value; every member is thread-safe. There is deliberately no
// equality operator: two versions are ordered, never compared for identity.
// The version number is parsed once, when the value is made: the text never
// changes, so every comparison sees what a fresh parse would give.
class NVSUVersion final {
public:
    // A null versionNumber is a programming error: the process ends with
    // "-[NVSUVersion initWithVersionNumber:displayName:] invoked with versionNumber == nil".
    // A null displayName means "the same as the version number". Any thread.
    explicit NVSUVersion(const QString &versionNumber, const QString &displayName = QString());

    // Nothing for a null version number (never the programming error above),
    // else the version. Any thread.
    static std::optional<NVSUVersion> versionWithVersionNumber(const QString &versionNumber,
                                                               const QString &displayName = QString());

    // The running system's version: the versionString of
    // NVVersionNumber::currentSystemVersion(), e.g. 2.36. Any thread.
    static NVSUVersion systemVersion();
    // The running application's version from its main bundle: "CFBundleVersion"
    // with "CFBundleShortVersionString" as the display name; nothing when the
    // bundle has no version. Read at every call, so a test or a replaced
    // bundle is seen at once. Any thread.
    static std::optional<NVSUVersion> installedVersion();

    const QString &versionNumber() const { return m_versionNumber; }
    const QString &displayName() const { return m_displayName; }

    // The display name alone when it equals the version number, else
    // "<display name> (<version number>)": 5.7.1 (6543). Any thread.
    const QString &description() const { return m_description; }

    // -1 when this version is older than other, 0 when the same, +1 when
    // newer; a missing other counts as 0.0.0. A final release ranks above every
    // beta of the same number. The display names play no part. Any thread.
    NVComparisonResult compareVersion(const NVSUVersion &other) const;
    NVComparisonResult compareVersion(const std::optional<NVSUVersion> &other) const;

    // The parsed form of a version-number text. Only ASCII digits count, and
    // a digit run beyond the signed 32-bit range reads as 2147483647.
    struct Components {
        qint32 major = 0;
        qint32 minor = 0;
        qint32 bugfix = 0;
        qint32 beta = 0; // 0: no beta, a final release
        bool operator==(const Components &) const = default;
    };
    // Reads major[.minor[.bugfix]] and then an optional beta suffix: blanks,
    // "b" or "B", optionally "eta" in any case, and a number (1.2.3b4,
    // 1.2.3 Beta4). Text that does not begin with a digit, or whose UTF-8 form
    // needs more than 511 bytes, reads as all zero. Any thread.
    static Components parseVersionNumber(QStringView versionNumber);
    static NVComparisonResult compareComponents(const Components &a, const Components &b);

private:
    QString m_versionNumber;
    QString m_displayName;
    Components m_components;
    QString m_description;
};
