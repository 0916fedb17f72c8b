// The old text form: "quoted" and unquoted strings, ( arrays ), { dicts },
// <0a0b> data and C comments. The same parser reads string tables (a
// dictionary without its braces), values given on the command line and what
// NVValue::textForm writes. It keeps its own stack, so nesting costs heap,
// and refuses to open a level beyond the depth limit.

#include "foundation/NVPropertyList.h"

#include "foundation/NVPropertyListPrivate.h"
#include "foundation/NVValue.h"

#include <map>
#include <vector>

namespace NVPropertyList {

namespace {

using namespace detail;

// The index of the first half of a surrogate pair that has no other half, or -1.
qsizetype unpairedSurrogateAt(QStringView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return i;
    }
    return -1;
}

bool isUnquotedChar(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'_' || u == u'$'
        || u == u'+' || u == u'/' || u == u':' || u == u'.' || u == u'-';
}

bool isStringStart(QChar c) { return c == u'"' || c == u'\'' || isUnquotedChar(c); }

QString describeChar(QChar c)
{
    if (c.unicode() >= 0x21 && c.unicode() < 0x7F)
        return QStringLiteral("'%1'").arg(c);
    return QStringLiteral("U+%1").arg(QString::number(c.unicode(), 16).toUpper().rightJustified(4, u'0'));
}

class TextParser {
public:
    TextParser(QStringView text, const Limits &limits) : m_text(text), m_limits(limits) {}

    struct Failure {
        qsizetype at;
        QString reason;
    };

    NVResult<QVariant> parseDocument();
    StringsTable parseTable();

private:
    enum class State { Value, AfterValue, Key, AfterKey, Done };
    struct Frame {
        Frame(bool isDict, bool braceless, qsizetype start) : isDict(isDict), braceless(braceless), start(start) {}
        bool isDict;
        bool braceless; // a string table's top level, closed by the end of the text
        qsizetype start;
        QVariantList list;
        std::map<QString, QVariant> map;
        QString key;
    };

    bool atEnd() const { return m_pos >= m_text.size(); }
    QChar peek() const { return m_text[m_pos]; }
    bool fail(qsizetype at, QString reason)
    {
        if (!m_failure)
            m_failure = Failure{at, std::move(reason)};
        return false;
    }
    bool count()
    {
        if (++m_objects > m_limits.maxObjects)
            return fail(m_pos, QStringLiteral("the document holds more than %1 values").arg(m_limits.maxObjects));
        return true;
    }
    bool skipBlanks();
    bool parseString(QString &out);
    bool parseQuoted(QString &out);
    bool parseData(QByteArray &out);
    bool openContainer(bool isDict, bool braceless);
    // Runs the state machine from `state` until the stack empties (or, for a
    // brace-less table, the text ends) and leaves the finished value.
    bool run(State state, QVariant &value);
    NVError toError(const Failure &failure) const;
    int lineAt(qsizetype at) const;

    QStringView m_text;
    qsizetype m_pos = 0;
    const Limits &m_limits;
    qint64 m_objects = 0;
    std::vector<Frame> m_stack;
    std::optional<Failure> m_failure;
};

int TextParser::lineAt(qsizetype at) const
{
    int line = 1;
    for (qsizetype i = 0; i < at && i < m_text.size(); ++i) {
        if (m_text[i] == u'\n' || (m_text[i] == u'\r' && (i + 1 >= m_text.size() || m_text[i + 1] != u'\n')))
            ++line;
    }
    return line;
}

NVError TextParser::toError(const Failure &failure) const
{
    qsizetype lineStart = failure.at;
    while (lineStart > 0 && m_text[lineStart - 1] != u'\n' && m_text[lineStart - 1] != u'\r')
        --lineStart;
    return errorAtLine(lineAt(failure.at), failure.at - lineStart + 1, failure.reason);
}

bool TextParser::skipBlanks()
{
    while (!atEnd()) {
        const QChar c = peek();
        if (c.isSpace() || c == QChar(0xFEFF)) {
            ++m_pos;
        } else if (c == u'/' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == u'*') {
            const qsizetype end = m_text.indexOf(u"*/", m_pos + 2);
            if (end < 0)
                return fail(m_pos, QStringLiteral("unterminated comment"));
            m_pos = end + 2;
        } else if (c == u'/' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == u'/') {
            while (!atEnd() && peek() != u'\n' && peek() != u'\r')
                ++m_pos;
        } else {
            break;
        }
    }
    return true;
}

bool TextParser::parseString(QString &out)
{
    if (peek() == u'"' || peek() == u'\'')
        return parseQuoted(out) && count();
    const qsizetype start = m_pos;
    while (!atEnd() && isUnquotedChar(peek()))
        ++m_pos;
    out = m_text.mid(start, m_pos - start).toString();
    return count();
}

bool TextParser::parseQuoted(QString &out)
{
    const qsizetype start = m_pos;
    const QChar quote = m_text[m_pos++];
    out.clear();
    qsizetype run = m_pos;
    for (;;) {
        if (atEnd())
            return fail(start, QStringLiteral("unterminated string"));
        const QChar c = peek();
        if (c == quote) {
            out.append(m_text.mid(run, m_pos - run));
            ++m_pos;
            break;
        }
        if (c != u'\\') {
            ++m_pos;
            continue;
        }
        out.append(m_text.mid(run, m_pos - run));
        const qsizetype escape = m_pos++;
        if (atEnd())
            return fail(start, QStringLiteral("unterminated string"));
        const QChar e = m_text[m_pos++];
        switch (e.unicode()) {
        case u'n': out += u'\n'; break;
        case u't': out += u'\t'; break;
        case u'r': out += u'\r'; break;
        case u'a': out += QChar(0x07); break;
        case u'b': out += QChar(0x08); break;
        case u'f': out += QChar(0x0C); break;
        case u'v': out += QChar(0x0B); break;
        case u'U': {
            int code = 0;
            int digits = 0;
            for (; digits < 4 && !atEnd() && hexDigitValue(peek()) >= 0; ++digits)
                code = code * 16 + hexDigitValue(m_text[m_pos++]);
            if (digits == 0)
                return fail(escape, QStringLiteral("\\U is not followed by hex digits"));
            out += QChar(char16_t(code));
            break;
        }
        default:
            if (e >= u'0' && e <= u'7') {
                int code = e.unicode() - u'0';
                for (int digits = 1; digits < 3 && !atEnd() && peek() >= u'0' && peek() <= u'7'; ++digits)
                    code = code * 8 + (m_text[m_pos++].unicode() - u'0');
                if (code > 0xFF)
                    return fail(escape, QStringLiteral("octal escape %1 is above \\377")
                                            .arg(m_text.mid(escape, m_pos - escape).toString()));
                out += QChar(char16_t(code));
            } else {
                out += e; // \\, \", \' and any other character stand for themselves
            }
        }
        run = m_pos;
    }
    // Escapes (or text handed in by a caller) can leave half a surrogate
    // pair, which no encoding can carry.
    if (const qsizetype bad = unpairedSurrogateAt(out); bad >= 0)
        return fail(start, QStringLiteral("the string holds an unpaired surrogate U+%1")
                               .arg(out[bad].unicode(), 4, 16, QLatin1Char('0')));
    return true;
}

bool TextParser::parseData(QByteArray &out)
{
    const qsizetype start = m_pos++;
    out.clear();
    int high = -1;
    for (;;) {
        if (atEnd())
            return fail(start, QStringLiteral("unterminated data"));
        const QChar c = m_text[m_pos];
        if (c == u'>') {
            ++m_pos;
            break;
        }
        if (c.isSpace()) {
            ++m_pos;
            continue;
        }
        const int nibble = hexDigitValue(c);
        if (nibble < 0)
            return fail(m_pos, QStringLiteral("unexpected %1 in data").arg(describeChar(c)));
        ++m_pos;
        if (high < 0) {
            high = nibble;
        } else {
            out += char((high << 4) | nibble);
            high = -1;
        }
    }
    if (high >= 0)
        return fail(start, QStringLiteral("data has an odd number of hex digits"));
    return count();
}

bool TextParser::openContainer(bool isDict, bool braceless)
{
    // Refuse before going one level deeper.
    if (qsizetype(m_stack.size()) >= m_limits.maxDepth)
        return fail(m_pos, QStringLiteral("arrays and dictionaries are nested deeper than %1 levels").arg(m_limits.maxDepth));
    if (!count())
        return false;
    m_stack.emplace_back(isDict, braceless, m_pos);
    return true;
}

bool TextParser::run(State state, QVariant &value)
{
    while (state != State::Done) {
        switch (state) {
        case State::Value: {
            if (!skipBlanks())
                return false;
            if (atEnd())
                return fail(m_pos, QStringLiteral("unexpected end of text, expected a value"));
            const QChar c = peek();
            if (c == u'(') {
                if (!openContainer(false, false))
                    return false;
                ++m_pos;
                if (!skipBlanks())
                    return false;
                if (!atEnd() && peek() == u')') {
                    ++m_pos;
                    m_stack.pop_back();
                    value = QVariant(QVariantList());
                    state = State::AfterValue;
                }
                break;
            }
            if (c == u'{') {
                if (!openContainer(true, false))
                    return false;
                ++m_pos;
                state = State::Key;
                break;
            }
            if (c == u'<') {
                QByteArray data;
                if (!parseData(data))
                    return false;
                value = QVariant(std::move(data));
                state = State::AfterValue;
                break;
            }
            if (isStringStart(c)) {
                QString text;
                if (!parseString(text))
                    return false;
                value = QVariant(std::move(text));
                state = State::AfterValue;
                break;
            }
            return fail(m_pos, QStringLiteral("unexpected %1, expected a value").arg(describeChar(c)));
        }
        case State::AfterValue: {
            if (m_stack.empty()) {
                state = State::Done;
                break;
            }
            Frame &top = m_stack.back();
            if (top.isDict) {
                const auto inserted = top.map.insert_or_assign(std::move(top.key), std::move(value)).first;
                if (!skipBlanks())
                    return false;
                if (atEnd() || peek() != u';')
                    return fail(m_pos, QStringLiteral("expected ';' after the value of %1").arg(excerpt(inserted->first)));
                ++m_pos;
                state = State::Key;
                break;
            }
            top.list.append(std::move(value));
            if (!skipBlanks())
                return false;
            if (atEnd())
                return fail(top.start, QStringLiteral("unterminated array"));
            if (peek() == u',') {
                ++m_pos;
                if (!skipBlanks())
                    return false;
                if (atEnd() || peek() != u')') {
                    state = State::Value;
                    break;
                }
            }
            if (peek() != u')')
                return fail(m_pos, QStringLiteral("expected ',' or ')' after an array element"));
            ++m_pos;
            Frame frame = std::move(m_stack.back());
            m_stack.pop_back();
            value = QVariant(std::move(frame.list));
            break; // still AfterValue, now for the enclosing container
        }
        case State::Key: {
            if (!skipBlanks())
                return false;
            Frame &top = m_stack.back();
            const bool closes = top.braceless ? atEnd() : (!atEnd() && peek() == u'}');
            if (closes) {
                if (!top.braceless)
                    ++m_pos;
                Frame frame = std::move(m_stack.back());
                m_stack.pop_back();
                value = QVariant(QVariantMap(std::move(frame.map)));
                state = State::AfterValue;
                break;
            }
            if (atEnd())
                return fail(top.start, QStringLiteral("unterminated dictionary"));
            if (!isStringStart(peek()))
                return fail(m_pos, QStringLiteral("unexpected %1, expected a key").arg(describeChar(peek())));
            if (!parseString(top.key))
                return false;
            state = State::AfterKey;
            break;
        }
        case State::AfterKey: {
            if (!skipBlanks())
                return false;
            Frame &top = m_stack.back();
            if (!atEnd() && peek() == u'=') {
                ++m_pos;
                state = State::Value;
            } else if (!atEnd() && peek() == u';') {
                // String tables may give a key alone: it is its own value.
                ++m_pos;
                QString key = top.key;
                top.map.insert_or_assign(std::move(key), QVariant(top.key));
                state = State::Key;
            } else {
                return fail(m_pos, QStringLiteral("expected '=' after the key %1").arg(excerpt(top.key)));
            }
            break;
        }
        case State::Done:
            break;
        }
    }
    return true;
}

NVResult<QVariant> TextParser::parseDocument()
{
    QVariant value;
    bool ok = skipBlanks();
    if (ok && atEnd())
        return QVariant(QVariantMap());
    if (ok && isStringStart(peek())) {
        // A string first: the whole value, or the first key of a table.
        QString first;
        ok = parseString(first) && skipBlanks();
        if (ok && !atEnd() && (peek() == u'=' || peek() == u';')) {
            ok = openContainer(true, true);
            if (ok) {
                m_stack.back().start = 0;
                m_stack.back().key = std::move(first);
                ok = run(State::AfterKey, value);
            }
        } else {
            value = QVariant(std::move(first));
        }
    } else if (ok) {
        ok = run(State::Value, value);
    }
    ok = ok && skipBlanks();
    if (ok && !atEnd())
        fail(m_pos, QStringLiteral("unexpected %1 after the value").arg(describeChar(peek())));
    if (m_failure)
        return toError(*m_failure);
    return value;
}

StringsTable TextParser::parseTable()
{
    StringsTable table;
    auto record = [&]() {
        if (!table.firstError) {
            table.firstError = toError(*m_failure);
            table.firstErrorLine = lineAt(m_failure->at);
        }
    };

    if (!skipBlanks()) {
        record();
        return table;
    }
    // Old tables sometimes wrap their entries in braces.
    const bool braced = !atEnd() && peek() == u'{';
    const qsizetype braceAt = m_pos;
    if (braced)
        ++m_pos;

    std::map<QString, QVariant> entries;
    for (;;) {
        if (!skipBlanks()) {
            record();
            break; // an unterminated comment runs to the end
        }
        if (atEnd()) {
            if (braced) {
                fail(braceAt, QStringLiteral("unterminated dictionary"));
                record();
            }
            break;
        }
        if (braced && peek() == u'}') {
            ++m_pos;
            if (skipBlanks() && !atEnd())
                fail(m_pos, QStringLiteral("unexpected %1 after the table").arg(describeChar(peek())));
            if (m_failure)
                record();
            break;
        }
        const qsizetype entryStart = m_pos;
        QString key;
        QVariant value;
        bool ok = false;
        if (!isStringStart(peek())) {
            fail(m_pos, QStringLiteral("unexpected %1, expected a key").arg(describeChar(peek())));
        } else if (parseString(key) && skipBlanks()) {
            if (!atEnd() && peek() == u';') {
                ++m_pos;
                value = QVariant(key);
                ok = true;
            } else if (atEnd() || peek() != u'=') {
                fail(m_pos, QStringLiteral("expected '=' after the key %1").arg(excerpt(key)));
            } else {
                ++m_pos;
                skipBlanks();
                const qsizetype valueStart = m_pos;
                ok = run(State::Value, value) && skipBlanks();
                if (ok && (atEnd() || peek() != u';')) {
                    ok = fail(m_pos, QStringLiteral("expected ';' after the value of %1").arg(excerpt(key)));
                } else if (ok) {
                    ++m_pos;
                    if (!NVValue::isString(value)) {
                        // Well formed but of no use to a string table: skip it.
                        fail(valueStart, QStringLiteral("the value of %1 is an %2, not a string").arg(excerpt(key), NVValue::className(value)));
                        record();
                        m_failure.reset();
                        continue;
                    }
                }
            }
        }
        if (ok) {
            entries.insert_or_assign(std::move(key), std::move(value));
            continue;
        }

        // Resynchronise after the ';' that ends the bad entry: the first ';'
        // past the problem, unless a ';' that ends a line comes earlier
        // (entries are usually one per line, and a missing closing quote runs
        // a string into the next line). Both lie past the entry's start, so
        // reading always moves on, and the scan stops at the first candidate,
        // so a long line of bad entries costs linear time.
        record();
        const qsizetype failedAt = m_failure->at;
        m_failure.reset();
        m_stack.clear();
        const qsizetype next = m_text.indexOf(u';', failedAt);
        qsizetype resume = next < 0 ? -1 : next + 1;
        const qsizetype scanEnd = next < 0 ? m_text.size() : next;
        for (qsizetype i = m_text.indexOf(u';', entryStart); i >= 0 && i < scanEnd; i = m_text.indexOf(u';', i + 1)) {
            qsizetype j = i + 1;
            while (j < m_text.size() && (m_text[j] == u' ' || m_text[j] == u'\t'))
                ++j;
            const QStringView rest = m_text.mid(j);
            if (rest.isEmpty() || rest[0] == u'\n' || rest[0] == u'\r' || rest.startsWith(u"//") || rest.startsWith(u"/*")) {
                resume = i + 1;
                break;
            }
        }
        if (resume < 0)
            break;
        m_pos = resume;
    }
    table.entries = QVariantMap(std::move(entries));
    return table;
}

} // namespace

NVResult<QVariant> readText(QStringView text, const Limits &limits)
{
    return TextParser(text, limits).parseDocument();
}

namespace detail {

qsizetype invalidUtf8At(const uchar *p, qsizetype n)
{
    qsizetype i = 0;
    while (i < n) {
        const uchar c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int length;
        quint32 code;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            code = c & 0x07;
        } else {
            return i;
        }
        if (i + length > n)
            return i;
        for (int k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return i;
            code = (code << 6) | (p[i + k] & 0x3F);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF)))
            || (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            return i;
        i += length;
    }
    return -1;
}

NVResult<QString> decodeText(const QByteArray &data)
{
    const bool littleEndian = data.startsWith("\xFF\xFE");
    if (littleEndian || data.startsWith("\xFE\xFF")) {
        const qsizetype bytes = data.size() - 2;
        if (bytes % 2 != 0)
            return errorAtByte(data.size() - 1, QStringLiteral("UTF-16 text has an odd number of bytes"));
        const uchar *in = reinterpret_cast<const uchar *>(data.constData()) + 2;
        QString text(bytes / 2, Qt::Uninitialized);
        char16_t *out = reinterpret_cast<char16_t *>(text.data());
        for (qsizetype i = 0; i < bytes / 2; ++i)
            out[i] = littleEndian ? char16_t(in[2 * i] | (in[2 * i + 1] << 8)) : char16_t((in[2 * i] << 8) | in[2 * i + 1]);
        if (const qsizetype bad = unpairedSurrogateAt(text); bad >= 0)
            return errorAtByte(2 + 2 * bad, QStringLiteral("unpaired surrogate U+%1 in UTF-16 text")
                                                .arg(text[bad].unicode(), 4, 16, QLatin1Char('0')));
        return text;
    }
    const qsizetype start = data.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    const uchar *bytes = reinterpret_cast<const uchar *>(data.constData());
    if (const qsizetype bad = invalidUtf8At(bytes + start, data.size() - start); bad >= 0)
        return errorAtByte(start + bad, QStringLiteral("the text is not valid UTF-8"));
    return QString::fromUtf8(data.constData() + start, data.size() - start);
}

StringsTable readStringsTableText(QStringView text, const Limits &limits) { return TextParser(text, limits).parseTable(); }

} // namespace detail

} // namespace NVPropertyList
