#include "foundation/NVDateFormatter.h"
#include "foundation/NVDateUtilities.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include <utmpx.h>

using namespace NVDateUtilities;

namespace {

// Every case runs in its own process, so each may choose the zone it needs:
// Berlin changes to summer time on 31 March 2024 (02:00 -> 03:00) and back on
// 27 October 2024 (03:00 -> 02:00).
class NVDateUtilitiesTest : public testing::Test {
protected:
    void SetUp() override
    {
        qputenv("TZ", "Europe/Berlin");
        tzset();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
};

QDateTime berlin(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime);
}

QDateTime utc(const char *iso) { return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate).toUTC(); }

TEST_F(NVDateUtilitiesTest, SameDayComparesLocalCalendarDays)
{
    struct Case { QDateTime a, b; bool same; };
    const Case cases[] = {
        {berlin(2024, 5, 1, 23, 59), berlin(2024, 5, 2, 0, 1), false},
        {berlin(2024, 5, 1, 0, 0), berlin(2024, 5, 1, 23, 59), true}, {berlin(2024, 5, 1, 12), QDateTime(), false},
        // 22:30 UTC is already the next day in Berlin.
        {utc("2024-05-01T22:30:00Z"), utc("2024-05-02T10:00:00Z"), true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(isOnSameDayAsDate(c.a, c.b), c.same) << qPrintable(c.a.toString(Qt::ISODate)) << " "
                                                       << qPrintable(c.b.toString(Qt::ISODate));
}

TEST_F(NVDateUtilitiesTest, CalendarArithmeticKeepsTheWallClockAndClipsMonths)
{
    // A calendar day across a change of the clock is 23 or 25 hours.
    const std::pair<QDateTime, QDateTime> cases[] = {
        {dateByAddingDays(berlin(2024, 3, 30, 12), 1), berlin(2024, 3, 31, 12)},
        {dateByAddingDays(berlin(2024, 10, 26, 12), 1), berlin(2024, 10, 27, 12)},
        {dateByAddingMonths(berlin(2024, 1, 31, 9), 1), berlin(2024, 2, 29, 9)},
        {dateByAddingMonths(berlin(2024, 3, 31, 9), -1), berlin(2024, 2, 29, 9)},
    };
    for (const auto &[result, expected] : cases)
        EXPECT_EQ(result, expected) << qPrintable(result.toLocalTime().toString(Qt::ISODate));
    // Results are absolute dates, kept in UTC.
    EXPECT_EQ(dateByAddingDays(berlin(2024, 3, 30, 12), 1).timeSpec(), Qt::UTC);
    EXPECT_FALSE(dateByAddingDays(QDateTime(), 1).isValid());

    // Day boundaries on the days the clock changes.
    EXPECT_EQ(midnight(berlin(2024, 3, 31, 15, 20, 5)), utc("2024-03-30T23:00:00Z"));
    EXPECT_EQ(noon(berlin(2024, 3, 31, 15, 20, 5)), utc("2024-03-31T10:00:00Z"));
    for (const QDateTime &now : {berlin(2024, 3, 31, 10), berlin(2024, 10, 27, 10)}) {
        const auto startOf = [&](int days) { return QDateTime(now.date().addDays(days), QTime(0, 0), Qt::LocalTime); };
        EXPECT_EQ(yesterday(now), startOf(-1));
        EXPECT_EQ(today(now), startOf(0));
        EXPECT_EQ(tomorrow(now), startOf(1));
        EXPECT_EQ(dateWithDaysSinceToday(7, now), startOf(7));
    }
    // Counted from midnight of the given day, months and years clipped.
    const QDateTime lateJanuary = berlin(2024, 1, 31, 15, 45);
    EXPECT_EQ(dateWithDays(0, lateJanuary), berlin(2024, 1, 31));
    EXPECT_EQ(dateWithMonths(1, lateJanuary), berlin(2024, 2, 29));
    EXPECT_EQ(dateWithYears(1, berlin(2024, 2, 29, 8)), berlin(2025, 2, 28));
    EXPECT_FALSE(dateWithDays(1, QDateTime()).isValid());
}

TEST_F(NVDateUtilitiesTest, PatternsFormatInTheLocalZoneAndDefaultLocaleAndParseBack)
{
    const QDateTime summer = berlin(2024, 5, 1, 10, 5, 9).addMSecs(250);
    const QDateTime winter = berlin(2024, 1, 7, 22, 0, 0);
    struct Case { QDateTime date; const char *pattern; const char *expected; bool parsesBack; };
    const Case cases[] = {
        {summer, "yyyy-MM-dd HH:mm:ss.SSS xx", "2024-05-01 10:05:09.250 +0200", true},
        {winter, "yyyy-MM-dd HH:mm:ss xx", "2024-01-07 22:00:00 +0100", true},
        {summer, "d MMMM yyyy h:mm:ss.SSS a ZZZZ", "1 May 2024 10:05:09.250 AM GMT+02:00", true},
        {summer, "EEEE 'at' h:mm a", "Wednesday at 10:05 AM", false}, {winter, "EEE d MMM yy, hh a", "Sun 7 Jan 24, 10 PM", false},
        {summer, "HH 'o''clock'", "10 o'clock", false},
    };
    NVDateFormatter formatter;
    formatter.setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
    for (const Case &c : cases) {
        EXPECT_EQ(descriptionWithDateFormat(c.date, QString::fromLatin1(c.pattern)), QString::fromLatin1(c.expected)) << c.pattern;
        formatter.setDateFormat(QString::fromLatin1(c.pattern));
        if (c.parsesBack) {
            EXPECT_EQ(formatter.dateFromString(QString::fromLatin1(c.expected)), c.date) << c.pattern;
        }
    }
    EXPECT_EQ(descriptionWithISODateFormat(utc("2024-04-30T22:30:00Z")), "2024-05-01");
    EXPECT_EQ(descriptionWithDateFormat(QDateTime(), "yyyy"), "");
}

// Each sequence runs on a fresh parser: the first string of each form, the
// date alone or the full "yyyy-MM-dd HH:mm:ss Z", fixes that form's pattern.
TEST_F(NVDateUtilitiesTest, TheFirstStringOfEachFormFixesItsPattern)
{
    const QDateTime refused;
    const std::vector<std::pair<const char *, QDateTime>> sequences[] = {
        // A date alone is midnight in the local zone; the full form still reads fully.
        {{"2024-05-01", utc("2024-04-30T22:00:00Z")}, {"2024-05-01 10:00:00 +0200", utc("2024-05-01T08:00:00Z")},
         {"2024-01-15", utc("2024-01-14T23:00:00Z")}, {"2024-05-01 10", refused}, {"2024-02-30", refused},
         {"2024-05-01x", refused}, {"", refused}, {"2024-05-01 10:00:00 +0200 and more", refused}},
        // The full form carries its offset.
        {{"2024-05-01 10:00:00 -0130", utc("2024-05-01T11:30:00Z")}, {"2024-05-01 24:00:00 +0200", refused},
         {"2024-05-01", utc("2024-04-30T22:00:00Z")}},
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
    // The process-wide parser behaves the same.
    EXPECT_EQ(dateFromISODateString("2024-05-01"), utc("2024-04-30T22:00:00Z"));
    EXPECT_FALSE(dateFromISODateString("2024-05-01 10").isValid());
}

utmpx loginRecord(short type, const char *line, qint64 seconds, qint32 microseconds = 0)
{
    utmpx record;
    std::memset(&record, 0, sizeof record);
    record.ut_type = type;
    std::strncpy(record.ut_line, line, sizeof record.ut_line);
    std::strncpy(record.ut_user, "velkin", sizeof record.ut_user);
    record.ut_tv.tv_sec = decltype(record.ut_tv.tv_sec)(seconds);
    record.ut_tv.tv_usec = microseconds;
    return record;
}

TEST(NVDateUtilities, TimeSinceLoginComesFromTheFirstLiveConsoleRecord)
{
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1714557600, Qt::UTC);
    const qint64 nowSeconds = now.toSecsSinceEpoch();
    QTemporaryDir directory;
    const QString path = directory.filePath("utmp");
    const auto write = [&](const std::vector<utmpx> &records) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(reinterpret_cast<const char *>(records.data()), qint64(records.size() * sizeof(utmpx)));
    };
    const std::pair<const char *, double> cases[] = {
        {":0", 3599.5}, {"seat0", 3599.5}, {":1", 0.0}, {"tty1", 0.0},
    };
    for (const auto &[line, expected] : cases) {
        write({
            // An ended session leaves a dead record on the same line; it does not count.
            loginRecord(DEAD_PROCESS, line, nowSeconds - 90000), loginRecord(USER_PROCESS, "pts/0", nowSeconds - 60),
            loginRecord(USER_PROCESS, line, nowSeconds - 3600, 500000),
            loginRecord(USER_PROCESS, line, nowSeconds - 10), // a later record on the line is not reached
        });
        EXPECT_DOUBLE_EQ(timeIntervalSinceLogin(path, now), expected) << line;
    }
    EXPECT_EQ(timeIntervalSinceLogin("/nonexistent/utmp", now), 0.0);
    write({});
    EXPECT_EQ(timeIntervalSinceLogin(path, now), 0.0);
}

} // namespace
