#include "InstallTestSupport.h"

#include "install/NVAuthorization.h"
#include "install/NVSUBundleReplacement.h"
#include "install/NVShell.h"
#include "support/LogCapture.h"
#include "support/SigningFixture.h"
#include "support/TestSupport.h"
#include "support/TestUser.h"

#include <gtest/gtest.h>

#include <QDir>
#include <algorithm>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace InstallTest;

// The root side trusts nothing the user process wrote or named. These tests
// play the attacker the way a local process running as the user could: a
// hostile version in the tree the user unpacked, archives that are links,
// devices or FIFOs, signed archives holding device nodes and set-id files,
// and staging paths that lead out of the target's folder.

namespace {

const QString kBundleName = QStringLiteral("Prödüct \"Q\" 'x'.app");
const quint64 kNewKey = 0xabc123;
const quint64 kOldKey = 0xabc124;
const QString kEscapingVersion = QStringLiteral("x/../../escape/x");

QString verifier()
{
    return TestSupport::bundlePath() + QStringLiteral("/Contents/MacOS/nvsu-release");
}

enum class Extra { None, SetIdFileAndOpenFolder, DeviceNode };

// A signed archive of a genuine new bundle, and beside it the tree a user
// process unpacked from it, which something running as the user has since
// changed: other contents, and perhaps a version that would lead out of the
// target's folder if it were ever used for a path.
struct SignedDownload {
    SigningFixture fixture;
    std::unique_ptr<QTemporaryDir> work = makeWorkDir();
    QString folder = work->filePath(QStringLiteral("Apps ") + kAwkward);
    QString target = folder + QLatin1Char('/') + kBundleName;
    QString unpacked = work->filePath(QStringLiteral("unpacked ") + kAwkward) + QLatin1Char('/') + kBundleName;
    QString archive;

    explicit SignedDownload(const QString &format = QStringLiteral("tar.gz"), Extra extra = Extra::None,
                            const QString &unpackedVersion = QStringLiteral("2.0"))
    {
        makeBundle(target, QStringLiteral("1.0"), "old");
        const QString genuine = work->filePath(QStringLiteral("genuine/") + kBundleName);
        makeBundle(genuine, QStringLiteral("2.0"), "new");
        if (extra == Extra::SetIdFileAndOpenFolder) {
            QDir().mkpath(genuine + QStringLiteral("/Contents/Resources/open"));
            ::chmod(QFile::encodeName(genuine + QStringLiteral("/Contents/Resources/open")).constData(), 0777);
            ::chmod(QFile::encodeName(genuine + QStringLiteral("/Contents/MacOS/Prödüct run")).constData(), 06755);
        } else if (extra == Extra::DeviceNode) {
            const QString node = genuine + QStringLiteral("/Contents/Resources/null");
            if (::geteuid() == 0)
                EXPECT_EQ(::mknod(QFile::encodeName(node).constData(), S_IFCHR | 0666, makedev(1, 3)), 0);
            else
                EXPECT_EQ(sudo({QStringLiteral("/usr/bin/mknod"), node, QStringLiteral("c"), QStringLiteral("1"), QStringLiteral("3")}), 0);
        }
        archive = work->filePath(QStringLiteral("download ") + kAwkward + QStringLiteral(".") + format);
        const auto team = SigningFixture::Signer::Team;
        for (const QStringList &arguments : {QStringList{"package", genuine, "--format", format, "--output", archive},
                                             QStringList{"sign", archive, "--certificate", fixture.certificatePath(team), "--key",
                                                         fixture.keyPath(team), "--chain", fixture.chainPath(team)}}) {
            const auto result = TestSupport::run(verifier(), arguments);
            EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
        }
        makeBundle(unpacked, unpackedVersion, "tampered");
        TestSupport::writeFile(unpacked + QStringLiteral("/Contents/MacOS/planted"), "#!/bin/sh\n");
    }

    NVSUSignedArchive signedArchive() const { return {archive, kBundleName, fixture.anchorsPath(), verifier()}; }

    // A copy of the archive with one byte of its contents changed.
    QString forgedArchive() const
    {
        const QString forged = work->filePath(QStringLiteral("forged ü.tar.gz"));
        QByteArray bytes = TestSupport::readFile(archive);
        bytes[40] = char(bytes[40] ^ 1);
        TestSupport::writeFile(forged, bytes);
        return forged;
    }

    struct Staging {
        int status = -1;
        QString output;
        QStringList paths; // the new and the old staging path, as root named them
    };

    // Runs root's staging script in a root shell, as the replacement does.
    Staging stage(NVShell &shell, const NVSUSignedArchive &source, const QString &stagingKey = QString::number(kNewKey, 16)) const
    {
        const std::pair<const char *, QString> variables[] = {
            {"NVSU_NEW_APP", unpacked},
            {"NVSU_APP", target},
            {"NVSU_TEMP_PATH", NVSUTemporaryBundlePath(target, unpacked, kNewKey)},
            {"NVSU_ARCHIVE", source.archivePath},
            {"NVSU_ANCHORS", source.anchorsPath},
            {"NVSU_INSTALLATION_OBJECT", source.installationObject},
            {"NVSU_VERIFIER", source.verifierPath},
            {"NVSU_CALLER_UID", QString::number(::getuid())},
            {"NVSU_STAGING_KEY", stagingKey},
            {"NVSU_OLD_STAGING_KEY", QString::number(kOldKey, 16)}};
        for (const auto &[name, value] : variables)
            shell.setVariable(QString::fromLatin1(name), value);
        Staging staging;
        staging.status = shell.executeCommand(NVSUBundleReplacementDetail::rootStagingScript());
        staging.output = shell.lastCommandOutputString().value_or(QString());
        const QStringList lines = staging.output.split(QLatin1Char('\n'));
        if (staging.status == 0 && lines.size() >= 3)
            staging.paths = lines.mid(lines.size() - 3, 2);
        return staging;
    }

    QString stagedPath() const { return NVSUBundleReplacementDetail::temporaryBundlePath(target, QStringLiteral("2.0"), kNewKey); }
};

QStringList privateFolders(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral(".nvsu-root.*")}, QDir::AllEntries | QDir::Hidden);
}

// Everything in the folders the test made, by name: nothing may appear
// outside the target's folder.
QStringList namesBelow(const QString &folder)
{
    QStringList names;
    for (const QString &entry : snapshot(folder))
        names << entry.section(QLatin1Char(' '), 0, 0);
    return names;
}

// The installed bundle is the archive's, not the user's tree, and it belongs
// to `owner`; root's private folder is gone.
void expectInstalledFromTheArchive(const SignedDownload &download, uid_t owner, gid_t group)
{
    EXPECT_EQ(markerOf(download.target), "new");
    EXPECT_FALSE(QFileInfo::exists(download.target + QStringLiteral("/Contents/MacOS/planted")));
    for (const QString &path : {download.target, download.target + QStringLiteral("/Contents/Resources/marker.txt")}) {
        struct stat status {};
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &status), 0);
        EXPECT_EQ(status.st_uid, owner) << path.toStdString();
        EXPECT_EQ(status.st_gid, group) << path.toStdString();
    }
    EXPECT_EQ(privateFolders(download.folder), QStringList());
    EXPECT_TRUE(namesBelow(download.work->path()).filter(QStringLiteral("escape")).isEmpty());
}

unsigned modeOf(const QString &path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : 0;
}

} // namespace

// Whatever the format, root stages what the signed archive holds at a path
// it computed from its own copy, never the user's tree or its version, and
// without set-id bits or folders others may write.
TEST(NVSUBundleReplacementRootTest, RootStagesTheArchiveItCheckedNotTheUsersTree)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the root side runs as root";
    const QStringList before = privateFolders(QStringLiteral("/var/tmp"));
    for (const QString &format : {QStringLiteral("tar.gz"), QStringLiteral("tbz"), QStringLiteral("zip"), QStringLiteral("dmg")}) {
        SCOPED_TRACE(format.toStdString());
        SignedDownload download(format, Extra::SetIdFileAndOpenFolder, kEscapingVersion);
        const auto shell = rootShell();
        const SignedDownload::Staging staging = download.stage(*shell, download.signedArchive());
        ASSERT_EQ(staging.status, 0) << staging.output.toStdString();
        const QString staged = download.stagedPath();
        EXPECT_EQ(staging.paths, (QStringList{staged, NVSUBundleReplacementDetail::temporaryBundlePath(download.target, "1.0", kOldKey)}));
        EXPECT_EQ(markerOf(staged), "new");
        EXPECT_FALSE(QFileInfo::exists(staged + QStringLiteral("/Contents/MacOS/planted")));
        EXPECT_EQ(modeOf(staged + QStringLiteral("/Contents/MacOS/Prödüct run")), 0755u);
        EXPECT_EQ(modeOf(staged + QStringLiteral("/Contents/Resources/open")), 0755u);
        EXPECT_EQ(markerOf(download.unpacked), "tampered") << "the user's tree is left as it was";
        EXPECT_EQ(privateFolders(download.folder), QStringList());
    }
    // Other root tests running beside this one use /var/tmp too: a folder
    // that is theirs goes when their step ends, one left by this test stays.
    const auto onlyThoseFromBefore = [&] {
        const QStringList now = privateFolders(QStringLiteral("/var/tmp"));
        return std::all_of(now.begin(), now.end(), [&](const QString &name) { return before.contains(name); });
    };
    EXPECT_TRUE(TestSupport::waitFor(onlyThoseFromBefore, std::chrono::seconds(30))) << privateFolders(QStringLiteral("/var/tmp")).join(QLatin1Char(' ')).toStdString();
}

// Through real sudo as the unprivileged account: each refusal names its
// cause in one line, stages nothing, leaves no private folder and never
// hangs.
TEST(NVSUBundleReplacementRootTest, RootRefusesWhatItCannotTrust)
{
    NV_RUN_AS_TEST_USER();
    SignedDownload download;
    SignedDownload withDevice(QStringLiteral("tar.gz"), Extra::DeviceNode);
    SignedDownload imageWithDevice(QStringLiteral("dmg"), Extra::DeviceNode);
    const QString work = download.work->path();
    // Anchors root can trust: a copy in a folder of root's.
    const QString rootFolder = QStringLiteral("/tmp/nvsu anchors ü %1").arg(::getpid());
    ASSERT_EQ(sudo({QStringLiteral("/usr/bin/install"), QStringLiteral("-d"), QStringLiteral("-m"), QStringLiteral("0755"), rootFolder}), 0);
    const QString anchors = rootFolder + QStringLiteral("/anchors.pem");
    const QString allAnchors = work + QStringLiteral("/all anchors.pem");
    TestSupport::writeFile(allAnchors, TestSupport::readFile(download.fixture.anchorsPath()) + TestSupport::readFile(withDevice.fixture.anchorsPath())
                                           + TestSupport::readFile(imageWithDevice.fixture.anchorsPath()));
    ASSERT_EQ(sudo({QStringLiteral("/usr/bin/install"), QStringLiteral("-m"), QStringLiteral("0644"), allAnchors, anchors}), 0);
    // The account's own copies of the tool and the anchors.
    QFile::copy(verifier(), work + QStringLiteral("/nvsu-release"));
    QFile::copy(download.fixture.anchorsPath(), work + QStringLiteral("/anchors.pem"));
    const QString fifo = work + QStringLiteral("/fifo.tar.gz");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString zeroLink = work + QStringLiteral("/zero.tar.gz");
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), zeroLink));
    const QString foreign = work + QStringLiteral("/foreign.tar.gz");
    QFile::copy(download.archive, foreign);
    ASSERT_EQ(sudo({QStringLiteral("/usr/bin/chown"), QStringLiteral("65534"), foreign}), 0);
    const QString forged = download.forgedArchive();
    const QString unsignedArchive = work + QStringLiteral("/plain.tar.gz");
    TestSupport::run(QStringLiteral("/usr/bin/tar"), {QStringLiteral("-czf"), unsignedArchive, QStringLiteral("-C"), download.folder, kBundleName});

    struct Row {
        const char *name;
        std::function<void(NVSUSignedArchive &)> change;
        QString output;
        const SignedDownload *source = nullptr;
        QString stagingKey = QString::number(kNewKey, 16);
    };
    const auto archive = [](const QString &path) { return [path](NVSUSignedArchive &s) { s.archivePath = path; }; };
    const Row rows[] = {
        {"forged archive", archive(forged), QStringLiteral("invalid: ")},
        {"unsigned archive", archive(unsignedArchive), QStringLiteral("missing: ")},
        {"link to /dev/zero", archive(zeroLink), QStringLiteral("Not copying %1: it is a link").arg(zeroLink)},
        {"FIFO", archive(fifo), QStringLiteral("Not copying %1: it is not a regular file").arg(fifo)},
        {"another user's file", archive(foreign), QStringLiteral("Not copying %1: it belongs to user 65534").arg(foreign)},
        {"archive with a device node", nullptr, QStringLiteral("Refusing to install ") + kBundleName + QStringLiteral("/Contents/Resources/null: a device node, FIFO or socket"), &withDevice},
        {"image with a device node", nullptr, QStringLiteral("Refusing to install ") + kBundleName + QStringLiteral("/Contents/Resources/null: a device node, FIFO or socket"), &imageWithDevice},
        {"the account's own tool", [&](NVSUSignedArchive &s) { s.verifierPath = work + QStringLiteral("/nvsu-release"); },
         QStringLiteral("No verifying tool and trust anchors that only root can change: in the updater, %1/nvsu-release belongs to user %2, not root; "
                        "installed system-wide, ").arg(work).arg(::getuid())},
        {"the account's own anchors", [&](NVSUSignedArchive &s) { s.anchorsPath = work + QStringLiteral("/anchors.pem"); },
         QStringLiteral("in the updater, %1/anchors.pem belongs to user %2, not root").arg(work).arg(::getuid())},
        {"object not in the archive", [](NVSUSignedArchive &s) { s.installationObject = QStringLiteral("Other.app"); }, QStringLiteral("No folder Other.app in ")},
        {"object that climbs out", [](NVSUSignedArchive &s) { s.installationObject = QStringLiteral(".."); }, QStringLiteral("Not a bundle name: ..")},
        {"key that climbs out", nullptr, QStringLiteral("Not a staging key: 1/../x"), nullptr, QStringLiteral("1/../x")},
    };
    NVAuthorization::setAskpassPath(writeAskpass(work, work + QStringLiteral("/asked")));
    NVAuthorization::setPolkitAllowedForTesting(false);
    const auto shell = rootShell();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const SignedDownload &origin = row.source ? *row.source : download;
        NVSUSignedArchive source = origin.signedArchive();
        source.anchorsPath = anchors;
        if (row.change)
            row.change(source);
        const SignedDownload::Staging staging = origin.stage(*shell, source, row.stagingKey);
        EXPECT_NE(staging.status, 0);
        EXPECT_TRUE(staging.output.contains(row.output)) << staging.output.toStdString();
        EXPECT_FALSE(QFileInfo::exists(origin.stagedPath()));
        EXPECT_EQ(privateFolders(origin.folder), QStringList());
    }
    NVAuthorization::setAskpassPath(QString());
    sudo({QStringLiteral("/bin/rm"), QStringLiteral("-rf"), rootFolder, withDevice.work->path(), imageWithDevice.work->path()});
}

// Every later root step checks the staging paths it is given before it
// moves anything: a path out of the target's folder, the folder itself, or a
// link beside the target is refused with one line, and nothing moves.
TEST(NVSUBundleReplacementRootTest, RootStepsRefuseStagingPathsOutsideTheTargetsFolder)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the root side runs as root";
    SignedDownload download;
    const QString outside = download.work->filePath(QStringLiteral("outside.app"));
    makeBundle(outside, QStringLiteral("9.9"), "attacker");
    const QString link = download.folder + QStringLiteral("/link.app");
    ASSERT_TRUE(QFile::link(outside, link));
    const QString linkedFolder = download.work->filePath(QStringLiteral("linked folder"));
    ASSERT_TRUE(QFile::link(download.folder, linkedFolder));
    struct Row {
        const char *name;
        QString app;
        QString staged;
        QString output;
    };
    const Row rows[] = {
        {"up and out", download.target, download.folder + QStringLiteral("/../outside.app"), QStringLiteral(" is not directly in the folder of ")},
        {"another folder", download.target, outside, QStringLiteral(" is not directly in the folder of ")},
        {"the folder itself", download.target, download.folder + QStringLiteral("/.."), QStringLiteral("Not a staging name: ")},
        {"a link beside the target", download.target, link, link + QStringLiteral(" is a link")},
        {"a relative target", QStringLiteral("Apps/") + kBundleName, outside, QStringLiteral("Not an absolute path: Apps/")},
        {"a target through a link", linkedFolder + QLatin1Char('/') + kBundleName, linkedFolder + QStringLiteral("/x.app"),
         QStringLiteral(" is not a canonical path")},
    };
    const QStringList before = snapshot(download.work->path());
    const auto shell = rootShell();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        shell->setVariable(QStringLiteral("NVSU_APP"), row.app);
        shell->setVariable(QStringLiteral("NVSU_TEMP_PATH"), row.staged);
        const QString command = NVSUBundleReplacementDetail::rootCommand(
            QStringLiteral("/bin/mv -f -T \"$NVSU_TEMP_PATH\" \"$NVSU_APP\" 2>&1"), {QStringLiteral("NVSU_TEMP_PATH")});
        EXPECT_EQ(shell->executeCommand(command), 1);
        const QString output = shell->lastCommandOutputString().value_or(QString());
        EXPECT_TRUE(output.contains(row.output)) << output.toStdString();
        EXPECT_EQ(output.count(QLatin1Char('\n')), 1) << output.toStdString();
        EXPECT_EQ(snapshot(download.work->path()), before);
    }
}

namespace {

// A process of the user's that, between staging and swap, tries to put its
// own tree where root staged: renaming root's staged folder away and putting
// the user's tree in its place.
class RacingDelegate : public NVSUBundleReplacementDelegate {
public:
    explicit RacingDelegate(QString tree) : m_tree(std::move(tree)) {}
    bool raced = false;
    void willReplaceApplication(const QString &, const QString &stagedPath) override
    {
        raced = ::rename(QFile::encodeName(stagedPath).constData(), QFile::encodeName(stagedPath + QStringLiteral(".moved")).constData()) == 0
                && ::rename(QFile::encodeName(m_tree).constData(), QFile::encodeName(stagedPath).constData()) == 0;
    }

private:
    QString m_tree;
};

} // namespace

// For real, as the unprivileged test account with sudo: the password is asked
// for at most once per replacement, root installs only the archive it checked
// at paths it computed itself, and the result belongs to the target's owner.
// Without an archive, with a forged one, or with the prompt cancelled, one
// line names the cause and nothing changes. A racing process of the
// account's that swaps its own tree in where root staged is refused before
// anything moves (where the folder is the account's), or cannot swap at all
// (where the folder is root's). Only the person typing is faked.
TEST(NVSUBundleReplacementRootTest, AsTheTestAccountRootIsAskedForOnceAndInstallsOnlyTheCheckedArchive)
{
    NV_RUN_AS_TEST_USER();
    const auto user = TestUser::account();
    ASSERT_TRUE(user);
    // Anchors root can trust: a copy in a folder of root's.
    const QString rootFolder = QStringLiteral("/tmp/nvsu anchors ü %1").arg(::getpid());
    enum class Archive { None, Forged, Genuine };
    struct Row {
        const char *name;
        bool rootOwnsTarget; // else the target is the account's, in a folder only root may change
        Archive archive;
        bool cancel;
        bool racing;
        int asked;
        const char *failure; // what the one failure line holds; nullptr: success
    };
    const Row rows[] = {
        {"no signed archive", true, Archive::None, false, false, 0, "as root: no signed archive to check it against"},
        {"forged archive", true, Archive::Forged, false, false, 1, ": invalid: "},
        {"cancelled prompt", true, Archive::Genuine, true, false, 1, "Could not authorize for root access"},
        {"root's bundle, racing", true, Archive::Genuine, false, true, 1, "is not root's staged folder"},
        {"own bundle in root's folder, racing", false, Archive::Genuine, false, true, 1, nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SignedDownload download(QStringLiteral("tar.gz"), Extra::None, kEscapingVersion);
        ASSERT_EQ(sudo({QStringLiteral("/usr/bin/install"), QStringLiteral("-d"), QStringLiteral("-m"), QStringLiteral("0755"), rootFolder}), 0);
        const QString anchors = rootFolder + QStringLiteral("/anchors ü.pem");
        ASSERT_EQ(sudo({QStringLiteral("/usr/bin/install"), QStringLiteral("-m"), QStringLiteral("0644"), download.fixture.anchorsPath(), anchors}), 0);
        if (row.rootOwnsTarget)
            ASSERT_EQ(sudo({QStringLiteral("/usr/bin/chown"), QStringLiteral("-R"), QStringLiteral("0:0"), download.target}), 0);
        else
            ASSERT_EQ(sudo({QStringLiteral("/usr/bin/chown"), QStringLiteral("0:0"), download.folder}), 0);

        const QString counter = download.work->filePath(QStringLiteral("asked"));
        NVAuthorization::setAskpassPath(writeAskpass(download.work->path(), counter, row.cancel));
        NVAuthorization::setPolkitAllowedForTesting(false);
        NVSUBundleReplacementOptions options = quickOptions();
        if (row.archive != Archive::None) {
            options.signedArchive = download.signedArchive();
            options.signedArchive->anchorsPath = anchors;
            if (row.archive == Archive::Forged)
                options.signedArchive->archivePath = download.forgedArchive();
        }
        RacingDelegate racer(download.unpacked);
        const QStringList before = snapshot(download.folder);
        LogCapture log;
        const bool ok = installOnWorker(download.unpacked, download.target, false, row.racing ? &racer : nullptr, options, std::chrono::milliseconds(0));
        NVAuthorization::setAskpassPath(QString());
        EXPECT_EQ(askpassCount(counter), row.asked);
        EXPECT_EQ(racer.raced, row.racing && row.rootOwnsTarget) << "the account can rename entries only in its own folder";
        if (row.failure) {
            EXPECT_FALSE(ok);
            // Besides the note that the user's version is not used for a path.
            QStringList lines = failureLines(log.messages());
            lines.removeIf([](const QString &line) { return line.endsWith(QStringLiteral("staging as x_.._.._escape_x")); });
            EXPECT_EQ(lines.size(), 1) << lines.join('\n').toStdString();
            EXPECT_TRUE(lines.value(0).contains(QString::fromUtf8(row.failure))) << lines.join('\n').toStdString();
            EXPECT_EQ(markerOf(download.target), "old");
            EXPECT_TRUE(row.racing || snapshot(download.folder) == before);
        } else {
            EXPECT_TRUE(ok) << log.messages().join('\n').toStdString();
            expectInstalledFromTheArchive(download, user->uid, user->gid);
            EXPECT_EQ(QDir(download.folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList{kBundleName});
        }
        // Root's files go before the account's temporary folder does.
        sudo({QStringLiteral("/bin/rm"), QStringLiteral("-rf"), rootFolder, download.folder});
    }
}
