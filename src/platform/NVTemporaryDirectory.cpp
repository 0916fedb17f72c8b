#include "platform/NVTemporaryDirectory.h"

#include "platform/NVBundle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace NVTemporaryDirectory {

namespace {

QString cacheHome()
{
    const QString xdg = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return QDir::cleanPath(xdg);
    return QDir::homePath() + QStringLiteral("/.cache");
}

NVError refusal(const QString &path, int posixCode, const QString &reason)
{
    return NVError(NSPOSIXErrorDomain, posixCode,
                   {{NSLocalizedDescriptionKey, QStringLiteral("The private folder %1 cannot be used: %2.").arg(path, reason)},
                    {NSFilePathErrorKey, path}});
}

// Creates one folder with mode 0700 when it is missing; an existing one is
// left for check() to judge.
NVResult<void> makeFolder(const QString &path)
{
    if (::mkdir(QFile::encodeName(path).constData(), 0700) == 0 || errno == EEXIST)
        return {};
    return refusal(path, errno, QString::fromLocal8Bit(strerror(errno)));
}

NVResult<void> checkOpened(const QString &path, bool requirePrivateMode)
{
    // O_NOFOLLOW makes a link in the last component fail instead of being
    // followed; fstat then judges the very folder that was opened.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP || error == ENOTDIR)
            return refusal(path, error, QStringLiteral("it is a link or not a folder"));
        return refusal(path, error, QString::fromLocal8Bit(strerror(error)));
    }
    struct stat st {};
    const int statResult = ::fstat(fd, &st);
    const int statError = errno;
    ::close(fd);
    if (statResult != 0)
        return refusal(path, statError, QString::fromLocal8Bit(strerror(statError)));
    if (!S_ISDIR(st.st_mode))
        return refusal(path, ENOTDIR, QStringLiteral("it is not a folder"));
    if (st.st_uid != ::geteuid())
        return refusal(path, EPERM, QStringLiteral("it belongs to another user (uid %1)").arg(st.st_uid));
    if (requirePrivateMode && (st.st_mode & 07777) != 0700)
        return refusal(path, EPERM, QStringLiteral("its permissions are %1 instead of 0700").arg(st.st_mode & 07777, 4, 8, QLatin1Char('0')));
    return {};
}

} // namespace

QString pathForIdentifier(const QString &identifier) { return cacheHome() + u'/' + identifier + QStringLiteral("/tmp"); }

NVResult<void> check(const QString &path)
{
    const QString parent = QFileInfo(path).path();
    NV_TRY(checkOpened(parent, false));
    return checkOpened(path, true);
}

NVResult<QString> ensure(const QString &identifier)
{
    if (identifier.isEmpty() || identifier.contains(u'/') || identifier == QLatin1String(".") || identifier == QLatin1String(".."))
        return refusal(identifier, EINVAL, QStringLiteral("the identifier is not a folder name"));
    const QString cache = cacheHome();
    const QString parent = cache + u'/' + identifier;
    const QString path = parent + QStringLiteral("/tmp");
    // The cache home itself may legitimately be a link (to another disk);
    // only the two folders this program owns must be exactly as it made them.
    if (!QDir().mkpath(cache))
        return refusal(cache, EACCES, QStringLiteral("it cannot be created"));
    NV_TRY(makeFolder(parent));
    NV_TRY(checkOpened(parent, false));
    NV_TRY(makeFolder(path));
    NV_TRY(checkOpened(path, true));
    return path;
}

NVResult<QString> privateTemporaryDirectory()
{
    return ensure(NVBundle::mainIdentifier());
}

} // namespace NVTemporaryDirectory
