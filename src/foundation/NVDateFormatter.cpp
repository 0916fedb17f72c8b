#include "foundation/NVDateFormatter.h"

#include <QList>

#include <cstdlib>

namespace {

struct Token {
    QChar letter;  // null for literal text
    int count = 0;
    QString text;  // the literal text
};

bool isPatternLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isKnownField(QChar c)
{
    return QStringView(u"GyMLdDEahHkKmsSzZxX").contains(c);
}

QList<Token> tokenize(const QString &pattern)
{
    QList<Token> tokens;
    auto appendLiteral = [&tokens](QStringView text) {
        if (text.isEmpty())
            return;
        if (!tokens.isEmpty() && tokens.last().letter.isNull())
            tokens.last().text += text;
        else
            tokens.append(Token{QChar(), 0, text.toString()});
    };
    const qsizetype n = pattern.size();
    for (qsizetype i = 0; i < n;) {
        const QChar c = pattern[i];
        if (c == u'\'') {
            if (i + 1 < n && pattern[i + 1] == u'\'') {
                appendLiteral(u"'");
                i += 2;
                continue;
            }
            // Quoted text runs to the next lone quote; '' inside it is a quote.
            QString text;
            qsizetype j = i + 1;
            while (j < n) {
                if (pattern[j] == u'\'') {
                    if (j + 1 < n && pattern[j + 1] == u'\'') {
                        text += u'\'';
                        j += 2;
                        continue;
                    }
                    break;
                }
                text += pattern[j++];
            }
            appendLiteral(text);
            i = j + 1;
            continue;
        }
        if (isPatternLetter(c) && isKnownField(c)) {
            qsizetype j = i;
            while (j < n && pattern[j] == c)
                ++j;
            tokens.append(Token{c, int(j - i), QString()});
            i = j;
            continue;
        }
        appendLiteral(QStringView(pattern).mid(i, 1));
        ++i;
    }
    return tokens;
}

QString padded(qint64 value, int width)
{
    const QString digits = QString::number(std::abs(value));
    const QString body = digits.size() < width ? QString(width - digits.size(), u'0') + digits : digits;
    return value < 0 ? u'-' + body : body;
}

// Offsets in the forms of the Z, x and X fields.
QString offsetText(int offsetSeconds, QChar letter, int count)
{
    if (offsetSeconds == 0 && letter == u'X')
        return QStringLiteral("Z");
    const QChar sign = offsetSeconds < 0 ? u'-' : u'+';
    const int total = std::abs(offsetSeconds);
    const int hours = total / 3600;
    const int minutes = (total / 60) % 60;
    const int seconds = total % 60;
    const QString hh = padded(hours, 2);
    const QString mm = padded(minutes, 2);
    if (letter == u'Z') {
        if (count <= 3)
            return sign + hh + mm;
        if (count == 4)
            return offsetSeconds == 0 ? QStringLiteral("GMT") : QStringLiteral("GMT") + sign + hh + u':' + mm;
        if (offsetSeconds == 0)
            return QStringLiteral("Z");
        return sign + hh + u':' + mm;
    }
    switch (count) {
    case 1:
        return minutes ? sign + hh + mm : sign + hh;
    case 2:
        return sign + hh + mm;
    case 3:
        return sign + hh + u':' + mm;
    case 4:
        return sign + hh + mm + (seconds ? padded(seconds, 2) : QString());
    default:
        return sign + hh + u':' + mm + (seconds ? u':' + padded(seconds, 2) : QString());
    }
}

QLocale::FormatType nameFormat(int count)
{
    if (count == 4)
        return QLocale::LongFormat;
    if (count >= 5)
        return QLocale::NarrowFormat;
    return QLocale::ShortFormat;
}

// ---- Parsing -------------------------------------------------------------

struct Fields {
    qint64 year = 1970;
    bool twoDigitYear = false;
    int month = 1;
    int day = 1;
    int hour = 0;
    bool twelveHour = false;
    int pm = -1;  // -1 not given, 0 AM, 1 PM
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    std::optional<int> offset;
};

bool isNumericField(const Token &token)
{
    if (token.letter.isNull())
        return false;
    const char16_t c = token.letter.unicode();
    if (c == u'M' || c == u'L')
        return token.count <= 2;
    return QStringView(u"ydDhHkKmsS").contains(token.letter);
}

// Reads digits at `pos`: exactly `exact` of them when the next field follows
// without a separator, else as many as there are (at least one, at most nine
// so that the value cannot overflow).
bool readNumber(QStringView s, qsizetype &pos, int exact, qint64 &value, int *digitCount = nullptr)
{
    const int limit = exact > 0 ? exact : 9;
    qsizetype i = pos;
    value = 0;
    while (i < s.size() && i - pos < limit && s[i] >= u'0' && s[i] <= u'9')
        value = value * 10 + (s[i++].unicode() - u'0');
    const int digits = int(i - pos);
    if (digits == 0 || (exact > 0 && digits != exact))
        return false;
    if (digitCount)
        *digitCount = digits;
    pos = i;
    return true;
}

bool readOffset(QStringView s, qsizetype &pos, QChar letter, int count, std::optional<int> &offset)
{
    if (pos < s.size() && s[pos] == u'Z' && (letter == u'X' || letter == u'Z')) {
        ++pos;
        offset = 0;
        return true;
    }
    qsizetype i = pos;
    if (letter == u'Z' && count == 4) {
        if (!s.mid(i).startsWith(u"GMT"))
            return false;
        i += 3;
        if (i >= s.size() || (s[i] != u'+' && s[i] != u'-')) {
            pos = i;
            offset = 0;
            return true;
        }
    }
    if (i >= s.size() || (s[i] != u'+' && s[i] != u'-'))
        return false;
    const int sign = s[i] == u'-' ? -1 : 1;
    ++i;
    qint64 hours = 0, minutes = 0;
    if (!readNumber(s, i, 2, hours))
        return false;
    // Minutes are optional for the one-letter forms and may follow a colon.
    qsizetype j = i;
    if (j < s.size() && s[j] == u':')
        ++j;
    if (!readNumber(s, j, 2, minutes)) {
        minutes = 0;
        j = i;
        if (!(count == 1 && letter != u'Z'))
            return false;
    }
    if (hours > 23 || minutes > 59)
        return false;
    pos = j;
    offset = sign * int(hours * 3600 + minutes * 60);
    return true;
}

// Matches one of the names at `pos`, longest first, ignoring case.
int readName(QStringView s, qsizetype &pos, const QStringList &names)
{
    int best = -1;
    qsizetype bestLength = 0;
    for (int i = 0; i < names.size(); ++i) {
        const QString &name = names[i];
        if (name.size() > bestLength && s.mid(pos).startsWith(name, Qt::CaseInsensitive)) {
            best = i;
            bestLength = name.size();
        }
    }
    if (best >= 0)
        pos += bestLength;
    return best;
}

} // namespace

NVDateFormatter::NVDateFormatter(QString pattern, QLocale locale)
    : m_pattern(std::move(pattern)), m_locale(std::move(locale))
{
}

QDateTime NVDateFormatter::makeDateTime(QDate date, QTime time, const std::optional<QTimeZone> &zone)
{
    const auto make = [&zone](QDate d, QTime t) {
        return zone ? QDateTime(d, t, *zone) : QDateTime(d, t, Qt::LocalTime);
    };
    QDateTime result = make(date, time);
    if (result.isValid() || !date.isValid() || !time.isValid())
        return result;
    // The time falls into a gap of the zone. Qt's day arithmetic moves such a
    // time forward by the gap's length; the same wall-clock time a day
    // earlier exists, so let that arithmetic do the work.
    result = make(date.addDays(-1), time).addDays(1);
    if (result.isValid())
        return result;
    return zone ? date.startOfDay(*zone) : date.startOfDay(Qt::LocalTime);
}

QString NVDateFormatter::stringFromDate(const QDateTime &date) const
{
    if (!date.isValid())
        return QString();
    const QDateTime dt = m_timeZone ? date.toTimeZone(*m_timeZone) : date.toLocalTime();
    const QDate d = dt.date();
    const QTime t = dt.time();
    QString out;
    for (const Token &token : tokenize(m_pattern)) {
        if (token.letter.isNull()) {
            out += token.text;
            continue;
        }
        const int n = token.count;
        switch (token.letter.unicode()) {
        case u'G':
            out += n == 4 ? (d.year() > 0 ? QStringLiteral("Anno Domini") : QStringLiteral("Before Christ"))
                 : n == 5 ? (d.year() > 0 ? QStringLiteral("A") : QStringLiteral("B"))
                          : (d.year() > 0 ? QStringLiteral("AD") : QStringLiteral("BC"));
            break;
        case u'y':
            out += n == 2 ? padded(std::abs(d.year()) % 100, 2) : padded(d.year(), n);
            break;
        case u'M':
        case u'L':
            if (n <= 2)
                out += padded(d.month(), n);
            else if (token.letter == u'M')
                out += m_locale.monthName(d.month(), nameFormat(n));
            else
                out += m_locale.standaloneMonthName(d.month(), nameFormat(n));
            break;
        case u'd':
            out += padded(d.day(), n);
            break;
        case u'D':
            out += padded(d.dayOfYear(), n);
            break;
        case u'E':
            out += m_locale.dayName(d.dayOfWeek(), nameFormat(n));
            break;
        case u'a':
            out += t.hour() < 12 ? m_locale.amText() : m_locale.pmText();
            break;
        case u'h':
            out += padded(t.hour() % 12 == 0 ? 12 : t.hour() % 12, n);
            break;
        case u'H':
            out += padded(t.hour(), n);
            break;
        case u'k':
            out += padded(t.hour() == 0 ? 24 : t.hour(), n);
            break;
        case u'K':
            out += padded(t.hour() % 12, n);
            break;
        case u'm':
            out += padded(t.minute(), n);
            break;
        case u's':
            out += padded(t.second(), n);
            break;
        case u'S': {
            // Milliseconds as the leading digits of the fraction.
            QString fraction = padded(t.msec(), 3);
            out += n <= 3 ? fraction.left(n) : fraction + QString(n - 3, u'0');
            break;
        }
        case u'z':
            if (n >= 4) {
                const QTimeZone zone = m_timeZone ? *m_timeZone : QTimeZone::systemTimeZone();
                out += zone.displayName(dt, QTimeZone::LongName, m_locale);
            } else {
                out += dt.timeZoneAbbreviation();
            }
            break;
        case u'Z':
        case u'x':
        case u'X':
            out += offsetText(dt.offsetFromUtc(), token.letter, n);
            break;
        }
    }
    return out;
}

QDateTime NVDateFormatter::dateFromString(QStringView s) const
{
    const QList<Token> tokens = tokenize(m_pattern);
    Fields f;
    qsizetype pos = 0;
    for (qsizetype k = 0; k < tokens.size(); ++k) {
        const Token &token = tokens[k];
        if (token.letter.isNull()) {
            if (!s.mid(pos).startsWith(token.text))
                return QDateTime();
            pos += token.text.size();
            continue;
        }
        const bool abutting = isNumericField(token) && k + 1 < tokens.size() && isNumericField(tokens[k + 1]);
        const int exact = abutting ? token.count : 0;
        qint64 value = 0;
        switch (token.letter.unicode()) {
        case u'y': {
            int digits = 0;
            if (!readNumber(s, pos, exact, value, &digits))
                return QDateTime();
            f.year = value;
            f.twoDigitYear = token.count == 2 && digits == 2;
            break;
        }
        case u'M':
        case u'L':
            if (token.count <= 2) {
                if (!readNumber(s, pos, exact, value))
                    return QDateTime();
                f.month = int(value);
            } else {
                QStringList names;
                for (int m = 1; m <= 12; ++m)
                    names << (token.letter == u'M' ? m_locale.monthName(m, nameFormat(token.count))
                                                   : m_locale.standaloneMonthName(m, nameFormat(token.count)));
                const int index = readName(s, pos, names);
                if (index < 0)
                    return QDateTime();
                f.month = index + 1;
            }
            break;
        case u'd':
            if (!readNumber(s, pos, exact, value))
                return QDateTime();
            f.day = int(value);
            break;
        case u'H':
        case u'k':
        case u'h':
        case u'K':
            if (!readNumber(s, pos, exact, value))
                return QDateTime();
            if (token.letter == u'k') {
                if (value < 1 || value > 24)
                    return QDateTime();
                value %= 24;
            } else if (token.letter == u'h') {
                if (value < 1 || value > 12)
                    return QDateTime();
                value %= 12;
                f.twelveHour = true;
            } else if (token.letter == u'K') {
                if (value > 11)
                    return QDateTime();
                f.twelveHour = true;
            }
            f.hour = int(value);
            break;
        case u'm':
            if (!readNumber(s, pos, exact, value))
                return QDateTime();
            f.minute = int(value);
            break;
        case u's':
            if (!readNumber(s, pos, exact, value))
                return QDateTime();
            f.second = int(value);
            break;
        case u'S': {
            int digits = 0;
            if (!readNumber(s, pos, exact, value, &digits))
                return QDateTime();
            while (digits > 3) {
                value /= 10;
                --digits;
            }
            while (digits < 3) {
                value *= 10;
                ++digits;
            }
            f.millisecond = int(value);
            break;
        }
        case u'a': {
            const int index = readName(s, pos, {m_locale.amText(), m_locale.pmText()});
            if (index < 0)
                return QDateTime();
            f.pm = index;
            break;
        }
        case u'Z':
        case u'x':
        case u'X':
            if (!readOffset(s, pos, token.letter, token.count, f.offset))
                return QDateTime();
            break;
        default:
            // Names of days, eras and zones are written but not read.
            return QDateTime();
        }
    }
    if (pos != s.size())
        return QDateTime();

    if (f.twoDigitYear) {
        // Two-digit years fall into the hundred years that begin 80 years ago.
        const int start = QDate::currentDate().year() - 80;
        qint64 year = start - start % 100 + f.year;
        if (year < start)
            year += 100;
        f.year = year;
    }
    if (f.twelveHour && f.pm == 1)
        f.hour += 12;
    if (f.year < 1 || f.year > 9999 || f.month < 1 || f.month > 12)
        return QDateTime();
    const QDate date(int(f.year), f.month, 1);
    if (f.day < 1 || f.day > date.daysInMonth())
        return QDateTime();
    if (f.hour > 23 || f.minute > 59 || f.second > 59)
        return QDateTime();
    const QDate day(int(f.year), f.month, f.day);
    const QTime time(f.hour, f.minute, f.second, f.millisecond);
    const QDateTime result = f.offset ? QDateTime(day, time, QTimeZone(*f.offset))
                                      : makeDateTime(day, time, m_timeZone);
    return result.isValid() ? result.toUTC() : QDateTime();
}
