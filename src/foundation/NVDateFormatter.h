#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QTimeZone>

#include <optional>

// Formats and parses dates with Unicode (LDML) date patterns, the form data
// files use ("yyyy-MM-dd HH:mm:ss xx"), which Qt's own format strings do not
// understand (Qt has no "xx" and reads "a" differently).
//
// Pattern letters:
//   G era; y year ("yy" two digits); M, L month (1-2 digits, 3 short name,
//   4 full name, 5 narrow); d day of month; D day of year; E weekday (1-3
//   short, 4 full, 5 narrow); a AM/PM; h 1-12, H 0-23, k 1-24, K 0-11;
//   m minute; s second; S fraction of a second; z zone name; Z, x, X numeric
//   zone offsets ("Z"/"ZZ"/"ZZZ" +0200, "ZZZZ" GMT+02:00, "ZZZZZ" +02:00,
//   "x" +02, "xx" +0200, "xxx" +02:00, "X" forms write Z for zero).
//   Text between single quotes is literal; '' is one quote. Other letters
//   are kept as literal text; every other character is literal.
// Parsing reads the numeric fields, names of months, AM/PM and zone offsets;
// a pattern with any other field never matches. The whole string must match;
// fields out of range (month 13, 30 February, hour 24) do not match. Fields
// the pattern lacks default to 1970-01-01 00:00:00 in the formatter's zone.
//
// A value type; any thread, one thread per instance.
class NVDateFormatter {
public:
    // The local time zone follows the process's TZ setting at each use.
    NVDateFormatter(QString pattern = QString(), QLocale locale = QLocale());

    const QString &dateFormat() const { return m_pattern; }
    void setDateFormat(const QString &pattern) { m_pattern = pattern; }
    const QLocale &locale() const { return m_locale; }
    void setLocale(const QLocale &locale) { m_locale = locale; }
    // A fixed zone, or std::nullopt for the local time zone.
    const std::optional<QTimeZone> &timeZone() const { return m_timeZone; }
    void setTimeZone(std::optional<QTimeZone> timeZone) { m_timeZone = std::move(timeZone); }

    // An invalid date gives an empty string.
    QString stringFromDate(const QDateTime &date) const;
    // The date in UTC, or an invalid QDateTime when the string does not match.
    QDateTime dateFromString(QStringView string) const;

    // Date and time as wall-clock values in a zone (nullopt: local time). A
    // wall-clock time that the zone skips (the hour lost when daylight saving
    // time starts) moves forward by the length of the gap, as calendar
    // arithmetic does.
    static QDateTime makeDateTime(QDate date, QTime time, const std::optional<QTimeZone> &zone);

private:
    QString m_pattern;
    QLocale m_locale;
    std::optional<QTimeZone> m_timeZone;
};
