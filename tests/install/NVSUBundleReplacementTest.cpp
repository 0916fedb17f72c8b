#include "InstallTestSupport.h"

#include "install/NVAuthorization.h"
#include "install/NVSUBundleReplacement.h"
#include "install/NVShell.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "support/TestUser.h"

#include <gtest/gtest.h>


#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace InstallTest;

namespace {

// Remembers the one announcement of a replacement, and can interfere with
// the disk at that moment, between staging and swap.
class RecordingDelegate : public NVSUBundleReplacementDelegate {
public:
    std::function<void(const QString &target, const QString &staged)> interfere;
    QStringList calls;
    QByteArray targetMarkerAtCall;
    QByteArray stagedMarkerAtCall;

    void willReplaceApplication(const QString &targetPath, const QString &stagedPath) override
    {
        calls << targetPath + QStringLiteral(" | ") + stagedPath;
        targetMarkerAtCall = markerOf(targetPath);
        stagedMarkerAtCall = markerOf(stagedPath);
        if (interfere)
            interfere(targetPath, stagedPath);
    }
};

// Short waits for the tests that are not about them.
NVSUBundleReplacementOptions quickOptions()
{
    NVSUBundleReplacementOptions options;
    options.termWait = std::chrono::milliseconds(50);
    options.killWait = std::chrono::milliseconds(10);
    return options;
}

struct Bundles {
    std::unique_ptr<QTemporaryDir> work = makeWorkDir();
    QString folder = work->filePath(QStringLiteral("Apps ") + kAwkward);
    QString target = folder + QStringLiteral("/Prödüct \"Q\" 'x'.app");
    QString download = work->filePath(QStringLiteral("download ") + kAwkward);
    QString newBundle = download + QStringLiteral("/Prödüct \"Q\" 'x'.app");

    Bundles()
    {
        makeBundle(target, QStringLiteral("1.0"), "old");
        makeBundle(newBundle, QStringLiteral("2.0"), "new");
    }
};

} // namespace

// ---- staging paths ---------------------------------------------------------------

TEST(NVSUTemporaryBundlePathTest, FormatKeepsTheTargetsFolderAndExtension)
{
    struct Row {
        const char *target;
        const char *tag;
        quint64 key;
        const char *expected;
    };
    const Row rows[] = {
        {"/Applications/Product.app", "6543", 0xabc, "/Applications/Product.6543-00000abc.app"},
        {"/Applications/Product.app", "old", 0x1234567890abULL, "/Applications/Product.old-1234567890ab.app"},
        {"/opt/Product.app/", "new", 0, "/opt/Product.new-00000000.app"},
        {"/opt/v1.2/Product", "5", 1, "/opt/v1.2/Product.5-00000001."},
        {"/opt/.hidden", "5", 1, "/opt/.hidden.5-00000001."},
        {"/tmp/a b/Pr\xc3\xb6 d.x.app", "1 (b)", 0xffffffffULL, "/tmp/a b/Pr\xc3\xb6 d.x.1 (b)-ffffffff.app"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(NVSUBundleReplacementDetail::temporaryBundlePath(QString::fromUtf8(row.target), QString::fromUtf8(row.tag), row.key),
                  QString::fromUtf8(row.expected))
            << row.target;
}

TEST(NVSUTemporaryBundlePathTest, TagIsTheSourcesTrimmedVersionOrOldAndNew)
{
    const auto work = makeWorkDir();
    const QString target = work->filePath(QStringLiteral("Target.app"));
    struct Row {
        QVariant version; // invalid: no CFBundleVersion
        const char *tag;
    };
    const Row rows[] = {
        {QStringLiteral("6543"), "6543"},
        {QStringLiteral("  \t6543 \n"), "6543"},
        {QStringLiteral("\"5.0 (beta 2)\"!"), "5.0 (beta 2)"},
        {QStringLiteral("*[1.0]#:,-*"), "[1.0]#:,-"},
        {QStringLiteral("~ü1 2ä~"), "ü1 2ä"},
        {QStringLiteral("!!!"), ""},
        {qint64(42), "42"},
        {QVariant(), "(null)"},
    };
    int n = 0;
    for (const Row &row : rows) {
        const QString source = work->filePath(QStringLiteral("Source%1.app").arg(++n));
        QVariantMap info;
        if (row.version.isValid())
            info.insert(QStringLiteral("CFBundleVersion"), row.version);
        TestSupport::writeInfoPlist(source, info);
        EXPECT_EQ(NVSUBundleReplacementDetail::bundleVersionTag(target, source), QString::fromUtf8(row.tag)) << row.version.toString().toStdString();
    }
    // A source that is no folder: "old" for the target itself, else "new".
    EXPECT_EQ(NVSUBundleReplacementDetail::bundleVersionTag(target, target), "old");
    EXPECT_EQ(NVSUBundleReplacementDetail::bundleVersionTag(target, work->filePath("missing.app")), "new");
    // The bundle is read as it is now, not as an earlier call cached it.
    const QString source = work->filePath(QStringLiteral("Source1.app"));
    TestSupport::writeInfoPlist(source, {{QStringLiteral("CFBundleVersion"), QStringLiteral("7000")}});
    EXPECT_EQ(NVSUBundleReplacementDetail::bundleVersionTag(target, source), "7000");
}

TEST(NVSUTemporaryBundlePathTest, KeyIsSecondsXorMicroseconds)
{
    timeval before{};
    ::gettimeofday(&before, nullptr);
    const QString path = NVSUTemporaryBundlePath(QStringLiteral("/opt/Product.app"), QStringLiteral("/nonexistent/New.app"));
    const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("^/opt/Product\\.new-([0-9a-f]{8,})\\.app$")).match(path);
    ASSERT_TRUE(match.hasMatch()) << path.toStdString();
    const quint64 key = match.captured(1).toULongLong(nullptr, 16);
    // Microseconds stay below 2^20, so above that the key is the seconds.
    EXPECT_EQ(key >> 20, quint64(before.tv_sec) >> 20);
    EXPECT_LT(key ^ quint64(before.tv_sec), quint64(1) << 21);
}

// ---- the script ------------------------------------------------------------------

TEST(NVSUMoveOrCopyScriptTest, IsTheFixedSevenLineText)
{
    // GNU tar says --no-recursion where the original tool said -n; nothing
    // else differs.
    const QString expected = QStringLiteral(
        "/bin/mv -f \"$NVSU_NEW_APP\" \"$NVSU_TEMP_PATH\" 2>/dev/null\n"
        "if [ ! -d \"$NVSU_TEMP_PATH\" ]; then\n"
        "    set -o pipefail\n"
        "    /bin/mkdir \"$NVSU_TEMP_PATH\"        && /usr/bin/tar -c -f - -C \"$NVSU_NEW_APP\" .        | /usr/bin/tar -x -p -f - -C \"$NVSU_TEMP_PATH\"        && /usr/bin/tar -c -f - -n -C \"$NVSU_NEW_APP\" .        | /usr/bin/tar -x -p -f - -C \"$NVSU_TEMP_PATH\" 2>&1\n"
        "else\n"
        "    exit 0\n"
        "fi");
    EXPECT_EQ(NVSUMoveOrCopyScript.toUtf8(), QString(expected).replace(QStringLiteral(" -n "), QStringLiteral(" --no-recursion ")).toUtf8());
}

// ---- success as the user -----------------------------------------------------------

// The account's own application: no password is asked for, the new version
// is in place with its download-origin marks gone, nothing is left beside it,
// and it is launched.
TEST(NVSUBundleReplacementTest, ReplacesTheUsersOwnBundleWithoutAskingAndLaunchesIt)
{
    NV_RUN_AS_TEST_USER();
    Bundles bundles;
    const QString counter = bundles.work->filePath(QStringLiteral("asked"));
    const QString askpass = writeAskpass(bundles.work->path(), counter);
    qputenv("SUDO_ASKPASS", QFile::encodeName(askpass));
    NVAuthorization::setAskpassPath(askpass);
    NVAuthorization::setPolkitAllowedForTesting(false);
    const QString marked = bundles.newBundle + QStringLiteral("/Contents/Resources/marker.txt");
    for (const char *name : {"user.xdg.origin.url", "user.xdg.referrer.url"}) {
        ASSERT_EQ(::setxattr(QFile::encodeName(marked).constData(), name, "https://x", 9, 0), 0) << name;
        ASSERT_EQ(::setxattr(QFile::encodeName(bundles.newBundle).constData(), name, "https://x", 9, 0), 0) << name;
    }

    DebugLogs debug;
    LogCapture log;
    RecordingDelegate delegate;
    ASSERT_TRUE(installOnWorker(bundles.newBundle, bundles.target, false, &delegate, quickOptions()));

    EXPECT_EQ(askpassCount(counter), 0);
    EXPECT_EQ(markerOf(bundles.target), "new");
    EXPECT_FALSE(QFileInfo::exists(bundles.newBundle)) << "moved, not copied, on one file system";
    EXPECT_EQ(QDir(bundles.folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QFileInfo(bundles.target).fileName()});
    char value[64];
    for (const QString &path : {bundles.target, bundles.target + QStringLiteral("/Contents/Resources/marker.txt")})
        EXPECT_LT(::lgetxattr(QFile::encodeName(path).constData(), "user.xdg.origin.url", value, sizeof value), 0) << path.toStdString();

    // Announced once, between staging and swap, with the staged copy beside the target.
    ASSERT_EQ(delegate.calls.size(), 1);
    const QString staged = delegate.calls[0].section(QStringLiteral(" | "), 1);
    EXPECT_EQ(delegate.calls[0].section(QStringLiteral(" | "), 0, 0), bundles.target);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^") + QRegularExpression::escape(bundles.folder + QStringLiteral("/Prödüct \"Q\" 'x'.2.0-")) +
                                   QStringLiteral("[0-9a-f]{8,}\\.app$"))
                    .match(staged)
                    .hasMatch())
        << staged.toStdString();
    EXPECT_EQ(delegate.targetMarkerAtCall, "old");
    EXPECT_EQ(delegate.stagedMarkerAtCall, "new");

    EXPECT_EQ(waitForLaunchRecord(bundles.target), "0\n\n");
    EXPECT_TRUE(TestSupport::waitFor([&] { return !log.matching("Successfully launched updated app: " + bundles.target).isEmpty(); }));
    EXPECT_EQ(log.matching(QStringLiteral("Launching app at ")), QStringList{"Software Update Debug: Launching app at " + bundles.target});
    EXPECT_EQ(failureLines(log.messages()), QStringList{"Successfully launched updated app: " + bundles.target});
}

TEST(NVSUBundleReplacementTest, LaunchFailureIsLoggedButTheReplacementSucceeds)
{
    Bundles bundles;
    makeBundle(bundles.newBundle, QStringLiteral("2.0"), "new", QString()); // no CFBundleExecutable
    LogCapture log;
    EXPECT_TRUE(installOnWorker(bundles.newBundle, bundles.target, false, nullptr, quickOptions()));
    EXPECT_EQ(markerOf(bundles.target), "new");
    ASSERT_TRUE(TestSupport::waitFor([&] { return !log.matching(QStringLiteral("ERROR: Failed")).isEmpty(); }));
    const QStringList lines = failureLines(log.messages());
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].startsWith("ERROR: Failed to launch updated app (" + bundles.target + "). Reason: ")) << lines[0].toStdString();
}

// ---- failures before anything changes ----------------------------------------------

// Each check that ends a replacement writes one line and leaves every file
// where it was.
TEST(NVSUBundleReplacementTest, FailedChecksWriteOneLineAndChangeNothing)
{
    struct Row {
        const char *name;
        std::function<QString(Bundles &)> prepare; // answers the target to pass
        std::function<QString(Bundles &)> line;
    };
    const quint64 key = 0x5eed;
    const Row rows[] = {
        {"missing target", [](Bundles &b) { return b.folder + QStringLiteral("/Gone ü.app"); },
         [](Bundles &b) { return "Cannot replace " + b.folder + QStringLiteral("/Gone ü.app because not found: Unix error 2 (No such file or directory)"); }},
        {"regular file",
         [](Bundles &b) {
             const QString file = b.folder + QStringLiteral("/File ü.app");
             TestSupport::writeFile(file, "x");
             QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
             return file;
         },
         [](Bundles &b) { return "Target " + b.folder + QStringLiteral("/File ü.app is not a directory, Unix mode is 0100644"); }},
        {"link to a folder",
         [](Bundles &b) {
             const QString link = b.folder + QStringLiteral("/Link ü.app");
             QFile::link(b.target, link);
             return link;
         },
         [](Bundles &b) { return "Target " + b.folder + QStringLiteral("/Link ü.app is not a directory, Unix mode is 0120777"); }},
        {"leftover new staging folder",
         [key](Bundles &b) {
             QDir().mkpath(NVSUBundleReplacementDetail::temporaryBundlePath(b.target, QStringLiteral("2.0"), key));
             return b.target;
         },
         [key](Bundles &b) {
             return "Temporary path for new app already exists, aborting: " +
                    NVSUBundleReplacementDetail::temporaryBundlePath(b.target, QStringLiteral("2.0"), key);
         }},
        {"leftover old staging file",
         [key](Bundles &b) {
             TestSupport::writeFile(NVSUBundleReplacementDetail::temporaryBundlePath(b.target, QStringLiteral("1.0"), key), "x");
             return b.target;
         },
         [key](Bundles &b) {
             return "Temporary path for old app already exists, aborting: " +
                    NVSUBundleReplacementDetail::temporaryBundlePath(b.target, QStringLiteral("1.0"), key);
         }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Bundles bundles;
        const QString target = row.prepare(bundles);
        const QStringList before = snapshot(bundles.work->path());
        NVSUBundleReplacementOptions options = quickOptions();
        options.stagingKey = [key] { return key; };
        LogCapture log;
        EXPECT_FALSE(installOnWorker(bundles.newBundle, target, false, nullptr, options, std::chrono::milliseconds(0)));
        EXPECT_EQ(failureLines(log.messages()), QStringList{row.line(bundles)});
        EXPECT_EQ(snapshot(bundles.work->path()), before);
    }
}

// A bundle of another account needs root, and root installs nothing it has
// not checked against a signed archive itself.
TEST(NVSUBundleReplacementTest, AnotherAccountsBundleIsNotInstalledWithoutASignedArchive)
{
    const auto user = TestUser::account();
    if (::geteuid() != 0 || !user)
        GTEST_SKIP() << "needs root and the test account";
    Bundles bundles;
    ASSERT_EQ(::lchown(QFile::encodeName(bundles.target).constData(), user->uid, user->gid), 0);
    const QStringList before = snapshot(bundles.work->path());
    LogCapture log;
    EXPECT_FALSE(installOnWorker(bundles.newBundle, bundles.target, false, nullptr, quickOptions(), std::chrono::milliseconds(0)));
    EXPECT_EQ(failureLines(log.messages()),
              QStringList{"Cannot install " + bundles.newBundle + " as root: no signed archive to check it against"});
    EXPECT_EQ(snapshot(bundles.work->path()), before);
}

// ---- failures during the swap --------------------------------------------------------

TEST(NVSUBundleReplacementTest, OldBundleThatCannotMoveAsideLeavesTargetAndStagedCopy)
{
    Bundles bundles;
    RecordingDelegate delegate;
    QString oldAside;
    NVSUBundleReplacementOptions options = quickOptions();
    options.stagingKey = [] { return quint64(0xfeed); };
    oldAside = NVSUBundleReplacementDetail::temporaryBundlePath(bundles.target, QStringLiteral("1.0"), 0xfeed);
    // A file where the old folder should go: mv will not put a folder over it.
    delegate.interfere = [&](const QString &, const QString &) { TestSupport::writeFile(oldAside, "in the way"); };
    LogCapture log;
    EXPECT_FALSE(installOnWorker(bundles.newBundle, bundles.target, false, &delegate, options, std::chrono::milliseconds(0)));
    const QString staged = NVSUBundleReplacementDetail::temporaryBundlePath(bundles.target, QStringLiteral("2.0"), 0xfeed);
    const QStringList lines = failureLines(log.messages());
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].startsWith("Error renaming old version " + bundles.target + " to " + oldAside + ": /bin/mv: ")) << lines[0].toStdString();
    EXPECT_EQ(markerOf(bundles.target), "old");
    EXPECT_EQ(markerOf(staged), "new");
}

// When the new bundle cannot be put in place after the old one was moved
// aside, the old one goes back: the application never disappears.
TEST(NVSUBundleReplacementTest, NewBundleThatCannotMoveInPutsTheOldOneBack)
{
    Bundles bundles;
    RecordingDelegate delegate;
    delegate.interfere = [](const QString &, const QString &staged) { QDir(staged).removeRecursively(); };
    NVSUBundleReplacementOptions options = quickOptions();
    options.stagingKey = [] { return quint64(0xbeef); };
    const QString staged = NVSUBundleReplacementDetail::temporaryBundlePath(bundles.target, QStringLiteral("2.0"), 0xbeef);
    const QString oldAside = NVSUBundleReplacementDetail::temporaryBundlePath(bundles.target, QStringLiteral("1.0"), 0xbeef);
    LogCapture log;
    EXPECT_FALSE(installOnWorker(bundles.newBundle, bundles.target, false, &delegate, options, std::chrono::milliseconds(0)));
    const QStringList lines = failureLines(log.messages());
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith("Error renaming new version " + staged + " to " + bundles.target + ": /bin/mv: ")) << lines[0].toStdString();
    EXPECT_EQ(lines[1], "Moved old version " + oldAside + " back to " + bundles.target);
    EXPECT_EQ(markerOf(bundles.target), "old");
    EXPECT_FALSE(QFileInfo::exists(oldAside));
}

// An old version that cannot be deleted is parked in /tmp/; the replacement
// still succeeds.
TEST(NVSUBundleReplacementTest, UndeletableOldBundleEndsInTmp)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for an immutable file";
    Bundles bundles;
    const QString stuck = bundles.target + QStringLiteral("/Contents/Resources/stuck ü");
    TestSupport::writeFile(stuck, "immutable");
    if (TestSupport::run(QStringLiteral("/usr/bin/chattr"), {QStringLiteral("+i"), stuck}).exitCode != 0)
        GTEST_SKIP() << "the file system has no immutable files";
    NVSUBundleReplacementOptions options = quickOptions();
    const quint64 key = NVSUTemporaryBundleKey() ^ 0x77; // unique in /tmp
    options.stagingKey = [key] { return key; };
    const QString oldAside = NVSUBundleReplacementDetail::temporaryBundlePath(bundles.target, QStringLiteral("1.0"), key);
    const QString parked = QStringLiteral("/tmp/") + QFileInfo(oldAside).fileName();
    LogCapture log;
    const bool ok = installOnWorker(bundles.newBundle, bundles.target, false, nullptr, options, std::chrono::milliseconds(0));
    const QString parkedStuck = parked + QStringLiteral("/Contents/Resources/stuck ü");
    TestSupport::run(QStringLiteral("/usr/bin/chattr"), {QStringLiteral("-i"), parkedStuck});
    TestSupport::run(QStringLiteral("/usr/bin/chattr"), {QStringLiteral("-i"), stuck});
    const bool parkedThere = QFileInfo::exists(parkedStuck);
    QDir(parked).removeRecursively();

    EXPECT_TRUE(ok);
    EXPECT_EQ(markerOf(bundles.target), "new");
    EXPECT_TRUE(parkedThere);
    EXPECT_FALSE(QFileInfo::exists(oldAside));
    const QStringList lines = failureLines(log.messages()).filter(QStringLiteral("old version")) + log.matching(QStringLiteral("Moving to /tmp/"));
    ASSERT_EQ(lines.size(), 2) << log.messages().join('\n').toStdString();
    EXPECT_TRUE(lines[0].startsWith("Error deleting old version " + oldAside + ": /bin/rm: ")) << lines[0].toStdString();
    EXPECT_EQ(lines[1], "Software Update: Moving to /tmp/");
}

// ---- the copy path and a full disk ---------------------------------------------------

// A new bundle that cannot be moved (its folder is immutable) is copied with
// the tar pipes, attributes of the top folder included.
TEST(NVSUBundleReplacementTest, BundleThatCannotMoveIsCopiedWithItsTopFolderAttributes)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for an immutable folder";
    Bundles bundles;
    ASSERT_EQ(::chmod(QFile::encodeName(bundles.newBundle).constData(), 0750), 0);
    ASSERT_EQ(TestSupport::run(QStringLiteral("/usr/bin/touch"), {QStringLiteral("-d"), QStringLiteral("2001-02-03 04:05:06"), bundles.newBundle}).exitCode, 0);
    if (TestSupport::run(QStringLiteral("/usr/bin/chattr"), {QStringLiteral("+i"), bundles.download}).exitCode != 0)
        GTEST_SKIP() << "the file system has no immutable folders";
    const bool ok = installOnWorker(bundles.newBundle, bundles.target, false, nullptr, quickOptions(), std::chrono::milliseconds(0));
    TestSupport::run(QStringLiteral("/usr/bin/chattr"), {QStringLiteral("-i"), bundles.download});
    ASSERT_TRUE(ok);
    EXPECT_EQ(markerOf(bundles.target), "new");
    EXPECT_EQ(markerOf(bundles.newBundle), "new") << "copied, so the original stays";
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(bundles.target).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0750u);
    EXPECT_EQ(QFileInfo(bundles.target).lastModified(), QDateTime::fromString(QStringLiteral("2001-02-03T04:05:06"), Qt::ISODate));
}

namespace {

// A tmpfs of a few hundred kilobytes, mounted for the life of the object.
class TinyFileSystem {
public:
    explicit TinyFileSystem(const QString &mountPoint) : m_mountPoint(mountPoint)
    {
        QDir().mkpath(mountPoint);
        m_mounted = TestSupport::run(QStringLiteral("/usr/bin/mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                                                        QStringLiteral("size=256k,mode=0755"), QStringLiteral("nvsu-tiny"), mountPoint})
                        .exitCode == 0;
    }
    ~TinyFileSystem()
    {
        if (m_mounted)
            TestSupport::run(QStringLiteral("/usr/bin/umount"), {QStringLiteral("-l"), m_mountPoint});
    }
    bool mounted() const { return m_mounted; }

private:
    QString m_mountPoint;
    bool m_mounted = false;
};

} // namespace

// Moving across file systems copies; when the destination fills up, mv stops
// with part of the bundle at the staging path. The fixed script took that
// folder for a staged bundle and the swap installed it; the staging script
// removes it and copies instead, which fails cleanly on the full disk.
TEST(NVSUBundleReplacementTest, PartialMoveOntoAFullDiskIsNeverInstalled)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    Bundles bundles;
    const QString tiny = bundles.work->filePath(QStringLiteral("tiny ") + kAwkward);
    TinyFileSystem fileSystem(tiny);
    if (!fileSystem.mounted())
        GTEST_SKIP() << "cannot mount tmpfs here";
    const QString target = tiny + QStringLiteral("/Prödüct.app");
    makeBundle(target, QStringLiteral("1.0"), "old");
    // Four times what the file system holds.
    TestSupport::writeFile(bundles.newBundle + QStringLiteral("/Contents/Resources/zz large"), QByteArray(1024 * 1024, 'z'));

    // The fault, reproduced with the unchanged script: it answers 0 with a
    // truncated folder in place.
    {
        const QString staged = tiny + QStringLiteral("/staged ü.app");
        const auto shell = NVShell::create();
        shell->setVariable(QStringLiteral("NVSU_NEW_APP"), bundles.newBundle);
        shell->setVariable(QStringLiteral("NVSU_TEMP_PATH"), staged);
        EXPECT_EQ(shell->executeCommand(NVSUMoveOrCopyScript), 0);
        EXPECT_TRUE(QFileInfo(staged).isDir());
        EXPECT_LT(QFileInfo(staged + QStringLiteral("/Contents/Resources/zz large")).size(), 1024 * 1024);
        EXPECT_EQ(markerOf(bundles.newBundle), "new") << "mv removes the source only after a whole copy";
        QDir(staged).removeRecursively();
    }

    const QStringList before = snapshot(tiny);
    LogCapture log;
    EXPECT_FALSE(installOnWorker(bundles.newBundle, target, false, nullptr, quickOptions(), std::chrono::milliseconds(0)));
    EXPECT_EQ(markerOf(target), "old");
    EXPECT_EQ(markerOf(bundles.newBundle), "new");
    EXPECT_EQ(failureLines(log.messages()).size(), 1) << log.messages().join('\n').toStdString();
    // Only what the failed copy left at the new staging path may remain.
    QStringList after = snapshot(tiny);
    after.erase(std::remove_if(after.begin(), after.end(), [](const QString &entry) { return entry.startsWith(QStringLiteral("Prödüct.2.0-")); }),
                after.end());
    EXPECT_EQ(after, before);
}
