#include "model/NVSUUpdate.h"

#include "ModelTestSupport.h"
#include "support/LogCapture.h"

#include <QDateTime>

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
        {"optional keys absent or present", {{"ReleaseNotesURL", "notes.html"}, {"ReleaseLifecycle", "beta"},
                                             {"MinimumSystemVersion", "2.28"}, {"MaximumSystemVersion", "2.40"},
                                             {"MinimumBaseVersion", "6000"}, {"SuppressAutoUpdate", true}}, {}},
        {"empty localized DownloadPageURL", {{"DownloadPageURL", QVariantMap()}},
         "Mandatory property DownloadPageURL not found in update description"},
        {"empty localized ReleaseNotesURL is absent", {{"ReleaseNotesURL", QVariantMap()}}, {}},
        {"the first of two faults", {{"BundleShortVersionString", number}, {"DownloadURL", {}}},
         "Class of property BundleShortVersionString is NSNumber, not NSString"},
        {"a localized value of the wrong class", {{"DownloadPageURL", QVariantMap{{"de", number}, {"en", "x"}}}},
         "Class of property DownloadPageURL is NSNumber, not NSString"},
        {"SuppressAutoUpdate as a date", {{"SuppressAutoUpdate", QDateTime::fromSecsSinceEpoch(0)}},
         "Class of property SuppressAutoUpdate is NSDate, not NSNumber"},
        // Whatever class a feed puts under a key, the line names key and class.
        {"BundleVersion as a number", {{"BundleVersion", number}}, "Class of property BundleVersion is NSNumber, not NSString"},
        {"MinimumBaseVersion as a list", {{"MinimumBaseVersion", QVariantList{"6000"}}},
         "Class of property MinimumBaseVersion is NSArray, not NSString"},
        {"InstallationObject as a dictionary", {{"InstallationObject", QVariantMap{{"en", "Velkin.app"}}}},
         "Class of property InstallationObject is NSDictionary, not NSString"},
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

TEST(NVSUUpdate, TextsOfFlagsAndEnumerationsMatchExactly)
{
    // Text counts only as "yes" in any case; numbers by their value, kept as they are.
    const std::pair<QVariant, bool> suppress[] = {{"yEs", true}, {"1", false}, {"true", false}, {qint64(5), true}, {0.0, false}};
    for (const auto &[value, expected] : suppress) {
        const std::optional<NVSUUpdate> update = validate(entry("6500", "6.5", {{"SuppressAutoUpdate", value}}));
        EXPECT_EQ(update->suppressAutoUpdate(), expected) << NVValue::description(value).toStdString();
        EXPECT_EQ(update->baseProperties().value("SuppressAutoUpdate"), NVValue::isString(value) ? QVariant(expected) : value);
    }
    const std::pair<QString, NVSUInstallationMechanism> mechanisms[] = {
        {"Installer", NVSUInstallationMechanismInstaller}, {"ReplaceBundle", NVSUInstallationMechanismReplaceBundle},
        {"replacebundle", NVSUInstallationMechanismUnsupported},
    };
    for (const auto &[text, mechanism] : mechanisms)
        EXPECT_EQ(validate(entry("6500", "6.5", {{"InstallationMechanism", text}}))->installationMechanism(), mechanism);
    const std::pair<QVariant, NVSUReleaseLifecycle> lifecycles[] = {
        {"beta", NVSUReleaseLifecycleBeta}, {"nightly", NVSUReleaseLifecycleNightly},
        {"release candidate", NVSUReleaseLifecycleReleaseCandidate}, {"Beta", NVSUReleaseLifecycleRelease},
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

    const QVariantMap pages{{"de", "https://velkin.example/de/download"}, {"en", "https://velkin.example/en/download"}};
    const QVariantMap changes{{"DownloadPageURL", pages}, {"ReleaseNotesURL", QVariantMap{{"en", "notes.html"}}}};
    EXPECT_EQ(validate(entry("6500", "6.5", changes))->downloadPageURL(), QUrl("https://velkin.example/de/download"));
    EXPECT_EQ(validate(entry("6500", "6.5", changes), {"fr", "en"})->downloadPageURL(), QUrl("https://velkin.example/en/download"));
}

TEST(NVSUUpdate, URLsAndTheReleaseNotesVersionQuery)
{
    ModelTest::InstalledApplication app("6400", "6.4");
    const struct { QString text; std::optional<QUrl> url; } urls[] = {
        {"https://updates.example/a%20b.zip", QUrl("https://updates.example/a%20b.zip")},
        {"https://updates.example/a b.zip", std::nullopt}, {"https://updates.example/%zz", std::nullopt}, {"", std::nullopt},
    };
    for (const auto &u : urls) {
        const std::optional<NVSUUpdate> update = validate(entry("6500", "6.5", {{"DownloadURL", u.text}, {"DownloadPageURL", u.text}}));
        EXPECT_EQ(update->downloadURL(), u.url) << u.text.toStdString();
        EXPECT_EQ(update->downloadPageURL(), u.url) << u.text.toStdString();
    }

    const struct { QVariant notes; std::optional<QString> url; } notes[] = {
        {"page.html", "page.html?v=6400"},
        {"https://velkin.example/notes?lang=de", "https://velkin.example/notes?lang=de?v=6400"}, {QVariant(), std::nullopt},
    };
    for (const auto &n : notes) {
        const std::optional<QUrl> url = validate(entry("6500", "6.5", {{"ReleaseNotesURL", n.notes}}))->releaseNotesURL();
        EXPECT_EQ(url ? std::optional(url->toString()) : std::nullopt, n.url) << n.notes.toString().toStdString();
    }
    // The installed version is read at each call.
    app.setInfo({{"CFBundleVersion", "6450"}});
    EXPECT_EQ(validate(entry("6500", "6.5", {{"ReleaseNotesURL", "page.html"}}))->releaseNotesURL(), QUrl("page.html?v=6450"));
}

TEST(NVSUUpdate, CompatibilityWithTheRunningSystemLogsTheFailedBound)
{
    ModelTest::InstalledApplication app({}, NVVersionNumber(2, 36, 0));
    ModelTest::Defaults defaults;
    const struct { QVariant minimum, maximum; bool compatible; QString line; } cases[] = {
        {{}, {}, true, {}}, {"2.36", "2.36", true, {}},
        {"2.36b1", {}, true, {}},   // the final system is newer than any beta of it
        {"2.37", {}, false, "Skipping update to 6.5 (6500) because it requires at least glibc 2.37"},
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

    // The line is formatted but not written while debug logging is off.
    defaults->setBool(false, SoftwareUpdateDebugLogsEnabledKey);
    LogCapture log;
    EXPECT_FALSE(validate(entry("6500", "6.5", {{"MinimumSystemVersion", "3.0"}}))->isCompatibleWithSystemVersion());
    EXPECT_TRUE(log.messages().isEmpty());
}

// Which of two candidates is better is checked through the selection, with
// its log lines; here only what makes one installable without asking.
TEST(NVSUUpdate, AutoUpgradability)
{
    ModelTest::InstalledApplication app("6300", "6.3");
    const std::pair<QVariantMap, bool> cases[] = {
        {{{"MinimumBaseVersion", "6300"}}, true}, {{{"MinimumBaseVersion", "6350"}}, false},
        {{{"SuppressAutoUpdate", "YES"}}, false}, {{{"MinimumSystemVersion", "9.0"}}, false},
    };
    for (const auto &[changes, upgradable] : cases)
        EXPECT_EQ(validate(entry("6400", "6.4", changes))->isAutoUpgradable(), upgradable) << NVValue::description(changes).toStdString();
    EXPECT_TRUE(validate(entry("6400", "6.4"))->isFreeUpdate());

    // Without an installed version, no minimum base version counts as met.
    app.setInfo({});
    EXPECT_FALSE(validate(entry("6400", "6.4", {{"MinimumBaseVersion", "6300"}}))->isAutoUpgradable());
    EXPECT_TRUE(validate(entry("6400", "6.4"))->isAutoUpgradable());
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
