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

const char kChildTarget[] = "NVSU_KILL_TEST_TARGET";
const char kChildNew[] = "NVSU_KILL_TEST_NEW";
const char kChildExchange[] = "NVSU_KILL_TEST_EXCHANGE";
const char kChildArchive[] = "NVSU_KILL_TEST_ARCHIVE";
const char kChildAnchors[] = "NVSU_KILL_TEST_ANCHORS";
const QString kName = QStringLiteral("Prödüct \"K\" 'x'.app");

QString exchangeTool()
{
    return TestSupport::bundlePath() + QStringLiteral("/Contents/MacOS/nvsu-exchange");
}

QString verifier()
{
    return TestSupport::bundlePath() + QStringLiteral("/Contents/MacOS/nvsu-release");
}

// Inside the child: the replacement the parent asked for. It stops at the
// pause point and is killed there, so coming back at all is a failure.
bool runAsKilledChild()
{
    if (!qEnvironmentVariableIsSet(kChildTarget))
        return false;
    NVSUBundleReplacementOptions options = quickOptions();
    options.exchange = qEnvironmentVariable(kChildExchange) == QLatin1String("1");
    options.exchangeToolPath = exchangeTool();
    if (qEnvironmentVariableIsSet(kChildArchive))
        options.signedArchive = NVSUSignedArchive{qEnvironmentVariable(kChildArchive), kName, qEnvironmentVariable(kChildAnchors), verifier()};
    // Replacing itself: nothing is signalled or launched.
    const bool ok = installOnWorker(qEnvironmentVariable(kChildNew), qEnvironmentVariable(kChildTarget), true, nullptr, options,
                                    std::chrono::milliseconds(0));
    ADD_FAILURE() << "the replacement ended (" << ok << ") instead of stopping at " << qPrintable(qEnvironmentVariable("NVSU_TEST_PAUSE_AT"));
    return true;
}

struct Folder {
    std::unique_ptr<QTemporaryDir> work = makeWorkDir();
    QString folder = work->filePath(QStringLiteral("Apps ") + kAwkward);
    QString target = folder + QLatin1Char('/') + kName;

    Folder() { makeBundle(target, QStringLiteral("1.0"), "1.0"); }

    // A download of `version` whose marker is the version too.
    QString download(const QString &version) const
    {
        const QString path = work->filePath(QStringLiteral("download ") + version + QLatin1Char('/') + kName);
        makeBundle(path, version, version.toUtf8());
        return path;
    }

    QStringList entries() const { return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System); }

    // The version of every bundle beside the target, sorted.
    QStringList leftoverVersions() const;

    // Starts the replacement in a child, waits until it has stopped at
    // `step` and kills it. Answers whether it got there.
    bool killAt(const QString &newBundle, const QString &step, bool exchange, const std::optional<NVSUSignedArchive> &archive = {}) const
    {
        const QString marker = work->filePath(QStringLiteral("paused"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("NVSU_TEST_PAUSE_AT"), step);
        environment.insert(QStringLiteral("NVSU_TEST_PAUSE_MARKER"), marker);
        environment.insert(QLatin1String(kChildTarget), target);
        environment.insert(QLatin1String(kChildNew), newBundle);
        environment.insert(QLatin1String(kChildExchange), exchange ? QStringLiteral("1") : QStringLiteral("0"));
        if (archive) {
            environment.insert(QLatin1String(kChildArchive), archive->archivePath);
            environment.insert(QLatin1String(kChildAnchors), archive->anchorsPath);
        }
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

QStringList Folder::leftoverVersions() const
{
    QStringList versions;
    for (const QString &name : entries())
        if (name != kName)
            versions << wholeVersion(folder + QLatin1Char('/') + name);
    versions.sort();
    return versions;
}

int runTool(const QStringList &arguments, QByteArray *err = nullptr)
{
    const TestSupport::ProcessResult result = TestSupport::run(exchangeTool(), arguments);
    if (err)
        *err = result.err;
    return result.crashed ? -1 : result.exitCode;
}

// Whether this folder's file system can exchange two entries.
bool canExchangeIn(const QString &folder)
{
    QDir(folder).mkpath(QStringLiteral("probe a"));
    QDir(folder).mkpath(QStringLiteral("probe b"));
    const int status = runTool({folder, QStringLiteral("probe a"), QStringLiteral("probe b")});
    QDir(folder + QStringLiteral("/probe a")).removeRecursively();
    QDir(folder + QStringLiteral("/probe b")).removeRecursively();
    return status == 0;
}

} // namespace

// Killed at each step, the target holds a whole application of the old or
// the new version, except on the route of two renames between them: there
// the target path is empty and the old version sits at its staging path, and
// the next update cannot find the target. Whatever else was left beside the
// target, the next update removes.
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
        {"staged", true, v1, {v2}},
        {"before-exchange", true, v1, {v2}},
        {"exchanged", true, v2, {v1}},
        {"disposed", true, v2, {}},
        {"staged", false, v1, {v2}},
        {"moved-aside", false, QString(), {v1, v2}},
        {"moved-into-place", false, v2, {v1}},
        {"disposed", false, v2, {}},
    };
    const bool exchangeHere = canExchangeIn(Folder().work->path());
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.step) + (row.exchange ? " (exchange)" : " (two renames)"));
        if (row.exchange && !exchangeHere)
            continue;
        Folder folder;
        ASSERT_TRUE(folder.killAt(folder.download(v2), QString::fromLatin1(row.step), row.exchange));
        EXPECT_EQ(wholeVersion(folder.target), row.target);
        EXPECT_EQ(folder.leftoverVersions(), row.leftovers) << folder.entries().join(QLatin1Char('|')).toStdString();

        LogCapture log;
        const bool ok = installOnWorker(folder.download(QStringLiteral("3.0")), folder.target, true, nullptr, quickOptions(),
                                        std::chrono::milliseconds(0));
        const QStringList lines = failureLines(log.messages());
        if (row.target.isEmpty()) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(lines, QStringList{"Cannot replace " + folder.target + " because not found: Unix error 2 (No such file or directory)"});
            EXPECT_EQ(folder.leftoverVersions(), row.leftovers);
            continue;
        }
        EXPECT_TRUE(ok) << lines.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(wholeVersion(folder.target), QStringLiteral("3.0"));
        EXPECT_EQ(folder.entries(), QStringList{kName});
        EXPECT_EQ(lines.filter(QStringLiteral(", left beside ") + folder.target + QStringLiteral(" by an earlier update")).size(),
                  row.leftovers.size())
            << lines.join(QLatin1Char('\n')).toStdString();
    }
}

// Only this target's own staging folders go: not links, files, other
// targets' staging names, near misses of the name, or another user's folder.
TEST(NVSUBundleReplacementKillTest, TheNextUpdateRemovesOnlyThisTargetsStagingFolders)
{
    Folder folder;
    const QString stem = folder.folder + QStringLiteral("/Prödüct \"K\" 'x'.");
    const QStringList removed = {stem + QStringLiteral("2.0-0000abcd.app"), stem + QStringLiteral("-0123456789abcdef.app"),
                                 stem + QStringLiteral("2.0 beta-3-1234abcd.app")};
    struct Kept {
        const char *what;
        QString path;
    };
    std::vector<Kept> kept = {
        {"a link", stem + QStringLiteral("2.0-0000abce.app")},
        {"a file", stem + QStringLiteral("2.0-0000abcf.app")},
        {"another target's", folder.folder + QStringLiteral("/Other.2.0-0000abcd.app")},
        {"a short key", stem + QStringLiteral("2.0-abcdef.app")},
        {"an upper-case key", stem + QStringLiteral("2.0-0000ABCD.app")},
        {"another extension", stem + QStringLiteral("2.0-0000abcd.apps")},
        {"no version separator", stem + QStringLiteral("2.0_0000abcd.app")},
    };
    // Only root can give a folder to another user.
    if (::geteuid() == 0)
        kept.push_back({"another user's", stem + QStringLiteral("9.9-0000abcd.app")});
    for (const QString &path : removed)
        makeBundle(path, QStringLiteral("2.0"), "2.0");
    ASSERT_TRUE(QFile::link(folder.target, kept[0].path));
    TestSupport::writeFile(kept[1].path, "a file");
    for (size_t i = 2; i < kept.size(); ++i)
        makeBundle(kept[i].path, QStringLiteral("2.0"), "2.0");
    if (kept.size() > 7) {
        ASSERT_EQ(::chown(QFile::encodeName(kept[7].path).constData(), 65534, 65534), 0);
    }

    LogCapture log;
    ASSERT_TRUE(installOnWorker(folder.download(QStringLiteral("3.0")), folder.target, true, nullptr, quickOptions(),
                                std::chrono::milliseconds(0)));
    EXPECT_EQ(wholeVersion(folder.target), QStringLiteral("3.0"));
    for (const QString &path : removed)
        EXPECT_FALSE(QFileInfo::exists(path)) << path.toStdString();
    for (const Kept &entry : kept)
        EXPECT_TRUE(QFileInfo(entry.path).exists() || QFileInfo(entry.path).isSymLink()) << entry.what;
    const QStringList lines = log.matching(QStringLiteral(" by an earlier update"));
    EXPECT_EQ(lines.size(), removed.size()) << lines.join(QLatin1Char('\n')).toStdString();
}

// The tool trades the places of two folders beside each other and refuses
// anything else with one line, changing nothing.
TEST(NVSUBundleReplacementKillTest, ExchangeToolSwapsTwoFoldersAndRefusesTheRest)
{
    Folder folder;
    const QString other = folder.folder + QStringLiteral("/Other ü.app");
    makeBundle(other, QStringLiteral("2.0"), "2.0");
    ASSERT_TRUE(QFile::link(other, folder.folder + QStringLiteral("/link")));
    TestSupport::writeFile(folder.folder + QStringLiteral("/file"), "x");
    if (!canExchangeIn(folder.folder))
        GTEST_SKIP() << "the file system of " << folder.folder.toStdString() << " cannot exchange two entries";
    struct Row {
        const char *what;
        QStringList arguments;
        int status;
        QString line;
    };
    const QString dir = folder.folder;
    const Row rows[] = {
        {"a link", {dir, kName, QStringLiteral("link")}, 1, QStringLiteral("link is a link")},
        {"a file", {dir, QStringLiteral("file"), kName}, 1, QStringLiteral("file is not a folder")},
        {"a missing entry", {dir, kName, QStringLiteral("gone")}, 1, QStringLiteral("cannot examine gone: ")},
        {"a name with a slash", {dir, kName, QStringLiteral("../x")}, 1, QStringLiteral("the name \"../x\" holds a \"/\"")},
        {"a name that climbs", {dir, kName, QStringLiteral("..")}, 1, QStringLiteral("the name \"..\" names no entry of its own")},
        {"a control character", {dir, kName, QStringLiteral("a\tb")}, 1, QStringLiteral("holds a control character")},
        {"a relative folder", {QStringLiteral("Apps"), kName, QStringLiteral("Other ü.app")}, 1, QStringLiteral("is not an absolute path")},
        {"a folder through a link", {folder.folder + QStringLiteral("/link"), QStringLiteral("Contents"), QStringLiteral("x")}, 1,
         QStringLiteral("cannot open the folder ")},
        {"one name twice", {dir, kName, kName}, 1, QStringLiteral("both names are")},
        {"too few arguments", {dir, kName}, 1, QStringLiteral("usage: ")},
    };
    const QStringList before = snapshot(folder.work->path());
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        QByteArray err;
        EXPECT_EQ(runTool(row.arguments, &err), row.status);
        EXPECT_TRUE(QString::fromUtf8(err).startsWith(QStringLiteral("nvsu-exchange: "))) << err.toStdString();
        EXPECT_TRUE(QString::fromUtf8(err).contains(row.line)) << err.toStdString();
        EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
        EXPECT_EQ(snapshot(folder.work->path()), before);
    }
    EXPECT_EQ(runTool({dir, kName, QStringLiteral("Other ü.app")}), 0);
    EXPECT_EQ(markerOf(folder.target), "2.0");
    EXPECT_EQ(markerOf(other), "1.0");
}

namespace {

// Whether root alone can change `path` and every folder above it.
bool onlyRootCanChange(QString path)
{
    for (path = QFileInfo(path).canonicalFilePath(); !path.isEmpty(); path = path == QLatin1String("/") ? QString() : QFileInfo(path).path()) {
        struct stat status {};
        if (::stat(QFile::encodeName(path).constData(), &status) != 0 || status.st_uid != 0 || (status.st_mode & 022) != 0)
            return false;
    }
    return true;
}

} // namespace

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
    if (!onlyRootCanChange(exchangeTool()))
        GTEST_SKIP() << "others than root may change the build tree";
    Folder folder;
    if (!canExchangeIn(folder.folder))
        GTEST_SKIP() << "the file system cannot exchange two entries";
    ASSERT_EQ(TestSupport::run(QStringLiteral("/usr/bin/chown"), {QStringLiteral("-R"), QStringLiteral("%1:%2").arg(user->uid).arg(user->gid), folder.target}).exitCode, 0);
    const QString ownersTool = folder.work->filePath(QStringLiteral("nvsu-exchange"));
    ASSERT_TRUE(QFile::copy(exchangeTool(), ownersTool));
    ASSERT_EQ(::chown(QFile::encodeName(ownersTool).constData(), user->uid, user->gid), 0);
    SigningFixture fixture;
    // The archive root checks and installs; the download beside it is what a
    // user process unpacked.
    const auto signedArchive = [&](const QString &version) {
        const QString archive = folder.work->filePath(QStringLiteral("download ") + version + QStringLiteral(".tar.gz"));
        const auto team = SigningFixture::Signer::Team;
        for (const QStringList &arguments : {QStringList{"package", folder.download(version), "--format", "tar.gz", "--output", archive},
                                             QStringList{"sign", archive, "--certificate", fixture.certificatePath(team), "--key",
                                                         fixture.keyPath(team), "--chain", fixture.chainPath(team)}}) {
            const auto result = TestSupport::run(verifier(), arguments);
            EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
        }
        return NVSUSignedArchive{archive, kName, fixture.anchorsPath(), verifier()};
    };

    if (NVSUBundleReplacementDetail::pausePointsCompiledIn()) {
        ASSERT_TRUE(folder.killAt(folder.download(QStringLiteral("2.0")), QStringLiteral("exchanged"), true, signedArchive(QStringLiteral("2.0"))));
        EXPECT_EQ(wholeVersion(folder.target), QStringLiteral("2.0"));
        EXPECT_EQ(folder.leftoverVersions(), QStringList{QStringLiteral("1.0")});
    }
    struct Row {
        QString version;
        QString tool;
        QString swapLine;
    };
    const Row rows[] = {
        {QStringLiteral("3.0"), ownersTool,
         QStringLiteral("Swapping by two renames, no exchange: No exchange tool that only root can change: in the updater, %1 belongs to user %2, not root; installed system-wide, ")
             .arg(ownersTool).arg(user->uid)},
        {QStringLiteral("4.0"), QString(), QStringLiteral("Swapped by exchange: ") + folder.target + QStringLiteral(" is the new version, ")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.version.toStdString());
        NVSUBundleReplacementOptions options = quickOptions();
        options.signedArchive = signedArchive(row.version);
        options.exchangeToolPath = row.tool.isEmpty() ? exchangeTool() : row.tool;
        DebugLogs debug;
        LogCapture log;
        ASSERT_TRUE(installOnWorker(folder.download(row.version), folder.target, true, nullptr, options, std::chrono::milliseconds(0)))
            << log.messages().join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(wholeVersion(folder.target), row.version);
        EXPECT_EQ(QFileInfo(folder.target).ownerId(), user->uid);
        EXPECT_EQ(folder.entries(), QStringList{kName});
        EXPECT_EQ(log.matching(QStringLiteral("Debug: ") + row.swapLine).size(), 1) << log.messages().join(QLatin1Char('\n')).toStdString();
    }
}
