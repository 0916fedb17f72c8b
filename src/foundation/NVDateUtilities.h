#pragma once

#include <QDateTime>
#include <QString>

#include <memory>

// Calendar arithmetic on dates (absolute points in time) in the user's
// calendar (Gregorian) and local time zone, which follows the TZ setting.
// Results are in UTC like every other date value; an invalid input date gives
// an invalid result. Where "now" matters it is a parameter, defaulting to the
// current time, so that callers and tests can fix it.
//
// All functions: any thread.
namespace NVDateUtilities {

// The platform's calendar unit values, kept so that stored values keep their meaning.
enum class CalendarUnit { Year = 4, Month = 8, Day = 16 };

// True when both dates fall on the same calendar day; false when `other` is invalid.
bool isOnSameDayAsDate(const QDateTime &date, const QDateTime &other);
// The same wall-clock time that many calendar days later (or earlier): one day
// after 12:00 before a daylight-saving change is 12:00 after it.
QDateTime dateByAddingDays(const QDateTime &date, qint64 days);
// The same day of the month that many months later; a day the month lacks
// becomes its last day (31 January + 1 month is 28 or 29 February).
QDateTime dateByAddingMonths(const QDateTime &date, qint64 months);
// The start of the date's day (00:00:00, or the first moment of a day that
// skips midnight), and 12:00:00 of that day.
QDateTime midnight(const QDateTime &date);
QDateTime noon(const QDateTime &date);

// The date written with a Unicode date pattern (see NVDateFormatter) in the
// default locale and the local time zone.
QString descriptionWithDateFormat(const QDateTime &date, const QString &pattern);
// "yyyy-MM-dd".
QString descriptionWithISODateFormat(const QDateTime &date);

// Seconds from the console user's login to `now`: the first login record of
// a user process on the graphical seat (line ":0", "seat0" or "console").
// 0.0 when there is none. Blocks briefly to read the login records.
double timeIntervalSinceLogin(const QDateTime &now = QDateTime::currentDateTimeUtc());
// The same, reading the login records from another file.
double timeIntervalSinceLogin(const QString &loginRecordsFile, const QDateTime &now);

// Parses the date strings of data files: "yyyy-MM-dd HH:mm:ss xx" (22
// characters or more: the whole pattern, the offset in the string decides)
// or a shorter string, read with as many characters of that pattern as it
// has, in the local time zone ("2024-05-01" is local midnight). The parsing
// formatter is prepared once per process (see NVISODateParser). Invalid when
// the string does not match.
QDateTime dateFromISODateString(const QString &string);

// The start of the date's day moved by `offset` units.
QDateTime _dateWithOffset(qint64 offset, CalendarUnit unit, const QDateTime &date);
QDateTime dateWithYears(qint64 years, const QDateTime &sinceMidnightOfDate);
QDateTime dateWithMonths(qint64 months, const QDateTime &sinceMidnightOfDate);
QDateTime dateWithDays(qint64 days, const QDateTime &sinceMidnightOfDate);
// The start of today moved by `days` days.
QDateTime dateWithDaysSinceToday(qint64 days, const QDateTime &now = QDateTime::currentDateTimeUtc());
QDateTime yesterday(const QDateTime &now = QDateTime::currentDateTimeUtc());
QDateTime today(const QDateTime &now = QDateTime::currentDateTimeUtc());
QDateTime tomorrow(const QDateTime &now = QDateTime::currentDateTimeUtc());

} // namespace NVDateUtilities

// The parser behind dateFromISODateString. Its formatter is prepared from the
// first string it is given and kept: a first string shorter than the full
// pattern fixes the pattern to that many characters, in local time, for every
// later short string; a first full string fixes the full pattern in GMT.
//
// A later string of the other form is not forced through the prepared
// pattern, which could never match it: it gets a second formatter, prepared
// once in the same way from the first string of its own form. So a full
// string always parses once a date-only string came first, and the other way
// round; but after "2024-05-01", the short pattern stays "yyyy-MM-dd" and
// "2024-05-01 10:00" does not match.
//
// Any thread (one lock per parser).
class NVISODateParser {
public:
    NVISODateParser();
    ~NVISODateParser();
    NVISODateParser(const NVISODateParser &) = delete;
    NVISODateParser &operator=(const NVISODateParser &) = delete;

    QDateTime parse(const QString &string);

    // The process-wide parser.
    static NVISODateParser &shared();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
