#include "platform/NVCodeRequirement.h"

#include "platform/NVCodeSigningStatus.h"

#include <optional>

struct NVCodeRequirement::Node {
    enum Kind { Anchor, OrganizationalUnitEquals, ExtensionExists, Not, And, Or };
    Kind kind = Anchor;
    QString value; // the compared text or the object identifier
    std::vector<Node> children;
};

namespace {

using Node = NVCodeRequirement::Node;

struct Token {
    enum Kind { End, Word, String, Punctuation };
    Kind kind = End;
    QString text;
    qsizetype position = 0;
};

bool isWordCharacter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'.' || c == u'_';
}

// "1.2.840.113635.100.6.1.13": two or more arcs of decimal digits without
// leading zeros, the first 0 to 2, the second below 40 under 0 and 1.
bool isObjectIdentifier(QStringView text)
{
    const QList<QStringView> arcs = text.split(u'.');
    if (arcs.size() < 2)
        return false;
    for (const QStringView arc : arcs) {
        if (arc.isEmpty() || arc.size() > 18 || (arc.size() > 1 && arc.front() == u'0'))
            return false;
        for (const QChar c : arc)
            if (c < u'0' || c > u'9')
                return false;
    }
    const int first = arcs[0].toInt();
    return first <= 2 && (first == 2 || arcs[1].toLongLong() < 40);
}

class Parser {
public:
    explicit Parser(QStringView text) : m_text(text) {}

    NVResult<Node> parse()
    {
        if (m_text.size() > NVCodeRequirement::MaxTextLength)
            return fail(0, QStringLiteral("the requirement is longer than %1 characters").arg(NVCodeRequirement::MaxTextLength));
        if (!advance())
            return *m_error;
        std::optional<Node> root = orTerm(0);
        if (!root)
            return *m_error;
        if (m_token.kind != Token::End)
            return fail(m_token.position, QStringLiteral("expected \"and\", \"or\" or the end, found %1").arg(describe(m_token)));
        return std::move(*root);
    }

private:
    QStringView m_text;
    qsizetype m_position = 0;
    Token m_token;
    std::optional<NVError> m_error;

    NVError fail(qsizetype position, const QString &reason)
    {
        if (!m_error)
            m_error = NVCodeSigningError(errSecCSReqInvalid, QStringLiteral("invalid requirement at character %1: %2").arg(position + 1).arg(reason));
        return *m_error;
    }

    static QString describe(const Token &token)
    {
        switch (token.kind) {
        case Token::End:
            return QStringLiteral("the end");
        case Token::String:
            return QStringLiteral("a string");
        default:
            return QLatin1Char('"') + token.text + QLatin1Char('"');
        }
    }

    bool advance()
    {
        while (m_position < m_text.size() && m_text[m_position].isSpace())
            ++m_position;
        m_token = Token{Token::End, QString(), m_position};
        if (m_position >= m_text.size())
            return true;
        const QChar c = m_text[m_position];
        if (QStringView(u"()[]!=").contains(c)) {
            m_token = Token{Token::Punctuation, QString(c), m_position++};
            return true;
        }
        if (c == u'"') {
            QString value;
            qsizetype at = m_position + 1;
            for (;; ++at) {
                if (at >= m_text.size()) {
                    fail(m_position, QStringLiteral("the string is not closed"));
                    return false;
                }
                QChar d = m_text[at];
                if (d == u'"')
                    break;
                if (d == u'\\') {
                    if (at + 1 >= m_text.size() || (m_text[at + 1] != u'"' && m_text[at + 1] != u'\\')) {
                        fail(at, QStringLiteral("only \\\" and \\\\ may be escaped in a string"));
                        return false;
                    }
                    d = m_text[++at];
                }
                value += d;
            }
            m_token = Token{Token::String, value, m_position};
            m_position = at + 1;
            return true;
        }
        if (isWordCharacter(c)) {
            const qsizetype start = m_position;
            while (m_position < m_text.size() && isWordCharacter(m_text[m_position]))
                ++m_position;
            m_token = Token{Token::Word, m_text.mid(start, m_position - start).toString(), start};
            return true;
        }
        fail(m_position, QStringLiteral("unexpected character '%1'").arg(c));
        return false;
    }

    bool isWord(const char *word) const { return m_token.kind == Token::Word && m_token.text == QLatin1String(word); }
    bool isPunctuation(char p) const { return m_token.kind == Token::Punctuation && m_token.text == QLatin1Char(p); }

    bool expectWord(const char *word)
    {
        if (!isWord(word)) {
            fail(m_token.position, QStringLiteral("expected \"%1\", found %2").arg(QLatin1String(word), describe(m_token)));
            return false;
        }
        return advance();
    }

    bool expectPunctuation(char p)
    {
        if (!isPunctuation(p)) {
            fail(m_token.position, QStringLiteral("expected \"%1\", found %2").arg(QString(QLatin1Char(p)), describe(m_token)));
            return false;
        }
        return advance();
    }

    // "or" and "and" chains are kept flat so that a long chain does not make
    // the tree (and the evaluation's recursion) deep.
    std::optional<Node> orTerm(int depth)
    {
        return chain(depth, "or", Node::Or, [this](int d) { return andTerm(d); });
    }

    std::optional<Node> andTerm(int depth)
    {
        return chain(depth, "and", Node::And, [this](int d) { return unary(d); });
    }

    template <typename Operand>
    std::optional<Node> chain(int depth, const char *keyword, Node::Kind kind, Operand operand)
    {
        std::optional<Node> first = operand(depth);
        if (!first || !isWord(keyword))
            return first;
        Node node{kind, QString(), {}};
        node.children.push_back(std::move(*first));
        while (isWord(keyword)) {
            if (!advance())
                return std::nullopt;
            std::optional<Node> next = operand(depth);
            if (!next)
                return std::nullopt;
            node.children.push_back(std::move(*next));
        }
        return node;
    }

    std::optional<Node> unary(int depth)
    {
        if (depth >= NVCodeRequirement::MaxDepth) {
            fail(m_token.position, QStringLiteral("the requirement is nested deeper than %1 levels").arg(NVCodeRequirement::MaxDepth));
            return std::nullopt;
        }
        if (isPunctuation('!')) {
            if (!advance())
                return std::nullopt;
            std::optional<Node> operand = unary(depth + 1);
            if (!operand)
                return std::nullopt;
            Node node{Node::Not, QString(), {}};
            node.children.push_back(std::move(*operand));
            return node;
        }
        if (isPunctuation('(')) {
            if (!advance())
                return std::nullopt;
            std::optional<Node> inner = orTerm(depth + 1);
            if (!inner || !expectPunctuation(')'))
                return std::nullopt;
            return inner;
        }
        if (isWord("anchor")) {
            if (!advance() || !expectWord("apple") || !expectWord("generic"))
                return std::nullopt;
            return Node{Node::Anchor, QString(), {}};
        }
        if (isWord("certificate"))
            return certificateClause();
        fail(m_token.position, QStringLiteral("expected a clause, \"!\" or \"(\", found %1").arg(describe(m_token)));
        return std::nullopt;
    }

    std::optional<Node> certificateClause()
    {
        if (!advance() || !expectWord("leaf") || !expectPunctuation('['))
            return std::nullopt;
        if (m_token.kind != Token::Word) {
            fail(m_token.position, QStringLiteral("expected \"subject.OU\" or \"field.\" and an object identifier, found %1").arg(describe(m_token)));
            return std::nullopt;
        }
        const Token key = m_token;
        if (!advance() || !expectPunctuation(']'))
            return std::nullopt;

        if (key.text == QLatin1String("subject.OU")) {
            if (!expectPunctuation('='))
                return std::nullopt;
            if (m_token.kind != Token::String) {
                fail(m_token.position, QStringLiteral("expected a quoted string, found %1").arg(describe(m_token)));
                return std::nullopt;
            }
            Node node{Node::OrganizationalUnitEquals, m_token.text, {}};
            if (!advance())
                return std::nullopt;
            return node;
        }
        if (key.text.startsWith(QLatin1String("field."))) {
            const QString oid = key.text.mid(6);
            if (!isObjectIdentifier(oid)) {
                fail(key.position + 6, QStringLiteral("\"%1\" is not an object identifier").arg(oid));
                return std::nullopt;
            }
            if (!expectWord("exists"))
                return std::nullopt;
            return Node{Node::ExtensionExists, oid, {}};
        }
        fail(key.position, QStringLiteral("unknown certificate field \"%1\"").arg(key.text));
        return std::nullopt;
    }
};

bool evaluate(const Node &node, const NVCodeRequirement::Subject &subject)
{
    switch (node.kind) {
    case Node::Anchor:
        return subject.chainsToAnchor();
    case Node::OrganizationalUnitEquals:
        return subject.leafOrganizationalUnits().contains(node.value);
    case Node::ExtensionExists:
        return subject.leafHasExtension(node.value);
    case Node::Not:
        return !evaluate(node.children.front(), subject);
    case Node::And:
        for (const Node &child : node.children)
            if (!evaluate(child, subject))
                return false;
        return true;
    case Node::Or:
        for (const Node &child : node.children)
            if (evaluate(child, subject))
                return true;
        return false;
    }
    return false;
}

QString quoted(const QString &value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

// Parentheses only where the text could not be read back into the same
// tree without them: a chain under "!", an "or" chain in an "and" chain,
// and a chain in one of its own kind. So the written text is never nested
// deeper than the text it was read from, and what was read within the depth
// limit is written within it.
QString write(const Node &node, std::optional<Node::Kind> parent = std::nullopt)
{
    switch (node.kind) {
    case Node::Anchor:
        return QStringLiteral("anchor apple generic");
    case Node::OrganizationalUnitEquals:
        return QStringLiteral("certificate leaf[subject.OU] = ") + quoted(node.value);
    case Node::ExtensionExists:
        return QStringLiteral("certificate leaf[field.%1] exists").arg(node.value);
    case Node::Not:
        return QLatin1Char('!') + write(node.children.front(), Node::Not);
    case Node::And:
    case Node::Or: {
        QStringList parts;
        for (const Node &child : node.children)
            parts << write(child, node.kind);
        const QString joined = parts.join(node.kind == Node::And ? QLatin1String(" and ") : QLatin1String(" or "));
        const bool needsParentheses = parent && (*parent == Node::Not || *parent == node.kind || node.kind == Node::Or);
        return needsParentheses ? QLatin1Char('(') + joined + QLatin1Char(')') : joined;
    }
    }
    return QString();
}

} // namespace

NVResult<NVCodeRequirement> NVCodeRequirement::create(QStringView text)
{
    NVResult<Node> root = Parser(text).parse();
    if (!root)
        return root.error();
    return NVCodeRequirement(std::make_shared<const Node>(std::move(root).value()));
}

bool NVCodeRequirement::isSatisfiedBy(const Subject &subject) const { return evaluate(*m_root, subject); }

QString NVCodeRequirement::text() const { return write(*m_root); }
