#include "webview/NVAuthenticationChallenge.h"

namespace NVAuthenticationChallenge {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Moves past a quoted string that starts at i, escapes included.
qsizetype skipQuotedString(const QByteArray &field, qsizetype i)
{
    for (++i; i < field.size(); ++i) {
        if (field[i] == '\\')
            ++i;
        else if (field[i] == '"')
            return i + 1;
    }
    return i;
}

} // namespace

QStringList authenticationSchemes(const QList<QByteArray> &fields)
{
    QStringList schemes;
    for (const QByteArray &field : fields) {
        // An element begins after a comma: either a new challenge's scheme
        // or one more parameter of the last challenge.
        bool atElementStart = true;
        qsizetype i = 0;
        while (i < field.size()) {
            const char c = field[i];
            if (c == ',') {
                atElementStart = true;
                ++i;
            } else if (isBlank(c)) {
                ++i;
            } else if (c == '"') {
                i = skipQuotedString(field, i);
            } else if (!atElementStart) {
                ++i;
            } else {
                const qsizetype start = i;
                while (i < field.size() && !isBlank(field[i]) && field[i] != ',' && field[i] != '=')
                    ++i;
                const QByteArray token = field.mid(start, i - start);
                qsizetype next = i;
                while (next < field.size() && isBlank(field[next]))
                    ++next;
                if (next >= field.size() || field[next] != '=')
                    schemes << QString::fromLatin1(token).toLower();
                atElementStart = false;
            }
        }
    }
    return schemes;
}

bool offersOnlyBasic(const QList<QByteArray> &fields)
{
    const QStringList schemes = authenticationSchemes(fields);
    return !schemes.isEmpty() && schemes.count(QStringLiteral("basic")) == schemes.size();
}

} // namespace NVAuthenticationChallenge
