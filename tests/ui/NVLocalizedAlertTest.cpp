#include "ui/NVLocalizedAlert.h"

#include "support/LocalizationTestSupport.h"
#include "support/LogCapture.h"
#include "support/RecordingAlertPresenter.h"

#include <QCoreApplication>
#include <QObject>

#include <gtest/gtest.h>

namespace {

using NVLocalizedAlert::localizedAlertWithName;
using NVLocalizedAlert::runLocalizedAlertWithName;

class Driver : public NVLocalizable {
public:
    NV_LOCALIZATION_TABLE("NVSoftwareUpdate")
};

class NVLocalizedAlertTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        bundle.table("en", "NVSoftwareUpdate",
                     "\"full_message\" = \"Headline for %@\"; \"full_info\" = \"Body about %2$@\";\n"
                     "\"full_button1\" = \"First %@\"; \"full_button2\" = \"Second\"; \"full_button3\" = \"Third\";\n"
                     "\"gap_message\" = \"Gap\"; \"gap_info\" = \"\"; \"gap_button1\" = \"One\"; \"gap_button2\" = \"\";\n"
                     "\"gap_button3\" = \"Three\"; \"plain_message\" = \"Plain\";\n"
                     "\"plain_info\" = \"Nothing to choose, see @@Settings\"; \"open_message\" = \"<#not-yet-localized#>\";\n")
            .table("en", "SettingsTerminology", EnglishTerminology);
        bundle.makeMain();
        NVBundle::setUserLanguagesForTesting({"en"});
    }
    TestBundle bundle;
    Driver driver;
};

TEST_F(NVLocalizedAlertTest, AlertsAreBuiltFromTheirKeys)
{
    struct Case { QString name; QVariantList arguments; NVAlert expected; } cases[] = {
        // The body uses the second argument, the headline and first button the first.
        {"full", {"Velkin", "notes"}, {"Headline for Velkin", "Body about notes", {"First Velkin", "Second", "Third"}, {}}},
        // Empty "_info" shows its key; the empty second button is dropped.
        {"gap", {}, {"Gap", "gap_info", {"One", "Three"}, {}}},
        // No button texts: the presenter's single default button.
        {"plain", {}, {"Plain", "Nothing to choose, see Settings", {}, {}}},
        // Nothing in the table, or a text still to be translated.
        {"absent", {"x"}, {"absent_message", "absent_info", {}, {}}}, {"open", {}, {"open_message", "open_info", {}, {}}},
    };
    for (const Case &c : cases) {
        const NVAlert alert = localizedAlertWithName(driver, c.name, c.arguments);
        EXPECT_EQ(alert.messageText, c.expected.messageText) << c.name.toStdString();
        EXPECT_EQ(alert.informativeText, c.expected.informativeText) << c.name.toStdString();
        EXPECT_EQ(alert.buttonTitles, c.expected.buttonTitles) << c.name.toStdString();
    }
}

// Without a presenter (no window can show one) an alert answers its first
// button and is logged; with one, it goes through it, and a sheet calls its
// end once, after the answer.
TEST_F(NVLocalizedAlertTest, AlertsGoThroughThePresenterOrAnswerTheirFirstButtonAndSheetsEndOnceAfterTheAnswer)
{
    ASSERT_EQ(NVAlertPresenter::current(), nullptr);
    LogCapture log;
    EXPECT_EQ(runLocalizedAlertWithName(driver, "full", {"Velkin", "notes"}), NSAlertFirstButtonReturn);
    int ended = 0;
    runLocalizedAlertWithName(driver, "plain", nullptr, [&] { ++ended; });
    EXPECT_EQ(ended, 0);
    EXPECT_TRUE(TestSupport::waitFor([&] { return ended == 1; }));
    const QStringList lines = log.matching("No window to show the alert");
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines.first(), "No window to show the alert \"Headline for Velkin\" (Body about notes); answering with its first button");

    RecordingAlertPresenter presenter;
    QObject window;
    presenter.answers = {NSAlertThirdButtonReturn, NSAlertSecondButtonReturn, NSAlertFirstButtonReturn};
    EXPECT_EQ(runLocalizedAlertWithName(driver, "full", {"Velkin", "notes"}), NSAlertThirdButtonReturn);
    ended = 0;
    runLocalizedAlertWithName(driver, "gap", &window, [&] { ++ended; });
    EXPECT_EQ(ended, 0) << "a sheet returns before the user answers";
    runLocalizedAlertWithName(driver, "plain", &window, nullptr, {"unused"});
    ASSERT_TRUE(TestSupport::waitFor([&] { return presenter.sheetsAnswered == 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(ended, 1);
    ASSERT_EQ(presenter.shown.size(), 3);
    EXPECT_FALSE(presenter.shown.at(0).sheet);
    EXPECT_TRUE(presenter.shown.at(1).sheet);
    EXPECT_EQ(presenter.shown.at(1).window, &window);
}

} // namespace
