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
#include <QScopeGuard>

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

// Copies of the old version, started from its executable (a copy of bash), so
// that they carry the bundle's executable path as the application's own
// would. Each notes "ready" once its TERM handling is set up and "TERM"
// whenever the signal arrives.
const QString kEndsOnTerm = QStringLiteral("trap 'echo TERM >> \"$0\"; exit 0' TERM; echo ready >> \"$0\"; while :; do sleep 0.05; done");
const QString kIgnoresTerm = QStringLiteral("trap 'echo TERM >> \"$0\"' TERM; echo ready >> \"$0\"; while :; do sleep 0.05; done");
// Ends by itself after about twenty seconds, for copies the test cannot signal.
const QString kBounded = QStringLiteral("echo ready >> \"$0\"; for i in $(seq 400); do sleep 0.05; done");

struct Bundles {
    std::unique_ptr<QTemporaryDir> work = makeWorkDir();
    QString folder = work->filePath(QStringLiteral("Apps ") + kAwkward);
    QString target = folder + QStringLiteral("/Prödüct \"Q\" 'x'.app");
    QString download = work->filePath(QStringLiteral("download ") + kAwkward);
    QString newBundle = download + QStringLiteral("/Prödüct \"Q\" 'x'.app");
    QString executable = target + QStringLiteral("/Contents/MacOS/Prödüct run");

    Bundles()
    {
        makeBundle(target, QStringLiteral("1.0"), "old");
        makeBundle(newBundle, QStringLiteral("2.0"), "new");
        QFile::remove(executable);
        QFile::copy(QStringLiteral("/bin/bash"), executable);
        QFile::setPermissions(executable, QFile::permissions(QStringLiteral("/bin/bash")));
    }

    QString logPath(const QString &name) const { return work->filePath(name + QStringLiteral(" log")); }
    QByteArray log(const QString &name) const { return TestSupport::readFile(logPath(name)); }

    // Runs `script` in a copy, through `prefix` when given, and waits until it
    // has said "ready".
    std::unique_ptr<QProcess> startCopy(const QString &name, const QString &script, QStringList prefix = {}) const
    {
        TestSupport::writeFile(logPath(name), QByteArray());
        QFile::setPermissions(logPath(name), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther | QFileDevice::WriteOther);
        prefix << executable << QStringLiteral("-c") << script << logPath(name);
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(prefix.takeFirst(), prefix);
        EXPECT_TRUE(TestSupport::waitFor([&] { return log(name).contains("ready"); }));
        return process;
    }
};

// The debug log's lines about signals sent to `pid`.
QStringList signalLines(const LogCapture &log, qint64 pid)
{
    return log.matching(QStringLiteral(" signal to pid=%1").arg(pid)).filter(QRegularExpression(QStringLiteral("pid=%1$").arg(pid)));
}

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
        {"/opt/Product.app/", "new", 0x1234567890abULL, "/opt/Product.new-1234567890ab.app"},
        {"/opt/v1.2/Product", "5", 1, "/opt/v1.2/Product.5-00000001."},
        {"/tmp/a b/Pr\xc3\xb6 d.x.app", "1 (b)", 0xffffffffULL, "/tmp/a b/Pr\xc3\xb6 d.x.1 (b)-ffffffff.app"},
        {"/opt/.Product", "5", 1, "/opt/.Product.5-00000001."}, // a leading dot is no extension
    };
    for (const Row &row : rows)
        EXPECT_EQ(NVSUBundleReplacementDetail::temporaryBundlePath(QString::fromUtf8(row.target), QString::fromUtf8(row.tag), row.key),
                  QString::fromUtf8(row.expected))
            << row.target;
}

// The tag is the source's version trimmed of punctuation, never a way into
// another folder; a hidden target's leading dot is no extension.
TEST(NVSUTemporaryBundlePathTest, TagIsTheSourcesTrimmedVersionOrOldAndNew)
{
    const auto work = makeWorkDir();
    const QString target = work->filePath(QStringLiteral(".Hidden.app"));
    const auto staging = [&](const QString &source) { return NVSUTemporaryBundlePath(target, source, 0xabcd); };
    const auto named = [&](const char *tag) { return work->filePath(QStringLiteral(".Hidden.%1-0000abcd.app").arg(QString::fromUtf8(tag))); };
    struct Row {
        QVariant version; // invalid: no CFBundleVersion
        const char *tag;
    };
    const Row rows[] = {
        {QStringLiteral("  \t6543 \n"), "6543"},
        {QStringLiteral("~\"5.0 (beta ü)\"!"), "5.0 (beta ü)"},
        {qint64(42), "42"},
        {QVariant(), "(null)"},
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
        EXPECT_EQ(staging(source), named(row.tag)) << row.version.toString().toStdString();
    }
    EXPECT_EQ(log.matching(QStringLiteral("is not a safe file name")).size(), 3);
    EXPECT_EQ(failureLines(log.messages()).constFirst(),
              "The version x/../../escape/x of " + work->filePath(QStringLiteral("Source5.app")) + " is not a safe file name; staging as x_.._.._escape_x");
    // A source that is no folder: "old" for the target itself, else "new".
    EXPECT_EQ(staging(target), named("old"));
    EXPECT_EQ(staging(work->filePath("missing.app")), named("new"));
    // The bundle is read as it is now, not as an earlier call cached it.
    const QString source = work->filePath(QStringLiteral("Source1.app"));
    TestSupport::writeInfoPlist(source, {{QStringLiteral("CFBundleVersion"), QStringLiteral("7000")}});
    EXPECT_EQ(staging(source), named("7000"));
}

// ---- success as the user -----------------------------------------------------------

// The account's own application: no password is asked for, a running copy
// that ignores TERM is found (the account's view of root's processes is
// limited) and killed, the new version is in place with its download-origin
// marks gone, nothing is left beside it, and it is launched.
TEST(NVSUBundleReplacementTest, ReplacesTheUsersOwnBundleWithoutAskingEndsItsCopyAndLaunchesIt)
{
    NV_RUN_AS_TEST_USER();
    Bundles bundles;
    const QString counter = bundles.work->filePath(QStringLiteral("asked"));
    const QString askpass = writeAskpass(bundles.work->path(), counter);
    qputenv("SUDO_ASKPASS", QFile::encodeName(askpass));
    NVAuthorization::setAskpassPath(askpass);
    NVAuthorization::setPolkitAllowedForTesting(false);
    const QString marked = bundles.newBundle + QStringLiteral("/Contents/Resources/marker.txt");
    for (const QString &path : {marked, bundles.newBundle})
        ASSERT_EQ(::setxattr(QFile::encodeName(path).constData(), "user.xdg.origin.url", "https://x", 9, 0), 0);
    auto own = bundles.startCopy(QStringLiteral("own"), kIgnoresTerm);
    const qint64 ownPid = own->processId();

    DebugLogs debug;
    LogCapture log;
    RecordingDelegate delegate;
    NVSUBundleReplacementOptions options = quickOptions();
    options.termWait = std::chrono::milliseconds(300); // time for the copy's trap to run
    ASSERT_TRUE(installOnWorker(bundles.newBundle, bundles.target, false, &delegate, options));

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
    EXPECT_EQ(delegate.calls, (QStringList{bundles.target, delegate.calls[1], "old", "new"}));
    EXPECT_TRUE(delegate.calls[1].startsWith(bundles.folder + QStringLiteral("/Prödüct \"Q\" 'x'.2.0-"))) << delegate.calls[1].toStdString();

    EXPECT_TRUE(TestSupport::waitFor([&] { return own->state() == QProcess::NotRunning; }));
    EXPECT_EQ(own->exitStatus(), QProcess::CrashExit);
    EXPECT_EQ(bundles.log("own"), "ready\nTERM\n");
    const QString pid = QString::number(ownPid);
    EXPECT_EQ(signalLines(log, ownPid),
              (QStringList{"Software Update Debug: Sending TERM signal to pid=" + pid, "Software Update Debug: Sending KILL signal to pid=" + pid}));

    EXPECT_EQ(waitForLaunchRecord(bundles.target), "0\n\n");
    EXPECT_TRUE(TestSupport::waitFor([&] { return !log.matching("Successfully launched updated app: " + bundles.target).isEmpty(); }));
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

// When the application replaces itself the caller relaunches it: nothing is
// signalled and nothing launched.
TEST(NVSUBundleReplacementTest, ReplacingSelfSignalsAndLaunchesNothing)
{
    Bundles bundles;
    auto running = bundles.startCopy(QStringLiteral("self"), kEndsOnTerm);
    DebugLogs debug;
    LogCapture log;
    ASSERT_TRUE(installOnWorker(bundles.newBundle, bundles.target, true, nullptr, quickOptions(), std::chrono::milliseconds(0)));
    EXPECT_EQ(markerOf(bundles.target), "new");
    EXPECT_TRUE(launchRecord(bundles.target).isEmpty());
    EXPECT_EQ(bundles.log("self"), "ready\n");
    EXPECT_TRUE(log.matching(QStringLiteral(" signal to pid=")).isEmpty());
    EXPECT_TRUE(log.matching(QStringLiteral("Launching app")).isEmpty());
    running->kill();
    running->waitForFinished();
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

// ---- as root: running copies, and bundles that cannot move or go --------------------

// One real replacement as root. Its own copies of the old version get TERM,
// then KILL after the real wait (the waits keep their real lengths here),
// while another account's copy is left alone. The new bundle cannot move
// (its folder is immutable), so it is copied with the tar pipes, attributes
// of the top folder included; the old one cannot be deleted (it holds an
// immutable file), so it is parked in /tmp/. The replacement still succeeds.
TEST(NVSUBundleReplacementTest, AsRootCopiesAreEndedAndImmutableFilesDoNotStopTheReplacement)
{
    const auto user = TestUser::account();
    if (::geteuid() != 0 || !user)
        GTEST_SKIP() << "needs root and the test account";
    Bundles bundles;
    const QString stuck = bundles.target + QStringLiteral("/Contents/Resources/stuck ü");
    TestSupport::writeFile(stuck, "immutable");
    ASSERT_EQ(::chmod(QFile::encodeName(bundles.newBundle).constData(), 0750), 0);
    ASSERT_EQ(TestSupport::run(QStringLiteral("/usr/bin/touch"), {QStringLiteral("-d"), QStringLiteral("2001-02-03 04:05:06"), bundles.newBundle}).exitCode, 0);
    const auto immutable = [&](const QString &flag, const QStringList &paths) {
        bool all = true;
        for (const QString &path : paths)
            all = TestSupport::run(QStringLiteral("/usr/bin/chattr"), {flag, path}).exitCode == 0 && all;
        return all;
    };
    if (!immutable(QStringLiteral("+i"), {stuck, bundles.download})) {
        immutable(QStringLiteral("-i"), {stuck, bundles.download});
        GTEST_SKIP() << "the file system has no immutable files";
    }
    // The real waits, with the staging record inside the test's own files.
    NVSUBundleReplacementOptions options = quickOptions();
    options.termWait = NVSUBundleReplacementOptions().termWait;
    options.killWait = NVSUBundleReplacementOptions().killWait;
    const quint64 key = NVSUTemporaryBundleKey() ^ 0x77; // unique in /tmp
    options.stagingKey = [key] { return key; };
    options.exchange = false; // so that the old version is at its own staging path
    const QString oldAside = NVSUBundleReplacementDetail::temporaryBundlePath(bundles.target, QStringLiteral("1.0"), key);
    const QString parked = QStringLiteral("/tmp/") + QFileInfo(oldAside).fileName();

    auto endsOnTerm = bundles.startCopy(QStringLiteral("a"), kEndsOnTerm);
    auto ignoresTerm = bundles.startCopy(QStringLiteral("b"), kIgnoresTerm);
    auto otherAccount = bundles.startCopy(QStringLiteral("c"), kBounded,
                                          {QStringLiteral("/usr/bin/setpriv"), QStringLiteral("--reuid=%1").arg(user->uid),
                                           QStringLiteral("--regid=%1").arg(user->gid), QStringLiteral("--clear-groups")});
    QElapsedTimer clock;
    qint64 firstEnded = -1;
    qint64 secondEnded = -1;
    QObject::connect(endsOnTerm.get(), &QProcess::finished, [&] { firstEnded = clock.elapsed(); });
    QObject::connect(ignoresTerm.get(), &QProcess::finished, [&] { secondEnded = clock.elapsed(); });
    LogCapture log;
    clock.start();
    const bool ok = installOnWorker(bundles.newBundle, bundles.target, false, nullptr, options, std::chrono::milliseconds(0));
    const qint64 took = clock.elapsed();
    const QString parkedStuck = parked + QStringLiteral("/Contents/Resources/stuck ü");
    immutable(QStringLiteral("-i"), {parkedStuck, stuck, bundles.download});
    const bool parkedThere = QFileInfo::exists(parkedStuck);
    QDir(parked).removeRecursively();
    ASSERT_TRUE(ok) << log.messages().join('\n').toStdString();

    EXPECT_EQ(markerOf(bundles.target), "new");
    EXPECT_EQ(markerOf(bundles.newBundle), "new") << "copied, so the original stays";
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(bundles.target).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0750u);
    EXPECT_EQ(QFileInfo(bundles.target).lastModified(), QDateTime::fromString(QStringLiteral("2001-02-03T04:05:06"), Qt::ISODate));
    EXPECT_TRUE(parkedThere);
    EXPECT_FALSE(QFileInfo::exists(oldAside));
    EXPECT_EQ(log.matching("Software Update: Error deleting old version " + oldAside + ": /bin/rm: ").size(), 1);
    EXPECT_EQ(log.matching(QStringLiteral("Software Update: Moving to /tmp/")).size(), 1);

    // The event loop turned during the replacement, so they may have been
    // seen to finish already.
    EXPECT_TRUE(TestSupport::waitFor([&] { return endsOnTerm->state() == QProcess::NotRunning && ignoresTerm->state() == QProcess::NotRunning; }));
    EXPECT_EQ(endsOnTerm->exitStatus(), QProcess::NormalExit) << "ended by its TERM handler";
    EXPECT_EQ(ignoresTerm->exitStatus(), QProcess::CrashExit) << "ended by KILL";
    EXPECT_EQ(bundles.log("a"), "ready\nTERM\n");
    EXPECT_EQ(bundles.log("b"), "ready\nTERM\n");
    EXPECT_GE(secondEnded - firstEnded, 1800) << firstEnded << " " << secondEnded;
    EXPECT_GE(took, 2500);
    EXPECT_EQ(otherAccount->state(), QProcess::Running);
    EXPECT_EQ(bundles.log("c"), "ready\n");

    EXPECT_EQ(waitForLaunchRecord(bundles.target), "0\n\n");
    EXPECT_TRUE(TestSupport::waitFor([&] { return !log.matching(QStringLiteral("Successfully launched updated app")).isEmpty(); }));
    otherAccount->kill();
    otherAccount->waitForFinished();
}

// ---- a full disk -----------------------------------------------------------------------

// Moving across file systems copies; when the destination fills up, mv stops
// with part of the bundle at the staging path (and answers 0). That folder
// is never taken for a staged bundle: the staging script removes it and
// copies instead, which fails cleanly on the full disk.
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
