#pragma once

#include "model/NVSUVersion.h"

#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <memory>
#include <optional>

// How an update is installed; the feed's "InstallationMechanism" text,
// compared exactly (case-sensitive).
enum NVSUInstallationMechanism : int {
    NVSUInstallationMechanismUnsupported = 0, // any other text
    NVSUInstallationMechanismInstaller = 1,   // "Installer"
    NVSUInstallationMechanismReplaceBundle = 2, // "ReplaceBundle"
};

// The kind of release; the feed's "ReleaseLifecycle" text, compared exactly.
enum NVSUReleaseLifecycle : int {
    NVSUReleaseLifecycleBeta = 0,             // "beta"
    NVSUReleaseLifecycleNightly = 1,          // "nightly"
    NVSUReleaseLifecycleReleaseCandidate = 2, // "release candidate"
    NVSUReleaseLifecycleRelease = 3,          // absent, or any other text
};

// The keys of an update description in the feed, in the order in which they
// are validated. The first six are mandatory; "DownloadPageURL" and
// "ReleaseNotesURL" may be dictionaries of localized strings.
namespace NVSUUpdateKey {
inline const QString BundleVersion = QStringLiteral("BundleVersion");
inline const QString BundleShortVersionString = QStringLiteral("BundleShortVersionString");
inline const QString InstallationObject = QStringLiteral("InstallationObject");
inline const QString InstallationMechanism = QStringLiteral("InstallationMechanism");
inline const QString DownloadURL = QStringLiteral("DownloadURL");
inline const QString DownloadPageURL = QStringLiteral("DownloadPageURL");
inline const QString ReleaseNotesURL = QStringLiteral("ReleaseNotesURL");
inline const QString ReleaseLifecycle = QStringLiteral("ReleaseLifecycle");
inline const QString MinimumSystemVersion = QStringLiteral("MinimumSystemVersion");
inline const QString MaximumSystemVersion = QStringLiteral("MaximumSystemVersion");
inline const QString MinimumBaseVersion = QStringLiteral("MinimumBaseVersion");
inline const QString SuppressAutoUpdate = QStringLiteral("SuppressAutoUpdate");
} // namespace NVSUUpdateKey

// Chooses which localization of a localized feed value to use: for each of
// the user's languages in order, a key equal to it (ignoring case and "-"
// versus "_"), then a key equal to its language without region or script
// ("de-AT" -> "de"), then a key for a regional form of that language ("de" ->
// "de-CH"); when none of the user's languages is there, "en", else the
// smallest key. Empty only for no keys. Any thread.
QString NVSUPreferredLocalization(const QStringList &keys, const QStringList &userLanguages);

// One update described by the feed, validated once: its version, where to
// download it, how to install it, whether it runs on this system, whether it
// may be installed automatically, and whether it is better than another
// candidate. Only the known keys are kept, and what the properties need of
// them is read once, at validation.
//
// An immutable value that shares its data between copies. The properties
// that read the installed or the system version (releaseNotesURL,
// isCompatibleWithSystemVersion, isAutoUpgradable, isBetterThanUpdate) read
// them afresh at each call; all are thread-safe.
class NVSUUpdate final {
public:
    // Validates one update dictionary, key by key in table order, and stops
    // at the first failure with one NVSULog line:
    //   "Mandatory property %@ not found in update description"
    //   "Class of property %@ is %@, not NSString"
    //   "Class of property %@ is %@, not NSNumber"   ("SuppressAutoUpdate")
    // Localized dictionaries are resolved against userLanguages (the user's
    // languages, NVBundle::userLanguages(), when not given); a dictionary
    // without any entry counts as absent. "SuppressAutoUpdate" may be a
    // number, or a string that is true exactly for "YES" in any case.
    // Nothing on failure. Any thread.
    static std::optional<NVSUUpdate> initWithUpdateProperties(const QVariantMap &properties,
                                                               const QStringList *userLanguages = nullptr);

    // The validated keys and their values.
    const QVariantMap &baseProperties() const;

    // Any thread, each of them.
    const NVSUVersion &version() const;
    const std::optional<NVSUVersion> &minimumSystemVersion() const;
    const std::optional<NVSUVersion> &maximumSystemVersion() const;
    const std::optional<NVSUVersion> &minimumBaseVersion() const;
    NVSUInstallationMechanism installationMechanism() const;
    const QString &installationObject() const;
    NVSUReleaseLifecycle releaseLifecycle() const;
    bool suppressAutoUpdate() const;
    // Nothing when the text does not parse as a URL.
    std::optional<QUrl> downloadURL() const;
    std::optional<QUrl> downloadPageURL() const;
    // "<ReleaseNotesURL>?v=<installed CFBundleVersion>", the text used as it
    // is (an address with a query gets a second "?"); nothing when absent or
    // when the result does not parse.
    std::optional<QUrl> releaseNotesURL() const;
    // Whether the running system lies within the update's bounds. Writes the
    // debug line naming the failed bound at every call that answers false.
    bool isCompatibleWithSystemVersion() const;
    bool isFreeUpdate() const { return true; }
    // Compatible, the installed version at least the minimum base version,
    // automatic update not suppressed.
    bool isAutoUpgradable() const;
    bool isPreReleaseVersion() const { return releaseLifecycle() != NVSUReleaseLifecycleRelease; }

    // True for no other. Otherwise an update that can be installed
    // automatically beats one that cannot; between two of the same kind the
    // strictly newer one wins, so of two equal versions neither is better.
    bool isBetterThanUpdate(const NVSUUpdate *other) const;
    bool isBetterThanUpdate(const std::optional<NVSUUpdate> &other) const
    {
        return isBetterThanUpdate(other ? &*other : nullptr);
    }

    // The text form of baseProperties followed by one blank.
    QString description() const;

private:
    // What validation read, kept so that the properties need no lookups: a
    // feed has thousands of entries and the selection asks each several times.
    struct Data;
    explicit NVSUUpdate(std::shared_ptr<const Data> data) : d(std::move(data)) {}

    std::shared_ptr<const Data> d;
};

// Parses an update's URL text the way the feed's addresses are read: the
// whole text must be a valid URL (no blanks, no stray characters); nothing
// otherwise. Any thread.
std::optional<QUrl> NVSUURLFromFeedString(const QString &text);
