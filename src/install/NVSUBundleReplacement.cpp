#include "install/NVSUBundleReplacement.h"

#include "platform/NVBundle.h"
#include "foundation/NVExtensions.h"
#include "foundation/NVFormat.h"
#include "foundation/NVValue.h"
#include "install/NVShell.h"
#include "logging/NVLog.h"
#include "platform/NVApplicationServices.h"
#include "platform/NVProcessWorkspace.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <thread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

// Seven lines, joined by line feeds: move the new bundle to the staging path,
// and when that leaves no folder there, copy it with two tar pipes, the
// second of which copies the attributes of the top folder itself.
const QString NVSUMoveOrCopyScript = QStringLiteral(
    "/bin/mv -f \"$NVSU_NEW_APP\" \"$NVSU_TEMP_PATH\" 2>/dev/null\n"
    "if [ ! -d \"$NVSU_TEMP_PATH\" ]; then\n"
    "    set -o pipefail\n"
    "    /bin/mkdir \"$NVSU_TEMP_PATH\"        && /usr/bin/tar -c -f - -C \"$NVSU_NEW_APP\" .        | /usr/bin/tar -x -p -f - -C \"$NVSU_TEMP_PATH\"        && /usr/bin/tar -c -f - --no-recursion -C \"$NVSU_NEW_APP\" .        | /usr/bin/tar -x -p -f - -C \"$NVSU_TEMP_PATH\" 2>&1\n"
    "else\n"
    "    exit 0\n"
    "fi");

namespace {

// The staging script that runs: the move-or-copy script whose move, when it
// fails, takes away whatever it left at the staging path. Across file systems
// mv copies and then deletes; when the copy runs out of space it stops with a
// partial folder in place, which the test on the next line would otherwise
// take for a staged bundle.
const QString &stagingScript()
{
    static const QString script = [] {
        QString text = NVSUMoveOrCopyScript;
        const QString firstLineEnd = QStringLiteral(" 2>/dev/null\n");
        text.replace(text.indexOf(firstLineEnd), firstLineEnd.size(),
                     QStringLiteral(" 2>/dev/null || /bin/rm -rf \"$NVSU_TEMP_PATH\" || exit 1\n"));
        return text;
    }();
    return script;
}

// The root side of a replacement. Root works only on what it checked itself.
// The tool and the anchors it trusts must be changeable by root alone: root
// owns them and every folder above them, and nobody else may write there,
// except in a sticky folder such as /tmp, where others cannot rename or
// remove root's entries. The archive is copied into a folder only root can
// enter, checked there and unpacked there; that copy is what the staging
// script moves. The staging path is cleared first: a failed user-level
// attempt may have left part of a copy there, and the script's move would
// put the bundle inside it.
} // namespace

const QString &NVSUBundleReplacementDetail::rootStagingScript()
{
    static const QString script = QStringLiteral(
        "nvsu_root_only() {\n"
        "    local real path uid mode leaf=1\n"
        "    real=$(/usr/bin/realpath -e -- \"$1\") || return 1\n"
        "    path=$real\n"
        "    while :; do\n"
        "        read -r uid mode < <(/usr/bin/stat -c '%u %a' -- \"$path\") || return 1\n"
        "        [ \"$uid\" = 0 ] || return 1\n"
        "        if (( (8#$mode & 8#022) != 0 )); then\n"
        "            [ -z \"$leaf\" ] && (( (8#$mode & 8#1000) != 0 )) || return 1\n"
        "        fi\n"
        "        leaf=\n"
        "        [ \"$path\" = / ] && break\n"
        "        path=$(/usr/bin/dirname -- \"$path\")\n"
        "    done\n"
        "    printf '%s\\n' \"$real\"\n"
        "}\n"
        "nvsu_verifier=$(nvsu_root_only \"$NVSU_VERIFIER\") || { echo \"$NVSU_VERIFIER may be changed by others than root, not running it as root\"; exit 1; }\n"
        "nvsu_anchors=$(nvsu_root_only \"$NVSU_ANCHORS\") || { echo \"$NVSU_ANCHORS may be changed by others than root, not trusting it as root\"; exit 1; }\n"
        "case \"$NVSU_INSTALLATION_OBJECT\" in ''|.|..|*/*) echo \"Not a bundle name: $NVSU_INSTALLATION_OBJECT\"; exit 1;; esac\n"
        "nvsu_base=$(nvsu_root_only \"$(/usr/bin/dirname -- \"$NVSU_APP\")\") || nvsu_base=/var/tmp\n"
        "nvsu_private=$(/usr/bin/mktemp -d \"$nvsu_base/.nvsu-root.XXXXXXXX\") || exit 1\n"
        "(\n"
        "    umask 077\n"
        "    nvsu_archive=\"$nvsu_private/${NVSU_ARCHIVE##*/}\"\n"
        "    /bin/cp -- \"$NVSU_ARCHIVE\" \"$nvsu_archive\" 2>&1 || exit 1\n"
        "    \"$nvsu_verifier\" verify --anchors \"$nvsu_anchors\" \"$nvsu_archive\" 2>&1 || exit 1\n"
        "    umask 022\n"
        "    nvsu_content=\"$nvsu_private/content\"\n"
        "    /bin/mkdir \"$nvsu_content\" || exit 1\n"
        "    case \"$nvsu_archive\" in\n"
        "        *.tar.gz|*.tgz) /usr/bin/tar -x -z --no-same-owner -f \"$nvsu_archive\" -C \"$nvsu_content\" 2>&1 ;;\n"
        "        *.tar.bz2|*.tbz) /usr/bin/tar -x -j --no-same-owner -f \"$nvsu_archive\" -C \"$nvsu_content\" 2>&1 ;;\n"
        "        *.zip) /usr/bin/unzip -qq -o \"$nvsu_archive\" -d \"$nvsu_content\" </dev/null 2>&1 ;;\n"
        "        *.dmg) /usr/bin/unsquashfs -q -n -f -d \"$nvsu_content\" \"$nvsu_archive\" 2>&1 ;;\n"
        "        *) echo \"Unsupported archive: $NVSU_ARCHIVE\"; false ;;\n"
        "    esac || exit 1\n"
        "    NVSU_NEW_APP=\"$nvsu_content/$NVSU_INSTALLATION_OBJECT\"\n"
        "    if [ -L \"$NVSU_NEW_APP\" ] || [ ! -d \"$NVSU_NEW_APP\" ]; then echo \"No folder $NVSU_INSTALLATION_OBJECT in $NVSU_ARCHIVE\"; exit 1; fi\n"
        "    /bin/rm -rf \"$NVSU_TEMP_PATH\" 2>&1 || exit 1\n"
        "    %1\n"
        ")\n"
        "nvsu_status=$?\n"
        "/bin/rm -rf \"$nvsu_private\"\n"
        "exit $nvsu_status")
        .arg(QString(stagingScript()).replace(QLatin1Char('\n'), QStringLiteral("\n    ")));
    return script;
}

namespace {

const QStringList &supportedArchiveSuffixes()
{
    static const QStringList suffixes = {QStringLiteral(".tar.gz"), QStringLiteral(".tgz"), QStringLiteral(".tar.bz2"),
                                         QStringLiteral(".tbz"), QStringLiteral(".zip"), QStringLiteral(".dmg")};
    return suffixes;
}

// What a log line prints for a command's output: its text, or "(null)" when
// it was not valid UTF-8.
QVariant outputOf(const NVShell &shell)
{
    const std::optional<QString> text = shell.lastCommandOutputString();
    return text ? QVariant(*text) : QVariant();
}

// The download-origin marks of the desktops and of the platform this code
// first ran on.
int removeOriginMarks(const char *path, const struct stat *, int, FTW *)
{
    for (const char *name : {"user.xdg.origin.url", "user.xdg.referrer.url", "com.apple.quarantine"})
        ::lremovexattr(path, name);
    return 0;
}

QString defaultVerifierPath()
{
    const QString executable = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    return QFileInfo(executable).path() + QStringLiteral("/nvsu-release");
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

} // namespace

namespace NVSUBundleReplacementDetail {

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
    QString tag = sourcePath == targetPath ? QStringLiteral("old") : QStringLiteral("new");
    const NVBundle *bundle = NVBundle::bundleWithPath(sourcePath, true);
    if (!bundle)
        return tag;
    const QList<uint> characters = NVValue::description(bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion"))).toUcs4();
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
    return QString::fromUcs4(reinterpret_cast<const char32_t *>(characters.constData()) + first, last - first);
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

bool NVSUInstallFile(const QString &newPath, const QString &targetPath, bool replacingSelf,
                     NVSUBundleReplacementDelegate *delegate, const NVSUBundleReplacementOptions &options)
{
    using namespace NVSUBundleReplacementDetail;

    // The copies of the target that this user runs, found now, while the
    // executable is still where the bundle says.
    QList<pid_t> runningCopies;
    if (!replacingSelf) {
        if (const NVBundle *target = NVBundle::bundleWithPath(targetPath, true)) {
            QString executable = target->executablePath();
            if (!executable.isEmpty()) {
                // The kernel reports executables by their canonical path.
                const QString canonical = QFileInfo(executable).canonicalFilePath();
                if (!canonical.isEmpty())
                    executable = canonical;
                const uid_t uid = ::getuid();
                for (const pid_t pid : NVExtensions::pidsOfProcessesWithExecutablePath(executable, 32)) {
                    if (processBelongsToUser(pid, uid))
                        runningCopies.append(pid);
                }
            }
        }
    }

    // Both staging paths lie beside the target, so the swap is two renames.
    const auto key = [&] { return options.stagingKey ? options.stagingKey() : NVSUTemporaryBundleKey(); };
    const QString newTempPath = NVSUTemporaryBundlePath(targetPath, newPath, key());
    const QString oldTempPath = NVSUTemporaryBundlePath(targetPath, targetPath, key());

    // The target must be a folder itself, not a link to one, and both
    // staging paths must be free.
    const QByteArray targetBytes = QFile::encodeName(targetPath);
    struct stat targetStatus {};
    if (::lstat(targetBytes.constData(), &targetStatus) != 0) {
        const int error = errno;
        NVSULog("Cannot replace %@ because not found: Unix error %d (%s)", targetPath, error, QString::fromLocal8Bit(std::strerror(error)));
        return false;
    }
    if (!S_ISDIR(targetStatus.st_mode)) {
        NVSULog("Target %@ is not a directory, Unix mode is 0%o", targetPath, quint64(targetStatus.st_mode));
        return false;
    }
    struct stat ignored {};
    if (::lstat(QFile::encodeName(newTempPath).constData(), &ignored) == 0) {
        NVSULog("Temporary path for new app already exists, aborting: %@", newTempPath);
        return false;
    }
    if (::lstat(QFile::encodeName(oldTempPath).constData(), &ignored) == 0) {
        NVSULog("Temporary path for old app already exists, aborting: %@", oldTempPath);
        return false;
    }

    const std::shared_ptr<NVShell> shell = NVShell::create();
    shell->setVariable(QStringLiteral("NVSU_NEW_APP"), newPath);
    shell->setVariable(QStringLiteral("NVSU_APP"), targetPath);
    shell->setVariable(QStringLiteral("NVSU_TEMP_PATH"), newTempPath);
    shell->setVariable(QStringLiteral("NVSU_OLD_APP_TEMP_PATH"), oldTempPath);

    // The user's own rights first, when the target is the user's.
    bool usedRoot = false;
    if (targetStatus.st_uid != ::getuid() || shell->executeCommand(stagingScript()) != 0) {
        if (!options.signedArchive) {
            NVSULog("Cannot install %@ as root: no signed archive to check it against", newPath);
            return false;
        }
        NVSUSignedArchive archive = *options.signedArchive;
        if (const std::optional<QString> problem = problemWithSignedArchive(archive)) {
            NVSULog("Cannot install %@ as root: %@", newPath, *problem);
            return false;
        }
        if (archive.verifierPath.isEmpty())
            archive.verifierPath = defaultVerifierPath();
        if (!shell->requestRootShell()) {
            NVSULog("Could not authorize for root access");
            return false;
        }
        usedRoot = true;
        shell->setVariable(QStringLiteral("NVSU_ARCHIVE"), archive.archivePath);
        shell->setVariable(QStringLiteral("NVSU_INSTALLATION_OBJECT"), archive.installationObject);
        shell->setVariable(QStringLiteral("NVSU_ANCHORS"), archive.anchorsPath);
        shell->setVariable(QStringLiteral("NVSU_VERIFIER"), archive.verifierPath);
        if (shell->executeCommand(NVSUBundleReplacementDetail::rootStagingScript()) != 0) {
            NVSULog("Error moving or copying %@ to %@: %@", newPath, targetPath, outputOf(*shell));
            return false;
        }
    }

    // Failures do not matter: a mark left behind only makes a desktop ask
    // once more before the first start.
    ::nftw(QFile::encodeName(newTempPath).constData(), removeOriginMarks, 32, FTW_PHYS);

    if (delegate)
        delegate->willReplaceApplication(targetPath, newTempPath);

    // Root's copy goes to the target's owner and group.
    if (usedRoot) {
        if (shell->executeCommandWithFormat(QStringLiteral("/usr/bin/chown -R %d:%d \"$NVSU_TEMP_PATH\" 2>&1"),
                                            qint64(targetStatus.st_uid), qint64(targetStatus.st_gid)) != 0) {
            NVSULog("Error running chown -R %d:%d %@: %@", qint64(targetStatus.st_uid), qint64(targetStatus.st_gid), targetPath,
                    outputOf(*shell));
        }
    }

    if (shell->executeCommand(QStringLiteral("/bin/mv -f \"$NVSU_APP\" \"$NVSU_OLD_APP_TEMP_PATH\" 2>&1")) != 0) {
        NVSULog("Error renaming old version %@ to %@: %@", targetPath, oldTempPath, outputOf(*shell));
        return false;
    }
    if (shell->executeCommand(QStringLiteral("/bin/mv -f \"$NVSU_TEMP_PATH\" \"$NVSU_APP\" 2>&1")) != 0) {
        NVSULog("Error renaming new version %@ to %@: %@", newTempPath, targetPath, outputOf(*shell));
        // An empty target path would leave the user without the application
        // at all; the old version goes back. -T: never into a folder that
        // has appeared at the target path meanwhile.
        if (shell->executeCommand(QStringLiteral("/bin/mv -f -T \"$NVSU_OLD_APP_TEMP_PATH\" \"$NVSU_APP\" 2>&1")) == 0)
            NVSULog("Moved old version %@ back to %@", oldTempPath, targetPath);
        else
            NVSULog("Error moving old version %@ back to %@: %@", oldTempPath, targetPath, outputOf(*shell));
        return false;
    }

    // The old version goes; when it cannot be deleted, out of the way.
    if (shell->executeCommand(QStringLiteral("/bin/rm -rf \"$NVSU_OLD_APP_TEMP_PATH\" 2>&1")) != 0) {
        NVSULog("Error deleting old version %@: %@", oldTempPath, outputOf(*shell));
        NVSULog("Moving to /tmp/");
        if (shell->executeCommand(QStringLiteral("/bin/mv \"$NVSU_OLD_APP_TEMP_PATH\" /tmp/ 2>&1")) != 0)
            NVSULog("Error moving old version to /tmp/: %@", outputOf(*shell));
    }

    // The caller relaunches this process itself.
    if (replacingSelf)
        return true;

    // TERM first so that each copy can save its state; KILL regardless,
    // since a copy that outlived the wait holds on to the old version.
    for (const pid_t pid : runningCopies) {
        NVSUDebugLog("Sending TERM signal to pid=%d", qint64(pid));
        ::kill(pid, SIGTERM);
    }
    std::this_thread::sleep_for(options.termWait);
    for (const pid_t pid : runningCopies) {
        NVSUDebugLog("Sending KILL signal to pid=%d", qint64(pid));
        ::kill(pid, SIGKILL);
    }
    std::this_thread::sleep_for(options.killWait);

    NVSUDebugLog("Launching app at %@", targetPath);
    NVWorkspace *workspace = options.workspace ? options.workspace : NVApplicationServices::workspace();
    if (!workspace)
        workspace = &NVProcessWorkspace::shared();
    workspace->openApplication(targetPath, {}, [targetPath](const QString &launchedBundlePath, const QString &errorText) {
        if (errorText.isEmpty())
            NVSULog("Successfully launched updated app: %@", launchedBundlePath);
        else
            NVSULog("ERROR: Failed to launch updated app (%@). Reason: %@", targetPath, errorText);
    });
    return true;
}
