#include "InstallTestSupport.h"

#include "install/NVAuthorization.h"
#include "install/NVSUBundleReplacement.h"
#include "install/NVShell.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "support/TestUser.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>

#include <csignal>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace InstallTest;

namespace {

// Remembers the one announcement of a replacement, and can interfere with
// the disk at that moment, between staging and swap.
class RecordingDelegate : public NVSUBundleReplacementDelegate {
public:
    std::function<void()> interfere;
    QStringList calls; // target, staged copy, and the markers of both at the time

    void willReplaceApplication(const QString &targetPath, const QString &stagedPath) override
    {
        calls << targetPath << stagedPath << QString::fromUtf8(markerOf(targetPath)) << QString::fromUtf8(markerOf(stagedPath));
        if (interfere)
            interfere();
    }
};

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
        {"/tmp/a b/Pr\xc3\xb6 d.x.app", "1 (b)", 0xffffffffULL, "/tmp/a b/Pr\xc3\xb6 d.x.1 (b)-ffffffff.app"},
        {"/opt/.Product", "5", 1, "/opt/.Product.5-00000001."}, // a leading dot is no extension
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
        {QStringLiteral("  \t6543 \n"), "6543"},
        {QStringLiteral("\"5.0 (beta 2)\"!"), "5.0 (beta 2)"},
        {QStringLiteral("*[1.0]#:,-*"), "[1.0]#:,-"},
        {QStringLiteral("~ü1 2ä~"), "ü1 2ä"},
        {QStringLiteral("!!!"), ""},
        {qint64(42), "42"},
        {QVariant(), "(null)"},
        // Never a way into another folder, whatever the version says.
        {QStringLiteral("x/../../escape/x"), "x_.._.._escape_x"},
        {QStringLiteral(".."), "__"},
        {QStringLiteral("1.0\n2"), "1.0_2"},
    };
    LogCapture log;
    int n = 0;
    for (const Row &row : rows) {
        const QString source = work->filePath(QStringLiteral("Source%1.app").arg(++n));
        QVariantMap info;
        if (row.version.isValid())
            info.insert(QStringLiteral("CFBundleVersion"), row.version);
        TestSupport::writeInfoPlist(source, info);
        EXPECT_EQ(NVSUBundleReplacementDetail::bundleVersionTag(target, source), QString::fromUtf8(row.tag)) << row.version.toString().toStdString();
    }
    EXPECT_EQ(log.matching(QStringLiteral("is not a safe file name")).size(), 3);
    EXPECT_EQ(failureLines(log.messages()).constFirst(),
              "The version x/../../escape/x of " + work->filePath(QStringLiteral("Source8.app")) + " is not a safe file name; staging as x_.._.._escape_x");
    // A source that is no folder: "old" for the target itself, else "new".
    EXPECT_EQ(NVSUBundleReplacementDetail::bundleVersionTag(target, target), "old");
    EXPECT_EQ(NVSUBundleReplacementDetail::bundleVersionTag(target, work->filePath("missing.app")), "new");
    // The bundle is read as it is now, not as an earlier call cached it.
    const QString source = work->filePath(QStringLiteral("Source1.app"));
    TestSupport::writeInfoPlist(source, {{QStringLiteral("CFBundleVersion"), QStringLiteral("7000")}});
    EXPECT_EQ(NVSUBundleReplacementDetail::bundleVersionTag(target, source), "7000");
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
    ASSERT_EQ(delegate.calls.size(), 4);
    const QString staged = delegate.calls[1];
    EXPECT_EQ(delegate.calls, (QStringList{bundles.target, staged, "old", "new"}));
    const QString pattern = QRegularExpression::escape(bundles.folder + QStringLiteral("/Prödüct \"Q\" 'x'.2.0-")) + QStringLiteral("[0-9a-f]{8,}\\.app");
    EXPECT_TRUE(QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(staged).hasMatch()) << staged.toStdString();

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
    const quint64 key = 0x5eed;
    const auto staging = [key](const Bundles &b, const char *version) {
        return NVSUBundleReplacementDetail::temporaryBundlePath(b.target, QString::fromLatin1(version), key);
    };
    // Each prepares the disk and answers the target to pass and the line it gets.
    const std::pair<const char *, std::function<std::pair<QString, QString>(Bundles &)>> rows[] = {
        {"missing target", [](Bundles &b) {
             const QString gone = b.folder + QStringLiteral("/Gone ü.app");
             return std::pair{gone, "Cannot replace " + gone + " because not found: Unix error 2 (No such file or directory)"};
         }},
        {"regular file", [](Bundles &b) {
             const QString file = b.folder + QStringLiteral("/File ü.app");
             TestSupport::writeFile(file, "x");
             ::chmod(QFile::encodeName(file).constData(), 0644);
             return std::pair{file, "Target " + file + " is not a directory, Unix mode is 0100644"};
         }},
        {"link to a folder", [](Bundles &b) {
             const QString link = b.folder + QStringLiteral("/Link ü.app");
             QFile::link(b.target, link);
             return std::pair{link, "Target " + link + " is not a directory, Unix mode is 0120777"};
         }},
        {"leftover new staging folder", [&](Bundles &b) {
             QDir().mkpath(staging(b, "2.0"));
             return std::pair{b.target, "Temporary path for new app already exists, aborting: " + staging(b, "2.0")};
         }},
        {"leftover old staging file", [&](Bundles &b) {
             TestSupport::writeFile(staging(b, "1.0"), "x");
             return std::pair{b.target, "Temporary path for old app already exists, aborting: " + staging(b, "1.0")};
         }},
    };
    for (const auto &[name, prepare] : rows) {
        SCOPED_TRACE(name);
        Bundles bundles;
        const auto [target, line] = prepare(bundles);
        const QStringList before = snapshot(bundles.work->path());
        NVSUBundleReplacementOptions options = quickOptions();
        options.stagingKey = [key] { return key; };
        LogCapture log;
        EXPECT_FALSE(installOnWorker(bundles.newBundle, target, false, nullptr, options, std::chrono::milliseconds(0)));
        EXPECT_EQ(failureLines(log.messages()), QStringList{line});
        EXPECT_EQ(snapshot(bundles.work->path()), before);
    }
}

// ---- failures during the swap --------------------------------------------------------

// The application never disappears: when the old bundle cannot move aside
// nothing moves, and when the new one cannot move in the old one goes back.
// This is the route of two renames, taken where there is no exchange.
TEST(NVSUBundleReplacementTest, FailedSwapLeavesTheOldBundleInPlace)
{
    const quint64 key = 0xfeed;
    for (const bool newCannotMoveIn : {false, true}) {
        SCOPED_TRACE(newCannotMoveIn ? "new bundle cannot move in" : "old bundle cannot move aside");
        Bundles bundles;
        const QString staged = NVSUBundleReplacementDetail::temporaryBundlePath(bundles.target, QStringLiteral("2.0"), key);
        const QString oldAside = NVSUBundleReplacementDetail::temporaryBundlePath(bundles.target, QStringLiteral("1.0"), key);
        RecordingDelegate delegate;
        delegate.interfere = [&] {
            if (newCannotMoveIn)
                QDir(staged).removeRecursively();
            else
                TestSupport::writeFile(oldAside, "in the way"); // mv will not put a folder over a file
        };
        NVSUBundleReplacementOptions options = quickOptions();
        options.stagingKey = [key] { return key; };
        options.exchange = false;
        LogCapture log;
        EXPECT_FALSE(installOnWorker(bundles.newBundle, bundles.target, false, &delegate, options, std::chrono::milliseconds(0)));
        const QStringList expected =
            newCannotMoveIn ? QStringList{"Error renaming new version " + staged + " to " + bundles.target + ": /bin/mv: ",
                                          "Moved old version " + oldAside + " back to " + bundles.target}
                            : QStringList{"Error renaming old version " + bundles.target + " to " + oldAside + ": /bin/mv: "};
        const QStringList lines = failureLines(log.messages());
        ASSERT_EQ(lines.size(), expected.size()) << lines.join('\n').toStdString();
        for (qsizetype i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(expected[i].endsWith(QStringLiteral(": ")) ? lines[i].startsWith(expected[i]) : lines[i] == expected[i])
                << lines[i].toStdString();
        EXPECT_EQ(markerOf(bundles.target), "old");
        EXPECT_FALSE(QFileInfo::exists(staged)) << "a failed attempt leaves no staged copy";
        EXPECT_EQ(QFileInfo::exists(oldAside), !newCannotMoveIn);
    }
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
    options.exchange = false; // so that the old version is at its own staging path
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

// Moving across file systems copies; when the destination fills up, mv stops
// with part of the bundle at the staging path. The fixed script took that
// folder for a staged bundle and the swap installed it; the staging script
// removes it and copies instead, which fails cleanly on the full disk.
TEST(NVSUBundleReplacementTest, PartialMoveOntoAFullDiskIsNeverInstalled)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    Bundles bundles;
    // A file system of a quarter megabyte.
    const QString tiny = bundles.work->filePath(QStringLiteral("tiny ") + kAwkward);
    QDir().mkpath(tiny);
    if (TestSupport::run("/usr/bin/mount", {"-t", "tmpfs", "-o", "size=256k,mode=0755", "nvsu-tiny", tiny}).exitCode != 0)
        GTEST_SKIP() << "cannot mount tmpfs here";
    const auto unmount = qScopeGuard([&] { TestSupport::run("/usr/bin/umount", {"-l", tiny}); });
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
    // Root, as the fallback, installs nothing without a signed archive.
    EXPECT_EQ(failureLines(log.messages()), QStringList{"Cannot install " + bundles.newBundle + " as root: no signed archive to check it against"});
    // Only what the failed copy left at the new staging path may remain.
    QStringList after = snapshot(tiny);
    after.erase(std::remove_if(after.begin(), after.end(), [](const QString &entry) { return entry.startsWith(QStringLiteral("Prödüct.2.0-")); }),
                after.end());
    EXPECT_EQ(after, before);
}
