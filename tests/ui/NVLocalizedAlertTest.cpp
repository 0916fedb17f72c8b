#include "ui/NVLocalizedAlert.h"

#include "support/LocalizationTestSupport.h"
#include "support/LogCapture.h"
#include "ui/NVAlertPresenter.h"

#include <gtest/gtest.h>

namespace {

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
                     "\"full_button1\" = \"First %@\"; \"plain_message\" = \"Plain\";\n");
        bundle.makeMain();
        NVBundle::setUserLanguagesForTesting({"en"});
    }
    TestBundle bundle;
    Driver driver;
};

// Without a presenter (no window can show one) an alert answers its first
// button and is logged, and a sheet calls its end once, after it returned.
// (With one, the driver's tests see every alert go through it.)
TEST_F(NVLocalizedAlertTest, WithoutAPresenterAlertsAnswerTheirFirstButtonAndSheetsEndAfterReturning)
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
}

} // namespace
