#include "foundation/NVValue.h"

#include "foundation/NVError.h"

#include <QDateTime>
#include <QTimeZone>
#include <QUrl>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace NVValue {

namespace {

int typeOf(const QVariant &value) { return value.metaType().id(); }

bool isSpace(QChar c)
{
    // The platform skips the Unicode white-space set, line breaks included.
    return c.isSpace();
}

template <typename Int>
Int clampedFromDouble(double d)
{
    // Converting an out-of-range double is undefined in C++; clamp first.
    if (std::isnan(d))
        return 0;
    if (d <= static_cast<double>(std::numeric_limits<Int>::min()))
        return std::numeric_limits<Int>::min();
    if (d >= static_cast<double>(std::numeric_limits<Int>::max()))
        return std::numeric_limits<Int>::max();
    return static_cast<Int>(d);
}

// Reads the platform's integer prefix; returns the clamped 64-bit value.
qint64 parseLeadingInteger(QStringView text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && isSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    // Accumulate the magnitude as unsigned so that INT64_MIN is reachable.
    const quint64 limit = negative ? quint64(std::numeric_limits<qint64>::max()) + 1 : quint64(std::numeric_limits<qint64>::max());
    quint64 magnitude = 0;
    bool saturated = false;
    for (; i < n && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        const quint64 digit = text[i].unicode() - u'0';
        if (saturated || magnitude > (limit - digit) / 10) {
            saturated = true;
            continue;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (saturated)
        magnitude = limit;
    if (negative)
        return magnitude == limit ? std::numeric_limits<qint64>::min() : -qint64(magnitude);
    return qint64(magnitude);
}

bool needsQuotes(const QString &s)
{
    // "//" and "/*" would start a comment when the text is read back.
    if (s.isEmpty() || s.contains(QLatin1String("//")) || s.contains(QLatin1String("/*")))
        return true;
    for (QChar c : s) {
        const char16_t u = c.unicode();
        const bool plain = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'_'
            || u == u'$' || u == u'+' || u == u'/' || u == u':' || u == u'.' || u == u'-';
        if (!plain)
            return true;
    }
    return false;
}

QString quoted(const QString &s)
{
    QString out;
    out.reserve(s.size() + 2);
    out += u'"';
    for (QChar c : s) {
        switch (c.unicode()) {
        case u'"': out += QLatin1String("\\\""); break;
        case u'\\': out += QLatin1String("\\\\"); break;
        case u'\n': out += QLatin1String("\\n"); break;
        case u'\t': out += QLatin1String("\\t"); break;
        case u'\r': out += QLatin1String("\\r"); break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                out += QStringLiteral("\\U%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    out += u'"';
    return out;
}

QString scalarText(const QVariant &value)
{
    if (isString(value))
        return value.toString();
    if (isBoolean(value))
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    switch (typeOf(value)) {
    case QMetaType::Int:
    case QMetaType::LongLong:
        return QString::number(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return QString::number(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    default:
        break;
    }
    if (isDate(value))
        return dateDescription(value.toDateTime());
    if (isURL(value))
        return value.toUrl().toString();
    if (value.metaType() == QMetaType::fromType<NVError>())
        return value.value<NVError>().description();
    if (!value.isValid())
        return QStringLiteral("(null)");
    return value.toString();
}

QString dataText(const QByteArray &data)
{
    QString out = QStringLiteral("<");
    const QByteArray hex = data.toHex();
    for (qsizetype i = 0; i < hex.size(); i += 8) {
        if (i > 0)
            out += u' ';
        out += QLatin1String(hex.mid(i, 8));
    }
    out += u'>';
    return out;
}

void writeText(QString &out, const QVariant &value, int level)
{
    const QString indent(4 * (level + 1), u' ');
    const QString closingIndent(4 * level, u' ');
    if (isArray(value)) {
        const QVariantList list = value.toList();
        if (list.isEmpty()) {
            out += QLatin1String("()");
            return;
        }
        out += QLatin1String("(\n");
        for (qsizetype i = 0; i < list.size(); ++i) {
            out += indent;
            writeText(out, list[i], level + 1);
            out += i + 1 < list.size() ? QLatin1String(",\n") : QLatin1String("\n");
        }
        out += closingIndent + u')';
    } else if (isDictionary(value)) {
        const QVariantMap map = value.toMap();
        if (map.isEmpty()) {
            out += QLatin1String("{}");
            return;
        }
        out += QLatin1String("{\n");
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            out += indent;
            out += needsQuotes(it.key()) ? quoted(it.key()) : it.key();
            out += QLatin1String(" = ");
            writeText(out, it.value(), level + 1);
            out += QLatin1String(";\n");
        }
        out += closingIndent + u'}';
    } else if (isData(value)) {
        out += dataText(value.toByteArray());
    } else {
        const QString text = scalarText(value);
        out += needsQuotes(text) ? quoted(text) : text;
    }
}

} // namespace

bool isString(const QVariant &value) { return typeOf(value) == QMetaType::QString; }

bool isBoolean(const QVariant &value) { return typeOf(value) == QMetaType::Bool; }

bool isNumber(const QVariant &value)
{
    switch (typeOf(value)) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

bool isDate(const QVariant &value) { return typeOf(value) == QMetaType::QDateTime; }
bool isData(const QVariant &value) { return typeOf(value) == QMetaType::QByteArray; }
bool isArray(const QVariant &value) { return typeOf(value) == QMetaType::QVariantList; }
bool isDictionary(const QVariant &value) { return typeOf(value) == QMetaType::QVariantMap; }
bool isURL(const QVariant &value) { return typeOf(value) == QMetaType::QUrl; }

QString className(const QVariant &value)
{
    if (!value.isValid())
        return QStringLiteral("NSNull");
    if (isString(value))
        return QStringLiteral("NSString");
    if (isNumber(value))
        return QStringLiteral("NSNumber");
    if (isDate(value))
        return QStringLiteral("NSDate");
    if (isData(value))
        return QStringLiteral("NSData");
    if (isArray(value))
        return QStringLiteral("NSArray");
    if (isDictionary(value))
        return QStringLiteral("NSDictionary");
    if (isURL(value))
        return QStringLiteral("NSURL");
    if (value.metaType() == QMetaType::fromType<NVError>())
        return QStringLiteral("NSError");
    return QString::fromLatin1(value.typeName());
}

qint64 integerValue(QStringView text) { return parseLeadingInteger(text); }

qint32 intValue(QStringView text)
{
    const qint64 v = parseLeadingInteger(text);
    if (v > std::numeric_limits<qint32>::max())
        return std::numeric_limits<qint32>::max();
    if (v < std::numeric_limits<qint32>::min())
        return std::numeric_limits<qint32>::min();
    return qint32(v);
}

bool boolValue(QStringView text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && isSpace(text[i]))
        ++i;
    if (i < n && (text[i] == u'+' || text[i] == u'-'))
        ++i;
    while (i < n && text[i] == u'0')
        ++i;
    if (i >= n)
        return false;
    const char16_t c = text[i].unicode();
    return c == u'Y' || c == u'y' || c == u'T' || c == u't' || (c >= u'1' && c <= u'9');
}

double doubleValue(QStringView text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && isSpace(text[i]))
        ++i;
    // Copy only the characters a decimal number may hold, so that strtod
    // never sees hexadecimal, "inf" or "nan" forms the platform does not read.
    QByteArray number;
    qsizetype j = i;
    if (j < n && (text[j] == u'+' || text[j] == u'-'))
        number += char(text[j++].unicode());
    bool digits = false;
    while (j < n && text[j].isDigit() && text[j].unicode() < 128) {
        number += char(text[j++].unicode());
        digits = true;
    }
    if (j < n && text[j] == u'.') {
        number += '.';
        ++j;
        while (j < n && text[j].unicode() >= u'0' && text[j].unicode() <= u'9') {
            number += char(text[j++].unicode());
            digits = true;
        }
    }
    if (!digits)
        return 0.0;
    if (j < n && (text[j] == u'e' || text[j] == u'E')) {
        qsizetype k = j + 1;
        QByteArray exponent = "e";
        if (k < n && (text[k] == u'+' || text[k] == u'-'))
            exponent += char(text[k++].unicode());
        bool exponentDigits = false;
        while (k < n && text[k].unicode() >= u'0' && text[k].unicode() <= u'9') {
            exponent += char(text[k++].unicode());
            exponentDigits = true;
        }
        if (exponentDigits)
            number += exponent;
    }
    return std::strtod(number.constData(), nullptr);
}

qint64 integerValue(const QVariant &value)
{
    if (isString(value))
        return integerValue(QStringView(value.toString()));
    switch (typeOf(value)) {
    case QMetaType::Bool: return value.toBool() ? 1 : 0;
    case QMetaType::Int:
    case QMetaType::LongLong: return value.toLongLong();
    case QMetaType::UInt:
    case QMetaType::ULongLong: return qint64(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float: return clampedFromDouble<qint64>(value.toDouble());
    default: return 0;
    }
}

qint32 intValue(const QVariant &value)
{
    if (isString(value))
        return intValue(QStringView(value.toString()));
    if (typeOf(value) == QMetaType::Double || typeOf(value) == QMetaType::Float)
        return qint32(clampedFromDouble<qint64>(value.toDouble()));
    return qint32(quint32(quint64(integerValue(value))));
}

quint32 unsignedIntValue(const QVariant &value) { return quint32(quint64(integerValue(value))); }

quint64 unsignedIntegerValue(const QVariant &value)
{
    if (typeOf(value) == QMetaType::Double || typeOf(value) == QMetaType::Float) {
        const double d = value.toDouble();
        if (d < 0)
            return quint64(clampedFromDouble<qint64>(d));
        return clampedFromDouble<quint64>(d);
    }
    return quint64(integerValue(value));
}

bool boolValue(const QVariant &value)
{
    if (isString(value))
        return boolValue(QStringView(value.toString()));
    switch (typeOf(value)) {
    case QMetaType::Bool: return value.toBool();
    case QMetaType::Double:
    case QMetaType::Float: return value.toDouble() != 0.0;
    default: return isNumber(value) && value.toULongLong() != 0;
    }
}

double doubleValue(const QVariant &value)
{
    if (isString(value))
        return doubleValue(QStringView(value.toString()));
    switch (typeOf(value)) {
    case QMetaType::Bool: return value.toBool() ? 1.0 : 0.0;
    case QMetaType::Int:
    case QMetaType::LongLong: return double(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULongLong: return double(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float: return value.toDouble();
    default: return 0.0;
    }
}

QString dateDescription(const QDateTime &date)
{
    return date.toTimeZone(QTimeZone::utc()).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" +0000");
}

QString description(const QVariant &value)
{
    if (isArray(value) || isDictionary(value) || isData(value))
        return textForm(value);
    return scalarText(value);
}

QString textForm(const QVariant &value)
{
    QString out;
    writeText(out, value, 0);
    return out;
}

} // namespace NVValue
