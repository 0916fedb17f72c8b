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

// German keeps the capital of its lowercase term (the German words in a text
// are checked with the English fallback).
TEST(NVSettingsTerminology, LinuxUsesTheSettingsWordingWhateverTheDefaultSaysInEachLanguage)
{
    const TestBundle bundle = terminologyBundle();
    NVUserDefaults::standardUserDefaults()->registerDefaults({{EnforceSettingsTerminologyKey, false}});
    EXPECT_TRUE(NVSettingsTerminologyBridge::isUsingSettingsTerminology());
    EXPECT_EQ(NVSettingsTerminologyBridge::openSecuritySettingsButtonTitle(), "Open Security Settings");

    EXPECT_EQ(lowercaseSettingsTerm(QLocale(QLocale::German, QLocale::Austria)), "Settings");
    EXPECT_EQ(lowercaseSettingsTerm(QLocale::c()), "settings");
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

} // namespace
