#include "localization/NVLocalization.h"

#include "platform/NVUserDefaults.h"
#include "support/LocalizationTestSupport.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

using NVLocalization::EnglishFallback;
using NVLocalization::lookUpLocalizedString;

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

TEST(NVLocalization, EnglishFallbackDependsOnTheFirstLanguageBeingExactlyEnglish)
{
    const TestBundle bundle = fallbackBundle();
    bundle.makeMain();
    struct Case { QStringList languages; QString table; QString key; QString expected; } cases[] = {
        {{"de"}, T, "both", "Deutsch beide"}, {{"de"}, T, "onlyEnglish", "English only"}, {{"de"}, T, "open", "English open"},
        {{"de"}, T, "nowhere", "nowhere"}, {{"de-AT", "en"}, T, "both", "Deutsch beide"}, {{"en"}, T, "both", "English both"},
        {{"fr"}, T, "both", "English both"}, // no French: the development localization
        {{"de"}, "Shared", "global", "Global"}, {{"de"}, "Shared", "shared", "English shared"},
        {{"en"}, "Shared", "shared", "shared"},       // "en" means the table already was English
        {{"en-GB"}, "Shared", "shared", "English shared"}, // "en-GB" is not "en"
        {{"de"}, T, "placeholder", "Open Einstellungen"}, // English text, German settings word
    };
    for (const Case &c : cases) {
        NVBundle::setUserLanguagesForTesting(c.languages);
        EXPECT_EQ(NVLocalization::localizedStringFromTable(c.key, c.table), c.expected)
            << c.languages.join(',').toStdString() << " " << c.key.toStdString();
    }
    NVBundle::setUserLanguagesForTesting({"de"});
    EXPECT_EQ(lookUpLocalizedString("onlyEnglish", T, nullptr, EnglishFallback::Off), "onlyEnglish");
    EXPECT_EQ(lookUpLocalizedString("open", T, nullptr, EnglishFallback::Off), "open");
}

TEST(NVLocalization, NotYetLocalizedFallsBackWithoutAReport)
{
    const TestBundle bundle = fallbackBundle();
    bundle.makeMain();
    NVBundle::setUserLanguagesForTesting({"de"});
    NVUserDefaults::standardUserDefaults()->registerDefaults({{LogMissingLocalizationsKey, "all"}});

    QString open, nowhere;
    const QByteArray quiet = capturedStandardOutput([&] { open = NVLocalization::localizedStringFromTable("open", T); });
    EXPECT_EQ(open, "English open");
    EXPECT_EQ(quiet, "");

    // Missed in the German and the English table: still one line.
    const QByteArray reported = capturedStandardOutput([&] { nowhere = NVLocalization::localizedStringFromTable("nowhere", T); });
    EXPECT_EQ(nowhere, "nowhere");
    EXPECT_EQ(reported, "\"nowhere\" = \"<#not-yet-localized#>\";\n");
}

TEST(NVLocalization, MissingKeysAreReportedOnceAndOnlyForTheNamedTable)
{
    TestBundle bundle;
    bundle.table("en", "NVSoftwareUpdate", "\"_present\" = \"Present\";\n")
        .table("en", "SettingsTerminology", EnglishTerminology);
    bundle.makeMain();
    NVBundle::setUserLanguagesForTesting({"en"});
    NVUserDefaults::standardUserDefaults()->registerDefaults({{LogMissingLocalizationsKey, "NVSoftwareUpdate"}});

    struct Step { QString key; QString table; QByteArray printed; } steps[] = {
        {"_goBackButtonTitle", "NVSoftwareUpdate", "\"_goBackButtonTitle\" = \"<#not-yet-localized#>\";\n"},
        {"_goBackButtonTitle", "NVSoftwareUpdate", ""}, {"_otherKey", "SettingsTerminology", ""},
        {"_otherKey", "NVSoftwareUpdate", ""}, // recorded by the miss above, though nothing was printed
        {"_present", "NVSoftwareUpdate", ""}, {"C:\\dir", "NVSoftwareUpdate", "\"C:\\\\dir\" = \"<#not-yet-localized#>\";\n"},
        {"%@ %@", "NVSoftwareUpdate", ""}, {"", "NVSoftwareUpdate", ""},
        {"Überall \"quoted\"", "NVSoftwareUpdate", "\"Überall \"quoted\"\" = \"<#not-yet-localized#>\";\n"}, {"_plain", "", ""},
    };
    for (const Step &step : steps) {
        QString result;
        const QByteArray printed = capturedStandardOutput(
            [&] { result = lookUpLocalizedString(step.key, step.table, nullptr, EnglishFallback::On); });
        EXPECT_EQ(printed, step.printed) << step.key.toStdString() << " in " << step.table.toStdString();
        EXPECT_EQ(result, step.key == "_present" ? "Present" : step.key);
    }
}

TEST(NVLocalization, TheDefaultTableIsReportedAsLocalizableAndAbsentSettingRecordsNothing)
{
    TestBundle bundle;
    bundle.table("en", "SettingsTerminology", EnglishTerminology);
    bundle.makeMain();
    NVBundle::setUserLanguagesForTesting({"en"});

    // Without the setting nothing is printed and nothing is remembered.
    EXPECT_EQ(capturedStandardOutput([] { NVLocalization::localizedString("_plain"); }), "");

    NVUserDefaults::standardUserDefaults()->registerDefaults({{LogMissingLocalizationsKey, "Localizable"}});
    EXPECT_EQ(capturedStandardOutput([] { NVLocalization::localizedString("_plain"); }), "\"_plain\" = \"<#not-yet-localized#>\";\n");
    EXPECT_EQ(capturedStandardOutput([] { NVLocalization::localizedStringFromTable("_inT", "T"); }), "");
    EXPECT_EQ(capturedStandardOutput([] { NVLocalization::localizedStringFromTable("_explicit", "Localizable"); }),
              "\"_explicit\" = \"<#not-yet-localized#>\";\n");
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
        {"@@Settings and @@Privacy & Security", "Settings and Privacy & Security"},
        {"Change it in @@settings.", "Change it in settings."}, {"@@settings@@Settings", "settingsSettings"},
        {"@@system settings, @@SETTINGS", "@@system settings, @@SETTINGS"}, {"@@System", "@@System"}, {"@@", "@@"},
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

TEST(NVLocalization, BadTablesAndBundlesStillAnswer)
{
    TestBundle bundle;
    bundle.table("de", "T", "\"a\" = \"A\";\n\"b\" = ;\n\"c\" = \"C\";\n")
        .table("en", "T", "\"b\" = \"English b\";\n")
        .table("de", "Garbage", QByteArray("\xff\xfe\x41", 3))
        .table("de", "Xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>x</key><string>From XML</string><key>n</key><integer>3</integer></dict></plist>");
    bundle.makeMain();
    NVBundle::setUserLanguagesForTesting({"de"});

    LogCapture log;
    struct Case { QString table; QString key; QString expected; } cases[] = {
        {"T", "a", "A"}, {"T", "c", "C"},
        {"T", "b", "English b"}, // the broken entry falls back to English
        {"Garbage", "k", "k"}, {"Xml", "x", "From XML"},
        {"Xml", "n", "n"}, // not a string: no text
        {"Missing", "k", "k"},
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

    // No tables at all, no en.lproj, and an en.lproj that is a file.
    TestBundle empty;
    TestSupport::writeFile(empty.resources() + "/de.lproj/T.strings", "\"x\" = \"X\";");
    TestBundle fileNotFolder;
    TestSupport::writeFile(fileNotFolder.resources() + "/en.lproj", "not a folder");
    TestSupport::writeFile(fileNotFolder.resources() + "/de.lproj/T.strings", "\"x\" = \"X\";");
    for (const TestBundle *b : {&empty, &fileNotFolder}) {
        EXPECT_EQ(NVLocalization::localizedStringFromTable("x", T, b->bundle()), "X");
        EXPECT_EQ(NVLocalization::localizedStringFromTable("y", T, b->bundle()), "y");
        EXPECT_EQ(NVLocalization::localizedStringFromTable("y", "None", b->bundle()), "y");
    }
}

} // namespace
