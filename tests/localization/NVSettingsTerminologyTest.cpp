#include "localization/NVSettingsTerminology.h"

#include "platform/NVUserDefaults.h"
#include "support/LocalizationTestSupport.h"
#include "localization/NVLocalization.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

TestBundle terminologyBundle()
{
    TestBundle bundle;
    bundle.table("en", "SettingsTerminology", EnglishTerminology).table("de", "SettingsTerminology", GermanTerminology);
    bundle.makeMain();
    NVBundle::setUserLanguagesForTesting({"en"});
    return bundle;
}

TEST(NVSettingsTerminology, TheSystemDecidesAndTheDefaultOnlyOnOlderSystems)
{
    struct Case { bool systemUsesSettings; bool enforce; NVSettingsTerminology expected; bool defaultRead; } cases[] = {
        {true, false, NVSettingsTerminology::settings, false},
        {false, false, NVSettingsTerminology::preferences, true}, {false, true, NVSettingsTerminology::settings, true},
    };
    for (const Case &c : cases) {
        bool asked = false;
        EXPECT_EQ(settingsTerminologyForSystem(c.systemUsesSettings, [&] { asked = true; return c.enforce; }), c.expected);
        EXPECT_EQ(asked, c.defaultRead);
    }
    EXPECT_EQ(settingsTerminologyFromRawValue(u"settings"), NVSettingsTerminology::settings);
    EXPECT_FALSE(settingsTerminologyFromRawValue(u"Settings").has_value());
}

TEST(NVSettingsTerminology, LinuxUsesTheSettingsWordingWhateverTheDefaultSays)
{
    const TestBundle bundle = terminologyBundle();
    NVUserDefaults::standardUserDefaults()->registerDefaults({{EnforceSettingsTerminologyKey, false}});
    EXPECT_TRUE(NVSettingsTerminologyBridge::isUsingSettingsTerminology());
    EXPECT_EQ(localizedTerminologyString(NVSystemSettingsAppNamePrefix), "Settings App");
    EXPECT_EQ(NVSettingsTerminologyBridge::openSecuritySettingsButtonTitle(), "Open Security Settings");
}

// The wording is fixed for the process at first use, so this runs in a fresh
// process of its own however the binary is run.
TEST(NVSettingsTerminologyDeathTest, AnOlderSystemUsesPreferencesAndKeepsItForTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto olderSystem = [] {
        const TestBundle bundle = terminologyBundle();
        setSystemUsesSettingsWordingForTesting(false);
        QString text = "Open @@System Settings, @@Privacy & Security";
        NVLocalization::substituteSettingsPlaceholders(text);
        // A later change of the default counts from the next start only.
        NVUserDefaults::standardUserDefaults()->registerDefaults({{EnforceSettingsTerminologyKey, true}});
        text += u' ' + NVSettingsTerminologyBridge::capitalizedSettingsTerm();
        std::fprintf(stderr, "%s\n", qPrintable(text));
        std::_Exit(currentSettingsTerminology() == NVSettingsTerminology::preferences ? 0 : 1);
    };
    EXPECT_EXIT(olderSystem(), testing::ExitedWithCode(0), "^Open Preferences App, Security & Privacy Preferences\n$");
}

TEST(NVSettingsTerminology, GermanKeepsTheCapitalOfTheLowercaseTerm)
{
    const TestBundle bundle = terminologyBundle();
    EXPECT_EQ(lowercaseSettingsTerm(QLocale(QLocale::German, QLocale::Austria)), "Settings");
    EXPECT_EQ(lowercaseSettingsTerm(QLocale::c()), "settings");
    NVBundle::setUserLanguagesForTesting({"de-DE"});
    QString text = "in den @@settings";
    NVLocalization::substituteSettingsPlaceholders(text);
    EXPECT_EQ(text, "in den Einstellungen");
}

} // namespace
