#include "localization/NVLocalization.h"

#include "platform/NVUserDefaults.h"
#include "support/LocalizationTestSupport.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

const QString T = "T";

TestBundle fallbackBundle()
{
    TestBundle bundle;
    bundle.table("en", "T", "\"both\" = \"English both\";\n"
                 "\"onlyEnglish\" = \"English only\";\n"
                 "\"open\" = \"English open\";\n"
                 "\"placeholder\" = \"Open @@Settings\";\n")
        .table("de", "T", "\"both\" = \"Deutsch beide\";\n"
               "\"open\" = \"<#not-yet-localized#>\";\n")
        // A table outside the .lproj folders wins over the localized copies,
        // so for it the fallback is the only way to the English text.
        .table("", "Shared", "\"global\" = \"Global\";\n")
        .table("en", "Shared", "\"shared\" = \"English shared\";\n")
        .table("en", "SettingsTerminology", EnglishTerminology)
        .table("de", "SettingsTerminology", GermanTerminology);
    return bundle;
}

TEST(NVLocalization, EnglishFallbackDependsOnTheFirstLanguageBeingExactlyEnglishAndMissingKeysArePrintedOnce)
{
    const TestBundle bundle = fallbackBundle();
    bundle.makeMain();
    struct Case { QStringList languages; QString table; QString key; QString expected; } cases[] = {
        {{"de"}, T, "both", "Deutsch beide"}, {{"de"}, T, "onlyEnglish", "English only"}, {{"de"}, T, "nowhere", "nowhere"},
        {{"de"}, "Shared", "shared", "English shared"},
        {{"en"}, "Shared", "shared", "shared"},       // "en" means the table already was English
        {{"en-GB"}, "Shared", "shared", "English shared"}, // "en-GB" is not "en"
        {{"de"}, T, "open", "English open"}, // not yet localized
        {{"de"}, T, "placeholder", "Open Einstellungen"}, // English text, German settings word
    };
    for (const Case &c : cases) {
        NVBundle::setUserLanguagesForTesting(c.languages);
        EXPECT_EQ(NVLocalization::localizedStringFromTable(c.key, c.table), c.expected)
            << c.languages.join(',').toStdString() << " " << c.key.toStdString();
    }

    // For translators: with the setting, a key missing in every language is
    // printed once, as a line to paste into the table.
    NVUserDefaults::standardUserDefaults()->registerDefaults({{LogMissingLocalizationsKey, "all"}});
    for (const char *printed : {"\"nowhere\" = \"<#not-yet-localized#>\";\n", ""}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(NVLocalization::localizedStringFromTable("nowhere", T), "nowhere");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), printed);
    }
}

TEST(NVLocalization, SettingsPlaceholdersAreReplacedFromTheEndAndNeverScannedAgain)
{
    const auto expectSubstituted = [](std::initializer_list<std::pair<QString, QString>> cases) {
        for (auto [text, expected] : cases) {
            const std::string given = text.toStdString();
            NVLocalization::substituteSettingsPlaceholders(text);
            EXPECT_EQ(text, expected) << given;
        }
    };
    NVBundle::setUserLanguagesForTesting({"en"});
    TestBundle bundle;
    bundle.table("en", "SettingsTerminology", EnglishTerminology);
    bundle.makeMain();
    expectSubstituted({
        {"Open @@System Settings", "Open Settings App"}, {"@@@Settings", "@Settings"}, {"@@Unknown", "@@Unknown"},
        {"@@Settings and @@Privacy & Security", "Settings and Privacy & Security"}, {"@@", "@@"},
    });
    // A key without any table entry still gets its placeholders replaced.
    EXPECT_EQ(NVLocalization::localizedStringFromTable("Check @@System Settings", "NVSoftwareUpdate"), "Check Settings App");

    TestBundle tricky;
    tricky.table("en", "SettingsTerminology", "\"_capitalizedSettingsTerm.settings\" = \"System Settings\";\n"
                 "\"_systemSettingsAppName.settings\" = \"WRONG\";\n"
                 "\"_privacyAndSecuritySettingsName.settings\" = \"@@Privacy & Security\";\n");
    tricky.makeMain();
    expectSubstituted({
        // The replacement "System Settings" after the first "@@" must not
        // form "@@System Settings" with it.
        {"@@@@Settings", "@@System Settings"}, {"@@Settings", "System Settings"},
        // A terminology text naming itself cannot recurse without end.
        {"@@Privacy & Security", "@@Privacy & Security"},
    });
}

TEST(NVLocalization, BadTablesStillAnswer)
{
    TestBundle bundle;
    bundle.table("de", "T", "\"a\" = \"A\";\n\"b\" = ;\n\"c\" = \"C\";\n")
        .table("en", "T", "\"b\" = \"English b\";\n")
        .table("de", "Xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>x</key><string>From XML</string><key>n</key><integer>3</integer></dict></plist>");
    bundle.makeMain();
    NVBundle::setUserLanguagesForTesting({"de"});

    LogCapture log;
    struct Case { QString table; QString key; QString expected; } cases[] = {
        {"T", "c", "C"}, {"T", "b", "English b"}, // the broken entry falls back to English
        {"Xml", "x", "From XML"}, {"Xml", "n", "n"}, // not a string: no text
    };
    for (const Case &c : cases)
        EXPECT_EQ(NVLocalization::localizedStringFromTable(c.key, c.table), c.expected)
            << c.table.toStdString() << " " << c.key.toStdString();

    const QString damaged = bundle.resources() + "/de.lproj/T.strings";
    const QStringList reports = log.matching("Damaged string table " + damaged + ": ");
    ASSERT_EQ(reports.size(), 1) << log.messages().join('\n').toStdString();
    EXPECT_TRUE(reports.first().contains("line 2")) << reports.first().toStdString();
    EXPECT_TRUE(reports.first().endsWith("(its readable entries are used)"));
    EXPECT_TRUE(log.matching("/de.lproj/Xml.strings").isEmpty());
}

} // namespace
