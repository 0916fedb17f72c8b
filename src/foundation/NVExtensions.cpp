#include "foundation/NVExtensions.h"

#include "foundation/NVFormat.h"
#include "foundation/NVPrecondition.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
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

} // namespace NVExtensions
