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
// bounds and never break the computation.
TEST_F(NVSUScheduleTest, NextDateFollowsTheSettingsWithinTheOffset)
{
    const double nan = std::nan("");
    struct Row {
        const char *name;
        QVariantMap settings; // "now" as a last check is written as the current date
        qint64 interval;      // expected, before the offset; 0: no date at all
    };
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
            if (row.interval == 0) {
                EXPECT_FALSE(schedule.nextCheckDate().isValid());
                continue;
            }
            const qint64 seconds = secondsToNextDate(schedule);
            EXPECT_GE(seconds, row.interval - 512);
            EXPECT_LE(seconds, row.interval + 511);
        }
    }
}

TEST_F(NVSUScheduleTest, LastCheckOfTheWrongTypeOrHugeIntervalsNeverBreakTheDate)
{
    // A last check that is no date counts as none: due at once.
    defaults.setObject(QStringLiteral("2026-12-05 12:00:00"), SoftwareUpdateLastCheckKey);
    const NVSUSchedule never(defaults, clock);
    ASSERT_TRUE(never.nextCheckDate().isValid());
    EXPECT_LT(never.nextCheckDate(), clock.now());

    // No upper bound: far in the future, and still a date.
    defaults.setObject(clock.now(), SoftwareUpdateLastCheckKey);
    for (const QVariant huge : {QVariant(1e300), QVariant(std::numeric_limits<double>::infinity()), QVariant(qint64(1) << 62)}) {
        defaults.setObject(huge, SoftwareUpdateCheckIntervalKey);
        const NVSUSchedule schedule(defaults, clock);
        ASSERT_TRUE(schedule.nextCheckDate().isValid());
        EXPECT_GT(clock.now().daysTo(schedule.nextCheckDate()), 365 * 1000);
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
