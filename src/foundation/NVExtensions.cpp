#include "foundation/NVExtensions.h"

#include "foundation/NVFormat.h"
#include "foundation/NVPrecondition.h"

#include <QDir>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <unistd.h>

QString NVRange::description() const
{
    return QStringLiteral("{%1, %2}").arg(location).arg(length);
}

namespace NVExtensions {

NVRange rangeOfData(const QByteArray &data, const QByteArray &dataToFind, NVRange range)
{
    const NVRange notFound{NVNotFound, 0};
    if (dataToFind.isEmpty())
        return notFound;

    const qint64 size = data.size();
    // Written so that no sum can overflow: a negative or huge range is as
    // wrong as one just past the end.
    const bool inside = range.location >= 0 && range.length >= 0 && range.location < size
        && range.length <= size - range.location;
    NV_PRECONDITION(inside, NVFormat::format(QStringLiteral("-[NSData %@]: search range %@ outside receiver's range of bytes %@"),
                                             QStringLiteral("rangeOfData:options:range:"), range.description(),
                                             NVRange{0, size}.description()));

    const qint64 needleSize = dataToFind.size();
    if (needleSize > size || needleSize > range.length)
        return notFound;

    const char *begin = data.constData() + range.location;
    const char *end = begin + range.length;
    const char *found = std::search(begin, end, dataToFind.constBegin(), dataToFind.constEnd());
    if (found == end)
        return notFound;
    return NVRange{qint64(found - data.constData()), needleSize};
}

QList<pid_t> pidsOfProcessesWithExecutablePath(const QString &path, qsizetype maximumCount)
{
    QList<pid_t> pids;
    if (path.isEmpty() || maximumCount <= 0)
        return pids;
    const QByteArray wanted = path.toUtf8();

    // Unlike a fixed-size process list, /proc is read entry by entry, so every
    // process is seen however many there are.
    const std::unique_ptr<DIR, int (*)(DIR *)> proc(::opendir("/proc"), &::closedir);
    if (!proc)
        return pids;

    QByteArray target(PATH_MAX + 1, Qt::Uninitialized);
    while (const dirent *entry = ::readdir(proc.get())) {
        char *end = nullptr;
        errno = 0;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (errno != 0 || end == entry->d_name || *end != '\0' || pid <= 0 || pid > INT_MAX)
            continue;
        const QByteArray link = QByteArray("/proc/") + entry->d_name + "/exe";
        const ssize_t length = ::readlink(link.constData(), target.data(), size_t(target.size()));
        // A link that fills the buffer may have been cut short; it cannot be
        // a path the kernel would accept, so it is not a match.
        if (length <= 0 || length >= target.size())
            continue;
        if (QByteArrayView(target.constData(), length) != QByteArrayView(wanted))
            continue;
        pids.append(pid_t(pid));
        if (pids.size() >= maximumCount)
            break;
    }
    return pids;
}

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The bytes of string with every %XX decoded; nothing when an escape is
// cut short or not hexadecimal.
std::optional<QByteArray> percentDecoded(const QByteArray &string)
{
    QByteArray bytes;
    bytes.reserve(string.size());
    for (qsizetype i = 0; i < string.size(); ++i) {
        if (string[i] != '%') {
            bytes += string[i];
            continue;
        }
        const int high = i + 2 < string.size() ? hexValue(string[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(string[i + 2]) : -1;
        if (low < 0)
            return std::nullopt;
        bytes += char(high * 16 + low);
        i += 2;
    }
    return bytes;
}

// What a query may hold unencoded: the unreserved characters, the
// sub-delimiters, ":", "@", "/" and "?".
bool allowedInQuery(uchar c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || std::strchr("-._~!$&'()*+,;=:@/?", c) != nullptr;
}

bool isBlank(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

} // namespace

bool isEqualIgnoringFragmentToURL(const QUrl &url, const QUrl &other)
{
    if (other.isEmpty())
        return false;
    return url.adjusted(QUrl::RemoveFragment) == other.adjusted(QUrl::RemoveFragment);
}

std::optional<QUrl> URLFromPartiallyEncodedURLString(const QString &string)
{
    if (string.isEmpty())
        return std::nullopt;
    const std::optional<QByteArray> decoded = percentDecoded(string.toUtf8());
    if (!decoded)
        return std::nullopt;
    // Escapes that decode to something other than UTF-8 text are as invalid
    // as malformed ones.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    (void)QString(utf8.decode(*decoded));
    if (utf8.hasError())
        return std::nullopt;

    QByteArray encoded;
    encoded.reserve(decoded->size() * 3);
    for (const char byte : *decoded) {
        const uchar c = uchar(byte);
        if (c != 0 && allowedInQuery(c))
            encoded += char(c);
        else
            encoded += '%' + QByteArray::number(c, 16).rightJustified(2, '0').toUpper();
    }
    if (const qsizetype last = encoded.lastIndexOf("%23"); last >= 0)
        encoded.replace(last, 3, "#");

    const QUrl url = QUrl::fromEncoded(encoded, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

std::optional<QUrl> URLFromLazyURLString(const QString &string, const QString &schemePrefix)
{
    qsizetype begin = 0;
    qsizetype end = string.size();
    while (begin < end && isBlank(string[begin]))
        ++begin;
    while (end > begin && isBlank(string[end - 1]))
        --end;
    QString text = string.mid(begin, end - begin);

    if (!text.contains(u':')) {
        const QStringList parts = text.split(u'@');
        if (!schemePrefix.isEmpty())
            text.prepend(schemePrefix);
        else if (parts.size() == 2 && !parts[0].isEmpty() && !parts[1].isEmpty())
            text.prepend(QStringLiteral("mailto:"));
        else
            text.prepend(QStringLiteral("http://"));
    }
    // "file:///~/x": the slash and the tilde give way to the home folder,
    // whose path brings its own leading slash.
    if (text.startsWith(QStringLiteral("file:///~")))
        text.replace(7, 2, QDir::homePath());
    return URLFromPartiallyEncodedURLString(text);
}

} // namespace NVExtensions
