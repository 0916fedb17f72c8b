// The XML encoding: one streaming pass over QXmlStreamReader that builds the
// QVariants as the elements close, with an explicit stack instead of
// recursion so that nesting costs heap, not C++ stack.

#include "foundation/NVPropertyList.h"

#include "foundation/NVPropertyListPrivate.h"
#include "foundation/NVValue.h"

#include <QTimeZone>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <vector>

namespace NVPropertyList {

namespace {

using namespace detail;

// ---- Scalars ----------------------------------------------------------------

bool isAsciiDigit(QChar c) { return c.unicode() >= u'0' && c.unicode() <= u'9'; }

// Decimal, or hexadecimal after "0x"; an optional sign. Values that fit
// qint64 become qint64, larger positive ones quint64.
std::optional<QVariant> parseInteger(QStringView raw, QString &reason)
{
    const QStringView text = raw.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    int base = 10;
    if (text.mid(i).startsWith(u"0x", Qt::CaseInsensitive)) {
        base = 16;
        i += 2;
    }
    if (i == text.size()) {
        reason = QStringLiteral("integer %1 is not a number").arg(excerpt(raw));
        return std::nullopt;
    }
    quint64 magnitude = 0;
    for (; i < text.size(); ++i) {
        const int digit = hexDigitValue(text[i]);
        if (digit < 0 || digit >= base) {
            reason = QStringLiteral("integer %1 is not a number").arg(excerpt(raw));
            return std::nullopt;
        }
        if (magnitude > (std::numeric_limits<quint64>::max() - quint64(digit)) / quint64(base)) {
            reason = QStringLiteral("integer %1 does not fit in 64 bits").arg(excerpt(raw));
            return std::nullopt;
        }
        magnitude = magnitude * quint64(base) + quint64(digit);
    }
    constexpr quint64 signedMax = quint64(std::numeric_limits<qint64>::max());
    if (negative) {
        if (magnitude > signedMax + 1) {
            reason = QStringLiteral("integer %1 does not fit in 64 bits").arg(excerpt(raw));
            return std::nullopt;
        }
        return QVariant(magnitude == signedMax + 1 ? std::numeric_limits<qint64>::min() : -qint64(magnitude));
    }
    if (magnitude <= signedMax)
        return QVariant(qint64(magnitude));
    return QVariant(magnitude);
}

// Decimal reals and the forms "nan", "inf", "infinity" with either sign, in
// any case. std::from_chars reads them without regard to the C locale.
std::optional<double> parseReal(QStringView raw, QString &reason)
{
    QStringView text = raw.trimmed();
    if (text.startsWith(u'+') && text.size() > 1 && text[1] != u'-' && text[1] != u'+')
        text = text.mid(1);
    char buffer[64];
    if (text.isEmpty() || text.size() >= qsizetype(sizeof buffer)) {
        reason = QStringLiteral("real %1 is not a number").arg(excerpt(raw));
        return std::nullopt;
    }
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].unicode() > 0x7f) {
            reason = QStringLiteral("real %1 is not a number").arg(excerpt(raw));
            return std::nullopt;
        }
        buffer[i] = char(text[i].unicode());
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(buffer, buffer + text.size(), value);
    if (ec == std::errc::result_out_of_range) {
        reason = QStringLiteral("real %1 is out of range").arg(excerpt(raw));
        return std::nullopt;
    }
    if (ec != std::errc() || end != buffer + text.size()) {
        reason = QStringLiteral("real %1 is not a number").arg(excerpt(raw));
        return std::nullopt;
    }
    return value;
}

// "2026-12-05T16:02:21Z" or with a fraction, "2026-12-05T16:02:21.123Z";
// digits beyond the millisecond are dropped.
std::optional<QDateTime> parseDate(QStringView raw, QString &reason)
{
    const QStringView text = raw.trimmed();
    auto number = [&](qsizetype at, qsizetype length, int &out) {
        if (at + length > text.size())
            return false;
        out = 0;
        for (qsizetype i = at; i < at + length; ++i) {
            if (!isAsciiDigit(text[i]))
                return false;
            out = out * 10 + (text[i].unicode() - u'0');
        }
        return true;
    };
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0;
    bool shaped = text.size() >= 20 && number(0, 4, year) && text[4] == u'-' && number(5, 2, month) && text[7] == u'-'
        && number(8, 2, day) && text[10] == u'T' && number(11, 2, hour) && text[13] == u':' && number(14, 2, minute)
        && text[16] == u':' && number(17, 2, second);
    qsizetype i = 19;
    if (shaped && i < text.size() && text[i] == u'.') {
        ++i;
        int digits = 0;
        for (; i < text.size() && isAsciiDigit(text[i]); ++i, ++digits) {
            if (digits < 3)
                msec = msec * 10 + (text[i].unicode() - u'0');
        }
        for (int pad = digits; pad < 3; ++pad)
            msec *= 10;
        shaped = digits > 0;
    }
    shaped = shaped && i + 1 == text.size() && text[i] == u'Z';
    if (!shaped) {
        reason = QStringLiteral("date %1 is not of the form 2001-12-31T23:59:59Z").arg(excerpt(raw));
        return std::nullopt;
    }
    const QDate date(year, month, day);
    const QTime time(hour, minute, second, msec);
    if (!date.isValid() || !time.isValid()) {
        reason = QStringLiteral("date %1 does not exist").arg(excerpt(raw));
        return std::nullopt;
    }
    return QDateTime(date, time, QTimeZone::utc());
}

std::optional<QByteArray> parseData(QStringView text, QString &reason)
{
    QByteArray compact;
    compact.reserve(text.size());
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u' ' || u == u'\t' || u == u'\n' || u == u'\r')
            continue;
        if (u > 0x7f) {
            reason = QStringLiteral("data is not valid base64");
            return std::nullopt;
        }
        compact += char(u);
    }
    auto decoded = QByteArray::fromBase64Encoding(compact, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        reason = QStringLiteral("data is not valid base64");
        return std::nullopt;
    }
    return std::move(decoded.decoded);
}

// ---- Reader -------------------------------------------------------------------

class XMLReader {
public:
    XMLReader(const QByteArray &data, const Limits &limits) : m_data(data), m_reader(data), m_limits(limits) {}

    NVResult<QVariant> run();

private:
    enum class Kind : quint8 { Plist, Array, Dict };
    struct Frame {
        explicit Frame(Kind kind) : kind(kind) {}
        Kind kind;
        bool hasKey = false;
        bool hasValue = false; // a <plist> holds exactly one
        QVariantList list;
        std::map<QString, QVariant> map;
        QString key;
    };

    // Our own complaints point just past the tag they are about, which for
    // a leaf is where its bad content starts. (The reader's position after a
    // tag is exact; after text it has already looked one character ahead.)
    NVError error(const QString &reason) const { return errorAtLine(m_tokenLine, m_tokenColumn, reason); }
    NVError readerError() const;
    std::optional<NVError> startElement();
    std::optional<NVError> endElement();
    std::optional<NVError> deliver(QVariant value);
    std::optional<NVError> countObject();
    // The text of a leaf element; nullopt (with the reader's error) when it
    // holds an element.
    std::optional<QString> leafText();

    const QByteArray &m_data;
    QXmlStreamReader m_reader;
    const Limits &m_limits;
    std::vector<Frame> m_stack;
    int m_depth = 0;
    qint64 m_objects = 0;
    std::optional<QVariant> m_result;
    qint64 m_tokenLine = 1;
    qint64 m_tokenColumn = 1;
};

NVError XMLReader::readerError() const
{
    QString reason = m_reader.errorString();
    if (m_reader.error() == QXmlStreamReader::NotWellFormedError && reason.contains(QLatin1String("incorrectly encoded"))) {
        // The reader decodes ahead, so its position says little; find the
        // byte ourselves when the document is UTF-8.
        const uchar *bytes = reinterpret_cast<const uchar *>(m_data.constData());
        if (const qsizetype bad = invalidUtf8At(bytes, m_data.size()); bad >= 0)
            return errorAtByte(bad, QStringLiteral("the text is not valid UTF-8"));
        reason = QStringLiteral("the bytes are not valid in the document's encoding");
    }
    if (reason.endsWith(u'.'))
        reason.chop(1);
    if (reason.size() > 1 && reason[0].isUpper() && !reason[1].isUpper())
        reason[0] = reason[0].toLower();
    return errorAtLine(m_reader.lineNumber(), m_reader.columnNumber() + 1, reason);
}

std::optional<NVError> XMLReader::countObject()
{
    if (++m_objects > m_limits.maxObjects)
        return error(QStringLiteral("the document holds more than %1 values").arg(m_limits.maxObjects));
    return std::nullopt;
}

std::optional<QString> XMLReader::leafText()
{
    QString text = m_reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
    if (m_reader.hasError())
        return std::nullopt;
    return text;
}

std::optional<NVError> XMLReader::deliver(QVariant value)
{
    if (m_stack.empty()) {
        m_result = std::move(value);
        return std::nullopt;
    }
    Frame &top = m_stack.back();
    switch (top.kind) {
    case Kind::Array:
        top.list.append(std::move(value));
        break;
    case Kind::Dict:
        // Keys usually come sorted, so the end is the right hint; a repeated
        // key keeps its last value.
        top.map.insert_or_assign(top.map.end(), std::move(top.key), std::move(value));
        top.key = QString();
        top.hasKey = false;
        break;
    case Kind::Plist:
        top.list.append(std::move(value));
        top.hasValue = true;
        break;
    }
    return std::nullopt;
}

std::optional<NVError> XMLReader::startElement()
{
    const QStringView name = m_reader.name();
    if (!m_stack.empty()) {
        Frame &top = m_stack.back();
        if (top.kind == Kind::Dict) {
            if (name == u"key") {
                if (top.hasKey)
                    return error(QStringLiteral("key %1 has no value").arg(excerpt(top.key)));
                std::optional<QString> key = leafText();
                if (!key)
                    return readerError();
                if (auto failed = countObject())
                    return failed;
                top.key = std::move(*key);
                top.hasKey = true;
                return std::nullopt;
            }
            if (!top.hasKey)
                return error(QStringLiteral("expected <key> in the dictionary, found <%1>").arg(name));
        } else if (top.kind == Kind::Plist && top.hasValue) {
            return error(QStringLiteral("<plist> holds more than one value"));
        }
    }

    if (name == u"string") {
        std::optional<QString> text = leafText();
        if (!text)
            return readerError();
        if (auto failed = countObject())
            return failed;
        return deliver(QVariant(std::move(*text)));
    }
    if (name == u"dict" || name == u"array") {
        if (m_depth >= m_limits.maxDepth)
            return error(QStringLiteral("arrays and dictionaries are nested deeper than %1 levels").arg(m_limits.maxDepth));
        if (auto failed = countObject())
            return failed;
        ++m_depth;
        m_stack.push_back(Frame{name == u"dict" ? Kind::Dict : Kind::Array});
        return std::nullopt;
    }
    if (name == u"key")
        return error(QStringLiteral("<key> outside a dictionary"));
    if (name == u"plist") {
        if (!m_stack.empty())
            return error(QStringLiteral("<plist> inside a value"));
        m_stack.push_back(Frame{Kind::Plist});
        return std::nullopt;
    }

    std::optional<QVariant> value;
    QString reason;
    if (name == u"integer" || name == u"real" || name == u"date" || name == u"data" || name == u"true"
        || name == u"false") {
        // Copy the name: reading the text moves the reader past it.
        const QString element = name.toString();
        std::optional<QString> text = leafText();
        if (!text)
            return readerError();
        if (element == u"integer") {
            value = parseInteger(*text, reason);
        } else if (element == u"real") {
            if (std::optional<double> real = parseReal(*text, reason))
                value = QVariant(*real);
        } else if (element == u"date") {
            if (std::optional<QDateTime> date = parseDate(*text, reason))
                value = QVariant(*date);
        } else if (element == u"data") {
            if (std::optional<QByteArray> data = parseData(*text, reason))
                value = QVariant(std::move(*data));
        } else if (QStringView(*text).trimmed().isEmpty()) {
            value = QVariant(element == u"true");
        } else {
            reason = QStringLiteral("<%1> holds text").arg(element);
        }
        if (!value)
            return error(reason);
        if (auto failed = countObject())
            return failed;
        return deliver(std::move(*value));
    }
    return error(QStringLiteral("unknown element <%1>").arg(name));
}

std::optional<NVError> XMLReader::endElement()
{
    // Leaves are read whole by leafText(), so only containers end here.
    Frame frame = std::move(m_stack.back());
    m_stack.pop_back();
    switch (frame.kind) {
    case Kind::Plist:
        if (!frame.hasValue)
            return error(QStringLiteral("<plist> holds no value"));
        m_result = std::move(frame.list.first());
        return std::nullopt;
    case Kind::Array:
        --m_depth;
        return deliver(QVariant(std::move(frame.list)));
    case Kind::Dict:
        --m_depth;
        if (frame.hasKey)
            return error(QStringLiteral("key %1 has no value").arg(excerpt(frame.key)));
        return deliver(QVariant(QVariantMap(std::move(frame.map))));
    }
    return std::nullopt;
}

NVResult<QVariant> XMLReader::run()
{
    while (!m_reader.atEnd()) {
        const qint64 lineBefore = m_reader.lineNumber();
        const qint64 columnBefore = m_reader.columnNumber() + 1;
        const QXmlStreamReader::TokenType token = m_reader.readNext();
        m_tokenLine = m_reader.lineNumber();
        m_tokenColumn = m_reader.columnNumber() + 1;
        switch (token) {
        case QXmlStreamReader::StartElement:
            if (auto failed = startElement())
                return *failed;
            break;
        case QXmlStreamReader::EndElement:
            if (auto failed = endElement())
                return *failed;
            break;
        case QXmlStreamReader::Characters:
            if (!m_reader.isWhitespace())
                return errorAtLine(lineBefore, columnBefore,QStringLiteral("unexpected text %1").arg(excerpt(m_reader.text().trimmed())));
            break;
        case QXmlStreamReader::DTD:
            // Entities are the one way a small document grows huge, and no
            // property list needs them.
            if (!m_reader.entityDeclarations().isEmpty())
                return error(QStringLiteral("the document type declares entities"));
            break;
        case QXmlStreamReader::EntityReference:
            return error(QStringLiteral("unknown entity &%1;").arg(m_reader.name()));
        case QXmlStreamReader::Invalid:
            return readerError();
        default:
            break; // the declaration, comments, processing instructions
        }
    }
    if (m_reader.hasError())
        return readerError();
    if (!m_result)
        return error(QStringLiteral("the document holds no value"));
    return std::move(*m_result);
}

// ---- Writer -------------------------------------------------------------------

class XMLWriter {
public:
    XMLWriter() : m_writer(&m_out)
    {
        m_writer.setAutoFormatting(true);
        m_writer.setAutoFormattingIndent(-1); // one tab per level
    }

    NVResult<QByteArray> run(const QVariant &value);

private:
    bool writeValue(const QVariant &value);
    bool writeText(QLatin1String element, const QString &text);
    bool fail(const QString &reason)
    {
        if (!m_error)
            m_error = writeError(reason);
        return false;
    }

    QByteArray m_out;
    QXmlStreamWriter m_writer;
    std::optional<NVError> m_error;
};

NVResult<QByteArray> XMLWriter::run(const QVariant &value)
{
    // The root value is written as a fragment and wrapped by hand, so that it
    // starts in the first column as every other tool writes it.
    if (!writeValue(value))
        return *m_error;
    m_writer.writeEndDocument(); // completes a pending empty element such as <true/>
    if (m_writer.hasError())
        return writeError(QStringLiteral("the XML writer failed"));
    while (m_out.startsWith('\n'))
        m_out.remove(0, 1);
    while (m_out.endsWith('\n'))
        m_out.chop(1);
    return QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n") + m_out
        + QByteArrayLiteral("\n</plist>\n");
}

// XML 1.0 cannot carry most control characters, the two non-characters
// U+FFFE and U+FFFF, or half of a surrogate pair, not even as a character
// reference: such a string has no XML form. A carriage return survives only
// as a character reference, since readers turn a literal one into a line feed.
bool XMLWriter::writeText(QLatin1String element, const QString &text)
{
    bool hasReturn = false;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text[i].unicode();
        bool allowed = u >= 0x20 || u == u'\t' || u == u'\n' || u == u'\r';
        if (u == 0xFFFE || u == 0xFFFF || QChar::isLowSurrogate(u))
            allowed = false;
        if (QChar::isHighSurrogate(u)) {
            allowed = i + 1 < n && text[i + 1].isLowSurrogate();
            i += allowed ? 1 : 0;
        }
        if (!allowed)
            return fail(QStringLiteral("the string %1 holds the character U+%2, which XML cannot carry")
                            .arg(excerpt(text))
                            .arg(u, 4, 16, QLatin1Char('0')));
        hasReturn = hasReturn || u == u'\r';
    }
    if (!hasReturn) {
        m_writer.writeTextElement(element, text);
        return true;
    }
    m_writer.writeStartElement(element);
    qsizetype start = 0;
    for (qsizetype at; (at = text.indexOf(u'\r', start)) >= 0; start = at + 1) {
        m_writer.writeCharacters(text.mid(start, at - start));
        m_writer.writeEntityReference(QLatin1String("#13"));
    }
    m_writer.writeCharacters(text.mid(start));
    m_writer.writeEndElement();
    return true;
}

QString realText(double value)
{
    if (std::isnan(value))
        return QStringLiteral("nan");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("+infinity") : QStringLiteral("-infinity");
    if (value == 0 && std::signbit(value))
        return QStringLiteral("-0"); // Qt would print "0" and lose the sign
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

QString dateText(qint64 msecs)
{
    const QDateTime date = QDateTime::fromMSecsSinceEpoch(msecs, QTimeZone::utc());
    const QDate d = date.date();
    const QTime t = date.time();
    QString text = QString::asprintf("%04d-%02d-%02dT%02d:%02d:%02d", d.year(), d.month(), d.day(), t.hour(), t.minute(),
                                     t.second());
    if (t.msec() != 0)
        text += QString::asprintf(".%03d", t.msec());
    text += u'Z';
    return text;
}

bool XMLWriter::writeValue(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::QString:
        return writeText(QLatin1String("string"), value.toString());
    case QMetaType::Bool:
        m_writer.writeEmptyElement(value.toBool() ? QLatin1String("true") : QLatin1String("false"));
        return true;
    case QMetaType::Int:
    case QMetaType::LongLong:
        m_writer.writeTextElement(QLatin1String("integer"), QString::number(value.toLongLong()));
        return true;
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        m_writer.writeTextElement(QLatin1String("integer"), QString::number(value.toULongLong()));
        return true;
    case QMetaType::Double:
    case QMetaType::Float:
        m_writer.writeTextElement(QLatin1String("real"), realText(value.toDouble()));
        return true;
    case QMetaType::QDateTime: {
        const std::optional<qint64> msecs = msecsFromDate(value.toDateTime());
        if (!msecs)
            return fail(*unwritableDateReason(value.toDateTime()));
        m_writer.writeTextElement(QLatin1String("date"), dateText(*msecs));
        return true;
    }
    case QMetaType::QByteArray:
        m_writer.writeTextElement(QLatin1String("data"), QString::fromLatin1(value.toByteArray().toBase64()));
        return true;
    case QMetaType::QVariantList: {
        m_writer.writeStartElement(QLatin1String("array"));
        const QVariantList list = value.toList();
        for (const QVariant &element : list) {
            if (!writeValue(element))
                return false;
        }
        m_writer.writeEndElement();
        return true;
    }
    case QMetaType::QVariantMap: {
        m_writer.writeStartElement(QLatin1String("dict"));
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (!writeText(QLatin1String("key"), it.key()) || !writeValue(it.value()))
                return false;
        }
        m_writer.writeEndElement();
        return true;
    }
    default:
        return fail(unwritableTypeReason(value));
    }
}

} // namespace

NVResult<QVariant> readXML(const QByteArray &data, const Limits &limits)
{
    if (data.size() > limits.maxBytes)
        return tooLargeError(data.size(), limits);
    return XMLReader(data, limits).run();
}

namespace detail {

NVResult<QByteArray> writeXML(const QVariant &value) { return XMLWriter().run(value); }

} // namespace detail

} // namespace NVPropertyList
