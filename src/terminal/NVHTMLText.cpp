#include "terminal/NVHTMLText.h"

#include <QHash>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

// Deeper lists are shown at this depth: the indentation of a hostile page
// must not grow with its nesting.
constexpr int MaximumIndentedDepth = 6;
// Longest character reference looked at ("&CounterClockwiseContourIntegral;").
constexpr qsizetype MaximumReferenceLength = 34;

enum class Break { None = 0, Line = 1, Paragraph = 2 };

// Elements whose content is not text a reader sees; their content is
// skipped up to the matching end tag without being read as markup.
bool isSkippedElement(QStringView name)
{
    return name == u"script" || name == u"style" || name == u"title" || name == u"template" || name == u"noembed"
        || name == u"noframes" || name == u"iframe" || name == u"textarea" || name == u"xmp";
}

// Elements set apart from their surroundings by a blank line.
bool isParagraphElement(QStringView name)
{
    static const QStringList names = {"p", "h1", "h2", "h3", "h4", "h5", "h6", "pre", "blockquote", "table", "dl",
                                      "hr", "figure", "address", "details", "center"};
    return names.contains(name);
}

// Elements that start and end a line of their own.
bool isLineElement(QStringView name)
{
    static const QStringList names = {"div", "section", "article", "header", "footer", "main", "nav", "aside", "tr",
                                      "dt", "dd", "summary", "form", "fieldset", "caption", "li", "body", "html"};
    return names.contains(name);
}

// Characters that would let text steer the terminal or disguise itself:
// C0 and C1 controls, DEL, and the bidirectional overrides and isolates.
bool isHiddenCharacter(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069)
        || c == 0xfeff;
}

bool isHTMLSpace(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f';
}

bool isNameCharacter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u':';
}

bool isASCIILetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

const QHash<QString, char32_t> &namedReferences()
{
    static const QHash<QString, char32_t> references = {
        {"amp", '&'},       {"lt", '<'},         {"gt", '>'},         {"quot", '"'},       {"apos", '\''},
        {"nbsp", 0xa0},     {"ensp", 0x2002},    {"emsp", 0x2003},    {"thinsp", 0x2009},  {"ndash", 0x2013},
        {"mdash", 0x2014},  {"hellip", 0x2026},  {"bull", 0x2022},    {"middot", 0xb7},    {"lsquo", 0x2018},
        {"rsquo", 0x2019},  {"sbquo", 0x201a},   {"ldquo", 0x201c},   {"rdquo", 0x201d},   {"bdquo", 0x201e},
        {"laquo", 0xab},    {"raquo", 0xbb},     {"lsaquo", 0x2039},  {"rsaquo", 0x203a},  {"copy", 0xa9},
        {"reg", 0xae},      {"trade", 0x2122},   {"euro", 0x20ac},    {"pound", 0xa3},     {"yen", 0xa5},
        {"cent", 0xa2},     {"sect", 0xa7},      {"para", 0xb6},      {"deg", 0xb0},       {"plusmn", 0xb1},
        {"times", 0xd7},    {"divide", 0xf7},    {"larr", 0x2190},    {"rarr", 0x2192},    {"uarr", 0x2191},
        {"darr", 0x2193},   {"harr", 0x2194},    {"check", 0x2713},   {"auml", 0xe4},      {"ouml", 0xf6},
        {"uuml", 0xfc},     {"Auml", 0xc4},      {"Ouml", 0xd6},      {"Uuml", 0xdc},      {"szlig", 0xdf},
        {"eacute", 0xe9},   {"egrave", 0xe8},    {"ecirc", 0xea},     {"aacute", 0xe1},    {"agrave", 0xe0},
        {"acirc", 0xe2},    {"ccedil", 0xe7},    {"oacute", 0xf3},    {"uacute", 0xfa},    {"iacute", 0xed},
        {"ntilde", 0xf1},   {"oslash", 0xf8},    {"aring", 0xe5},     {"Eacute", 0xc9},    {"shy", 0xad},
        {"zwsp", 0x200b},   {"iexcl", 0xa1},     {"iquest", 0xbf},    {"frac12", 0xbd},    {"minus", 0x2212},
    };
    return references;
}

class Reducer {
public:
    Reducer(QStringView html, const QUrl &baseURL) : m_html(html), m_baseURL(baseURL) {}

    QString run()
    {
        const qsizetype n = m_html.size();
        qsizetype i = 0;
        while (i < n) {
            const QChar c = m_html[i];
            if (c == u'<')
                i = markup(i);
            else if (c == u'&')
                i = reference(i);
            else
                i = character(i);
        }
        return finished();
    }

private:
    struct List {
        bool ordered = false;
        int next = 1;
    };
    struct Link {
        QString target;
        qsizetype textStart = 0;
    };

    // ---- markup ----------------------------------------------------------

    // Reads the markup that starts at the "<" at i; answers where reading goes on.
    qsizetype markup(qsizetype i)
    {
        const qsizetype n = m_html.size();
        if (i + 1 >= n)
            return character(i);
        const QChar next = m_html[i + 1];
        if (m_html.sliced(i).startsWith(u"<!--")) {
            const qsizetype end = m_html.indexOf(u"-->", i + 4);
            return end < 0 ? n : end + 3;
        }
        if (next == u'!' || next == u'?' || (next == u'/' && (i + 2 >= n || !isASCIILetter(m_html[i + 2]))))
            return skipPast(u'>', i);
        if (next == u'/') {
            qsizetype j = i + 2;
            while (j < n && isNameCharacter(m_html[j]))
                ++j;
            endTag(m_html.sliced(i + 2, j - (i + 2)).toString().toLower());
            return skipPast(u'>', j);
        }
        if (!isASCIILetter(next))
            return character(i);
        return startTag(i + 1);
    }

    qsizetype skipPast(QChar c, qsizetype from) const
    {
        const qsizetype end = m_html.indexOf(c, from);
        return end < 0 ? m_html.size() : end + 1;
    }

    // Reads a start tag whose name starts at i, with the attributes this
    // reduction uses; answers where reading goes on.
    qsizetype startTag(qsizetype i)
    {
        const qsizetype n = m_html.size();
        qsizetype j = i;
        while (j < n && isNameCharacter(m_html[j]))
            ++j;
        const QString name = m_html.sliced(i, j - i).toString().toLower();
        QHash<QString, QString> attributes;
        while (j < n && m_html[j] != u'>') {
            if (isHTMLSpace(m_html[j]) || m_html[j] == u'/') {
                ++j;
                continue;
            }
            const qsizetype nameStart = j;
            while (j < n && !isHTMLSpace(m_html[j]) && m_html[j] != u'=' && m_html[j] != u'>' && m_html[j] != u'/')
                ++j;
            // A lone "=" or the like still moves on.
            if (j == nameStart)
                ++j;
            const QString attributeName = m_html.sliced(nameStart, j - nameStart).toString().toLower();
            while (j < n && isHTMLSpace(m_html[j]))
                ++j;
            if (j >= n || m_html[j] != u'=') {
                attributes.insert(attributeName, QString());
                continue;
            }
            ++j;
            while (j < n && isHTMLSpace(m_html[j]))
                ++j;
            qsizetype valueStart = j;
            qsizetype valueEnd = j;
            if (j < n && (m_html[j] == u'"' || m_html[j] == u'\'')) {
                const QChar quote = m_html[j];
                valueStart = j + 1;
                const qsizetype close = m_html.indexOf(quote, valueStart);
                valueEnd = close < 0 ? n : close;
                j = close < 0 ? n : close + 1;
            } else {
                while (j < n && !isHTMLSpace(m_html[j]) && m_html[j] != u'>')
                    ++j;
                valueEnd = j;
            }
            if (attributeName == u"href" || attributeName == u"alt" || attributeName == u"start")
                attributes.insert(attributeName, decodedReferences(m_html.sliced(valueStart, valueEnd - valueStart)));
        }
        const qsizetype after = j < n ? j + 1 : n;
        if (isSkippedElement(name)) {
            const qsizetype end = m_html.indexOf(QString(QStringLiteral("</") + name), after, Qt::CaseInsensitive);
            return end < 0 ? n : skipPast(u'>', end);
        }
        openElement(name, attributes);
        return after;
    }

    void openElement(const QString &name, const QHash<QString, QString> &attributes)
    {
        if (name == u"br") {
            lineBreak();
        } else if (name == u"ul" || name == u"ol") {
            requestBreak(m_lists.empty() ? Break::Paragraph : Break::Line);
            List list{name == u"ol", 1};
            bool ok = false;
            const int start = attributes.value(QStringLiteral("start")).trimmed().toInt(&ok);
            if (ok)
                list.next = std::clamp(start, -999999, 999999);
            m_lists.push_back(list);
        } else if (name == u"li") {
            requestBreak(Break::Line);
            const int depth = std::min(int(m_lists.size()), MaximumIndentedDepth);
            QString marker(std::max(depth - 1, 0) * 2, u' ');
            if (!m_lists.empty() && m_lists.back().ordered)
                marker += QString::number(m_lists.back().next++) + QStringLiteral(". ");
            else
                marker += QStringLiteral("• ");
            m_marker = marker;
        } else if (name == u"a") {
            // Links do not nest: a new one ends the one still open, as in a
            // browser. So each link's text is read once, and a page of
            // unclosed links costs no more than its length.
            if (m_link)
                endLink(*std::exchange(m_link, std::nullopt));
            m_link = Link{linkTarget(attributes.value(QStringLiteral("href"))), m_text.size()};
        } else if (name == u"img") {
            const QString alt = attributes.value(QStringLiteral("alt")).simplified();
            if (!alt.isEmpty()) {
                m_space = true;
                visibleText(alt);
                m_space = true;
            }
        } else if (name == u"td" || name == u"th") {
            m_space = true;
        } else if (name == u"pre") {
            requestBreak(Break::Paragraph);
            ++m_pre;
        } else if (isParagraphElement(name)) {
            requestBreak(Break::Paragraph);
        } else if (isLineElement(name)) {
            requestBreak(Break::Line);
        }
    }

    void endTag(const QString &name)
    {
        if (name == u"ul" || name == u"ol") {
            if (!m_lists.empty())
                m_lists.pop_back();
            requestBreak(m_lists.empty() ? Break::Paragraph : Break::Line);
        } else if (name == u"a") {
            if (m_link)
                endLink(*std::exchange(m_link, std::nullopt));
        } else if (name == u"pre") {
            m_pre = std::max(m_pre - 1, 0);
            requestBreak(Break::Paragraph);
        } else if (name == u"br") {
            lineBreak();
        } else if (name == u"td" || name == u"th") {
            m_space = true;
        } else if (isParagraphElement(name)) {
            requestBreak(Break::Paragraph);
        } else if (isLineElement(name)) {
            requestBreak(Break::Line);
        }
    }

    // The target to show for a link, resolved; empty for targets a reader
    // cannot follow (in-page anchors, scripts, data).
    QString linkTarget(const QString &href) const
    {
        const QString trimmed = href.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u'#'))
            return {};
        QUrl url(trimmed);
        if (url.isRelative() && m_baseURL.isValid())
            url = m_baseURL.resolved(url);
        static const QStringList readable = {"http", "https", "mailto", "ftp"};
        if (!url.isValid() || !readable.contains(url.scheme().toLower()))
            return {};
        // Decoded, as a person reads it, unless decoding brings out a
        // character that hides or reorders text: then the escapes stay, so
        // that what is shown is where the link goes.
        const QString shown = url.toString();
        return NVHTMLText::printableText(shown) == shown ? shown : url.toString(QUrl::FullyEncoded);
    }

    void endLink(const Link &link)
    {
        if (link.target.isEmpty())
            return;
        const QString label = m_text.sliced(std::min(link.textStart, m_text.size())).simplified();
        const QString mailto = QStringLiteral("mailto:");
        const QString shown = link.target.startsWith(mailto) ? link.target.sliced(mailto.size()) : link.target;
        if (label == shown || label == link.target)
            return;
        // White space that ended the link's text comes after the target.
        const bool spaceAfter = m_space;
        m_space = true;
        visibleText(label.isEmpty() ? shown : u'(' + shown + u')');
        m_space = spaceAfter;
    }

    // ---- text --------------------------------------------------------------

    qsizetype reference(qsizetype i)
    {
        const qsizetype semicolon = m_html.sliced(i, std::min(MaximumReferenceLength, m_html.size() - i)).indexOf(u';');
        const std::optional<char32_t> decoded = semicolon > 1 ? decodeReference(m_html.sliced(i + 1, semicolon - 1)) : std::nullopt;
        if (!decoded)
            return character(i);
        textCharacter(*decoded);
        return i + semicolon + 1;
    }

    static std::optional<char32_t> decodeReference(QStringView body)
    {
        if (body.startsWith(u'#')) {
            const bool hex = body.size() > 1 && (body[1] == u'x' || body[1] == u'X');
            const QStringView digits = body.sliced(hex ? 2 : 1);
            if (digits.isEmpty() || digits.size() > 8)
                return std::nullopt;
            bool ok = false;
            const uint value = digits.toUInt(&ok, hex ? 16 : 10);
            if (!ok)
                return std::nullopt;
            if (value == 0 || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff))
                return char32_t(0xfffd);
            return char32_t(value);
        }
        const auto found = namedReferences().constFind(body.toString());
        if (found == namedReferences().cend())
            return std::nullopt;
        return *found;
    }

    static QString decodedReferences(QStringView value)
    {
        QString decoded;
        qsizetype i = 0;
        while (i < value.size()) {
            if (value[i] == u'&') {
                const qsizetype semicolon = value.sliced(i, std::min(MaximumReferenceLength, value.size() - i)).indexOf(u';');
                if (semicolon > 1) {
                    if (const std::optional<char32_t> c = decodeReference(value.sliced(i + 1, semicolon - 1))) {
                        decoded += QString::fromUcs4(&*c, 1);
                        i += semicolon + 1;
                        continue;
                    }
                }
            }
            decoded += value[i++];
        }
        return decoded;
    }

    // One character of text at i (a surrogate pair is read whole).
    qsizetype character(qsizetype i)
    {
        const QChar c = m_html[i];
        if (c.isHighSurrogate() && i + 1 < m_html.size() && m_html[i + 1].isLowSurrogate()) {
            textCharacter(QChar::surrogateToUcs4(c, m_html[i + 1]));
            return i + 2;
        }
        textCharacter(c.isSurrogate() ? char32_t(0xfffd) : char32_t(c.unicode()));
        return i + 1;
    }

    void textCharacter(char32_t c)
    {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ' || c == '\f') {
            if (!m_pre) {
                m_space = true;
            } else if (c == '\n') {
                lineBreak();
            } else if (c != '\r') {
                visibleText(QStringLiteral(" "), Spacing::Kept);
            }
            return;
        }
        if (isHiddenCharacter(c))
            return;
        if (c == 0xa0) {
            visibleText(QStringLiteral(" "), Spacing::Kept);
            return;
        }
        visibleText(QString::fromUcs4(&c, 1));
    }

    enum class Spacing { Collapsed, Kept };

    // Appends text that shows, after the breaks, marker and blank due before it.
    void visibleText(const QString &text, Spacing spacing = Spacing::Collapsed)
    {
        if (m_text.isEmpty())
            m_break = Break::None;
        for (int missing = int(m_break) - m_trailingNewlines; missing > 0; --missing)
            append(u'\n');
        m_break = Break::None;
        if (!m_marker.isEmpty()) {
            if (!atLineStart())
                append(u'\n');
            append(std::exchange(m_marker, QString()));
            m_space = false;
        } else if (atLineStart() && !m_lists.empty()) {
            append(QString(std::min(int(m_lists.size()), MaximumIndentedDepth) * 2, u' '));
            m_space = false;
        }
        if (m_space && !atLineStart() && spacing == Spacing::Collapsed)
            append(u' ');
        m_space = false;
        append(text);
    }

    void requestBreak(Break level)
    {
        if (int(level) > int(m_break))
            m_break = level;
        m_space = false;
    }

    // <br>, or a line feed in <pre>: a line ends here, however empty.
    void lineBreak()
    {
        if (m_text.isEmpty())
            return;
        for (int missing = int(m_break) - m_trailingNewlines; missing > 0; --missing)
            append(u'\n');
        m_break = Break::None;
        if (m_trailingNewlines < 2)
            append(u'\n');
        m_space = false;
    }

    bool atLineStart() const { return m_text.isEmpty() || m_trailingNewlines > 0; }

    void append(QChar c) { append(QString(c)); }
    void append(const QString &text)
    {
        if (text.isEmpty())
            return;
        m_text += text;
        qsizetype newlines = 0;
        while (newlines < text.size() && text[text.size() - 1 - newlines] == u'\n')
            ++newlines;
        m_trailingNewlines = newlines == text.size() ? m_trailingNewlines + int(newlines) : int(newlines);
    }

    // Lines without trailing blanks, at most one empty line in a row, none
    // at either end.
    QString finished() const
    {
        QStringList lines;
        bool previousEmpty = true;
        for (QStringView line : QStringView(m_text).split(u'\n')) {
            qsizetype end = line.size();
            while (end > 0 && line[end - 1] == u' ')
                --end;
            const bool empty = end == 0;
            if (empty && previousEmpty)
                continue;
            lines << line.first(end).toString();
            previousEmpty = empty;
        }
        while (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines.join(u'\n');
    }

    QStringView m_html;
    QUrl m_baseURL;
    QString m_text;
    int m_trailingNewlines = 0;
    Break m_break = Break::None;
    bool m_space = false;
    int m_pre = 0;
    QString m_marker;
    std::vector<List> m_lists;
    std::optional<Link> m_link;
};

} // namespace

namespace NVHTMLText {

QString plainTextFromHTML(QStringView html, const QUrl &baseURL)
{
    return Reducer(html, baseURL).run();
}

QString printableText(QStringView text)
{
    QString printable;
    printable.reserve(text.size());
    for (char32_t c : text.toUcs4())
        if (c == '\n' || c == '\t' || !isHiddenCharacter(c))
            printable += QString::fromUcs4(&c, 1);
    return printable;
}

} // namespace NVHTMLText
