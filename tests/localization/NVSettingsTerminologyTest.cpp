#include "localization/NVSettingsTerminology.h"

#include "platform/NVUserDefaults.h"
#include "support/LocalizationTestSupport.h"
#include "localization/NVLocalization.h"

#include <gtest/gtest.h>

namespace {

TestBundle terminologyBundle()
{
    TestBundle bundle;
    bundle.table("en", "SettingsTerminology", EnglishTerminology).table("de", "SettingsTerminology", GermanTerminology);
    bundle.makeMain();
    return bundle;
}

TEST(NVSettingsTerminology, RawValuesMatchExactly)
{
    struct Case { QString raw; std::optional<NVSettingsTerminology> expected; } cases[] = {
        {"preferences", NVSettingsTerminology::preferences}, {"settings", NVSettingsTerminology::settings},
        {"Settings", std::nullopt}, {"settings ", std::nullopt}, {"", std::nullopt},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(settingsTerminologyFromRawValue(c.raw), c.expected) << c.raw.toStdString();
        if (c.expected) {
            EXPECT_EQ(rawValue(*c.expected), c.raw);
        }
    }
}

TEST(NVSettingsTerminology, TheSystemDecidesAndTheDefaultOnlyOnOlderSystems)
{
    struct Case { bool systemUsesSettings; bool enforce; NVSettingsTerminology expected; bool defaultRead; } cases[] = {
        {true, false, NVSettingsTerminology::settings, false}, {true, true, NVSettingsTerminology::settings, false},
        {false, false, NVSettingsTerminology::preferences, true}, {false, true, NVSettingsTerminology::settings, true},
    };
    for (const Case &c : cases) {
        bool asked = false;
        EXPECT_EQ(settingsTerminologyForSystem(c.systemUsesSettings, [&] {
                                                   asked = true;
                                                   return c.enforce;
                                               }),
                  c.expected);
        EXPECT_EQ(asked, c.defaultRead);
    }
}

TEST(NVSettingsTerminology, LinuxUsesTheSettingsWordingWhateverTheDefaultSays)
{
    const TestBundle bundle = terminologyBundle();
    NVBundle::setUserLanguagesForTesting({"en"});
    NVUserDefaults::standardUserDefaults()->registerDefaults({{EnforceSettingsTerminologyKey, false}});

    EXPECT_EQ(currentSettingsTerminology(), NVSettingsTerminology::settings);
    EXPECT_TRUE(NVSettingsTerminologyBridge::isUsingSettingsTerminology());
    EXPECT_EQ(localizedTerminologyString(NVSystemSettingsAppNamePrefix), "Settings App");
    EXPECT_EQ(NVSettingsTerminologyBridge::capitalizedSettingsTerm(), "Settings");
    EXPECT_EQ(NVSettingsTerminologyBridge::openSecuritySettingsButtonTitle(), "Open Security Settings");
}

TEST(NVSettingsTerminology, AnOlderSystemUsesPreferencesAndKeepsItForTheProcess)
{
    const TestBundle bundle = terminologyBundle();
    NVBundle::setUserLanguagesForTesting({"en"});
    setSystemUsesSettingsWordingForTesting(false);

    QString text = "Open @@System Settings, @@Privacy & Security";
    NVLocalization::substituteSettingsPlaceholders(text);
    EXPECT_EQ(text, "Open Preferences App, Security & Privacy");
    EXPECT_FALSE(NVSettingsTerminologyBridge::isUsingSettingsTerminology());
    EXPECT_EQ(NVSettingsTerminologyBridge::capitalizedSettingsTerm(), "Preferences");

    // The wording is fixed at first use: a later change of the default
    // counts from the next start only.
    NVUserDefaults::standardUserDefaults()->registerDefaults({{EnforceSettingsTerminologyKey, true}});
    EXPECT_EQ(currentSettingsTerminology(), NVSettingsTerminology::preferences);
    EXPECT_EQ(localizedTerminologyString(NVSystemSettingsAppNamePrefix), "Preferences App");
}

TEST(NVSettingsTerminology, GermanKeepsTheCapitalOfTheLowercaseTerm)
{
    const TestBundle bundle = terminologyBundle();
    NVBundle::setUserLanguagesForTesting({"en"});
    struct Case { QLocale locale; QString expected; } cases[] = {
        {QLocale(QLocale::German, QLocale::Germany), "Settings"}, {QLocale(QLocale::German, QLocale::Austria), "Settings"},
        {QLocale(QLocale::English), "settings"}, {QLocale::c(), "settings"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(lowercaseSettingsTerm(c.locale), c.expected) << c.locale.name().toStdString();

    EXPECT_EQ(lowercaseSettingsTerm(), "settings");
    NVBundle::setUserLanguagesForTesting({"de-DE"});
    EXPECT_EQ(lowercaseSettingsTerm(), "Einstellungen");
    QString text = "in den @@settings";
    NVLocalization::substituteSettingsPlaceholders(text);
    EXPECT_EQ(text, "in den Einstellungen");
    NVBundle::setUserLanguagesForTesting({"fr"});
    EXPECT_EQ(lowercaseSettingsTerm(), "settings");
}

} // namespace
