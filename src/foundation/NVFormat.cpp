#include "foundation/NVFormat.h"

#include <QLoggingCategory>

#include <cstdio>
#include <limits>

Q_LOGGING_CATEGORY(lcFormat, "nv.format")

namespace NVFormat {

namespace {

// Widths and precisions beyond this are refused: a hostile string table must
// not make one log line allocate gigabytes.
constexpr int MaxFieldWidth = 4096;

enum class Length { None, Char, Short, Long, LongLong, Size, IntMax, PtrDiff, LongDouble };

struct Conversion {
    QString flags;
    int width = -1;
    int precision = -1;
    Length length = Length::None;
    char16_t letter = 0;
    int position = 0; // 1-based when given as %N$
};

// Parses one conversion starting after '%'. Returns the index after it, or -1
// when the text is not a complete conversion.
qsizetype parseSpec(QStringView f, qsizetype i, Conversion &conversion, QString &problem)
{
    const qsizetype n = f.size();
    // Most log lines hold nothing but plain "%@"; they are formatted even
    // when nothing is written, so that case skips the general parse.
    if (i < n && f[i] == u'@') {
        conversion.letter = u'@';
        return i + 1;
    }
    auto readNumber = [&](qsizetype &k) {
        qint64 v = 0;
        while (k < n && f[k] >= u'0' && f[k] <= u'9') {
            v = qMin<qint64>(v * 10 + (f[k].unicode() - u'0'), std::numeric_limits<int>::max());
            ++k;
        }
        return int(v);
    };

    // Positional form: digits followed by '$'.
    qsizetype k = i;
    if (k < n && f[k] >= u'1' && f[k] <= u'9') {
        qsizetype m = k;
        const int number = readNumber(m);
        if (m < n && f[m] == u'$') {
            conversion.position = number;
            k = m + 1;
        }
    }
    while (k < n && QStringView(u"-+ #0'").contains(f[k]))
        conversion.flags += f[k++];
    if (k < n && f[k] == u'*') {
        problem = QStringLiteral("'*' widths are not supported");
        return -1;
    }
    if (k < n && f[k] >= u'1' && f[k] <= u'9')
        conversion.width = readNumber(k);
    if (k < n && f[k] == u'.') {
        ++k;
        if (k < n && f[k] == u'*') {
            problem = QStringLiteral("'*' precisions are not supported");
            return -1;
        }
        conversion.precision = readNumber(k);
    }
    if (conversion.width > MaxFieldWidth || conversion.precision > MaxFieldWidth) {
        problem = QStringLiteral("field width or precision above %1").arg(MaxFieldWidth);
        return -1;
    }
    if (k < n) {
        if (f[k] == u'h') {
            conversion.length = Length::Short;
            if (++k < n && f[k] == u'h') {
                conversion.length = Length::Char;
                ++k;
            }
        } else if (f[k] == u'l') {
            conversion.length = Length::Long;
            if (++k < n && f[k] == u'l') {
                conversion.length = Length::LongLong;
                ++k;
            }
        } else if (f[k] == u'q') {
            conversion.length = Length::LongLong;
            ++k;
        } else if (f[k] == u'z') {
            conversion.length = Length::Size;
            ++k;
        } else if (f[k] == u'j') {
            conversion.length = Length::IntMax;
            ++k;
        } else if (f[k] == u't') {
            conversion.length = Length::PtrDiff;
            ++k;
        } else if (f[k] == u'L') {
            conversion.length = Length::LongDouble;
            ++k;
        }
    }
    if (k >= n) {
        problem = QStringLiteral("incomplete conversion at the end");
        return -1;
    }
    conversion.letter = f[k].unicode();
    if (!QStringView(u"@diuoxXcCsSfFeEgGaA%p").contains(f[k])) {
        problem = QStringLiteral("unknown conversion '%%%1'").arg(f[k]);
        return -1;
    }
    return k + 1;
}

char typeClass(char16_t conversion)
{
    switch (conversion) {
    case u'@': return '@';
    case u'd':
    case u'i': return 'd';
    case u'u':
    case u'o':
    case u'x':
    case u'X':
    case u'p': return 'u';
    case u'f':
    case u'F':
    case u'e':
    case u'E':
    case u'g':
    case u'G':
    case u'a':
    case u'A': return 'f';
    case u's':
    case u'S': return 's';
    case u'c':
    case u'C': return 'c';
    default: return 0;
    }
}

QString pad(const QString &text, const Conversion &conversion)
{
    if (conversion.width <= text.size())
        return text;
    const QString fill(conversion.width - text.size(), u' ');
    return conversion.flags.contains(u'-') ? text + fill : fill + text;
}

QString cFormat(const Conversion &conversion, const char *lengthAndConversion, auto value)
{
    QByteArray f = "%";
    for (QChar c : conversion.flags)
        if (c != u'\'')
            f += char(c.unicode());
    if (conversion.width >= 0)
        f += QByteArray::number(conversion.width);
    if (conversion.precision >= 0)
        f += '.' + QByteArray::number(conversion.precision);
    f += lengthAndConversion;
    // Widths are capped above, so a fixed buffer with a retry covers every case.
    char buffer[512];
    int size = std::snprintf(buffer, sizeof buffer, f.constData(), value);
    if (size < 0)
        return QString();
    if (size < int(sizeof buffer))
        return QString::fromLatin1(buffer, size);
    QByteArray big(size + 1, '\0');
    std::snprintf(big.data(), big.size(), f.constData(), value);
    return QString::fromLatin1(big.constData(), size);
}

// Narrows an integer the way a C vararg of the specifier's width would read it.
qint64 signedForLength(quint64 bits, Length length)
{
    switch (length) {
    case Length::Char: return qint8(quint8(bits));
    case Length::Short: return qint16(quint16(bits));
    case Length::None: return qint32(quint32(bits));
    default: return qint64(bits);
    }
}

quint64 unsignedForLength(quint64 bits, Length length)
{
    switch (length) {
    case Length::Char: return quint8(bits);
    case Length::Short: return quint16(bits);
    case Length::None: return quint32(bits);
    default: return bits;
    }
}

quint64 integerBits(const QVariant &v)
{
    if (v.metaType().id() == QMetaType::UInt || v.metaType().id() == QMetaType::ULongLong)
        return v.toULongLong();
    return quint64(NVValue::integerValue(v));
}

QString formatOne(const Conversion &conversion, const QVariant &arg, QString &problem)
{
    const char cls = typeClass(conversion.letter);
    const bool missing = !arg.isValid();
    const bool number = NVValue::isNumber(arg);
    const bool text = NVValue::isString(arg);

    if (cls == '@') {
        QString out = text ? *static_cast<const QString *>(arg.constData()) : NVValue::description(arg);
        if (conversion.precision >= 0)
            out.truncate(conversion.precision);
        return pad(out, conversion);
    }
    if (missing) {
        problem = QStringLiteral("no argument for '%%%1'").arg(QChar(conversion.letter));
        return pad(QStringLiteral("(null)"), conversion);
    }
    if (cls == 's') {
        if (!text && !NVValue::isData(arg) && !NVValue::isURL(arg))
            problem = QStringLiteral("'%%%1' given %2").arg(QChar(conversion.letter)).arg(NVValue::className(arg));
        QString out = NVValue::isData(arg) ? QString::fromUtf8(arg.toByteArray()) : NVValue::description(arg);
        if (conversion.precision >= 0)
            out.truncate(conversion.precision);
        return pad(out, conversion);
    }
    if (!number) {
        problem = QStringLiteral("'%%%1' given %2").arg(QChar(conversion.letter)).arg(NVValue::className(arg));
        return pad(NVValue::description(arg), conversion);
    }
    switch (cls) {
    case 'd':
        return cFormat(conversion, "lld", (long long)signedForLength(integerBits(arg), conversion.length));
    case 'u': {
        const quint64 v = unsignedForLength(integerBits(arg), conversion.letter == u'p' ? Length::Long : conversion.length);
        if (conversion.letter == u'p')
            return pad(QStringLiteral("0x") + QString::number(v, 16), conversion);
        const char *conv = conversion.letter == u'o' ? "llo" : conversion.letter == u'x' ? "llx" : conversion.letter == u'X' ? "llX" : "llu";
        return cFormat(conversion, conv, (unsigned long long)v);
    }
    case 'f': {
        const char conv[2] = {char(conversion.letter), 0};
        return cFormat(conversion, conv, NVValue::doubleValue(arg));
    }
    case 'c': {
        const char32_t code = char32_t(quint32(integerBits(arg)));
        QString out = code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) || code == 0 ? QString(QChar::ReplacementCharacter)
                                                                           : QString::fromUcs4(&code, 1);
        return pad(out, conversion);
    }
    default:
        return QString();
    }
}

} // namespace

Result formatChecked(QStringView f, const QVariantList &arguments)
{
    Result result;
    result.text.reserve(f.size() + 16 * arguments.size());
    qsizetype sequential = 0;
    const qsizetype n = f.size();
    qsizetype i = 0;
    while (i < n) {
        const qsizetype percent = f.indexOf(u'%', i);
        if (percent < 0) {
            result.text += f.mid(i);
            break;
        }
        result.text += f.mid(i, percent - i);
        Conversion conversion;
        QString problem;
        const qsizetype next = parseSpec(f, percent + 1, conversion, problem);
        if (next < 0) {
            // An unusable conversion is printed as written, never interpreted.
            result.problems << problem;
            result.text += u'%';
            i = percent + 1;
            continue;
        }
        i = next;
        if (conversion.letter == u'%') {
            result.text += u'%';
            continue;
        }
        const qsizetype index = conversion.position > 0 ? conversion.position - 1 : sequential++;
        const QVariant arg = index < arguments.size() ? arguments.at(index) : QVariant();
        if (index >= arguments.size() && typeClass(conversion.letter) == '@')
            problem = QStringLiteral("no argument for '%@'");
        result.text += formatOne(conversion, arg, problem);
        if (!problem.isEmpty())
            result.problems << QStringLiteral("argument %1: %2").arg(index + 1).arg(problem);
    }
    return result;
}

QString format(QStringView f, const QVariantList &arguments)
{
    Result result = formatChecked(f, arguments);
    for (const QString &problem : std::as_const(result.problems))
        qCWarning(lcFormat).noquote() << "format" << f.toString() << ":" << problem;
    return result.text;
}

QString specifierSignature(QStringView f)
{
    // Positional specifiers are listed in argument order, so a translation
    // that reorders "%1$@ %2$@" still matches its key.
    QMap<int, QChar> positional;
    QString sequential;
    const qsizetype n = f.size();
    for (qsizetype i = 0; i < n;) {
        const qsizetype percent = f.indexOf(u'%', i);
        if (percent < 0)
            break;
        Conversion conversion;
        QString problem;
        const qsizetype next = parseSpec(f, percent + 1, conversion, problem);
        if (next < 0) {
            sequential += u'?';
            i = percent + 1;
            continue;
        }
        i = next;
        if (conversion.letter == u'%')
            continue;
        const QChar cls = QChar(char16_t(typeClass(conversion.letter)));
        if (conversion.position > 0)
            positional.insert(conversion.position, cls);
        else
            sequential += cls;
    }
    if (positional.isEmpty())
        return sequential;
    QString ordered;
    for (QChar c : std::as_const(positional))
        ordered += c;
    return ordered + sequential;
}

} // namespace NVFormat
