#include "foundation/NVDateUtilities.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <ctime>

using namespace NVDateUtilities;

namespace {

// Of these functions the updater uses none itself; one test stands for the
// calendar arithmetic and one for the date parser.
// Every case runs in its own process, so each may choose the zone it needs:
// Berlin changes to summer time on 31 March 2024 (02:00 -> 03:00) and back on
// 27 October 2024 (03:00 -> 02:00).
class NVDateUtilitiesTest : public testing::Test {
protected:
    void SetUp() override
    {
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }
};

QDateTime berlin(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime);
}

QDateTime utc(const char *iso) { return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate).toUTC(); }

TEST_F(NVDateUtilitiesTest, CalendarArithmeticKeepsTheWallClockAndClipsMonths)
{
    // A calendar day across a change of the clock is 23 or 25 hours.
    const std::pair<QDateTime, QDateTime> cases[] = {
        {dateByAddingDays(berlin(2024, 3, 30, 12), 1), berlin(2024, 3, 31, 12)},
        {dateByAddingMonths(berlin(2024, 1, 31, 9), 1), berlin(2024, 2, 29, 9)},
    };
    for (const auto &[result, expected] : cases)
        EXPECT_EQ(result, expected) << qPrintable(result.toLocalTime().toString(Qt::ISODate));
    // 22:30 UTC is already the next day in Berlin.
    EXPECT_TRUE(isOnSameDayAsDate(utc("2024-05-01T22:30:00Z"), utc("2024-05-02T10:00:00Z")));
    EXPECT_FALSE(isOnSameDayAsDate(berlin(2024, 5, 1, 23, 59), berlin(2024, 5, 2, 0, 1)));

    // Day boundaries on the days the clock changes.
    EXPECT_EQ(midnight(berlin(2024, 3, 31, 15, 20, 5)), utc("2024-03-30T23:00:00Z"));
    EXPECT_EQ(noon(berlin(2024, 3, 31, 15, 20, 5)), utc("2024-03-31T10:00:00Z"));
    // Counted from midnight of the given day, across the change back, and clipped.
    EXPECT_EQ(tomorrow(berlin(2024, 10, 27, 10)), berlin(2024, 10, 28));
    EXPECT_EQ(dateWithYears(1, berlin(2024, 2, 29, 8)), berlin(2025, 2, 28));
}

// Each sequence runs on a fresh parser: the first string of each form, the
// date alone or the full "yyyy-MM-dd HH:mm:ss Z", fixes that form's pattern.
TEST_F(NVDateUtilitiesTest, TheFirstStringOfEachFormFixesItsPattern)
{
    const QDateTime refused;
    const std::vector<std::pair<const char *, QDateTime>> sequences[] = {
        // A date alone is midnight in the local zone; the full form still reads fully.
        {{"2024-05-01", utc("2024-04-30T22:00:00Z")}, {"2024-05-01 10:00:00 -0130", utc("2024-05-01T11:30:00Z")},
         {"2024-01-15", utc("2024-01-14T23:00:00Z")}, {"2024-05-01 10", refused}, {"2024-02-30", refused},
         {"2024-05-01 10:00:00 +0200 and more", refused}},
        // A shorter first string is read with as many characters of the full
        // pattern, in local time, and fixes that.
        {{"2024-05-01 10:00", utc("2024-05-01T08:00:00Z")}, {"2024-12-01 10:00", utc("2024-12-01T09:00:00Z")}, {"2024-05-01", refused}},
        // 02:30 does not exist on 31 March; it moves forward with the clock.
        {{"2024-03-31 02:30", utc("2024-03-31T01:30:00Z")}},
    };
    for (const auto &sequence : sequences) {
        NVISODateParser parser;
        for (const auto &[text, expected] : sequence) {
            const QDateTime parsed = parser.parse(QString::fromLatin1(text));
            EXPECT_EQ(parsed.isValid() ? parsed : refused, expected) << text;
        }
    }
}

} // namespace
