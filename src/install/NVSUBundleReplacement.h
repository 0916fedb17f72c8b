#pragma once

#include "foundation/NVError.h"

#include <QString>

#include <chrono>
#include <functional>
#include <optional>

#include <sys/types.h>

class NVWorkspace;

// Replacing an installed application bundle (the target) with a new one: the
// new bundle is staged next to the target, the two are swapped by renaming,
// the old bundle is disposed of, and then either the caller relaunches this
// very process (when it replaced itself) or the running copies of the target
// are ended and the new one is launched.

// Told once per replacement, after staging and before the swap.
class NVSUBundleReplacementDelegate {
public:
    virtual ~NVSUBundleReplacementDelegate() = default;
    // On the replacement's own (background) thread.
    virtual void willReplaceApplication(const QString &targetPath, const QString &stagedPath) {}
};

// The signed download that the new bundle was unpacked from. Root never
// installs what a user process unpacked, since anything running as the user
// could have changed that tree after the user-level signature check: the root
// side copies this archive into a folder of its own, checks the signature
// again there and unpacks that copy.
struct NVSUSignedArchive {
    QString archivePath;        // the download, with its original suffix (.tar.gz, .tgz, .tar.bz2, .tbz, .zip, .dmg)
    QString installationObject; // the new bundle's name inside the unpacked archive
    QString anchorsPath;        // CodeSigningAnchors.pem of the updater bundle
    // The bundled tool whose "verify FILE --anchors PEM" checks a signature
    // as the updater does (nvsu-release); empty: the one beside the updater's
    // executable. Root runs a tool only when it, the anchors and every folder
    // above them belong to root and nobody else may write them; when the
    // updater's own pair fails that test, root uses the pair installed
    // system-wide in NV_SYSTEM_HELPER_DIR.
    QString verifierPath;
};

struct NVSUBundleReplacementOptions {
    // Without it a replacement that needs root fails, with a log line.
    std::optional<NVSUSignedArchive> signedArchive;
    // Running copies of the target get SIGTERM, then after termWait SIGKILL,
    // then the launch follows after killWait.
    std::chrono::milliseconds termWait{2000};
    std::chrono::milliseconds killWait{500};
    // Where the new application is opened; nullptr: the installed workspace,
    // else the process workspace.
    NVWorkspace *workspace = nullptr;
    // The key of both staging paths; empty: taken from the clock as
    // NVSUTemporaryBundlePath does. Tests fix it to prepare a leftover.
    std::function<quint64()> stagingKey;
    // The swap is one exchange of the target and the staged copy where the
    // file system can exchange two entries, two renames otherwise. False:
    // always the two renames (tests of that route).
    bool exchange = true;
    // The tool root exchanges with (nvsu-exchange); empty: the one beside
    // the updater's executable. Root runs it only when root alone can change
    // it and every folder above it, else the one installed system-wide in
    // NV_SYSTEM_HELPER_DIR under the same rule, else it renames twice.
    QString exchangeToolPath;
    // The record of the staging paths of replacements that have not ended
    // (see the leftovers removed before staging); empty: "staging-paths" in
    // the updater's private folder.
    QString stagingRecordPath;
};

// The error domain of a failed replacement; the description is the one log
// line that named the cause.
inline const QString NVSUInstallationErrorDomain = QStringLiteral("NVSUInstallationErrorDomain");

// The move-or-copy script that stages the new bundle ($NVSU_NEW_APP) at
// $NVSU_TEMP_PATH: a move, or where that leaves no folder, a copy with two
// tar pipes. The script that runs adds one step to the move, see
// NVSUBundleReplacementDetail::stagingScript.
extern const QString NVSUMoveOrCopyScript;

// The path next to `targetPath` where the bundle at `sourcePath` is staged:
// "<target without extension>.<tag>-<key>.<target's extension>", the tag
// being the source's CFBundleVersion made safe for a file name (see
// NVSUBundleReplacementDetail::bundleVersionTag) or "old"/"new" when the
// source is no bundle, the key being the current time's seconds XOR
// microseconds in at least eight hexadecimal digits. Any thread; reads the
// source's Info.plist.
QString NVSUTemporaryBundlePath(const QString &targetPath, const QString &sourcePath);
// The same with a given key. Any thread.
QString NVSUTemporaryBundlePath(const QString &targetPath, const QString &sourcePath, quint64 key);
// Seconds XOR microseconds of the current time of day. Any thread.
quint64 NVSUTemporaryBundleKey();

// Replaces the bundle at `targetPath` with the one at `newPath`. Staging
// folders that earlier runs left beside the target (killed before their
// end) are removed first: folders whose name is one of this target's
// staging paths, of the current user, or as root of root or the target's
// owner; each removal is logged. With
// `replacingSelf` the target is this process's own bundle: nothing is
// signalled or launched, the caller relaunches. Succeeds when the new bundle
// is in place; every failure writes one log line naming its cause, which is
// also the error's description. A staged copy of a failed attempt is removed.
// Blocks (commands, a password prompt, the waits); call from a background
// thread with a Qt event dispatcher, never from the main thread while a
// window must stay responsive.
NVResult<void> NVSUInstallFile(const QString &newPath, const QString &targetPath, bool replacingSelf,
                               NVSUBundleReplacementDelegate *delegate, const NVSUBundleReplacementOptions &options = {});

namespace NVSUBundleReplacementDetail {
// Exit status of nvsu-exchange, and of root's exchange step, when the swap
// cannot be one exchange (no tool root may run, or a file system without
// it): nothing changed, and the swap falls back to two renames.
inline constexpr int kExchangeUnsupported = 3;
// Whether this build has the pause points that kill tests use: with
// NVSU_TEST_PAUSE_AT naming a step ("staged", "before-exchange",
// "exchanged", "moved-aside", "moved-into-place", "disposed"), the
// replacement writes the step into the file NVSU_TEST_PAUSE_MARKER names
// when it gets there and stops its process with SIGSTOP. Only builds with
// NV_TEST_PAUSE_POINTS read those variables. Any thread.
bool pausePointsCompiledIn();
// The staging path for a given tag and key, so that tests can check the
// format with a known key. Any thread.
QString temporaryBundlePath(const QString &targetPath, const QString &tag, quint64 key);
// The tag for `sourcePath` as NVSUTemporaryBundlePath uses it: its
// CFBundleVersion trimmed of punctuation at both ends, with every "/" and
// control character replaced by "_" and "." or ".." spelled with "_", so
// that the staging path always names an entry directly beside the target.
// A replacement is logged. Any thread.
QString bundleVersionTag(const QString &targetPath, const QString &sourcePath);
// The script a user shell stages with: the move-or-copy script whose move,
// when it fails part-way, takes away whatever it left at the staging path.
// Any thread.
const QString &stagingScript();
// The script root runs instead of the staging script: it checks the target
// path, chooses a verifying tool and anchors only root can change, copies
// $NVSU_ARCHIVE into a folder of its own (a regular file of the caller or of
// root, never through a link), checks its signature there, unpacks it
// without device nodes, FIFOs, set-id bits or group and other write access,
// computes both staging paths from the trees it read itself (keys
// $NVSU_STAGING_KEY and $NVSU_OLD_STAGING_KEY) and stages
// $NVSU_INSTALLATION_OBJECT at the new one. Its last two output lines are the
// new and the old staging path. Any thread.
const QString &rootStagingScript();
// A root command with the checks every root step makes first: the target is
// an absolute path in a canonical folder, and every staging path named in
// `stagingVariables` lies directly in that folder and is no link. Any thread.
QString rootCommand(const QString &command, const QStringList &stagingVariables);
// Copies the file at `source` to a new file at `destination` (mode 0600),
// for root: the source is opened without following a link and without
// waiting on a FIFO, and must be a regular file that belongs to `owner` or
// to root. Each refusal names its reason. Blocks; any thread.
NVResult<void> copyRegularFile(const QString &source, const QString &destination, uid_t owner);
// Whether a process's real or effective user id, read from
// /proc/<pid>/status, is `uid`; false when it cannot be read. Any thread.
bool processBelongsToUser(pid_t pid, uid_t uid);
} // namespace NVSUBundleReplacementDetail
