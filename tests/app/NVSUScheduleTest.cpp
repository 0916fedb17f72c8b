#include "app/AppTestSupport.h"
#include "app/NVSUSchedule.h"
#include "platform/NVUserDefaults.h"
#include "support/ManualClock.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cmath>

namespace {

class NVSUScheduleTest : public ::testing::Test {
protected:
    // Seconds from now to the next check date.
    qint64 secondsToNextDate(const NVSUSchedule &schedule) const { return clock.now().secsTo(schedule.nextCheckDate()); }

    QTemporaryDir directory;
    NVUserDefaults defaults{QStringLiteral("test.velkin.Schedule"), directory.path()};
    ManualClock clock;
};

} // namespace

// The date is the last check plus the interval raised to its bound, plus an
// offset of -512 to +511 seconds; settings of the wrong type fall back to the
// bounds, a last check that is no date counts as none, and no interval is so
// large that the date breaks.
TEST_F(NVSUScheduleTest, NextDateFollowsTheSettingsWithinTheOffset)
{
    const double nan = std::nan("");
    struct Row {
        const char *name;
        QVariantMap settings; // "now" as a last check is written as the current date
        qint64 interval;      // expected, before the offset; 0: no date at all
    };
    const qint64 due = -1, farAhead = -2; // due at once; more than a thousand years ahead
    const Row rows[] = {
        {"registered defaults", {{"SoftwareUpdateLastCheck", "now"}}, 86400},
        {"interval of 60 counts as 12 hours", {{"SoftwareUpdateLastCheck", "now"}, {"SoftwareUpdateCheckInterval", 60}}, 43200},
        {"negative interval", {{"SoftwareUpdateLastCheck", "now"}, {"SoftwareUpdateCheckInterval", -86400}}, 43200},
        {"interval not a number", {{"SoftwareUpdateLastCheck", "now"}, {"SoftwareUpdateCheckInterval", nan}}, 43200},
        {"failed without a retry interval", {{"SoftwareUpdateLastCheck", "now"}, {"SoftwareUpdateLastCheckFailed", true}}, 3600},
        {"failed with a retry interval",
         {{"SoftwareUpdateLastCheck", "now"}, {"SoftwareUpdateLastCheckFailed", true}, {"SoftwareUpdateCheckRetryInterval", 7200}},
         7200},
        {"automatic checks off", {{"SoftwareUpdateLastCheck", "now"}, {"SoftwareUpdateCheckAutomatically", false}}, 0},
        {"automatic checks as an array", {{"SoftwareUpdateCheckAutomatically", QVariantList{true}}}, 0},
        {"last check not a date", {{"SoftwareUpdateLastCheck", "2026-12-05 12:00:00"}}, due},
        {"huge interval", {{"SoftwareUpdateLastCheck", "now"}, {"SoftwareUpdateCheckInterval", 1e300}}, farAhead},
        {"infinite interval", {{"SoftwareUpdateLastCheck", "now"}, {"SoftwareUpdateCheckInterval", std::numeric_limits<double>::infinity()}}, farAhead},
        {"huge integer interval", {{"SoftwareUpdateLastCheck", "now"}, {"SoftwareUpdateCheckInterval", qint64(1) << 62}}, farAhead},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        for (const QString &key : defaults.persistentDomain().keys())
            defaults.removeObject(key);
        for (auto it = row.settings.cbegin(); it != row.settings.cend(); ++it)
            defaults.setObject(it.value() == QVariant("now") ? QVariant(clock.now()) : it.value(), it.key());
        // Each schedule draws new offsets; a few draws cover the range's use.
        for (int draw = 0; draw < 8; ++draw) {
            const NVSUSchedule schedule(defaults, clock);
            EXPECT_EQ(schedule.nextCheckDate().isValid(), row.interval != 0);
            if (row.interval == due) {
                EXPECT_LT(schedule.nextCheckDate(), clock.now());
            }
            if (row.interval == farAhead) {
                EXPECT_GT(clock.now().daysTo(schedule.nextCheckDate()), 365 * 1000);
            }
            if (row.interval <= 0)
                continue;
            const qint64 seconds = secondsToNextDate(schedule);
            EXPECT_GE(seconds, row.interval - 512);
            EXPECT_LE(seconds, row.interval + 511);
        }
    }
}

// The four observed settings move the date at once; the retry interval waits
// for the next recomputation.
TEST_F(NVSUScheduleTest, RecomputesWhenAnObservedSettingChanges)
{
    defaults.setObject(clock.now(), SoftwareUpdateLastCheckKey);
    NVSUSchedule schedule(defaults, clock);
    SignalLog changes(&schedule, &NVSUSchedule::nextCheckDateChanged);

    defaults.setObject(7200, SoftwareUpdateCheckRetryIntervalKey);
    EXPECT_EQ(changes.count(), 0);
    defaults.setBool(true, SoftwareUpdateLastCheckFailedKey);
    ASSERT_EQ(changes.count(), 1);
    EXPECT_GE(secondsToNextDate(schedule), 7200 - 512);
    EXPECT_LE(secondsToNextDate(schedule), 7200 + 511);

    defaults.setBool(false, SoftwareUpdateCheckAutomaticallyKey);
    ASSERT_EQ(changes.count(), 2);
    EXPECT_FALSE(schedule.nextCheckDate().isValid());
    defaults.setBool(true, SoftwareUpdateCheckAutomaticallyKey);
    ASSERT_EQ(changes.count(), 3);
    EXPECT_TRUE(schedule.nextCheckDate().isValid());

    defaults.removeObject(SoftwareUpdateLastCheckFailedKey);
    defaults.setObject(604800, SoftwareUpdateCheckIntervalKey);
    EXPECT_EQ(changes.count(), 5);
    EXPECT_GE(secondsToNextDate(schedule), 604800 - 512);
}
