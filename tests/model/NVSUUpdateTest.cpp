#include "model/NVSUUpdate.h"

#include "ModelTestSupport.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

using ModelTest::entry;

const QStringList German{"de-DE", "en"};

std::optional<NVSUUpdate> validate(const QVariantMap &properties, const QStringList &languages = German)
{
    return NVSUUpdate::initWithUpdateProperties(properties, &languages);
}

TEST(NVSUUpdate, ValidationReportsTheFirstOffendingKeyInTableOrder)
{
    const QVariant number = qint64(6500);
    struct Case {
        const char *name;
        QVariantMap changes;
        QString line; // empty: valid
    };
    const Case cases[] = {
        {"complete", {}, {}},
        {"empty localized DownloadPageURL", {{"DownloadPageURL", QVariantMap()}},
         "Mandatory property DownloadPageURL not found in update description"},
        {"the first of two faults", {{"BundleShortVersionString", number}, {"DownloadURL", {}}},
         "Class of property BundleShortVersionString is NSNumber, not NSString"},
        {"a localized value of the wrong class", {{"DownloadPageURL", QVariantMap{{"de", number}, {"en", "x"}}}},
         "Class of property DownloadPageURL is NSNumber, not NSString"},
        // Whatever class a feed puts under a key, the line names key and class (more in the selection's feed).
        {"MinimumBaseVersion as a list", {{"MinimumBaseVersion", QVariantList{"6000"}}},
         "Class of property MinimumBaseVersion is NSArray, not NSString"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        EXPECT_EQ(validate(entry("6500", "6.5", c.changes)).has_value(), c.line.isEmpty());
        EXPECT_EQ(log.messages(), c.line.isEmpty() ? QStringList() : QStringList{"Software Update: " + c.line});
    }
}

// The mechanisms' texts are checked through the selection.
TEST(NVSUUpdate, FlagsEnumerationsAndURLsAreReadFromTheirExactTexts)
{
    ModelTest::InstalledApplication app({{"CFBundleVersion", "6400"}, {"CFBundleShortVersionString", "6.4"}});
    const auto update = [](const QVariantMap &changes) { return validate(entry("6500", "6.5", changes)).value(); };
    // Text counts only as "yes" in any case; numbers by their value, kept as they are.
    const std::pair<QVariant, bool> suppress[] = {{"yEs", true}, {"true", false}, {qint64(5), true}};
    for (const auto &[value, expected] : suppress) {
        const NVSUUpdate read = update({{"SuppressAutoUpdate", value}});
        EXPECT_EQ(read.suppressAutoUpdate(), expected) << NVValue::description(value).toStdString();
        EXPECT_EQ(read.baseProperties().value("SuppressAutoUpdate"), NVValue::isString(value) ? QVariant(expected) : value);
    }
    const std::pair<QVariant, NVSUReleaseLifecycle> lifecycles[] = {
        {"nightly", NVSUReleaseLifecycleNightly}, {"release candidate", NVSUReleaseLifecycleReleaseCandidate},
        {"Beta", NVSUReleaseLifecycleRelease},
    };
    for (const auto &[text, lifecycle] : lifecycles) {
        const NVSUUpdate read = update({{"ReleaseLifecycle", text}});
        EXPECT_EQ(read.releaseLifecycle(), lifecycle) << text.toString().toStdString();
        EXPECT_EQ(read.isPreReleaseVersion(), lifecycle != NVSUReleaseLifecycleRelease);
    }

    const struct { QString text; std::optional<QUrl> url; } urls[] = {
        {"https://updates.example/a%20b.zip", QUrl("https://updates.example/a%20b.zip")},
        {"https://updates.example/a b.zip", std::nullopt}, {"", std::nullopt},
    };
    for (const auto &u : urls) {
        const NVSUUpdate read = update({{"DownloadURL", u.text}, {"DownloadPageURL", u.text}});
        EXPECT_EQ(read.downloadURL(), u.url) << u.text.toStdString();
        EXPECT_EQ(read.downloadPageURL(), u.url) << u.text.toStdString();
    }
    const std::optional<QUrl> notes = update({{"ReleaseNotesURL", "https://velkin.example/notes?lang=de"}}).releaseNotesURL();
    EXPECT_EQ(notes.value_or(QUrl()).toString(), "https://velkin.example/notes?lang=de?v=6400");
    EXPECT_FALSE(update({}).releaseNotesURL());

    // Only the known keys are kept, with the localized page resolved and an
    // empty localized value absent: the form every line about the update prints.
    const QVariantMap kept{
        {"BundleShortVersionString", "6.5"}, {"BundleVersion", "6500"}, {"DownloadPageURL", "page"},
        {"DownloadURL", "https://updates.example/Velkin-6500.tar.gz"}, {"InstallationMechanism", "ReplaceBundle"},
        {"InstallationObject", "Velkin.app"},
    };
    EXPECT_EQ(update({{"DownloadPageURL", QVariantMap{{"en", "page"}}}, {"Extra", 1}, {"ReleaseNotesURL", QVariantMap()}}).baseProperties(), kept);
}

TEST(NVSUUpdate, PreferredLocalizationFollowsTheUsersLanguagesInOrder)
{
    const struct { QStringList keys, languages; QString chosen; } cases[] = {
        {{"de", "en"}, {"fr-FR", "en-GB"}, "en"}, {{"fr", "de"}, {"it"}, "de"}, // not even English: the smallest key
        {{"pt", "pt_BR"}, {"pt-BR"}, "pt_BR"},       // exact before the language alone
        {{"de-CH"}, {"de"}, "de-CH"},                // a regional form of the language
    };
    for (const auto &c : cases)
        EXPECT_EQ(NVSUPreferredLocalization(c.keys, c.languages), c.chosen)
            << c.keys.join(',').toStdString() << " for " << c.languages.join(',').toStdString();
}

// The lower bound's line is checked through the selection.
TEST(NVSUUpdate, CompatibilityWithTheRunningSystemLogsTheFailedBound)
{
    ModelTest::InstalledApplication app({}, NVVersionNumber(2, 36, 0));
    ModelTest::Defaults defaults;
    const struct { QVariant minimum, maximum; bool compatible; QString line; } cases[] = {
        {"2.36b1", "2.36", true, {}}, // the final system is newer than any beta of it
        {"2.28", "2.36b2", false, "Skipping update to 6.5 (6500) because it runs only up to glibc 2.36b2"},
        {"garbage", {}, true, {}},  // a minimum that reads as zero bounds nothing
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.minimum.toString().toStdString() + " - " + c.maximum.toString().toStdString());
        const std::optional<NVSUUpdate> update =
            validate(entry("6500", "6.5", {{"MinimumSystemVersion", c.minimum}, {"MaximumSystemVersion", c.maximum}}));
        LogCapture log;
        EXPECT_EQ(update->isCompatibleWithSystemVersion(), c.compatible);
        EXPECT_EQ(log.messages(), c.line.isEmpty() ? QStringList() : QStringList{"Software Update Debug: " + c.line});
    }
}

} // namespace
