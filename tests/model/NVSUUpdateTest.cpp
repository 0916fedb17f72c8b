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
    std::vector<Case> cases = {
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
    for (const char *key : {"BundleVersion", "BundleShortVersionString", "InstallationObject", "InstallationMechanism", "DownloadURL",
                            "DownloadPageURL"})
        cases.push_back({key, {{key, {}}}, QStringLiteral("Mandatory property %1 not found in update description").arg(key)});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        EXPECT_EQ(validate(entry("6500", "6.5", c.changes)).has_value(), c.line.isEmpty());
        EXPECT_EQ(log.messages(), c.line.isEmpty() ? QStringList() : QStringList{"Software Update: " + c.line});
    }
}

// The mechanisms' texts are checked through the selection.
TEST(NVSUUpdate, TextsOfFlagsAndEnumerationsMatchExactly)
{
    // Text counts only as "yes" in any case; numbers by their value, kept as they are.
    const std::pair<QVariant, bool> suppress[] = {{"yEs", true}, {"true", false}, {qint64(5), true}};
    for (const auto &[value, expected] : suppress) {
        const std::optional<NVSUUpdate> update = validate(entry("6500", "6.5", {{"SuppressAutoUpdate", value}}));
        EXPECT_EQ(update->suppressAutoUpdate(), expected) << NVValue::description(value).toStdString();
        EXPECT_EQ(update->baseProperties().value("SuppressAutoUpdate"), NVValue::isString(value) ? QVariant(expected) : value);
    }
    const std::pair<QVariant, NVSUReleaseLifecycle> lifecycles[] = {
        {"nightly", NVSUReleaseLifecycleNightly}, {"release candidate", NVSUReleaseLifecycleReleaseCandidate},
        {"Beta", NVSUReleaseLifecycleRelease},
    };
    for (const auto &[text, lifecycle] : lifecycles) {
        const std::optional<NVSUUpdate> update = validate(entry("6500", "6.5", {{"ReleaseLifecycle", text}}));
        EXPECT_EQ(update->releaseLifecycle(), lifecycle) << text.toString().toStdString();
        EXPECT_EQ(update->isPreReleaseVersion(), lifecycle != NVSUReleaseLifecycleRelease);
    }
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

TEST(NVSUUpdate, URLsAndTheReleaseNotesVersionQuery)
{
    ModelTest::InstalledApplication app({{"CFBundleVersion", "6400"}, {"CFBundleShortVersionString", "6.4"}});
    const struct { QString text; std::optional<QUrl> url; } urls[] = {
        {"https://updates.example/a%20b.zip", QUrl("https://updates.example/a%20b.zip")},
        {"https://updates.example/a b.zip", std::nullopt}, {"", std::nullopt},
    };
    for (const auto &u : urls) {
        const std::optional<NVSUUpdate> update = validate(entry("6500", "6.5", {{"DownloadURL", u.text}, {"DownloadPageURL", u.text}}));
        EXPECT_EQ(update->downloadURL(), u.url) << u.text.toStdString();
        EXPECT_EQ(update->downloadPageURL(), u.url) << u.text.toStdString();
    }

    const struct { QVariant notes; std::optional<QString> url; } notes[] = {
        {"https://velkin.example/notes?lang=de", "https://velkin.example/notes?lang=de?v=6400"}, {QVariant(), std::nullopt},
    };
    for (const auto &n : notes) {
        const std::optional<QUrl> url = validate(entry("6500", "6.5", {{"ReleaseNotesURL", n.notes}}))->releaseNotesURL();
        EXPECT_EQ(url ? std::optional(url->toString()) : std::nullopt, n.url) << n.notes.toString().toStdString();
    }
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
        EXPECT_EQ(update->isCompatibleWithSystemVersion(), c.compatible); // logged again at every call
        EXPECT_EQ(log.messages(), c.line.isEmpty() ? QStringList() : QStringList(2, "Software Update Debug: " + c.line));
    }
}

TEST(NVSUUpdate, DescriptionIsTheTextFormOfTheKeptPropertiesAndABlank)
{
    const std::optional<NVSUUpdate> update =
        validate(entry("6500", "6.5", {{"SuppressAutoUpdate", "yes"}, {"DownloadPageURL", QVariantMap{{"en", "page"}}}, {"Extra", 1},
                                       {"ReleaseNotesURL", QVariantMap()}}));
    // Only the known keys, with the localized page resolved, an empty
    // localized value absent and the flag read from its text; the text form
    // itself is the one every log line prints.
    const QVariantMap kept{
        {"BundleShortVersionString", "6.5"}, {"BundleVersion", "6500"}, {"DownloadPageURL", "page"},
        {"DownloadURL", "https://updates.example/Velkin-6500.tar.gz"},
        {"InstallationMechanism", "ReplaceBundle"}, {"InstallationObject", "Velkin.app"}, {"SuppressAutoUpdate", true},
    };
    EXPECT_EQ(update->baseProperties(), kept);
    EXPECT_EQ(update->description(), NVValue::description(kept) + " ");
}

} // namespace
