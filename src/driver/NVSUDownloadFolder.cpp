#include "driver/NVSUDownloadFolder.h"

#include "foundation/NVPropertyList.h"
#include "logging/NVLog.h"
#include "unarchive/NVDiskImage.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString OwnerPidKey = QStringLiteral("owner-pid");
const QString OwnerStartTimeKey = QStringLiteral("owner-start-time");
// A leftover is renamed under the lock and removed after it, so that the lock
// is never held for the time a large folder takes to delete.
const QString RemovingPrefix = QStringLiteral(".removing-");

// An exclusive flock for as long as it lives; without the lock file the
// caller goes on unlocked, which only repeats safe work.
class DownloadsLock {
public:
    explicit DownloadsLock(const QString &directory)
    {
        m_fd = ::open(QFile::encodeName(directory + QStringLiteral("/.downloads.lock")).constData(),
                      O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        while (m_fd >= 0 && ::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~DownloadsLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    DownloadsLock(const DownloadsLock &) = delete;
    DownloadsLock &operator=(const DownloadsLock &) = delete;

private:
    int m_fd = -1;
};

// "<name>-<version>-<key>": the key is at least eight hexadecimal digits.
bool isDownloadFolderName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[^.].*-.*-[0-9a-f]{8,}$"));
    return pattern.match(name).hasMatch();
}

bool ownerLives(const QString &folder)
{
    QFile file(folder + u'/' + NVSUDownloadFolder::OwnerRecordName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const NVResult<QVariant> record = NVPropertyList::read(file.read(64 * 1024));
    if (!record || record->typeId() != QMetaType::QVariantMap)
        return false;
    const QVariantMap map = record->toMap();
    bool ok = false;
    const qint64 pid = map.value(OwnerPidKey).toLongLong(&ok);
    return ok && pid > 0 && NVDiskImage::isProcessAlive(pid_t(pid), map.value(OwnerStartTimeKey).toULongLong());
}

} // namespace

namespace NVSUDownloadFolder {

NVResult<QString> create(const QString &temporaryDirectory, const QString &name)
{
    const QString folder = temporaryDirectory + u'/' + name;
    const QByteArray encoded = QFile::encodeName(folder);
    DownloadsLock lock(temporaryDirectory);
    if (::mkdir(encoded.constData(), 0700) != 0 && errno != EEXIST)
        return NVError::posix(errno, {{NSFilePathErrorKey, folder}});
    const QVariantMap record{{OwnerPidKey, qint64(::getpid())}, {OwnerStartTimeKey, qint64(NVDiskImage::processStartTime(::getpid()))}};
    const QByteArray bytes = NVPropertyList::write(record, NVPropertyList::Format::XML).value();
    const QString recordPath = folder + u'/' + OwnerRecordName;
    const int fd = ::open(QFile::encodeName(recordPath).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    const bool written = fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    if (!written) {
        QDir(folder).removeRecursively();
        return NVError::posix(error ? error : EIO, {{NSFilePathErrorKey, recordPath}});
    }
    return folder;
}

QStringList removeLeftovers(const QString &temporaryDirectory)
{
    QStringList removed;
    QStringList doomed;
    const QDir directory(temporaryDirectory);
    {
        DownloadsLock lock(temporaryDirectory);
        const QStringList names = directory.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
        for (const QString &name : names) {
            const QString path = directory.filePath(name);
            if (name.startsWith(RemovingPrefix)) {
                // An earlier removal was cut short.
                doomed << path;
                continue;
            }
            if (!isDownloadFolderName(name) || ownerLives(path))
                continue;
            const QString aside = directory.filePath(RemovingPrefix + QUuid::createUuid().toString(QUuid::Id128));
            if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) == 0) {
                doomed << aside;
                removed << path;
            }
        }
    }
    for (const QString &path : std::as_const(doomed)) {
        if (!QDir(path).removeRecursively())
            NVSULog(QStringLiteral("Cannot remove the leftover download folder %@"), path);
    }
    return removed;
}

} // namespace NVSUDownloadFolder
