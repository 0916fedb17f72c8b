#include "unarchive/NVDiskImage.h"

#include "foundation/NVPropertyList.h"
#include "platform/NVProcessTermination.h"
#include "platform/NVTemporaryDirectory.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <limits>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace NVDiskImage {

namespace {

constexpr quint32 SquashfsMagic = 0x73717368; // "hsqs" read little-endian
constexpr quint64 NoTable = ~quint64(0);
const QString OwnerSuffix = QStringLiteral(".owner");
const QString MountPointPrefix = QStringLiteral("image-");
// Deep enough for any real bundle; a deeper tree is refused rather than
// risking the stack while removing it.
constexpr int MaxTreeDepth = 1000;

NVError failure(int code, const QString &description, const QString &path = QString())
{
    QVariantMap info{{NSLocalizedDescriptionKey, description}};
    if (!path.isEmpty())
        info.insert(NSFilePathErrorKey, path);
    return NVError(NSPOSIXErrorDomain, code, info);
}

QString quoted(const QString &path) { return u'"' + path + u'"'; }

QString errnoText(int code) { return QString::fromLocal8Bit(strerror(code)); }

bool isMountPointName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^image-[A-Za-z0-9]{6}$"));
    return pattern.match(name).hasMatch();
}

// ---- child processes ----------------------------------------------------------------

// System tools are looked up in the system's own folders only: the caller's
// PATH must not choose what runs with the user's (or root's) rights.
QString systemTool(const QString &name)
{
    static const QStringList folders = {QStringLiteral("/usr/bin"), QStringLiteral("/bin"), QStringLiteral("/usr/sbin"),
                                        QStringLiteral("/sbin")};
    return QStandardPaths::findExecutable(name, folders);
}

struct ToolRun {
    bool started = false;
    bool timedOut = false;
    int exitCode = -1;
    QString output; // standard output and error, one line

    bool succeeded() const { return started && !timedOut && exitCode == 0; }
};

QString oneLine(const QByteArray &bytes)
{
    QString text = QString::fromLocal8Bit(bytes).trimmed();
    text.replace(QRegularExpression(QStringLiteral("\\s*\\n\\s*")), QStringLiteral("; "));
    if (text.size() > 400)
        text = text.left(400) + QStringLiteral("...");
    return text;
}

ToolRun runTool(const QString &program, const QStringList &arguments, std::chrono::milliseconds limit)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QStringLiteral("/"));
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    ToolRun run;
    if (!process.waitForStarted(10'000)) {
        run.output = process.errorString();
        return run;
    }
    run.started = true;
    if (!process.waitForFinished(int(limit.count()))) {
        run.timedOut = true;
        process.kill();
        process.waitForFinished(2'000);
        run.output = QStringLiteral("no answer within %1 s").arg(limit.count() / 1000.0);
        return run;
    }
    const NVProcessTermination termination = NVProcessTermination::of(process);
    run.exitCode = termination.status;
    run.output = oneLine(process.readAll());
    // What the tool said explains a failure best; a signal is named as well,
    // since the tool had no chance to say anything about it.
    if (run.output.isEmpty() && run.exitCode != 0)
        run.output = termination.description();
    else if (termination.signal != 0)
        run.output += QStringLiteral(" (%1)").arg(termination.description());
    return run;
}

// ---- mount table --------------------------------------------------------------------

// Undoes the octal escapes (\040 for a blank) of /proc/self/mountinfo.
QString decodeMountField(const QByteArray &field)
{
    QByteArray decoded;
    decoded.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                decoded.append(char(value));
                i += 3;
                continue;
            }
        }
        decoded.append(field[i]);
    }
    return QFile::decodeName(decoded);
}

// ---- the superblock -----------------------------------------------------------------

template <typename T>
T littleEndianAt(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<T>(bytes.constData() + offset);
}

// ---- trees --------------------------------------------------------------------------

struct TreeProblem {
    int code = 0;
    QString text;
};

// Removes `name` inside the folder `parent`, never following a link and never
// entering another file system (a mount left inside stays untouched and the
// removal fails). Folders are made writable first: extracted images are
// read-only.
bool removeEntry(int parent, const char *name, dev_t device, int depth, TreeProblem &problem)
{
    struct stat st {};
    if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return true;
        problem = {errno, QStringLiteral("cannot examine \"%1\": %2").arg(QFile::decodeName(name), errnoText(errno))};
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT)
            return true;
        problem = {errno, QStringLiteral("cannot remove \"%1\": %2").arg(QFile::decodeName(name), errnoText(errno))};
        return false;
    }
    if (st.st_dev != device) {
        problem = {EBUSY, QStringLiteral("\"%1\" is another file system").arg(QFile::decodeName(name))};
        return false;
    }
    if (depth > MaxTreeDepth) {
        problem = {ELOOP, QStringLiteral("the folders are nested too deeply")};
        return false;
    }
    ::fchmodat(parent, name, 0700, 0);
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        problem = {errno, QStringLiteral("cannot open \"%1\": %2").arg(QFile::decodeName(name), errnoText(errno))};
        return false;
    }
    DIR *folder = ::fdopendir(fd);
    if (!folder) {
        ::close(fd);
        problem = {errno, QStringLiteral("cannot read \"%1\"").arg(QFile::decodeName(name))};
        return false;
    }
    bool ok = true;
    while (const dirent *entry = ::readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (!removeEntry(::dirfd(folder), entry->d_name, device, depth + 1, problem)) {
            ok = false;
            break;
        }
    }
    ::closedir(folder);
    if (!ok)
        return false;
    if (::unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT)
        return true;
    problem = {errno, QStringLiteral("cannot remove \"%1\": %2").arg(QFile::decodeName(name), errnoText(errno))};
    return false;
}

NVResult<void> removeTree(const QString &path)
{
    const QFileInfo info(path);
    const int parent = ::open(QFile::encodeName(info.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0)
        return failure(errno, QStringLiteral("cannot remove %1: %2").arg(quoted(path), errnoText(errno)), path);
    struct stat parentStatus {};
    ::fstat(parent, &parentStatus);
    struct stat st {};
    const QByteArray name = QFile::encodeName(info.fileName());
    dev_t device = parentStatus.st_dev;
    if (::fstatat(parent, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        device = st.st_dev;
    TreeProblem problem;
    const bool removed = removeEntry(parent, name.constData(), device, 0, problem);
    ::close(parent);
    if (!removed)
        return failure(problem.code ? problem.code : EIO, QStringLiteral("cannot remove %1: %2").arg(quoted(path), problem.text), path);
    return {};
}

// Takes write permission (and set-id bits) away from everything under an
// extracted image, so that the folder behaves like the read-only mount it
// stands for.
bool makeReadOnly(int parent, const char *name, int depth)
{
    struct stat st {};
    if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (S_ISLNK(st.st_mode))
        return true;
    // A mount would be nodev; extracted as root, device nodes (and FIFOs and
    // sockets, which nothing in an application needs) would be real, so
    // they go.
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return ::unlinkat(parent, name, 0) == 0;
    bool ok = true;
    if (S_ISDIR(st.st_mode)) {
        if (depth > MaxTreeDepth)
            return false;
        const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR *folder = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!folder) {
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        while (const dirent *entry = ::readdir(folder)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            ok = makeReadOnly(::dirfd(folder), entry->d_name, depth + 1) && ok;
        }
        ::closedir(folder);
    }
    const mode_t mode = st.st_mode & 07777 & ~mode_t(S_ISUID | S_ISGID | 0222);
    return ::fchmodat(parent, name, mode, 0) == 0 && ok;
}

// ---- the lock and the owner records ------------------------------------------------

class FolderLock {
public:
    // Waits up to `limit` for the lock; without it (another tool hangs with
    // it, or the lock file cannot be made) the caller goes on unlocked,
    // which at worst repeats work that is safe to repeat.
    FolderLock(const QString &folder, std::chrono::milliseconds limit)
    {
        m_fd = ::open(QFile::encodeName(folder + QStringLiteral("/.lock")).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0)
            return;
        QDeadlineTimer deadline(limit);
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                return;
            if (deadline.hasExpired())
                return;
            QThread::msleep(20);
        }
    }
    ~FolderLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

private:
    int m_fd = -1;
};

const QString OwnerPidKey = QStringLiteral("owner-pid");
const QString OwnerStartTimeKey = QStringLiteral("owner-start-time");
const QString ImageKey = QStringLiteral("image");

bool ownerLives(const QString &recordPath)
{
    QFile file(recordPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const NVResult<QVariant> record = NVPropertyList::readXML(file.read(64 * 1024));
    if (!record || record->typeId() != QMetaType::QVariantMap)
        return false;
    const QVariantMap map = record->toMap();
    bool ok = false;
    const qint64 pid = map.value(OwnerPidKey).toLongLong(&ok);
    if (!ok || pid <= 0)
        return false;
    return isProcessAlive(pid_t(pid), map.value(OwnerStartTimeKey).toULongLong());
}

// Makes a new mount point folder and its owner record. The caller holds the
// folder lock, so no cleanup can see the folder before its record exists.
NVResult<QString> makeMountPoint(const QString &folder, const QString &imagePath, pid_t owner)
{
    QByteArray pattern = QFile::encodeName(folder + u'/' + MountPointPrefix + QStringLiteral("XXXXXX"));
    if (!::mkdtemp(pattern.data()))
        return failure(errno, QStringLiteral("cannot make a mount point in %1: %2").arg(quoted(folder), errnoText(errno)), folder);
    const QString mountPoint = QFile::decodeName(pattern);
    const QVariantMap record{{OwnerPidKey, qint64(owner)},
                             {OwnerStartTimeKey, qint64(processStartTime(owner))},
                             {ImageKey, imagePath}};
    const QByteArray bytes = NVPropertyList::write(record, NVPropertyList::Format::XML).value();
    const QString recordPath = mountPoint + OwnerSuffix;
    const int fd = ::open(QFile::encodeName(recordPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    const bool written = fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    if (!written) {
        ::unlink(QFile::encodeName(recordPath).constData());
        ::rmdir(pattern.constData());
        return failure(error ? error : EIO, QStringLiteral("cannot write %1: %2").arg(quoted(recordPath), errnoText(error)), recordPath);
    }
    return mountPoint;
}

// ---- unmounting ---------------------------------------------------------------------

bool isFuse(const QString &type) { return type == QLatin1String("fuse") || type.startsWith(QLatin1String("fuse.")); }

// One unmount of the topmost mount at `path`: normally first, lazily when
// that fails or hangs (a process still has a file open or its working
// folder there).
NVResult<void> unmountOnce(const QString &path, const QString &type, const Options &options)
{
    const QString fusermount = systemTool(QStringLiteral("fusermount3"));
    const QString umount = systemTool(QStringLiteral("umount"));
    const bool useFusermount = isFuse(type) && !fusermount.isEmpty();
    if (!useFusermount && umount.isEmpty())
        return failure(ENOTSUP, QStringLiteral("cannot detach %1: umount is missing").arg(quoted(path)), path);
    // umount's -c keeps it from resolving the path, which would touch a mount
    // whose server may have stopped answering.
    const QString program = useFusermount ? fusermount : umount;
    const QStringList normal = useFusermount ? QStringList{QStringLiteral("-u"), path} : QStringList{QStringLiteral("-c"), path};
    const QStringList lazy = useFusermount ? QStringList{QStringLiteral("-u"), QStringLiteral("-z"), path}
                                           : QStringList{QStringLiteral("-c"), QStringLiteral("-l"), path};
    const std::optional<QString> before = mountedFileSystemType(path);
    const auto stillThere = [&] { return mountedFileSystemType(path) == before && before.has_value(); };

    const ToolRun first = runTool(program, normal, options.unmountTimeLimit);
    if (!stillThere())
        return {};
    const ToolRun second = runTool(program, lazy, options.unmountTimeLimit);
    if (!stillThere())
        return {};
    const ToolRun &last = second.started ? second : first;
    return failure(last.timedOut ? ETIMEDOUT : EBUSY,
                   QStringLiteral("cannot detach %1: %2").arg(quoted(path), last.output.isEmpty() ? QStringLiteral("it stays mounted") : last.output),
                   path);
}

// Mounts can be stacked on one folder; each round removes the topmost one.
NVResult<void> unmountAll(const QString &path, const Options &options)
{
    for (int round = 0; round < 8; ++round) {
        const std::optional<QString> type = mountedFileSystemType(path);
        if (!type)
            break;
        NV_TRY(unmountOnce(path, *type, options));
    }
    return {};
}

// Unmounts everything at the mount point, removes the folder and then the
// record (last, so a folder without a record is always a leftover). The
// caller holds the folder lock.
NVResult<void> detachLocked(const QString &folder, const QString &name, const Options &options)
{
    const QString path = folder + u'/' + name;
    const QString recordPath = path + OwnerSuffix;
    NV_TRY(unmountAll(path, options));
    if (mountedFileSystemType(path))
        return failure(EBUSY, QStringLiteral("cannot detach %1: it stays mounted").arg(quoted(path)), path);

    const QByteArray encoded = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(encoded.constData(), &st) == 0) {
        NV_TRY(removeTree(path));
    } else if (errno == ENOENT && !QFileInfo::exists(recordPath)) {
        return failure(ENOENT, QStringLiteral("cannot detach %1: no such mount point").arg(quoted(path)), path);
    }
    if (::unlink(QFile::encodeName(recordPath).constData()) != 0 && errno != ENOENT)
        return failure(errno, QStringLiteral("cannot remove %1: %2").arg(quoted(recordPath), errnoText(errno)), recordPath);
    return {};
}

// Empties a mount point after a failed attempt: unmounts what is there and
// removes extracted files, then makes the empty folder again.
NVResult<void> resetMountPoint(const QString &path, const Options &options)
{
    NV_TRY(unmountAll(path, options));
    NV_TRY(removeTree(path));
    if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0)
        return failure(errno, QStringLiteral("cannot make %1 again: %2").arg(quoted(path), errnoText(errno)), path);
    return {};
}

// Names in the mounts folder, read without stat(): a mount point whose FUSE
// server stopped answering must not stall the listing.
QStringList folderNames(const QString &folder)
{
    QStringList names;
    DIR *handle = ::opendir(QFile::encodeName(folder).constData());
    if (!handle)
        return names;
    while (const dirent *entry = ::readdir(handle))
        names << QFile::decodeName(entry->d_name);
    ::closedir(handle);
    return names;
}

CleanupReport cleanupLocked(const QString &folder, const Options &options)
{
    QStringList stems;
    for (const QString &name : folderNames(folder)) {
        const QString stem = name.endsWith(OwnerSuffix) ? name.chopped(OwnerSuffix.size()) : name;
        if (isMountPointName(stem) && !stems.contains(stem))
            stems << stem;
    }
    stems.sort();
    CleanupReport report;
    for (const QString &stem : std::as_const(stems)) {
        const QString path = folder + u'/' + stem;
        if (ownerLives(path + OwnerSuffix)) {
            report.kept << path;
            continue;
        }
        if (NVResult<void> problem = detachLocked(folder, stem, options); !problem)
            report.failures << problem.error();
        else
            report.detached << path;
    }
    return report;
}

// ---- attaching ----------------------------------------------------------------------

// Why a method cannot work for this user here, or nothing when it can.
std::optional<QString> unavailableReason(Method method)
{
    switch (method) {
    case Method::LoopMount:
        if (::geteuid() != 0)
            return QStringLiteral("needs root");
        if (systemTool(QStringLiteral("mount")).isEmpty())
            return QStringLiteral("mount is missing");
        return std::nullopt;
    case Method::Fuse:
        if (systemTool(QStringLiteral("squashfuse")).isEmpty())
            return QStringLiteral("squashfuse is missing");
        if (::access("/dev/fuse", R_OK | W_OK) != 0)
            return QStringLiteral("/dev/fuse is not usable");
        if (::geteuid() != 0 && systemTool(QStringLiteral("fusermount3")).isEmpty())
            return QStringLiteral("fusermount3 is missing");
        return std::nullopt;
    case Method::Extraction:
        if (systemTool(QStringLiteral("unsquashfs")).isEmpty())
            return QStringLiteral("unsquashfs is missing");
        return std::nullopt;
    }
    return QStringLiteral("unknown method");
}

// Root must be able to read what a user mounted (installation may copy from
// the image as root), which FUSE allows only with allow_root, and for users
// only where the administrator enabled user_allow_other.
bool fuseAllowsRoot()
{
    QFile configuration(QStringLiteral("/etc/fuse.conf"));
    if (!configuration.open(QIODevice::ReadOnly))
        return false;
    while (!configuration.atEnd()) {
        if (configuration.readLine(4096).trimmed() == "user_allow_other")
            return true;
    }
    return false;
}

// Reads the whole root folder of a fresh mount: a mount of a damaged image
// can succeed and fail only when its tables are read.
NVResult<void> checkReadable(const QString &mountPoint)
{
    DIR *handle = ::opendir(QFile::encodeName(mountPoint).constData());
    if (!handle)
        return failure(errno, QStringLiteral("its contents cannot be read (%1)").arg(errnoText(errno)));
    // squashfuse lists no "." and "..", so only an error counts, not the
    // number of names.
    errno = 0;
    while (::readdir(handle)) {
    }
    const int error = errno;
    ::closedir(handle);
    if (error != 0)
        return failure(error, QStringLiteral("its contents cannot be read (%1)").arg(errnoText(error)));
    return {};
}

struct MethodOutcome {
    NVResult<void> problem;
    bool timedOut = false;
};

MethodOutcome attachWith(Method method, const QString &image, const QString &mountPoint, const Options &options)
{
    if (method == Method::Extraction) {
        QStringList arguments = {QStringLiteral("-n"), QStringLiteral("-q"), QStringLiteral("-f")};
        // Users cannot write the trusted and security attribute namespaces;
        // root must not, since a file capability there would work like a
        // set-id bit.
        arguments << (::geteuid() != 0 ? QStringLiteral("-user-xattrs") : QStringLiteral("-no-xattrs"));
        arguments << QStringLiteral("-d") << mountPoint << image;
        const ToolRun run = runTool(systemTool(QStringLiteral("unsquashfs")), arguments, options.extractionTimeLimit);
        if (!run.succeeded())
            return {failure(run.timedOut ? ETIMEDOUT : EIO, QStringLiteral("unsquashfs: %1").arg(run.output)), run.timedOut};
        const QFileInfo info(mountPoint);
        const int parent = ::open(QFile::encodeName(info.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool readOnly = parent >= 0 && makeReadOnly(parent, QFile::encodeName(info.fileName()).constData(), 0);
        if (parent >= 0)
            ::close(parent);
        if (!readOnly)
            return {failure(EIO, QStringLiteral("unsquashfs: the extracted files cannot be made read-only"))};
        return {};
    }

    ToolRun run;
    if (method == Method::LoopMount) {
        run = runTool(systemTool(QStringLiteral("mount")),
                      {QStringLiteral("-t"), QStringLiteral("squashfs"), QStringLiteral("-o"), QStringLiteral("ro,loop,nodev,nosuid"), image, mountPoint},
                      options.mountTimeLimit);
    } else {
        // default_permissions makes the kernel judge access by the modes in
        // the image, as it does for a loop mount.
        QString mountOptions = QStringLiteral("ro,nodev,nosuid,default_permissions");
        if (::geteuid() != 0 && fuseAllowsRoot())
            mountOptions += QStringLiteral(",allow_root");
        run = runTool(systemTool(QStringLiteral("squashfuse")), {QStringLiteral("-o"), mountOptions, image, mountPoint}, options.mountTimeLimit);
    }
    const QString name = method == Method::LoopMount ? QStringLiteral("mount") : QStringLiteral("squashfuse");
    if (!run.succeeded())
        return {failure(run.timedOut ? ETIMEDOUT : EIO, QStringLiteral("%1: %2").arg(name, run.output)), run.timedOut};

    // squashfuse returns once the kernel has the mount, but the answer is
    // only believed when the mount table shows it.
    QDeadlineTimer deadline(options.mountAppearanceLimit);
    for (;;) {
        const std::optional<QString> type = mountedFileSystemType(mountPoint);
        if (type && (method == Method::LoopMount ? *type == QLatin1String("squashfs") : isFuse(*type)))
            break;
        if (deadline.hasExpired())
            return {failure(ETIMEDOUT, QStringLiteral("%1: the mount did not appear").arg(name)), true};
        QThread::msleep(10);
    }
    if (NVResult<void> unreadable = checkReadable(mountPoint); !unreadable)
        return {failure(EIO, QStringLiteral("%1: %2").arg(name, unreadable.error().localizedDescription()))};
    return {};
}

} // namespace

QString methodName(Method method)
{
    switch (method) {
    case Method::LoopMount:
        return QStringLiteral("loop");
    case Method::Fuse:
        return QStringLiteral("fuse");
    case Method::Extraction:
        return QStringLiteral("extract");
    }
    return QString();
}

std::optional<Method> methodForName(const QString &name)
{
    for (Method method : {Method::LoopMount, Method::Fuse, Method::Extraction}) {
        if (methodName(method) == name)
            return method;
    }
    return std::nullopt;
}

NVResult<ImageInfo> inspectSuperblock(const QByteArray &head, qint64 fileSize, const QString &path)
{
    const QString shown = path.isEmpty() ? QStringLiteral("the image") : quoted(path);
    const auto corrupt = [&](const QString &why) {
        return failure(EIO, QStringLiteral("%1 is a damaged squashfs image: %2").arg(shown, why), path);
    };
    if (fileSize == 0)
        return failure(EMEDIUMTYPE, QStringLiteral("%1 is empty, not a squashfs image").arg(shown), path);
    if (head.size() < 4 || littleEndianAt<quint32>(head, 0) != SquashfsMagic)
        return failure(EMEDIUMTYPE, QStringLiteral("%1 is not a squashfs image").arg(shown), path);
    if (head.size() < SuperblockSize || fileSize < SuperblockSize)
        return failure(ENODATA, QStringLiteral("%1 is truncated: it ends inside the superblock").arg(shown), path);

    ImageInfo info;
    info.fileSize = fileSize;
    info.inodeCount = littleEndianAt<quint32>(head, 4);
    info.blockSize = littleEndianAt<quint32>(head, 12);
    info.compression = littleEndianAt<quint16>(head, 20);
    const quint16 blockLog = littleEndianAt<quint16>(head, 22);
    const quint16 major = littleEndianAt<quint16>(head, 28);
    const quint16 minor = littleEndianAt<quint16>(head, 30);
    const quint64 rootInode = littleEndianAt<quint64>(head, 32);
    const quint64 bytesUsed = littleEndianAt<quint64>(head, 40);
    const quint64 idTable = littleEndianAt<quint64>(head, 48);
    const quint64 xattrTable = littleEndianAt<quint64>(head, 56);
    const quint64 inodeTable = littleEndianAt<quint64>(head, 64);
    const quint64 directoryTable = littleEndianAt<quint64>(head, 72);
    const quint64 fragmentTable = littleEndianAt<quint64>(head, 80);
    const quint64 lookupTable = littleEndianAt<quint64>(head, 88);

    if (major != 4 || minor != 0)
        return failure(EMEDIUMTYPE, QStringLiteral("%1 is a squashfs %2.%3 image; only 4.0 is supported").arg(shown).arg(major).arg(minor), path);
    if (info.blockSize < 4096 || info.blockSize > (1u << 20) || (info.blockSize & (info.blockSize - 1)) != 0
        || (1u << (blockLog & 31)) != info.blockSize)
        return corrupt(QStringLiteral("block size %1 (log %2)").arg(info.blockSize).arg(blockLog));
    if (info.compression < 1 || info.compression > 6)
        return corrupt(QStringLiteral("unknown compression %1").arg(info.compression));
    if (bytesUsed < quint64(SuperblockSize) || bytesUsed > quint64(std::numeric_limits<qint64>::max()))
        return corrupt(QStringLiteral("its size field says %1 bytes").arg(bytesUsed));
    if (bytesUsed > quint64(fileSize))
        return failure(ENODATA, QStringLiteral("%1 is truncated: it has %2 of its %3 bytes").arg(shown).arg(fileSize).arg(bytesUsed), path);
    info.bytesUsed = qint64(bytesUsed);

    const auto inside = [&](quint64 offset) { return offset >= quint64(SuperblockSize) && offset < bytesUsed; };
    const auto optionalInside = [&](quint64 offset) { return offset == NoTable || inside(offset); };
    if (!inside(inodeTable) || !inside(directoryTable) || directoryTable <= inodeTable || !inside(idTable)
        || !optionalInside(xattrTable) || !optionalInside(fragmentTable) || !optionalInside(lookupTable))
        return corrupt(QStringLiteral("a table lies outside the image"));
    if (inodeTable + (rootInode >> 16) >= directoryTable)
        return corrupt(QStringLiteral("the root folder lies outside the inode table"));
    return info;
}

NVResult<ImageInfo> inspectImage(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = ::open(encoded.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return failure(ENOENT, QStringLiteral("%1 does not exist").arg(quoted(path)), path);
        return failure(error, QStringLiteral("%1 cannot be opened: %2").arg(quoted(path), errnoText(error)), path);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        if (S_ISDIR(st.st_mode))
            return failure(EISDIR, QStringLiteral("%1 is a folder, not a squashfs image").arg(quoted(path)), path);
        return failure(EMEDIUMTYPE, QStringLiteral("%1 is not a regular file").arg(quoted(path)), path);
    }
    QByteArray head(SuperblockSize, '\0');
    const ssize_t got = ::pread(fd, head.data(), size_t(head.size()), 0);
    const int error = errno;
    ::close(fd);
    if (got < 0)
        return failure(error, QStringLiteral("%1 cannot be read: %2").arg(quoted(path), errnoText(error)), path);
    head.truncate(got);
    return inspectSuperblock(head, st.st_size, path);
}

NVResult<Options> optionsFromEnvironment()
{
    Options options;
    const QString names = qEnvironmentVariable("NV_DISKIMAGE_METHODS");
    if (names.trimmed().isEmpty())
        return options;
    options.methods.clear();
    for (const QString &name : names.split(u',', Qt::SkipEmptyParts)) {
        const std::optional<Method> method = methodForName(name.trimmed());
        if (!method)
            return failure(EINVAL, QStringLiteral("NV_DISKIMAGE_METHODS: unknown method \"%1\" (known: loop, fuse, extract)").arg(name.trimmed()));
        options.methods << *method;
    }
    return options;
}

NVResult<QString> mountsFolder()
{
    const NVResult<QString> temporary = NVTemporaryDirectory::privateTemporaryDirectory();
    if (!temporary)
        return temporary.error();
    const QString path = *temporary + QStringLiteral("/mounts");
    if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST)
        return failure(errno, QStringLiteral("cannot make %1: %2").arg(quoted(path), errnoText(errno)), path);
    NV_TRY(NVTemporaryDirectory::check(path));
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        return failure(ENOENT, QStringLiteral("cannot resolve %1").arg(quoted(path)), path);
    return canonical;
}

NVResult<Attachment> attach(const QString &imagePath, pid_t owner, const Options &options)
{
    const QString image = QFileInfo(imagePath).absoluteFilePath();
    const NVResult<ImageInfo> info = inspectImage(image);
    if (!info)
        return info.error();
    const NVResult<QString> folder = mountsFolder();
    if (!folder)
        return folder.error();

    NVResult<QString> mountPoint = QString();
    {
        FolderLock lock(*folder, options.lockWaitLimit);
        (void)cleanupLocked(*folder, options);
        mountPoint = makeMountPoint(*folder, image, owner);
    }
    if (!mountPoint)
        return mountPoint.error();

    QStringList problems;
    bool anyTried = false;
    bool anyTimedOut = false;
    for (Method method : options.methods) {
        if (const std::optional<QString> reason = unavailableReason(method)) {
            problems << QStringLiteral("%1: %2").arg(methodName(method), *reason);
            continue;
        }
        anyTried = true;
        const MethodOutcome outcome = attachWith(method, image, *mountPoint, options);
        if (outcome.problem)
            return Attachment{*mountPoint, method, *info};
        anyTimedOut = anyTimedOut || outcome.timedOut;
        problems << outcome.problem.error().localizedDescription();
        // Whatever the failed method left (a mount that proved unreadable,
        // half-extracted files) goes before the next method starts; the
        // folder and its record stay.
        if (NVResult<void> problem = resetMountPoint(*mountPoint, options); !problem) {
            problems << problem.error().localizedDescription();
            break;
        }
    }
    {
        FolderLock lock(*folder, options.lockWaitLimit);
        (void)detachLocked(*folder, QFileInfo(*mountPoint).fileName(), options);
    }
    const int code = !anyTried ? ENOTSUP : anyTimedOut ? ETIMEDOUT : EIO;
    const QString summary = !anyTried ? QStringLiteral("no way to attach an image works here") : QStringLiteral("the image cannot be mounted");
    return failure(code, QStringLiteral("cannot attach %1: %2 (%3)").arg(quoted(image), summary, problems.join(QStringLiteral("; "))), image);
}

NVResult<void> detach(const QString &mountPoint, const Options &options)
{
    const NVResult<QString> folder = mountsFolder();
    if (!folder)
        return folder.error();
    const QString cleaned = QDir::cleanPath(QDir::current().absoluteFilePath(mountPoint));
    const QFileInfo info(cleaned);
    // The parent is the mounts folder itself, never a mount, so resolving it
    // cannot touch an image.
    const QString parent = QFileInfo(info.path()).canonicalFilePath();
    if (mountPoint.isEmpty() || parent != *folder || !isMountPointName(info.fileName()))
        return failure(EPERM,
                       QStringLiteral("refusing to detach %1: only mount points made by attach inside %2 are detached")
                           .arg(quoted(mountPoint), quoted(*folder)),
                       mountPoint);
    FolderLock lock(*folder, options.lockWaitLimit);
    return detachLocked(*folder, info.fileName(), options);
}

NVResult<CleanupReport> cleanup(const Options &options)
{
    const NVResult<QString> folder = mountsFolder();
    if (!folder)
        return folder.error();
    FolderLock lock(*folder, options.lockWaitLimit);
    return cleanupLocked(*folder, options);
}

quint64 processStartTime(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.read(4096);
    // The command name in parentheses may contain blanks and parentheses;
    // the fields after the last ')' are plain numbers.
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return 0;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    // fields[0] is the state (field 3); the start time is field 22.
    return fields.size() > 19 ? fields[19].toULongLong() : 0;
}

bool isProcessAlive(pid_t pid, quint64 startTime)
{
    if (pid <= 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.read(4096);
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0 || close + 2 >= line.size())
        return false;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    if (fields.isEmpty() || fields[0] == "Z" || fields[0] == "X")
        return false;
    if (startTime == 0)
        return true;
    return fields.size() > 19 && fields[19].toULongLong() == startTime;
}

std::optional<QString> mountedFileSystemType(const QString &path)
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return std::nullopt;
    // /proc files report no size; read until the end.
    const QByteArray contents = table.readAll();
    std::optional<QString> type;
    for (const QByteArray &line : contents.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 10)
            continue;
        const qsizetype separator = fields.indexOf("-", 6);
        if (separator < 0 || separator + 1 >= fields.size())
            continue;
        // Later lines are mounted later: the last match is the topmost mount.
        if (decodeMountField(fields[4]) == path)
            type = QString::fromUtf8(fields[separator + 1]);
    }
    return type;
}

} // namespace NVDiskImage
