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
        {"empty texts", {{"BundleVersion", QString()}, {"BundleShortVersionString", ""}, {"MinimumBaseVersion", QString()}}, {}},
        {"the first of two faults", {{"BundleShortVersionString", number}, {"DownloadURL", {}}},
         "Class of property BundleShortVersionString is NSNumber, not NSString"},
        {"a missing key before a wrong one", {{"InstallationObject", {}}, {"BundleShortVersionString", "x"}, {"DownloadURL", number}},
         "Mandatory property InstallationObject not found in update description"},
        {"a localized value of the wrong class", {{"DownloadPageURL", QVariantMap{{"de", number}, {"en", "x"}}}},
         "Class of property DownloadPageURL is NSNumber, not NSString"},
        {"SuppressAutoUpdate as a date", {{"SuppressAutoUpdate", QDateTime::fromSecsSinceEpoch(0)}},
         "Class of property SuppressAutoUpdate is NSDate, not NSNumber"},
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

TEST(NVSUUpdate, EveryKeyRefusesEveryWrongClass)
{
    // Whatever class a feed puts under a key, validation answers with the
    // line that names key and class; none is let through as something else.
    const QStringList stringKeys{"BundleVersion", "BundleShortVersionString", "InstallationObject", "InstallationMechanism",
                                 "DownloadURL", "DownloadPageURL", "ReleaseNotesURL", "ReleaseLifecycle",
                                 "MinimumSystemVersion", "MaximumSystemVersion", "MinimumBaseVersion"};
    const QStringList localizable{"DownloadPageURL", "ReleaseNotesURL"};
    const std::pair<QVariant, QString> wrong[] = {
        {true, "NSNumber"}, {qint64(-1), "NSNumber"}, {1.5, "NSNumber"}, {QDateTime::fromSecsSinceEpoch(0), "NSDate"},
        {QByteArray("\xff\xfe"), "NSData"}, {QVariantList{"6500"}, "NSArray"}, {QVariantMap{{"en", "6500"}}, "NSDictionary"},
    };
    for (const QString &key : stringKeys) {
        for (const auto &[value, className] : wrong) {
            if (className == "NSDictionary" && localizable.contains(key))
                continue; // resolved to its string instead
            SCOPED_TRACE((key + " as " + NVValue::description(value)).toStdString());
            LogCapture log;
            EXPECT_FALSE(validate(entry("6500", "6.5", {{key, value}})));
            EXPECT_EQ(log.messages(), QStringList{"Software Update: Class of property " + key + " is " + className + ", not NSString"});
        }
    }
}

TEST(NVSUUpdate, OnlyKnownKeysAreKeptAndSuppressAutoUpdateBecomesABoolean)
{
    // Text counts only as "yes" in any case; numbers by their value, kept as they are.
    const std::pair<QVariant, bool> cases[] = {
        {QVariant(), false}, {"yEs", true}, {"1", false}, {"true", false}, {"YES ", false},
        {true, true}, {false, false}, {qint64(5), true}, {0.0, false}, {quint64(1ULL << 40), true},
    };
    for (const auto &[value, suppress] : cases) {
        SCOPED_TRACE(NVValue::description(value).toStdString());
        const std::optional<NVSUUpdate> update =
            validate(entry("6500", "6.5", {{"SuppressAutoUpdate", value}, {"Extra", "dropped"}, {"ReleaseNotesURL", QVariantMap()}}));
        ASSERT_TRUE(update);
        EXPECT_EQ(update->suppressAutoUpdate(), suppress);
        const QVariantMap kept = update->baseProperties();
        EXPECT_FALSE(kept.contains("Extra"));
        EXPECT_FALSE(kept.contains("ReleaseNotesURL")); // an empty localized value is absent
        EXPECT_EQ(kept.value("BundleVersion"), QVariant("6500"));
        EXPECT_EQ(kept.value("SuppressAutoUpdate"), NVValue::isString(value) ? QVariant(suppress) : value);
    }
}

TEST(NVSUUpdate, EnumerationsMatchTheirTextsExactly)
{
    const std::pair<QString, NVSUInstallationMechanism> mechanisms[] = {
        {"Installer", NVSUInstallationMechanismInstaller}, {"ReplaceBundle", NVSUInstallationMechanismReplaceBundle},
        {"replacebundle", NVSUInstallationMechanismUnsupported}, {" ReplaceBundle", NVSUInstallationMechanismUnsupported},
    };
    for (const auto &[text, mechanism] : mechanisms)
        EXPECT_EQ(validate(entry("6500", "6.5", {{"InstallationMechanism", text}}))->installationMechanism(), mechanism)
            << text.toStdString();

    const std::pair<QVariant, NVSUReleaseLifecycle> lifecycles[] = {
        {"beta", NVSUReleaseLifecycleBeta}, {"nightly", NVSUReleaseLifecycleNightly},
        {"release candidate", NVSUReleaseLifecycleReleaseCandidate},
        {"Beta", NVSUReleaseLifecycleRelease}, {QVariant(), NVSUReleaseLifecycleRelease},
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
        {{"de", "en"}, {"fr-FR", "en-GB"}, "en"},
        {{"de", "en", "fr"}, {"it"}, "en"},          // nothing matches: English
        {{"fr", "de"}, {"it"}, "de"},                // not even English: the smallest key
        {{"pt", "pt_BR"}, {"pt-BR"}, "pt_BR"},       // exact before the language alone
        {{"pt", "pt_BR"}, {"pt-PT"}, "pt"},
        {{"de-CH"}, {"de"}, "de-CH"},                // a regional form of the language
        {{"EN", "de"}, {"en-US"}, "EN"}, {{"zh-Hant", "zh-Hans"}, {"zh-Hant-TW"}, "zh-Hant"},
        {{"en"}, {}, "en"}, {{}, {"en"}, QString()},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NVSUPreferredLocalization(c.keys, c.languages), c.chosen)
            << c.keys.join(',').toStdString() << " for " << c.languages.join(',').toStdString();

    const QVariantMap pages{{"de", "https://velkin.example/de/download"}, {"en", "https://velkin.example/en/download"}};
    const QVariantMap changes{{"DownloadPageURL", pages}, {"ReleaseNotesURL", QVariantMap{{"en", "notes.html"}}}};
    EXPECT_EQ(validate(entry("6500", "6.5", changes))->downloadPageURL(), QUrl("https://velkin.example/de/download"));
    EXPECT_EQ(validate(entry("6500", "6.5", changes), {"fr", "en"})->downloadPageURL(), QUrl("https://velkin.example/en/download"));
    EXPECT_EQ(validate(entry("6500", "6.5", changes))->baseProperties().value("ReleaseNotesURL"), QVariant("notes.html"));
}

TEST(NVSUUpdate, URLsAndTheReleaseNotesVersionQuery)
{
    ModelTest::InstalledApplication app("6400", "6.4");
    const struct { QString text; std::optional<QUrl> url; } urls[] = {
        {"https://updates.example/Velkin-6500.tar.gz", QUrl("https://updates.example/Velkin-6500.tar.gz")},
        {"https://updates.example/a%20b.zip", QUrl("https://updates.example/a%20b.zip")},
        {"https://updates.example/a b.zip", std::nullopt},
        {"https://updates.example/\u00e4.zip", std::nullopt},
        {"https://updates.example/%zz", std::nullopt},
        {"https://[::1", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &u : urls) {
        const std::optional<NVSUUpdate> update = validate(entry("6500", "6.5", {{"DownloadURL", u.text}, {"DownloadPageURL", u.text}}));
        EXPECT_EQ(update->downloadURL(), u.url) << u.text.toStdString();
        EXPECT_EQ(update->downloadPageURL(), u.url) << u.text.toStdString();
    }

    const struct { QVariant notes; std::optional<QString> url; } notes[] = {
        {"page.html", "page.html?v=6400"},
        {"https://velkin.example/notes?lang=de", "https://velkin.example/notes?lang=de?v=6400"},
        {"not a url", std::nullopt}, {QVariant(), std::nullopt},
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
        {{}, "2.36.0", true, {}}, {"2.37", {}, false, "Skipping update to 6.5 (6500) because it requires at least glibc 2.37"},
        {{}, "2.35", false, "Skipping update to 6.5 (6500) because it runs only up to glibc 2.35"},
        {"2.28", "2.36b2", false, "Skipping update to 6.5 (6500) because it runs only up to glibc 2.36b2"},
        {"garbage", {}, true, {}},  // a minimum that reads as zero bounds nothing
        {{}, "x", false, "Skipping update to 6.5 (6500) because it runs only up to glibc x"},
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
        {{}, true}, {{{"MinimumBaseVersion", "6300"}}, true}, {{{"MinimumBaseVersion", "6350"}}, false},
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
        validate(entry("6500", "6.5", {{"SuppressAutoUpdate", "yes"}, {"DownloadPageURL", QVariantMap{{"en", "page"}}}, {"Extra", 1}}));
    // Only the known keys, with the localized page resolved and the flag read
    // from its text; the text form itself is the one every log line prints.
    const QVariantMap kept{
        {"BundleShortVersionString", "6.5"}, {"BundleVersion", "6500"}, {"DownloadPageURL", "page"},
        {"DownloadURL", "https://updates.example/Velkin-6500.tar.gz"},
        {"InstallationMechanism", "ReplaceBundle"}, {"InstallationObject", "Velkin.app"}, {"SuppressAutoUpdate", true},
    };
    EXPECT_EQ(update->baseProperties(), kept);
    EXPECT_EQ(update->description(), NVValue::description(kept) + " ");
}

} // namespace
