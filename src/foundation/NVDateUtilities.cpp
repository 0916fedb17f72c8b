#include "foundation/NVDateUtilities.h"

#include "foundation/NVDateFormatter.h"

#include <QFile>
#include <QLocale>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <optional>

#include <utmpx.h>

namespace NVDateUtilities {

namespace {

const QString fullISOPattern = QStringLiteral("yyyy-MM-dd HH:mm:ss xx");

QDateTime local(const QDateTime &date) { return date.toLocalTime(); }

QDateTime utc(const QDateTime &date) { return date.isValid() ? date.toUTC() : QDateTime(); }

int clampedToInt(qint64 value)
{
    return int(std::clamp<qint64>(value, INT_MIN, INT_MAX));
}

QDateTime startOfDay(QDate day)
{
    return utc(day.startOfDay(Qt::LocalTime));
}

// The login records of the C library are one process-wide cursor.
std::mutex loginRecordsMutex;

bool isConsoleLine(const char *line, size_t capacity)
{
    const size_t length = strnlen(line, capacity);
    const auto is = [&](const char *name) { return length == std::strlen(name) && std::memcmp(line, name, length) == 0; };
    return is(":0") || is("seat0") || is("console");
}

double intervalSinceLogin(const char *recordsFile, const QDateTime &now)
{
    std::lock_guard lock(loginRecordsMutex);
    if (recordsFile && utmpxname(recordsFile) != 0)
        return 0.0;
    std::optional<double> loginTime;
    setutxent();
    while (const utmpx *entry = getutxent()) {
        // A session that ended leaves its record behind as a dead process on
        // the same line; only a live login counts.
        if (entry->ut_type == USER_PROCESS && isConsoleLine(entry->ut_line, sizeof entry->ut_line)) {
            loginTime = double(entry->ut_tv.tv_sec) + double(entry->ut_tv.tv_usec) / 1000000.0;
            break;
        }
    }
    endutxent();
    if (recordsFile)
        utmpxname(_PATH_UTMPX);
    if (!loginTime)
        return 0.0;
    return double(now.toMSecsSinceEpoch()) / 1000.0 - *loginTime;
}

} // namespace

bool isOnSameDayAsDate(const QDateTime &date, const QDateTime &other)
{
    if (!date.isValid() || !other.isValid())
        return false;
    const QDate a = local(date).date();
    const QDate b = local(other).date();
    return a.day() == b.day() && a.month() == b.month() && a.year() == b.year();
}

QDateTime dateByAddingDays(const QDateTime &date, qint64 days)
{
    return utc(local(date).addDays(days));
}

QDateTime dateByAddingMonths(const QDateTime &date, qint64 months)
{
    return utc(local(date).addMonths(clampedToInt(months)));
}

QDateTime midnight(const QDateTime &date)
{
    if (!date.isValid())
        return QDateTime();
    return startOfDay(local(date).date());
}

QDateTime noon(const QDateTime &date)
{
    if (!date.isValid())
        return QDateTime();
    return utc(NVDateFormatter::makeDateTime(local(date).date(), QTime(12, 0), std::nullopt));
}

QString descriptionWithDateFormat(const QDateTime &date, const QString &pattern)
{
    return NVDateFormatter(pattern).stringFromDate(date);
}

QString descriptionWithISODateFormat(const QDateTime &date)
{
    return descriptionWithDateFormat(date, QStringLiteral("yyyy-MM-dd"));
}

double timeIntervalSinceLogin(const QDateTime &now)
{
    return intervalSinceLogin(nullptr, now);
}

double timeIntervalSinceLogin(const QString &loginRecordsFile, const QDateTime &now)
{
    return intervalSinceLogin(QFile::encodeName(loginRecordsFile).constData(), now);
}

QDateTime dateFromISODateString(const QString &string)
{
    return NVISODateParser::shared().parse(string);
}

QDateTime _dateWithOffset(qint64 offset, CalendarUnit unit, const QDateTime &date)
{
    if (!date.isValid())
        return QDateTime();
    QDate day = local(date).date();
    // Moving the day and then taking its start keeps the result at the start
    // of a day even when a daylight-saving change lies in between.
    switch (unit) {
    case CalendarUnit::Year: day = day.addYears(clampedToInt(offset)); break;
    case CalendarUnit::Month: day = day.addMonths(clampedToInt(offset)); break;
    case CalendarUnit::Day: day = day.addDays(offset); break;
    }
    return startOfDay(day);
}

QDateTime dateWithYears(qint64 years, const QDateTime &date) { return _dateWithOffset(years, CalendarUnit::Year, date); }
QDateTime dateWithMonths(qint64 months, const QDateTime &date) { return _dateWithOffset(months, CalendarUnit::Month, date); }
QDateTime dateWithDays(qint64 days, const QDateTime &date) { return _dateWithOffset(days, CalendarUnit::Day, date); }
QDateTime dateWithDaysSinceToday(qint64 days, const QDateTime &now) { return dateWithDays(days, now); }
QDateTime yesterday(const QDateTime &now) { return dateWithDaysSinceToday(-1, now); }
QDateTime today(const QDateTime &now) { return dateWithDaysSinceToday(0, now); }
QDateTime tomorrow(const QDateTime &now) { return dateWithDaysSinceToday(1, now); }

} // namespace NVDateUtilities

struct NVISODateParser::Private {
    std::mutex mutex;
    std::optional<NVDateFormatter> shortForm; // fewer characters than the full pattern, local time
    std::optional<NVDateFormatter> fullForm;  // the full pattern, GMT unless the string says otherwise
};

NVISODateParser::NVISODateParser() : d(std::make_unique<Private>()) {}
NVISODateParser::~NVISODateParser() = default;

QDateTime NVISODateParser::parse(const QString &string)
{
    using NVDateUtilities::fullISOPattern;
    // Nothing can be prepared from an empty string, and nothing matches it.
    if (string.isEmpty())
        return QDateTime();
    std::lock_guard lock(d->mutex);
    const bool full = string.size() >= fullISOPattern.size();
    std::optional<NVDateFormatter> &formatter = full ? d->fullForm : d->shortForm;
    if (!formatter) {
        // The C locale is the POSIX one: fixed English names, ASCII digits.
        formatter.emplace(full ? fullISOPattern : fullISOPattern.left(string.size()), QLocale::c());
        if (full)
            formatter->setTimeZone(QTimeZone::utc());
        else
            formatter->setTimeZone(std::nullopt);
    }
    return formatter->dateFromString(string);
}

NVISODateParser &NVISODateParser::shared()
{
    // Kept for the life of the process.
    static NVISODateParser *const parser = new NVISODateParser;
    return *parser;
}
