#include "install/NVSUBundleReplacement.h"

#include "foundation/NVExtensions.h"
#include "foundation/NVFormat.h"
#include "foundation/NVValue.h"
#include "install/NVShell.h"
#include "logging/NVLog.h"
#include "platform/NVApplicationServices.h"
#include "platform/NVBundle.h"
#include "platform/NVProcessWorkspace.h"
#include "platform/NVTemporaryDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QScopeGuard>

#include <algorithm>
#include <thread>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace {

// ---- command texts ---------------------------------------------------------------

// The move-or-copy script is built from its two parts, the move and the copy
// that runs when the move left no folder, so that the staging script can add
// a step to the move without editing the text.
const QString kMoveLine = QStringLiteral("/bin/mv -f \"$NVSU_NEW_APP\" \"$NVSU_TEMP_PATH\" 2>/dev/null");
// Across file systems mv copies and then deletes; when the copy runs out of
// space it stops with a partial folder in place, which the test of the copy
// branch would otherwise take for a staged bundle.
const QString kRemovePartialMove = QStringLiteral(" || /bin/rm -rf \"$NVSU_TEMP_PATH\" || exit 1");
// The second tar pipe copies the attributes of the top folder itself.
const QString kCopyBranch = QStringLiteral(
    "\nif [ ! -d \"$NVSU_TEMP_PATH\" ]; then\n"
    "    set -o pipefail\n"
    "    /bin/mkdir \"$NVSU_TEMP_PATH\"        && /usr/bin/tar -c -f - -C \"$NVSU_NEW_APP\" .        | /usr/bin/tar -x -p -f - -C \"$NVSU_TEMP_PATH\"        && /usr/bin/tar -c -f - --no-recursion -C \"$NVSU_NEW_APP\" .        | /usr/bin/tar -x -p -f - -C \"$NVSU_TEMP_PATH\" 2>&1\n"
    "else\n"
    "    exit 0\n"
    "fi");

// What every root step checks before it touches anything: the target is an
// absolute path of one line whose folder is canonical (no links, "." or ".."
// on the way), so that "beside the target" means one folder; every staging
// path named is an entry directly in that folder and no link. A user
// process computed these paths, and anything running as that user may have
// changed the disk since.
const QString kRootChecks = QStringLiteral(R"sh(nvsu_refuse() { printf '%s\n' "$*"; exit 1; }
case $NVSU_APP in /*) ;; *) nvsu_refuse "Not an absolute path: $NVSU_APP" ;; esac
case $NVSU_APP in *[[:cntrl:]]*) nvsu_refuse "The path holds a control character: $NVSU_APP" ;; esac
case ${NVSU_APP##*/} in ''|.|..) nvsu_refuse "Not a bundle path: $NVSU_APP" ;; esac
nvsu_folder=${NVSU_APP%/*}
[ "$(/usr/bin/realpath -e -- "${nvsu_folder:-/}" 2>/dev/null)" = "${nvsu_folder:-/}" ] || nvsu_refuse "The folder of $NVSU_APP is not a canonical path"
nvsu_beside_target() {
    [ "${1%/*}" = "$nvsu_folder" ] || nvsu_refuse "$1 is not directly in the folder of $NVSU_APP"
    case ${1##*/} in ''|.|..) nvsu_refuse "Not a staging name: $1" ;; esac
    case $1 in *[[:cntrl:]]*) nvsu_refuse "The path holds a control character: $1" ;; esac
    [ ! -L "$1" ] || nvsu_refuse "$1 is a link"
}
)sh");

// Root's check that the target is still a folder of its own, no link.
const QString kTargetChecks = QStringLiteral(
    "[ -d \"$NVSU_APP\" ] && [ ! -L \"$NVSU_APP\" ] || nvsu_refuse \"Target $NVSU_APP is not a directory\"\n");

// Whether root alone can change $1 and every folder above it; sets
// nvsu_real to its canonical path, or nvsu_reason to why not.
const QString kRootOnly = QStringLiteral(R"sh(nvsu_root_only() {
    local path uid mode leaf=1
    nvsu_real=$(/usr/bin/realpath -e -- "$1" 2>/dev/null) || { nvsu_reason="$1 is missing"; return 1; }
    path=$nvsu_real
    while :; do
        read -r uid mode < <(/usr/bin/stat -c '%u %a' -- "$path") || { nvsu_reason="$path cannot be examined"; return 1; }
        [ "$uid" = 0 ] || { nvsu_reason="$path belongs to user $uid, not root"; return 1; }
        if (( (8#$mode & 8#022) != 0 )); then
            [ -z "$leaf" ] && (( (8#$mode & 8#1000) != 0 )) || { nvsu_reason="$path may be changed by others than root"; return 1; }
        fi
        leaf=
        [ "$path" = / ] && break
        path=$(/usr/bin/dirname -- "$path")
    done
}
)sh");

// Root's own record of the staging paths it named, in a folder only root can
// change. Root removes a leftover only when this record names it too: the
// record in the updater's private folder is only the user's word, and would
// otherwise let anything running as the user have root delete a folder
// that merely looks like a staging path. The folder's lock keeps the
// updates of several users from losing each other's lines; a record that
// cannot be kept only means that leftovers stay.
const QString &rootRecordFunctions()
{
    static const QString functions = kRootOnly + QStringLiteral("nvsu_record_dir='") + QStringLiteral(NV_ROOT_STATE_DIR) + QStringLiteral(R"sh('
nvsu_record=$nvsu_record_dir/staging-paths
nvsu_record_trusted() { [ -f "$nvsu_record" ] && [ ! -L "$nvsu_record" ] && nvsu_root_only "$nvsu_record"; }
nvsu_record_add() {
    /bin/mkdir -p -m 0700 -- "$nvsu_record_dir" 2>/dev/null && nvsu_root_only "$nvsu_record_dir" || return 0
    {
        /usr/bin/flock 9 || return 0
        [ ! -e "$nvsu_record" ] || nvsu_record_trusted || return 0
        (umask 077; printf '%s\n' "$@" >>"$nvsu_record")
    } 9<"$nvsu_record_dir"
    return 0
}
nvsu_vouched() { nvsu_record_trusted && /usr/bin/grep -Fxq -- "$1" "$nvsu_record"; }
nvsu_record_prune() {
    [ -d "$nvsu_record_dir" ] && nvsu_root_only "$nvsu_record_dir" || return 0
    {
        /usr/bin/flock 9 && nvsu_record_trusted || return 0
        local line kept=
        while IFS= read -r line; do
            if [ -e "$line" ] || [ -L "$line" ]; then kept+=$line$'\n'; fi
        done <"$nvsu_record"
        if [ -z "$kept" ]; then
            /bin/rm -f -- "$nvsu_record"
        else
            (umask 077; printf '%s' "$kept" >"$nvsu_record.new" && /bin/mv -f -- "$nvsu_record.new" "$nvsu_record")
        fi
    } 9<"$nvsu_record_dir"
    return 0
}
)sh");
    return functions;
}

// The root side's staging. The verifying tool and the anchors are trusted
// only when root alone can change them and every folder above them (a
// sticky folder such as /tmp counts as root's, since others cannot rename or
// remove root's entries there): first the updater bundle's pair, then the
// pair installed system-wide. The archive is copied by that tool, which opens
// it as a regular file without following links and only when it belongs to
// the caller or to root, within ten minutes, into a folder only root can
// enter; it is checked and unpacked there, set-id bits and group and other
// write access are taken away, and a tree that still holds a device node, a
// FIFO or a socket is refused. Both staging names are computed by the tool
// from trees root reads itself: the new one from root's own copy, never from
// the tree the user process unpacked.
QString rootStagingBody()
{
    const QString systemDir = QStringLiteral(NV_SYSTEM_HELPER_DIR);
    return rootRecordFunctions() + QStringLiteral(R"sh(nvsu_trusted_pair() {
    nvsu_root_only "$1" || return 1
    nvsu_tool=$nvsu_real
    nvsu_root_only "$2" || return 1
    nvsu_anchors=$nvsu_real
}
if ! nvsu_trusted_pair "$NVSU_VERIFIER" "$NVSU_ANCHORS"; then
    nvsu_updater_reason=$nvsu_reason
    nvsu_trusted_pair ")sh") + systemDir + QStringLiteral(R"sh(/nvsu-release" ")sh") + systemDir +
           QStringLiteral(R"sh(/CodeSigningAnchors.pem" ||
        nvsu_refuse "No verifying tool and trust anchors that only root can change: in the updater, $nvsu_updater_reason; installed system-wide, $nvsu_reason"
fi
case $NVSU_INSTALLATION_OBJECT in ''|.|..|*/*|*[[:cntrl:]]*) nvsu_refuse "Not a bundle name: $NVSU_INSTALLATION_OBJECT" ;; esac
case $NVSU_CALLER_UID in ''|*[!0-9]*) nvsu_refuse "Not a user id: $NVSU_CALLER_UID" ;; esac
for nvsu_key in "$NVSU_STAGING_KEY" "$NVSU_OLD_STAGING_KEY"; do
    case $nvsu_key in ''|*[!0-9a-f]*) nvsu_refuse "Not a staging key: $nvsu_key" ;; esac
done
case $NVSU_ARCHIVE in
    *.tar.gz) nvsu_suffix=tar.gz ;; *.tgz) nvsu_suffix=tgz ;; *.tar.bz2) nvsu_suffix=tar.bz2 ;;
    *.tbz) nvsu_suffix=tbz ;; *.zip) nvsu_suffix=zip ;; *.dmg) nvsu_suffix=dmg ;;
    *) nvsu_refuse "Unsupported archive: $NVSU_ARCHIVE" ;;
esac
[ -d "$NVSU_APP" ] && [ ! -L "$NVSU_APP" ] || nvsu_refuse "Target $NVSU_APP is not a directory"
nvsu_root_only "${nvsu_folder:-/}" && nvsu_base=$nvsu_real || nvsu_base=/var/tmp
nvsu_private=$(/usr/bin/mktemp -d "$nvsu_base/.nvsu-root.XXXXXXXX") || exit 1
(
    umask 077
    nvsu_archive="$nvsu_private/archive.$nvsu_suffix"
    /usr/bin/timeout 600 "$nvsu_tool" copy "$NVSU_ARCHIVE" "$nvsu_archive" --owner "$NVSU_CALLER_UID" 2>&1
    case $? in 0) ;; 124) nvsu_refuse "Copying $NVSU_ARCHIVE took longer than ten minutes" ;; *) exit 1 ;; esac
    "$nvsu_tool" verify --anchors "$nvsu_anchors" "$nvsu_archive" 2>&1 || exit 1
    umask 022
    nvsu_content="$nvsu_private/content"
    /bin/mkdir "$nvsu_content" || exit 1
    case $nvsu_suffix in
        tar.gz|tgz) /usr/bin/tar -x -z --no-same-owner --no-same-permissions -f "$nvsu_archive" -C "$nvsu_content" 2>&1 ;;
        tar.bz2|tbz) /usr/bin/tar -x -j --no-same-owner --no-same-permissions -f "$nvsu_archive" -C "$nvsu_content" 2>&1 ;;
        zip) /usr/bin/unzip -qq -o "$nvsu_archive" -d "$nvsu_content" </dev/null 2>&1 ;;
        dmg) /usr/bin/unsquashfs -q -n -f -no-xattrs -d "$nvsu_content" "$nvsu_archive" 2>&1 ;;
    esac || exit 1
    /bin/chmod -R go-w,ug-s -- "$nvsu_content" 2>&1 || exit 1
    nvsu_odd=$(/usr/bin/find "$nvsu_content" ! -type f ! -type d ! -type l -print -quit)
    [ -z "$nvsu_odd" ] || nvsu_refuse "Refusing to install ${nvsu_odd#"$nvsu_content"/}: a device node, FIFO or socket"
    nvsu_odd=$(/usr/bin/find "$nvsu_content" ! -type l -perm /6022 -print -quit)
    [ -z "$nvsu_odd" ] || nvsu_refuse "Refusing to install ${nvsu_odd#"$nvsu_content"/}: set-id or writable by others"
    NVSU_NEW_APP="$nvsu_content/$NVSU_INSTALLATION_OBJECT"
    if [ -L "$NVSU_NEW_APP" ] || [ ! -d "$NVSU_NEW_APP" ]; then nvsu_refuse "No folder $NVSU_INSTALLATION_OBJECT in $NVSU_ARCHIVE"; fi
    NVSU_TEMP_PATH=$("$nvsu_tool" staging-path "$NVSU_APP" "$NVSU_NEW_APP" "$NVSU_STAGING_KEY") || exit 1
    nvsu_old=$("$nvsu_tool" staging-path "$NVSU_APP" "$NVSU_APP" "$NVSU_OLD_STAGING_KEY") || exit 1
    nvsu_beside_target "$NVSU_TEMP_PATH"
    nvsu_beside_target "$nvsu_old"
    [ ! -e "$NVSU_TEMP_PATH" ] || nvsu_refuse "Temporary path for new app already exists, aborting: $NVSU_TEMP_PATH"
    [ ! -e "$nvsu_old" ] || nvsu_refuse "Temporary path for old app already exists, aborting: $nvsu_old"
    nvsu_record_add "$NVSU_TEMP_PATH" "$nvsu_old"
    /bin/mv -f -T "$NVSU_NEW_APP" "$NVSU_TEMP_PATH" 2>&1 || { /bin/rm -rf "$NVSU_TEMP_PATH"; exit 1; }
    printf '%s\n%s\n' "$NVSU_TEMP_PATH" "$nvsu_old"
)
nvsu_status=$?
/bin/rm -rf "$nvsu_private"
exit $nvsu_status)sh");
}

// Root's half of the swap in one step. The exchange tool, like the verifying
// tool, is run only when root alone can change it and every folder above
// it: the updater's copy, else the one installed system-wide. Exit status 3
// (kExchangeUnsupported) when there is no such tool or the file system
// cannot exchange two entries: the caller then swaps by two renames, after
// the same checks.
QString rootExchangeBody()
{
    return kRootOnly + QStringLiteral(R"sh(if nvsu_root_only "$NVSU_EXCHANGE"; then
    nvsu_exchange=$nvsu_real
else
    nvsu_updater_reason=$nvsu_reason
    nvsu_root_only ")sh") + QStringLiteral(NV_SYSTEM_HELPER_DIR) + QStringLiteral(R"sh(/nvsu-exchange" && nvsu_exchange=$nvsu_real || {
        printf 'No exchange tool that only root can change: in the updater, %s; installed system-wide, %s\n' "$nvsu_updater_reason" "$nvsu_reason"
        exit 3
    }
fi
"$nvsu_exchange" "${nvsu_folder:-/}" "${NVSU_APP##*/}" "${NVSU_TEMP_PATH##*/}" 2>&1)sh");
}

// Removes the staging folders that earlier runs left beside the target when
// they were killed before their end: of the paths in $NVSU_LEFTOVERS (one
// per line; those the record of staging paths names beside this target),
// only folders (no links) directly beside the target, whose name is one
// this target's staging paths can have (NVSUTemporaryBundlePath) and that
// belong to one of the users in $nvsu_owners, and that nvsu_vouched
// accepts (as root: that root's own record names). Prints "Removed PATH" for
// each. A replacement of the same target running at the same moment would
// lose its staged copy, but two such runs would fail anyway on the swap.
const QString kRemoveLeftovers = QStringLiteral(R"sh(nvsu_folder=${NVSU_APP%/*}
nvsu_name=${NVSU_APP##*/}
nvsu_stem=${nvsu_name%.*}
nvsu_extension=${nvsu_name##*.}
if [ "$nvsu_stem" = "$nvsu_name" ] || [ -z "$nvsu_stem" ] || [ -z "$nvsu_extension" ]; then
    nvsu_stem=$nvsu_name
    nvsu_extension=
fi
while IFS= read -r nvsu_entry; do
    [ "${nvsu_entry%/*}" = "$nvsu_folder" ] || continue
    nvsu_leaf=${nvsu_entry##*/}
    case $nvsu_leaf in *[[:cntrl:]]*) continue ;; esac
    [[ $nvsu_leaf =~ ^"$nvsu_stem"\..*-[0-9a-f]{8,}\."$nvsu_extension"$ ]] || continue
    [ -d "$nvsu_entry" ] && [ ! -L "$nvsu_entry" ] || continue
    nvsu_uid=$(/usr/bin/stat -c %u -- "$nvsu_entry") || continue
    case " $nvsu_owners " in *" $nvsu_uid "*) ;; *) continue ;; esac
    nvsu_vouched "$nvsu_entry" || continue
    /bin/rm -rf -- "$nvsu_entry" 2>&1 && printf 'Removed %s\n' "$nvsu_entry"
done <<< "$NVSU_LEFTOVERS"
exit 0)sh");

// The staging paths of replacements that have not ended, one per line, in
// the updater's private folder. The next replacement removes only what this
// names: a folder of the user's that merely looks like a staging path
// ("Product.backup-20240101.app") is never touched. A record that cannot be
// read or written only means that leftovers stay.
class StagingRecord {
public:
    explicit StagingRecord(QString path) : m_path(std::move(path)) {}

    QStringList read() const
    {
        QFile file(m_path);
        if (m_path.isEmpty() || !file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    void add(const QStringList &paths)
    {
        QStringList kept = read();
        for (const QString &path : paths)
            if (!kept.contains(path))
                kept << path;
        write(kept);
    }

    // Drops the paths where nothing is any more.
    void prune()
    {
        const QStringList paths = read();
        QStringList kept;
        struct stat ignored {};
        for (const QString &path : paths)
            if (::lstat(QFile::encodeName(path).constData(), &ignored) == 0)
                kept << path;
        if (kept != paths)
            write(kept);
    }

private:
    void write(const QStringList &paths)
    {
        if (m_path.isEmpty())
            return;
        QSaveFile file(m_path);
        if (!file.open(QIODevice::WriteOnly) || file.write(paths.join(QLatin1Char('\n')).toUtf8() + '\n') < 0 || !file.commit())
            NVSULog(QStringLiteral("Cannot write the record of staging paths %@: %@"), m_path, file.errorString());
    }

    const QString m_path;
};

QString defaultStagingRecordPath()
{
    const NVResult<QString> temporary = NVTemporaryDirectory::privateTemporaryDirectory();
    if (!temporary) {
        NVSULog(QStringLiteral("No record of staging paths: %@"), temporary.error().localizedDescription());
        return {};
    }
    return QFileInfo(*temporary).path() + QStringLiteral("/staging-paths");
}

#ifdef NV_TEST_PAUSE_POINTS
// Test builds only: when NVSU_TEST_PAUSE_AT names this step, the process
// notes the step in the file NVSU_TEST_PAUSE_MARKER names and stops itself,
// so that a test can kill it exactly here. Root is never asked to pause: a
// killed updater leaves its root shell idle between two commands.
void pausePoint(const char *step)
{
    const char *wanted = std::getenv("NVSU_TEST_PAUSE_AT");
    const char *marker = std::getenv("NVSU_TEST_PAUSE_MARKER");
    if (!wanted || !marker || std::strcmp(wanted, step) != 0)
        return;
    const int fd = ::open(marker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(fd, step, std::strlen(step));
        ::close(fd);
    }
    ::raise(SIGSTOP);
}
#else
void pausePoint(const char *) {}
#endif

// The download-origin marks desktops set, and the quarantine mark that files
// copied from other systems may carry.
int removeOriginMarks(const char *path, const struct stat *, int, FTW *)
{
    for (const char *name : {"user.xdg.origin.url", "user.xdg.referrer.url", "com.apple.quarantine"})
        ::lremovexattr(path, name);
    return 0;
}

const QStringList &supportedArchiveSuffixes()
{
    static const QStringList suffixes = {QStringLiteral(".tar.gz"), QStringLiteral(".tgz"), QStringLiteral(".tar.bz2"),
                                         QStringLiteral(".tbz"), QStringLiteral(".zip"), QStringLiteral(".dmg")};
    return suffixes;
}

// A tool of ours beside the updater's executable.
QString bundledToolPath(const QString &name)
{
    const QString executable = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    return QFileInfo(executable).path() + QLatin1Char('/') + name;
}

// Why this archive cannot be installed by root, or nothing when it can.
std::optional<QString> problemWithSignedArchive(const NVSUSignedArchive &archive)
{
    const QString name = QFileInfo(archive.archivePath).fileName();
    if (!archive.archivePath.startsWith(QLatin1Char('/')) || name.isEmpty())
        return QStringLiteral("the archive path \"%1\" is not an absolute file path").arg(archive.archivePath);
    if (std::none_of(supportedArchiveSuffixes().begin(), supportedArchiveSuffixes().end(),
                     [&](const QString &suffix) { return name.endsWith(suffix); }))
        return QStringLiteral("the archive \"%1\" has no supported suffix").arg(name);
    const QString &object = archive.installationObject;
    if (object.isEmpty() || object.contains(QLatin1Char('/')) || object == QLatin1String(".") || object == QLatin1String(".."))
        return QStringLiteral("the installation object \"%1\" is not a file name").arg(object);
    if (archive.anchorsPath.isEmpty())
        return QStringLiteral("no trust anchors were given");
    return std::nullopt;
}

// The target with its folder written canonically, as root expects it; the
// path as given when the folder cannot be resolved (the checks then report
// the missing target).
QString canonicalTarget(const QString &targetPath)
{
    QString path = targetPath;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    const QFileInfo info(path);
    const QString folder = QFileInfo(info.path()).canonicalFilePath();
    if (folder.isEmpty() || info.fileName().isEmpty())
        return targetPath;
    return folder == QLatin1String("/") ? folder + info.fileName() : folder + QLatin1Char('/') + info.fileName();
}

// ---- running copies ----------------------------------------------------------------

// A running copy of the target, held by a pid file descriptor: a signal sent
// through it reaches that very process or none, even when its number has
// been given to another process since it was found.
class RunningCopy {
public:
    static std::optional<RunningCopy> open(pid_t pid)
    {
        const int fd = int(::syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0)
            return std::nullopt;
        return RunningCopy(pid, fd);
    }
    RunningCopy(RunningCopy &&other) noexcept : m_pid(other.m_pid), m_fd(std::exchange(other.m_fd, -1)) {}
    RunningCopy &operator=(RunningCopy &&) = delete;
    ~RunningCopy()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    pid_t pid() const { return m_pid; }
    void signal(int number) const { ::syscall(SYS_pidfd_send_signal, m_fd, number, nullptr, 0); }

private:
    RunningCopy(pid_t pid, int fd) : m_pid(pid), m_fd(fd) {}
    pid_t m_pid;
    int m_fd;
};

// The copies of the target that this user runs, found while the executable
// is still where the bundle says. Each is opened before it is examined, so
// the descriptor refers to the process examined or to one that has ended.
std::vector<RunningCopy> findRunningCopies(const QString &targetPath)
{
    std::vector<RunningCopy> copies;
    const NVBundle *target = NVBundle::bundleWithPath(targetPath, true);
    if (!target)
        return copies;
    QString executable = target->executablePath();
    if (executable.isEmpty())
        return copies;
    // The kernel reports executables by their canonical path.
    const QString canonical = QFileInfo(executable).canonicalFilePath();
    if (!canonical.isEmpty())
        executable = canonical;
    const uid_t uid = ::getuid();
    for (const pid_t pid : NVExtensions::pidsOfProcessesWithExecutablePath(executable, 32)) {
        std::optional<RunningCopy> copy = RunningCopy::open(pid);
        if (copy && NVSUBundleReplacementDetail::processBelongsToUser(pid, uid)
            && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)) == executable)
            copies.push_back(std::move(*copy));
    }
    return copies;
}

// ---- one replacement --------------------------------------------------------------

class Replacement {
public:
    Replacement(const QString &newPath, const QString &targetPath, bool replacingSelf,
                NVSUBundleReplacementDelegate *delegate, const NVSUBundleReplacementOptions &options)
        : m_newPath(newPath), m_targetPath(canonicalTarget(targetPath)), m_replacingSelf(replacingSelf),
          m_delegate(delegate), m_options(options)
    {
    }

    NVResult<void> run()
    {
        if (!m_replacingSelf)
            m_runningCopies = findRunningCopies(m_targetPath);
        NV_TRY(checkTargetAndStagingPaths());
        createShell();
        // Whatever way the run ends, short of being killed, the paths it
        // staged at are gone or are the only copy of the application.
        const auto forget = qScopeGuard([this] {
            m_record.prune();
            if (m_usedRoot)
                execute(rootRecordFunctions() + QStringLiteral("nvsu_record_prune\n"));
        });
        NV_TRY(stage());
        pausePoint("staged");
        ::nftw(QFile::encodeName(m_newTempPath).constData(), removeOriginMarks, 32, FTW_PHYS);
        if (m_delegate)
            m_delegate->willReplaceApplication(m_targetPath, m_newTempPath);
        NV_TRY(handToTheTargetsOwner());
        NV_TRY(swap());
        disposeOfTheOldVersion();
        pausePoint("disposed");
        // The caller relaunches this process itself.
        if (m_replacingSelf)
            return {};
        endRunningCopies();
        launchTheNewVersion();
        return {};
    }

private:
    template <typename... Args>
    NVError failure(const QString &format, const Args &...args)
    {
        const QString line = NVFormat::format(format, args...);
        NVSULog(QStringLiteral("%@"), line);
        return NVError::withDescription(NVSUInstallationErrorDomain, 1, line);
    }

    // What a log line prints for a command's output: its text, or "(null)"
    // when it was not valid UTF-8.
    QVariant output() const
    {
        const std::optional<QString> text = m_shell->lastCommandOutputString();
        return text ? QVariant(*text) : QVariant();
    }

    int execute(const QString &command, const QStringList &stagingVariables = {})
    {
        return m_shell->executeCommand(m_usedRoot ? NVSUBundleReplacementDetail::rootCommand(command, stagingVariables) : command);
    }

    quint64 nextKey() const { return m_options.stagingKey ? m_options.stagingKey() : NVSUTemporaryBundleKey(); }

    // The target must be a folder itself, not a link to one, and both staging
    // paths, which lie beside it so that the swap is two renames, must be free.
    NVResult<void> checkTargetAndStagingPaths()
    {
        m_newKey = nextKey();
        m_oldKey = nextKey();
        m_newTempPath = NVSUTemporaryBundlePath(m_targetPath, m_newPath, m_newKey);
        m_oldTempPath = NVSUTemporaryBundlePath(m_targetPath, m_targetPath, m_oldKey);
        if (::lstat(QFile::encodeName(m_targetPath).constData(), &m_targetStatus) != 0) {
            const int error = errno;
            return failure(QStringLiteral("Cannot replace %@ because not found: Unix error %d (%s)"), m_targetPath, error,
                           QString::fromLocal8Bit(std::strerror(error)));
        }
        if (!S_ISDIR(m_targetStatus.st_mode))
            return failure(QStringLiteral("Target %@ is not a directory, Unix mode is 0%o"), m_targetPath, quint64(m_targetStatus.st_mode));
        struct stat ignored {};
        if (::lstat(QFile::encodeName(m_newTempPath).constData(), &ignored) == 0)
            return failure(QStringLiteral("Temporary path for new app already exists, aborting: %@"), m_newTempPath);
        if (::lstat(QFile::encodeName(m_oldTempPath).constData(), &ignored) == 0)
            return failure(QStringLiteral("Temporary path for old app already exists, aborting: %@"), m_oldTempPath);
        return {};
    }

    void createShell()
    {
        m_shell = NVShell::create();
        m_shell->setVariable(QStringLiteral("NVSU_NEW_APP"), m_newPath);
        m_shell->setVariable(QStringLiteral("NVSU_APP"), m_targetPath);
        m_shell->setVariable(QStringLiteral("NVSU_TEMP_PATH"), m_newTempPath);
        m_shell->setVariable(QStringLiteral("NVSU_OLD_APP_TEMP_PATH"), m_oldTempPath);
    }

    // The user's own rights first, when the target is the user's; root
    // otherwise, and when they do not suffice.
    NVResult<void> stage()
    {
        m_record.add({m_newTempPath, m_oldTempPath});
        if (m_targetStatus.st_uid == ::getuid()) {
            removeLeftovers(QString::number(::getuid()));
            if (execute(NVSUBundleReplacementDetail::stagingScript()) == 0)
                return {};
            // A copy that failed part-way must not stand in root's way.
            discardStagedCopy();
        }
        return stageAsRoot();
    }

    NVResult<void> stageAsRoot()
    {
        if (!m_options.signedArchive)
            return failure(QStringLiteral("Cannot install %@ as root: no signed archive to check it against"), m_newPath);
        NVSUSignedArchive archive = *m_options.signedArchive;
        if (const std::optional<QString> problem = problemWithSignedArchive(archive))
            return failure(QStringLiteral("Cannot install %@ as root: %@"), m_newPath, *problem);
        if (archive.verifierPath.isEmpty())
            archive.verifierPath = bundledToolPath(QStringLiteral("nvsu-release"));
        if (!m_shell->requestRootShell())
            return failure(QStringLiteral("Could not authorize for root access"));
        m_usedRoot = true;
        m_shell->setVariable(QStringLiteral("NVSU_ARCHIVE"), archive.archivePath);
        m_shell->setVariable(QStringLiteral("NVSU_INSTALLATION_OBJECT"), archive.installationObject);
        m_shell->setVariable(QStringLiteral("NVSU_ANCHORS"), archive.anchorsPath);
        m_shell->setVariable(QStringLiteral("NVSU_VERIFIER"), archive.verifierPath);
        m_shell->setVariable(QStringLiteral("NVSU_CALLER_UID"), QString::number(::getuid()));
        m_shell->setVariable(QStringLiteral("NVSU_STAGING_KEY"), QString::number(m_newKey, 16));
        m_shell->setVariable(QStringLiteral("NVSU_OLD_STAGING_KEY"), QString::number(m_oldKey, 16));
        // Root reads the target's owner itself.
        removeLeftovers(QStringLiteral("0 $(/usr/bin/stat -c %u -- \"$NVSU_APP\")"));
        if (m_shell->executeCommand(NVSUBundleReplacementDetail::rootStagingScript()) != 0)
            return failure(QStringLiteral("Error moving or copying %@ to %@: %@"), m_newPath, m_targetPath, output());

        // Root named the paths it staged at, from its own trees; they replace
        // the ones computed here from the user's tree.
        const QStringList lines = m_shell->lastCommandOutputString().value_or(QString()).split(QLatin1Char('\n'));
        if (lines.size() < 3 || !lines.last().isEmpty())
            return failure(QStringLiteral("Error moving or copying %@ to %@: %@"), m_newPath, m_targetPath, output());
        m_newTempPath = lines[lines.size() - 3];
        m_oldTempPath = lines[lines.size() - 2];
        m_record.add({m_newTempPath, m_oldTempPath});
        m_shell->setVariable(QStringLiteral("NVSU_TEMP_PATH"), m_newTempPath);
        m_shell->setVariable(QStringLiteral("NVSU_OLD_APP_TEMP_PATH"), m_oldTempPath);
        return {};
    }

    // Staging folders of earlier runs that were killed before they ended, of
    // the users in `owners` (a shell word list). A failure here only leaves
    // them; the replacement goes on.
    void removeLeftovers(const QString &owners)
    {
        const QString folder = QFileInfo(m_targetPath).path() + QLatin1Char('/');
        QStringList candidates;
        for (const QString &path : m_record.read())
            if (path.startsWith(folder) && path != m_newTempPath && path != m_oldTempPath)
                candidates << path;
        if (candidates.isEmpty())
            return;
        m_shell->setVariable(QStringLiteral("NVSU_LEFTOVERS"), candidates.join(QLatin1Char('\n')));
        const QString vouched = m_usedRoot ? rootRecordFunctions() : QStringLiteral("nvsu_vouched() { :; }\n");
        const int status = execute(vouched + QStringLiteral("nvsu_owners=\"%1\"\n").arg(owners) + kRemoveLeftovers);
        m_record.prune();
        const QString text = m_shell->lastCommandOutputString().value_or(QString());
        for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (line.startsWith(QLatin1String("Removed ")))
                NVSULog(QStringLiteral("Removed %@, left beside %@ by an earlier update"), line.mid(8), m_targetPath);
            else
                NVSULog(QStringLiteral("Error removing what earlier updates left beside %@: %@"), m_targetPath, line);
        }
        if (status != 0 && text.isEmpty())
            NVSULog(QStringLiteral("Error removing what earlier updates left beside %@: exit status %d"), m_targetPath, qint64(status));
    }

    // Root's copy goes to the target's owner and group; -h changes links
    // themselves, never what they point to.
    NVResult<void> handToTheTargetsOwner()
    {
        if (!m_usedRoot)
            return {};
        const QString chown = QStringLiteral(
            "[ -d \"$NVSU_TEMP_PATH\" ] && [ \"$(/usr/bin/stat -c %%u -- \"$NVSU_TEMP_PATH\")\" = 0 ] || nvsu_refuse \"$NVSU_TEMP_PATH is not root's staged folder\"\n"
            "/usr/bin/chown -R -h %d:%d \"$NVSU_TEMP_PATH\" 2>&1");
        if (execute(NVFormat::format(chown, qint64(m_targetStatus.st_uid), qint64(m_targetStatus.st_gid)), {QStringLiteral("NVSU_TEMP_PATH")}) != 0) {
            const NVError error = failure(QStringLiteral("Error running chown -R %d:%d %@: %@"), qint64(m_targetStatus.st_uid),
                                          qint64(m_targetStatus.st_gid), m_targetPath, output());
            discardStagedCopy();
            return error;
        }
        return {};
    }

    // One exchange where the file system has it: there is no moment without
    // an application at the target path, whenever the process ends.
    // Otherwise two renames; when the second fails the old version goes
    // back, since an empty target path would leave the user without the
    // application at all. Root moves with -T, never into a folder that has
    // appeared meanwhile.
    NVResult<void> swap()
    {
        if (m_options.exchange) {
            pausePoint("before-exchange");
            const Exchange exchange = m_usedRoot ? exchangeAsRoot() : exchangeInProcess();
            if (exchange.status == ExchangeStatus::Failed) {
                const NVError error = failure(QStringLiteral("Error exchanging %@ and %@: %@"), m_targetPath, m_newTempPath, exchange.text);
                discardStagedCopy();
                return error;
            }
            if (exchange.status == ExchangeStatus::Exchanged) {
                // The old version now sits where the new one was staged, and
                // that path is what disposal removes.
                m_oldTempPath = m_newTempPath;
                m_shell->setVariable(QStringLiteral("NVSU_OLD_APP_TEMP_PATH"), m_oldTempPath);
                NVSUDebugLog(QStringLiteral("Swapped by exchange: %@ is the new version, %@ the old one"), m_targetPath, m_oldTempPath);
                pausePoint("exchanged");
                return {};
            }
            NVSUDebugLog(QStringLiteral("Swapping by two renames, no exchange: %@"), exchange.text);
        } else {
            NVSUDebugLog(QStringLiteral("Swapping by two renames, no exchange: not asked for"));
        }
        return swapByRenaming();
    }

    // Killed between the two renames, the target path is empty and the old
    // version sits at its staging path; the next update then finds no
    // target. Everywhere else a kill leaves an application at the target.
    NVResult<void> swapByRenaming()
    {
        const QStringList both = {QStringLiteral("NVSU_TEMP_PATH"), QStringLiteral("NVSU_OLD_APP_TEMP_PATH")};
        // As root each move first checks what it moves: the target is still a
        // folder, nothing has appeared where the old version goes, and the new
        // version is the folder that was handed to the target's owner.
        const QString options = m_usedRoot ? QStringLiteral("-f -T") : QStringLiteral("-f");
        const QString asideChecks = m_usedRoot ? kTargetChecks + QStringLiteral(
            "[ ! -e \"$NVSU_OLD_APP_TEMP_PATH\" ] || nvsu_refuse \"$NVSU_OLD_APP_TEMP_PATH already exists\"\n") : QString();
        const QString intoPlaceChecks = m_usedRoot ? stagedFolderChecks() : QString();
        if (execute(asideChecks + QStringLiteral("/bin/mv %1 \"$NVSU_APP\" \"$NVSU_OLD_APP_TEMP_PATH\" 2>&1").arg(options), both) != 0) {
            const NVError error = failure(QStringLiteral("Error renaming old version %@ to %@: %@"), m_targetPath, m_oldTempPath, output());
            discardStagedCopy();
            return error;
        }
        pausePoint("moved-aside");
        if (execute(intoPlaceChecks + QStringLiteral("/bin/mv %1 \"$NVSU_TEMP_PATH\" \"$NVSU_APP\" 2>&1").arg(options), both) != 0) {
            const NVError error = failure(QStringLiteral("Error renaming new version %@ to %@: %@"), m_newTempPath, m_targetPath, output());
            if (execute(QStringLiteral("/bin/mv -f -T \"$NVSU_OLD_APP_TEMP_PATH\" \"$NVSU_APP\" 2>&1"), both) == 0) {
                NVSULog(QStringLiteral("Moved old version %@ back to %@"), m_oldTempPath, m_targetPath);
                discardStagedCopy();
            } else {
                NVSULog(QStringLiteral("Error moving old version %@ back to %@: %@"), m_oldTempPath, m_targetPath, output());
            }
            return error;
        }
        pausePoint("moved-into-place");
        return {};
    }

    enum class ExchangeStatus { Exchanged, Unsupported, Failed };
    struct Exchange {
        ExchangeStatus status;
        QString text; // why not, or what failed
    };

    // The user's own rights suffice, so this process exchanges the two
    // itself: a separate tool is only needed where root must run code it can
    // trust, and one system call needs no process of its own.
    Exchange exchangeInProcess()
    {
        const QByteArray folder = QFile::encodeName(QFileInfo(m_targetPath).path());
        const int fd = ::open(folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return {ExchangeStatus::Failed, QString::fromLocal8Bit(std::strerror(errno))};
        const auto closeFolder = qScopeGuard([&] { ::close(fd); });
        const QByteArray target = QFile::encodeName(QFileInfo(m_targetPath).fileName());
        const QByteArray staged = QFile::encodeName(QFileInfo(m_newTempPath).fileName());
        if (::syscall(SYS_renameat2, fd, target.constData(), fd, staged.constData(), RENAME_EXCHANGE) == 0)
            return {ExchangeStatus::Exchanged, QString()};
        const int error = errno;
        const QString text = QString::fromLocal8Bit(std::strerror(error));
        if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP)
            return {ExchangeStatus::Unsupported, QStringLiteral("the file system cannot exchange two entries: %1").arg(text)};
        return {ExchangeStatus::Failed, text};
    }

    // Root checks what it exchanges as it does before the renames.
    Exchange exchangeAsRoot()
    {
        m_shell->setVariable(QStringLiteral("NVSU_EXCHANGE"),
                             m_options.exchangeToolPath.isEmpty() ? bundledToolPath(QStringLiteral("nvsu-exchange")) : m_options.exchangeToolPath);
        const int status = execute(kTargetChecks + stagedFolderChecks() + rootExchangeBody(),
                                   {QStringLiteral("NVSU_TEMP_PATH")});
        const QString text = m_shell->lastCommandOutputString().value_or(QString()).trimmed();
        if (status == 0)
            return {ExchangeStatus::Exchanged, text};
        if (status == NVSUBundleReplacementDetail::kExchangeUnsupported)
            return {ExchangeStatus::Unsupported, text};
        return {ExchangeStatus::Failed, text};
    }

    QString stagedFolderChecks() const
    {
        return NVFormat::format(
            "[ -d \"$NVSU_TEMP_PATH\" ] && [ ! -L \"$NVSU_TEMP_PATH\" ] && [ \"$(/usr/bin/stat -c %%u -- \"$NVSU_TEMP_PATH\")\" = %d ] || nvsu_refuse \"$NVSU_TEMP_PATH is not the staged folder\"\n",
            qint64(m_targetStatus.st_uid));
    }

    // A staged copy that will not be installed goes; failures only leave a
    // folder beside the target that the next attempt does not use.
    void discardStagedCopy()
    {
        execute(QStringLiteral("/bin/rm -rf \"$NVSU_TEMP_PATH\" 2>&1"), {QStringLiteral("NVSU_TEMP_PATH")});
    }

    // The old version goes; when it cannot be deleted, out of the way.
    void disposeOfTheOldVersion()
    {
        const QStringList old = {QStringLiteral("NVSU_OLD_APP_TEMP_PATH")};
        if (execute(QStringLiteral("/bin/rm -rf \"$NVSU_OLD_APP_TEMP_PATH\" 2>&1"), old) == 0)
            return;
        NVSULog(QStringLiteral("Error deleting old version %@: %@"), m_oldTempPath, output());
        NVSULog(QStringLiteral("Moving to /tmp/"));
        const QString park = m_usedRoot ? QStringLiteral("/bin/mv -T \"$NVSU_OLD_APP_TEMP_PATH\" \"/tmp/${NVSU_OLD_APP_TEMP_PATH##*/}\" 2>&1")
                                        : QStringLiteral("/bin/mv \"$NVSU_OLD_APP_TEMP_PATH\" /tmp/ 2>&1");
        if (execute(park, old) != 0)
            NVSULog(QStringLiteral("Error moving old version to /tmp/: %@"), output());
    }

    // TERM first so that each copy can save its state; KILL regardless,
    // since a copy that outlived the wait holds on to the old version.
    void endRunningCopies()
    {
        for (const RunningCopy &copy : m_runningCopies) {
            NVSUDebugLog(QStringLiteral("Sending TERM signal to pid=%d"), qint64(copy.pid()));
            copy.signal(SIGTERM);
        }
        std::this_thread::sleep_for(m_options.termWait);
        for (const RunningCopy &copy : m_runningCopies) {
            NVSUDebugLog(QStringLiteral("Sending KILL signal to pid=%d"), qint64(copy.pid()));
            copy.signal(SIGKILL);
        }
        std::this_thread::sleep_for(m_options.killWait);
    }

    void launchTheNewVersion()
    {
        NVSUDebugLog(QStringLiteral("Launching app at %@"), m_targetPath);
        NVWorkspace *workspace = m_options.workspace ? m_options.workspace : NVApplicationServices::workspace();
        if (!workspace)
            workspace = &NVProcessWorkspace::shared();
        workspace->openApplication(m_targetPath, {}, [target = m_targetPath](const QString &launchedBundlePath, const QString &errorText) {
            if (errorText.isEmpty())
                NVSULog(QStringLiteral("Successfully launched updated app: %@"), launchedBundlePath);
            else
                NVSULog(QStringLiteral("ERROR: Failed to launch updated app (%@). Reason: %@"), target, errorText);
        });
    }

    const QString m_newPath;
    const QString m_targetPath;
    const bool m_replacingSelf;
    NVSUBundleReplacementDelegate *const m_delegate;
    const NVSUBundleReplacementOptions &m_options;

    std::vector<RunningCopy> m_runningCopies;
    struct stat m_targetStatus {};
    quint64 m_newKey = 0;
    quint64 m_oldKey = 0;
    QString m_newTempPath;
    QString m_oldTempPath;
    std::shared_ptr<NVShell> m_shell;
    bool m_usedRoot = false;
    StagingRecord m_record{m_options.stagingRecordPath.isEmpty() ? defaultStagingRecordPath() : m_options.stagingRecordPath};
};

} // namespace

const QString NVSUMoveOrCopyScript = kMoveLine + kCopyBranch;

namespace NVSUBundleReplacementDetail {

bool pausePointsCompiledIn()
{
#ifdef NV_TEST_PAUSE_POINTS
    return true;
#else
    return false;
#endif
}

const QString &stagingScript()
{
    static const QString script = kMoveLine + kRemovePartialMove + kCopyBranch;
    return script;
}

const QString &rootStagingScript()
{
    static const QString script = kRootChecks + rootStagingBody();
    return script;
}

QString rootCommand(const QString &command, const QStringList &stagingVariables)
{
    QString checks;
    for (const QString &variable : stagingVariables)
        checks += QStringLiteral("nvsu_beside_target \"$%1\"\n").arg(variable);
    return kRootChecks + checks + command;
}

QString temporaryBundlePath(const QString &targetPath, const QString &tag, quint64 key)
{
    QString path = targetPath;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    // The extension belongs to the last component only, and a leading dot
    // (a hidden folder) is no extension.
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    QString stem = path;
    QString extension;
    if (dot > slash + 1 && dot < path.size() - 1) {
        stem = path.left(dot);
        extension = path.mid(dot + 1);
    }
    return NVFormat::format("%@.%@-%08lx.%@", stem, tag, key, extension);
}

QString bundleVersionTag(const QString &targetPath, const QString &sourcePath)
{
    const QString fallback = sourcePath == targetPath ? QStringLiteral("old") : QStringLiteral("new");
    const NVBundle *bundle = NVBundle::bundleWithPath(sourcePath, true);
    if (!bundle)
        return fallback;
    const QString version = NVValue::description(bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")));
    const QList<uint> characters = version.toUcs4();
    const auto kept = [](uint c) {
        switch (QChar::category(c)) {
        case QChar::Mark_NonSpacing:
        case QChar::Mark_SpacingCombining:
        case QChar::Mark_Enclosing:
            return true;
        default:
            return QChar::isLetterOrNumber(c) || (c < 128 && std::strchr(".-()[]#:,", int(c)) && c != 0);
        }
    };
    qsizetype first = 0;
    qsizetype last = characters.size();
    while (first < last && !kept(characters[first]))
        ++first;
    while (last > first && !kept(characters[last - 1]))
        --last;
    QString tag = QString::fromUcs4(reinterpret_cast<const char32_t *>(characters.constData()) + first, last - first);

    // The tag becomes part of a file name beside the target: it must never
    // lead into another folder, whatever the version text holds.
    const QString trimmed = tag;
    for (QChar &c : tag) {
        if (c == QLatin1Char('/') || c.category() == QChar::Other_Control)
            c = QLatin1Char('_');
    }
    if (tag == QLatin1String(".") || tag == QLatin1String(".."))
        tag.fill(QLatin1Char('_'));
    if (tag != trimmed)
        NVSULog(QStringLiteral("The version %@ of %@ is not a safe file name; staging as %@"), version, sourcePath, tag);
    return tag;
}

NVResult<void> copyRegularFile(const QString &source, const QString &destination, uid_t owner)
{
    const auto refusal = [&](int code, const QString &why) {
        return NVError(NSPOSIXErrorDomain, code,
                       {{NSLocalizedDescriptionKey, QStringLiteral("Not copying %1: %2").arg(source, why)}, {NSFilePathErrorKey, source}});
    };
    const auto systemError = [&](const QString &path) {
        const int error = errno;
        return NVError(NSPOSIXErrorDomain, error,
                       {{NSLocalizedDescriptionKey, QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error)))},
                        {NSFilePathErrorKey, path}});
    };
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer for ever.
    const int input = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (input < 0)
        return errno == ELOOP ? refusal(ELOOP, QStringLiteral("it is a link")) : systemError(source);
    const auto closeInput = qScopeGuard([&] { ::close(input); });
    struct stat status {};
    if (::fstat(input, &status) != 0)
        return systemError(source);
    if (!S_ISREG(status.st_mode))
        return refusal(EINVAL, QStringLiteral("it is not a regular file"));
    if (status.st_uid != owner && status.st_uid != 0)
        return refusal(EPERM, QStringLiteral("it belongs to user %1").arg(status.st_uid));
    ::fcntl(input, F_SETFL, O_RDONLY);

    const int output = ::open(QFile::encodeName(destination).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (output < 0)
        return systemError(destination);
    const auto closeOutput = qScopeGuard([&] { ::close(output); });
    for (;;) {
        const ssize_t copied = ::copy_file_range(input, nullptr, output, nullptr, 1 << 30, 0);
        if (copied == 0)
            break;
        if (copied > 0)
            continue;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return systemError(destination);
        // Some file systems cannot copy between each other in the kernel.
        char buffer[1 << 16];
        for (;;) {
            const ssize_t n = ::read(input, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return systemError(source);
            if (n == 0)
                break;
            for (ssize_t written = 0; written < n;) {
                const ssize_t w = ::write(output, buffer + written, size_t(n - written));
                if (w < 0 && errno == EINTR)
                    continue;
                if (w < 0)
                    return systemError(destination);
                written += w;
            }
        }
        break;
    }
    if (::fsync(output) != 0)
        return systemError(destination);
    return {};
}

bool processBelongsToUser(pid_t pid, uid_t uid)
{
    // Files in /proc report a size of 0, so they are read to the end at once
    // rather than line by line up to a size.
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (!line.startsWith("Uid:"))
            continue;
        const QList<QByteArray> fields = line.mid(4).simplified().split(' ');
        if (fields.size() < 2)
            return false;
        bool realOk = false;
        bool effectiveOk = false;
        const qulonglong real = fields[0].toULongLong(&realOk);
        const qulonglong effective = fields[1].toULongLong(&effectiveOk);
        return (realOk && real == uid) || (effectiveOk && effective == uid);
    }
    return false;
}

} // namespace NVSUBundleReplacementDetail

quint64 NVSUTemporaryBundleKey()
{
    timeval now{};
    ::gettimeofday(&now, nullptr);
    return quint64(now.tv_sec) ^ quint64(now.tv_usec);
}

QString NVSUTemporaryBundlePath(const QString &targetPath, const QString &sourcePath, quint64 key)
{
    return NVSUBundleReplacementDetail::temporaryBundlePath(
        targetPath, NVSUBundleReplacementDetail::bundleVersionTag(targetPath, sourcePath), key);
}

QString NVSUTemporaryBundlePath(const QString &targetPath, const QString &sourcePath)
{
    return NVSUTemporaryBundlePath(targetPath, sourcePath, NVSUTemporaryBundleKey());
}

NVResult<void> NVSUInstallFile(const QString &newPath, const QString &targetPath, bool replacingSelf,
                               NVSUBundleReplacementDelegate *delegate, const NVSUBundleReplacementOptions &options)
{
    return Replacement(newPath, targetPath, replacingSelf, delegate, options).run();
}
