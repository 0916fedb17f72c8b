#pragma once

#include "foundation/NVError.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>
#include <sys/types.h>

// Attaching and detaching squashfs disk images, the work behind the
// nvsu-diskimage tool.
//
// An image is attached read-only at a fresh mount point inside the private
// "mounts" folder of the user's temporary directory. Three ways are tried in
// order: a read-only loop mount (root only), squashfuse (when /dev/fuse is
// readable and writable), and as the last resort unsquashfs into the mount
// point folder, which is then made read-only and stands for the mount.
//
// Each mount point "image-XXXXXX" has an owner record "image-XXXXXX.owner"
// beside it naming the process that asked for the attach. A mount whose
// owner has gone (the updater was killed) is detached by the next attach and
// by cleanup(). Records and mount point folders are made, and stale ones
// removed, under a lock on "mounts/.lock" so that two tools never judge each
// other's half-made mount.
//
// Failures are errors of the POSIX domain whose code is the tool's exit
// status: the updater describes a failed attach by the text of that code, so
// the code says what went wrong (ENOENT: no image, EMEDIUMTYPE: not a
// squashfs image, ENODATA: truncated, EIO: unreadable contents, EPERM: a path
// outside the mounts folder, EBUSY: still mounted, ETIMEDOUT: a tool hung).
//
// Every function blocks on child processes and the file system, each child
// under a time limit; call them from a tool's main thread or a background
// thread, never from an event loop that must stay responsive.
namespace NVDiskImage {

enum class Method {
    LoopMount,   // mount -t squashfs -o ro,loop,nodev,nosuid (root)
    Fuse,        // squashfuse
    Extraction,  // unsquashfs into a read-only folder
};

QString methodName(Method method);
// "loop", "fuse", "extract"; nothing for an unknown name. Any thread.
std::optional<Method> methodForName(const QString &name);

// What the superblock of a squashfs image says.
struct ImageInfo {
    qint64 fileSize = 0;
    qint64 bytesUsed = 0;      // the tools read nothing beyond this
    quint32 blockSize = 0;
    quint16 compression = 0;
    quint32 inodeCount = 0;
};

inline constexpr qint64 SuperblockSize = 96;

// Checks the first bytes of an image against its size: the squashfs magic,
// version 4.0, a sane block size and tables that lie inside bytes_used,
// which must fit the file. Data after bytes_used (padding, an appended
// signature) is allowed: no tool reads it. Pure; any thread.
NVResult<ImageInfo> inspectSuperblock(const QByteArray &head, qint64 fileSize, const QString &path = QString());

// Opens the image (never blocking on a FIFO), requires a regular file and
// inspects its superblock. Blocks briefly on the file system; any thread.
NVResult<ImageInfo> inspectImage(const QString &path);

struct Options {
    // The ways to try, in order; those that cannot work for this user are
    // skipped.
    QList<Method> methods = {Method::LoopMount, Method::Fuse, Method::Extraction};
    std::chrono::milliseconds mountTimeLimit{60'000};
    std::chrono::milliseconds extractionTimeLimit{600'000};
    std::chrono::milliseconds unmountTimeLimit{20'000};
    // How long a FUSE mount may take to appear after squashfuse returned.
    std::chrono::milliseconds mountAppearanceLimit{5'000};
    // How long to wait for another tool holding the mounts folder's lock
    // before going on without it.
    std::chrono::milliseconds lockWaitLimit{60'000};
};

// Options with the methods taken from the environment variable
// NV_DISKIMAGE_METHODS (a comma-separated list of method names), when set;
// an unknown name is an error. Any thread.
NVResult<Options> optionsFromEnvironment();

// <private temporary directory>/mounts, created 0700 when missing and checked
// like the temporary directory itself; the answer has no links in it (the
// kernel lists mount points by their real paths). Blocks briefly.
NVResult<QString> mountsFolder();

struct Attachment {
    QString mountPoint;
    Method method = Method::LoopMount;
    ImageInfo image;
};

// Attaches an image read-only at a new mount point in the mounts folder,
// recording `owner` (the process that will detach it) as its owner; stale
// mounts are detached first. On failure nothing is left behind. Blocks.
NVResult<Attachment> attach(const QString &imagePath, pid_t owner, const Options &options = {});

// Unmounts (lazily when busy) or removes the extracted folder, then removes
// the mount point folder and its owner record. Refuses (EPERM) any path that
// is not a mount point folder directly inside the mounts folder. Blocks.
NVResult<void> detach(const QString &mountPoint, const Options &options = {});

struct CleanupReport {
    QStringList detached;               // mount points removed
    QStringList kept;                   // mount points whose owner lives
    QList<NVError> failures;            // those that could not be removed
};

// Detaches every mount in the mounts folder whose recorded owner process is
// gone (or has no readable record). Blocks.
NVResult<CleanupReport> cleanup(const Options &options = {});

// True while the process is running and is the one that started at
// `startTime` (clock ticks after boot, as /proc/<pid>/stat gives it; 0 means
// unknown and matches any start). A zombie counts as gone. Any thread.
bool isProcessAlive(pid_t pid, quint64 startTime);
// The start time of a running process, 0 when it cannot be read. Any thread.
quint64 processStartTime(pid_t pid);

// The file-system type mounted at `path` as /proc/self/mountinfo lists it
// (the topmost of stacked mounts), or nothing. Reads no path under the mount,
// so a dead FUSE server cannot make it hang. Any thread.
std::optional<QString> mountedFileSystemType(const QString &path);

} // namespace NVDiskImage
