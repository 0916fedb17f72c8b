#include "InstallTestSupport.h"

#include "foundation/NVValue.h"
#include "install/NVSUBundleReplacement.h"
#include "platform/NVBundle.h"
#include "support/LogCapture.h"
#include "support/SigningFixture.h"
#include "support/TestSupport.h"
#include "support/TestUser.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>
#include <unistd.h>

using namespace InstallTest;

// A replacement killed at any step must never leave the user without the
// application, and the next update must succeed and clear away what the
// killed one left beside the target. Each case runs the replacement in a
// child process (this test binary again, filtered to the same case), which
// stops itself at the named step; the test then kills it there with SIGKILL.

namespace {

const QString kName = QStringLiteral("Prödüct \"K\" 'x'.app");

QString tool(const char *name)
{
    return TestSupport::bundlePath() + QStringLiteral("/Contents/MacOS/") + QLatin1String(name);
}

// Inside the child: the replacement the parent asked for. It stops at the
// pause point and is killed there, so coming back at all is a failure.
bool runAsKilledChild()
{
    if (!qEnvironmentVariableIsSet("NVSU_KILL_TEST_TARGET"))
        return false;
    NVSUBundleReplacementOptions options = quickOptions();
    options.exchange = qEnvironmentVariable("NVSU_KILL_TEST_EXCHANGE") == QLatin1String("1");
    options.exchangeToolPath = tool("nvsu-exchange");
    options.stagingRecordPath = qEnvironmentVariable("NVSU_KILL_TEST_RECORD");
    if (qEnvironmentVariableIsSet("NVSU_KILL_TEST_ARCHIVE"))
        options.signedArchive = NVSUSignedArchive{qEnvironmentVariable("NVSU_KILL_TEST_ARCHIVE"), kName,
                                                  qEnvironmentVariable("NVSU_KILL_TEST_ANCHORS"), tool("nvsu-release")};
    // Replacing itself: nothing is signalled or launched.
    installOnWorker(qEnvironmentVariable("NVSU_KILL_TEST_NEW"), qEnvironmentVariable("NVSU_KILL_TEST_TARGET"), true, nullptr, options,
                    std::chrono::milliseconds(0));
    ADD_FAILURE() << "the replacement ended instead of stopping at " << qPrintable(qEnvironmentVariable("NVSU_TEST_PAUSE_AT"));
    return true;
}

// The version of a whole bundle at `path` (its Info.plist, its executable,
// and contents of that version); "" when nothing is there, "broken" else.
QString wholeVersion(const QString &path)
{
    if (!QFileInfo::exists(path))
        return QString();
    const NVBundle *bundle = NVBundle::bundleWithPath(path, true);
    if (!bundle || !QFileInfo(bundle->executablePath()).isExecutable())
        return QStringLiteral("broken");
    const QString version = NVValue::description(bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")));
    return markerOf(path) == version.toUtf8() ? version : QStringLiteral("broken");
}

struct Folder {
    std::unique_ptr<QTemporaryDir> work = makeWorkDir();
    QString folder = work->filePath(QStringLiteral("Apps ") + kAwkward);
    QString target = folder + QLatin1Char('/') + kName;
    // Shared by the killed child and the next update.
    QString record = work->filePath(QStringLiteral("staging-paths"));

    Folder() { makeBundle(target, QStringLiteral("1.0"), "1.0"); }

    // A download of `version` whose marker is the version too.
    QString download(const QString &version) const
    {
        const QString path = work->filePath(QStringLiteral("download ") + version + QLatin1Char('/') + kName);
        makeBundle(path, version, version.toUtf8());
        return path;
    }

    QStringList entries() const { return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System); }

    // The versions of the bundles beside the target, sorted.
    QStringList leftoverVersions() const
    {
        QStringList versions;
        for (const QString &name : entries())
            if (name != kName)
                versions << wholeVersion(folder + QLatin1Char('/') + name);
        versions.sort();
        return versions;
    }

    // Starts the replacement in a child with `variables` for runAsKilledChild,
    // waits until it has stopped at `step` and kills it there.
    bool killAt(const QString &step, const QList<std::pair<const char *, QString>> &variables) const
    {
        const QString marker = work->filePath(QStringLiteral("paused"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("NVSU_TEST_PAUSE_AT"), step);
        environment.insert(QStringLiteral("NVSU_TEST_PAUSE_MARKER"), marker);
        environment.insert(QStringLiteral("NVSU_KILL_TEST_TARGET"), target);
        environment.insert(QStringLiteral("NVSU_KILL_TEST_RECORD"), record);
        for (const auto &[name, value] : variables)
            environment.insert(QLatin1String(name), value);
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        QProcess child;
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")),
                    {QStringLiteral("--gtest_filter=%1.%2").arg(QLatin1String(info->test_suite_name()), QLatin1String(info->name()))});
        const auto paused = [&] { return TestSupport::readFile(marker) == step.toUtf8(); };
        TestSupport::waitFor([&] { return paused() || child.state() == QProcess::NotRunning; }, std::chrono::minutes(2));
        const bool got = paused();
        child.kill();
        child.waitForFinished(60000);
        QFile::remove(marker);
        EXPECT_TRUE(got) << child.readAll().toStdString();
        return got;
    }
};

// Whether the file system of `folder` can exchange two entries.
bool canExchangeIn(const QString &folder)
{
    QDir(folder).mkpath(QStringLiteral("probe a"));
    QDir(folder).mkpath(QStringLiteral("probe b"));
    const bool can = TestSupport::run(tool("nvsu-exchange"), {folder, QStringLiteral("probe a"), QStringLiteral("probe b")}).exitCode == 0;
    QDir(folder + QStringLiteral("/probe a")).removeRecursively();
    QDir(folder + QStringLiteral("/probe b")).removeRecursively();
    return can;
}

} // namespace

// Killed at each step, the target holds a whole application of the old or
// the new version, except on the route of two renames between them: there
// the target path is empty and the old version sits at its staging path, and
// the next update cannot find the target. Otherwise the next update removes
// the killed run's staging folders, and nothing else beside the target.
TEST(NVSUBundleReplacementKillTest, KilledAtAnyStepTheTargetStaysWholeAndTheNextUpdateClearsUp)
{
    if (runAsKilledChild())
        return;
    if (!NVSUBundleReplacementDetail::pausePointsCompiledIn())
        GTEST_SKIP() << "built without NV_TEST_PAUSE_POINTS";
    struct Row {
        const char *step;
        bool exchange;
        QString target;        // the version at the target after the kill ("": none)
        QStringList leftovers; // the versions beside it
    };
    const QString v1 = QStringLiteral("1.0");
    const QString v2 = QStringLiteral("2.0");
    const Row rows[] = {
        {"staged", true, v1, {v2}},           {"before-exchange", true, v1, {v2}},   {"exchanged", true, v2, {v1}},
        {"disposed", true, v2, {}},           {"staged", false, v1, {v2}},           {"moved-aside", false, QString(), {v1, v2}},
        {"moved-into-place", false, v2, {v1}}, {"disposed", false, v2, {}},
    };
    const bool exchangeHere = canExchangeIn(Folder().work->path());
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.step) + (row.exchange ? " (exchange)" : " (two renames)"));
        if (row.exchange && !exchangeHere)
            continue;
        Folder folder;
        ASSERT_TRUE(folder.killAt(QString::fromLatin1(row.step), {{"NVSU_KILL_TEST_NEW", folder.download(v2)},
                                                                   {"NVSU_KILL_TEST_EXCHANGE", row.exchange ? "1" : "0"}}));
        EXPECT_EQ(wholeVersion(folder.target), row.target);
        EXPECT_EQ(folder.leftoverVersions(), row.leftovers) << folder.entries().join(QLatin1Char('|')).toStdString();

        // What stays: a link and a file with staging names, another
        // target's staging folder, a key too short, another user's, and a
        // folder of the user's that only looks like a staging folder.
        const QString stem = folder.folder + QStringLiteral("/Prödüct \"K\" 'x'.");
        ASSERT_TRUE(QFile::link(folder.target, stem + QStringLiteral("2.0-0000abce.app")));
        TestSupport::writeFile(stem + QStringLiteral("2.0-0000abcf.app"), "a file");
        makeBundle(folder.folder + QStringLiteral("/Other.2.0-0000abcd.app"), v2, "2.0");
        makeBundle(stem + QStringLiteral("2.0-abcdef.app"), v2, "2.0");
        makeBundle(stem + QStringLiteral("backup-20240101.app"), v1, "1.0");
        makeBundle(stem + QStringLiteral("9.9-0000abcd.app"), v2, "2.0");
        if (::geteuid() != 0)
            QDir(stem + QStringLiteral("9.9-0000abcd.app")).removeRecursively();
        else
            ASSERT_EQ(::chown(QFile::encodeName(stem + QStringLiteral("9.9-0000abcd.app")).constData(), 65534, 65534), 0);
        QStringList expected = QDir(folder.folder).entryList({QStringLiteral("Other.*"), QStringLiteral("*abc[ef].app"),
                                                             QStringLiteral("*-abcdef.app"), QStringLiteral("*9.9-*"), QStringLiteral("*backup-*")},
                                                            QDir::AllEntries | QDir::System);
        expected << kName;
        expected.sort();

        LogCapture log;
        NVSUBundleReplacementOptions options = quickOptions();
        options.stagingRecordPath = folder.record;
        const bool ok = installOnWorker(folder.download(QStringLiteral("3.0")), folder.target, true, nullptr, options,
                                        std::chrono::milliseconds(0));
        const QStringList lines = failureLines(log.messages());
        if (row.target.isEmpty()) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(lines, QStringList{"Cannot replace " + folder.target + " because not found: Unix error 2 (No such file or directory)"});
            continue;
        }
        EXPECT_TRUE(ok) << lines.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(wholeVersion(folder.target), QStringLiteral("3.0"));
        EXPECT_EQ(folder.entries().join(QLatin1Char('|')).toStdString(), expected.join(QLatin1Char('|')).toStdString());
        EXPECT_EQ(lines.filter(QStringLiteral(", left beside ") + folder.target + QStringLiteral(" by an earlier update")).size(),
                  row.leftovers.size());
    }
}

// As root, for a bundle of another account: a run killed right after the
// exchange leaves the new version in place and the old one, handed to the
// target's owner, beside it; the next run removes it. Root exchanges only
// with a tool no one but root can change, else it renames twice and says why.
TEST(NVSUBundleReplacementKillTest, AsRootTheOwnersLeftoversGoAndOnlyRootsToolExchanges)
{
    if (runAsKilledChild())
        return;
    const auto user = TestUser::account();
    if (::geteuid() != 0 || !user)
        GTEST_SKIP() << "needs root and the test account";
    // Where the build tree is not root's alone, root rightly refuses its
    // tool; a sticky folder above it (/tmp) still counts as root's.
    const QString rootsTool = tool("nvsu-exchange");
    for (QString path = rootsTool; path != QLatin1String("/"); path = QFileInfo(path).path()) {
        struct stat status {};
        const bool rootsAlone = ::stat(QFile::encodeName(path).constData(), &status) == 0 && status.st_uid == 0
                                && ((status.st_mode & 022) == 0 || (path != rootsTool && (status.st_mode & S_ISVTX) != 0));
        if (!rootsAlone)
            GTEST_SKIP() << path.toStdString() << " may be changed by others than root";
    }
    Folder folder;
    if (!canExchangeIn(folder.folder))
        GTEST_SKIP() << "the file system cannot exchange two entries";
    ASSERT_EQ(TestSupport::run(QStringLiteral("/usr/bin/chown"), {QStringLiteral("-R"), QStringLiteral("%1:%2").arg(user->uid).arg(user->gid), folder.target}).exitCode, 0);
    const QString ownersTool = folder.work->filePath(QStringLiteral("nvsu-exchange"));
    ASSERT_TRUE(QFile::copy(tool("nvsu-exchange"), ownersTool));
    ASSERT_EQ(::chown(QFile::encodeName(ownersTool).constData(), user->uid, user->gid), 0);
    SigningFixture fixture;
    const auto signedArchive = [&](const QString &version) {
        const QString archive = folder.work->filePath(QStringLiteral("download ") + version + QStringLiteral(".tar.gz"));
        const auto team = SigningFixture::Signer::Team;
        for (const QStringList &arguments : {QStringList{"package", folder.download(version), "--format", "tar.gz", "--output", archive},
                                             QStringList{"sign", archive, "--certificate", fixture.certificatePath(team), "--key",
                                                         fixture.keyPath(team), "--chain", fixture.chainPath(team)}})
            EXPECT_EQ(TestSupport::run(tool("nvsu-release"), arguments).exitCode, 0);
        return NVSUSignedArchive{archive, kName, fixture.anchorsPath(), tool("nvsu-release")};
    };

    if (NVSUBundleReplacementDetail::pausePointsCompiledIn()) {
        ASSERT_TRUE(folder.killAt(QStringLiteral("exchanged"), {{"NVSU_KILL_TEST_NEW", folder.download(QStringLiteral("2.0"))},
                                                                {"NVSU_KILL_TEST_EXCHANGE", QStringLiteral("1")},
                                                                {"NVSU_KILL_TEST_ARCHIVE", signedArchive(QStringLiteral("2.0")).archivePath},
                                                                {"NVSU_KILL_TEST_ANCHORS", fixture.anchorsPath()}}));
        EXPECT_EQ(wholeVersion(folder.target), QStringLiteral("2.0"));
        EXPECT_EQ(folder.leftoverVersions(), QStringList{QStringLiteral("1.0")});
    }
    // A folder of the owner's that only looks like a staging folder, named
    // in the record the user process keeps: root removes only what root's
    // own record names.
    const QString lookAlike = folder.target.chopped(4) + QStringLiteral(".backup-20240101.app");
    makeBundle(lookAlike, QStringLiteral("1.0"), "1.0");
    ASSERT_EQ(TestSupport::run(QStringLiteral("/usr/bin/chown"), {QStringLiteral("-R"), QStringLiteral("%1:%2").arg(user->uid).arg(user->gid), lookAlike}).exitCode, 0);
    TestSupport::writeFile(folder.record, TestSupport::readFile(folder.record) + lookAlike.toUtf8() + '\n');
    QStringList expected{kName, QFileInfo(lookAlike).fileName()};
    expected.sort();

    const std::pair<QString, QString> rows[] = {
        {ownersTool, QStringLiteral("Swapping by two renames, no exchange: No exchange tool that only root can change: in the updater, %1 belongs to user %2, not root; installed system-wide, ")
                         .arg(ownersTool).arg(user->uid)},
        {tool("nvsu-exchange"), QStringLiteral("Swapped by exchange: ") + folder.target + QStringLiteral(" is the new version, ")},
    };
    int version = 3;
    for (const auto &[exchangeTool, swapLine] : rows) {
        SCOPED_TRACE(exchangeTool.toStdString());
        NVSUBundleReplacementOptions options = quickOptions();
        options.stagingRecordPath = folder.record;
        const QString versionText = QStringLiteral("%1.0").arg(version++);
        options.signedArchive = signedArchive(versionText);
        options.exchangeToolPath = exchangeTool;
        DebugLogs debug;
        LogCapture log;
        ASSERT_TRUE(installOnWorker(folder.download(versionText), folder.target, true, nullptr, options, std::chrono::milliseconds(0)))
            << log.messages().join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(wholeVersion(folder.target), versionText);
        EXPECT_EQ(QFileInfo(folder.target).ownerId(), user->uid);
        EXPECT_EQ(folder.entries().join(QLatin1Char('|')).toStdString(), expected.join(QLatin1Char('|')).toStdString());
        EXPECT_EQ(log.matching(QStringLiteral("Debug: ") + swapLine).size(), 1) << log.messages().join(QLatin1Char('\n')).toStdString();
    }
}

// The tool trades the places of two folders beside each other and refuses
// anything else with one line, changing nothing.
TEST(NVSUBundleReplacementKillTest, ExchangeToolSwapsTwoFoldersAndRefusesTheRest)
{
    Folder folder;
    const QString dir = folder.folder;
    makeBundle(dir + QStringLiteral("/Other.app"), QStringLiteral("2.0"), "2.0");
    ASSERT_TRUE(QFile::link(folder.target, dir + QStringLiteral("/link")));
    TestSupport::writeFile(dir + QStringLiteral("/file"), "x");
    if (!canExchangeIn(dir))
        GTEST_SKIP() << "the file system cannot exchange two entries";
    const std::pair<QStringList, QString> refusals[] = {
        {{dir, kName, QStringLiteral("link")}, QStringLiteral("link is a link")},
        {{dir, QStringLiteral("file"), kName}, QStringLiteral("file is not a folder")},
        {{dir, kName, QStringLiteral("../x")}, QStringLiteral("the name \"../x\" holds a \"/\"")},
        {{dir, kName, QStringLiteral("..")}, QStringLiteral("the name \"..\" names no entry of its own")},
        {{dir + QStringLiteral("/link"), QStringLiteral("Contents"), QStringLiteral("x")}, QStringLiteral("cannot open the folder ")},
    };
    const QStringList before = snapshot(folder.work->path());
    for (const auto &[arguments, line] : refusals) {
        SCOPED_TRACE(line.toStdString());
        const TestSupport::ProcessResult result = TestSupport::run(tool("nvsu-exchange"), arguments);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_TRUE(result.err.startsWith("nvsu-exchange: ") && result.err.count('\n') == 1 && QString::fromUtf8(result.err).contains(line))
            << result.err.toStdString();
        EXPECT_EQ(snapshot(folder.work->path()), before);
    }
    EXPECT_EQ(TestSupport::run(tool("nvsu-exchange"), {dir, kName, QStringLiteral("Other.app")}).exitCode, 0);
    EXPECT_EQ(markerOf(folder.target) + markerOf(dir + QStringLiteral("/Other.app")), "2.01.0");
}
