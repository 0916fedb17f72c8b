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
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

using namespace InstallTest;

namespace {

const QString kBundleName = QStringLiteral("Prödüct \"Q\" 'x'.app");

QString verifier()
{
    return TestSupport::bundlePath() + QStringLiteral("/Contents/MacOS/nvsu-release");
}

// A signed archive of a genuine new bundle, and beside it the tree a user
// process unpacked from it, which something running as the user has since
// changed.
struct SignedDownload {
    SigningFixture fixture;
    std::unique_ptr<QTemporaryDir> work = makeWorkDir();
    QString folder = work->filePath(QStringLiteral("Apps ") + kAwkward);
    QString target = folder + QLatin1Char('/') + kBundleName;
    QString unpacked = work->filePath(QStringLiteral("unpacked ") + kAwkward) + QLatin1Char('/') + kBundleName;
    QString archive;

    explicit SignedDownload(const QString &format = QStringLiteral("tar.gz"))
    {
        makeBundle(target, QStringLiteral("1.0"), "old");
        const QString genuine = work->filePath(QStringLiteral("genuine/") + kBundleName);
        makeBundle(genuine, QStringLiteral("2.0"), "new");
        archive = work->filePath(QStringLiteral("download ") + kAwkward + QStringLiteral(".") + format);
        const auto team = SigningFixture::Signer::Team;
        for (const QStringList &arguments : {QStringList{"package", genuine, "--format", format, "--output", archive},
                                             QStringList{"sign", archive, "--certificate", fixture.certificatePath(team), "--key",
                                                         fixture.keyPath(team), "--chain", fixture.chainPath(team)}}) {
            const auto result = TestSupport::run(verifier(), arguments);
            EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
        }
        makeBundle(unpacked, QStringLiteral("2.0"), "tampered");
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

    // Runs the root side's staging directly (the tests run as root).
    int stage(const NVSUSignedArchive &source, const QString &staged, QString *output) const
    {
        const auto shell = NVShell::create();
        const std::pair<const char *, QString> variables[] = {
            {"NVSU_NEW_APP", unpacked},          {"NVSU_APP", target},
            {"NVSU_TEMP_PATH", staged},          {"NVSU_ARCHIVE", source.archivePath},
            {"NVSU_ANCHORS", source.anchorsPath}, {"NVSU_INSTALLATION_OBJECT", source.installationObject},
            {"NVSU_VERIFIER", source.verifierPath}};
        for (const auto &[name, value] : variables)
            shell->setVariable(QString::fromLatin1(name), value);
        const int status = shell->executeCommand(NVSUBundleReplacementDetail::rootStagingScript());
        *output = shell->lastCommandOutputString().value_or(QString());
        return status;
    }
};

QStringList privateFolders(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral(".nvsu-root.*")}, QDir::AllEntries | QDir::Hidden);
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
}

} // namespace

// Whatever the format, root stages what the signed archive holds, not the
// tree the user process left, and removes its private folder afterwards.
TEST(NVSUBundleReplacementRootTest, RootStagesTheArchiveItCheckedNotTheUsersTree)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the root side runs as root";
    const QStringList before = privateFolders(QStringLiteral("/var/tmp"));
    for (const QString &format : {QStringLiteral("tar.gz"), QStringLiteral("tbz"), QStringLiteral("zip"), QStringLiteral("dmg")}) {
        SCOPED_TRACE(format.toStdString());
        SignedDownload download(format);
        const QString staged = download.folder + QStringLiteral("/staged ü.app");
        QString output;
        ASSERT_EQ(download.stage(download.signedArchive(), staged, &output), 0) << output.toStdString();
        EXPECT_EQ(markerOf(staged), "new");
        EXPECT_FALSE(QFileInfo::exists(staged + QStringLiteral("/Contents/MacOS/planted")));
        EXPECT_TRUE(QFileInfo(staged + QStringLiteral("/Contents/MacOS/Prödüct run")).isExecutable());
        EXPECT_EQ(markerOf(download.unpacked), "tampered") << "the user's tree is left as it was";
        EXPECT_EQ(privateFolders(download.folder), QStringList());
    }
    EXPECT_EQ(privateFolders(QStringLiteral("/var/tmp")), before);
}

// Each refusal names its cause in the output, stages nothing and leaves no
// private folder behind.
TEST(NVSUBundleReplacementRootTest, RootRefusesWhatItCannotTrust)
{
    const auto user = TestUser::account();
    if (::geteuid() != 0 || !user)
        GTEST_SKIP() << "needs root and the test account";
    SignedDownload download;
    // Copies of the tool and the anchors in a folder the test account owns.
    const QString userFolder = download.work->filePath(QStringLiteral("user's ü"));
    QDir().mkpath(userFolder);
    ASSERT_EQ(::chown(QFile::encodeName(userFolder).constData(), user->uid, user->gid), 0);
    QFile::copy(verifier(), userFolder + QStringLiteral("/nvsu-release"));
    QFile::copy(download.fixture.anchorsPath(), userFolder + QStringLiteral("/anchors.pem"));
    const QString forged = download.forgedArchive();

    struct Row {
        const char *name;
        std::function<void(NVSUSignedArchive &)> change;
        const char *output;
    };
    const Row rows[] = {
        {"forged archive", [&](NVSUSignedArchive &s) { s.archivePath = forged; }, "invalid: "},
        {"unsigned archive", [&](NVSUSignedArchive &s) {
             s.archivePath = download.work->filePath(QStringLiteral("plain.tar.gz"));
             TestSupport::run(QStringLiteral("/usr/bin/tar"), {QStringLiteral("-czf"), s.archivePath, QStringLiteral("-C"), download.folder, kBundleName});
         }, "missing: "},
        {"verifier others can change", [&](NVSUSignedArchive &s) { s.verifierPath = userFolder + QStringLiteral("/nvsu-release"); },
         "may be changed by others than root, not running it as root"},
        {"anchors others can change", [&](NVSUSignedArchive &s) { s.anchorsPath = userFolder + QStringLiteral("/anchors.pem"); },
         "may be changed by others than root, not trusting it as root"},
        {"object not in the archive", [](NVSUSignedArchive &s) { s.installationObject = QStringLiteral("Other.app"); }, "No folder Other.app in "},
        {"object that climbs out", [](NVSUSignedArchive &s) { s.installationObject = QStringLiteral(".."); }, "Not a bundle name: .."},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        NVSUSignedArchive source = download.signedArchive();
        row.change(source);
        const QString staged = download.folder + QStringLiteral("/staged ü.app");
        QString output;
        EXPECT_NE(download.stage(source, staged, &output), 0);
        EXPECT_TRUE(output.contains(QString::fromUtf8(row.output))) << output.toStdString();
        EXPECT_FALSE(QFileInfo::exists(staged));
        EXPECT_EQ(privateFolders(download.folder), QStringList());
    }
}

// End to end as root for a bundle of the test account: root is used (the
// user's tree is never installed), and the archive it checked is handed to
// the target's owner and group.
TEST(NVSUBundleReplacementRootTest, AnotherAccountsBundleGetsTheCheckedArchiveAndKeepsItsOwner)
{
    const auto user = TestUser::account();
    if (::geteuid() != 0 || !user)
        GTEST_SKIP() << "needs root and the test account";
    SignedDownload download;
    ASSERT_EQ(TestSupport::run(QStringLiteral("/usr/bin/chown"), {QStringLiteral("-R"), QStringLiteral("%1:%2").arg(user->uid).arg(user->gid), download.target}).exitCode, 0);
    NVSUBundleReplacementOptions options = quickOptions();

    // Without the archive root installs nothing; a forged one is refused by
    // root's own check with the checker's verdict. Neither changes anything.
    const QStringList before = snapshot(download.folder);
    for (const bool withForgery : {false, true}) {
        if (withForgery) {
            options.signedArchive = download.signedArchive();
            options.signedArchive->archivePath = download.forgedArchive();
        }
        LogCapture log;
        EXPECT_FALSE(installOnWorker(download.unpacked, download.target, false, nullptr, options, std::chrono::milliseconds(0)));
        const QStringList lines = failureLines(log.messages());
        ASSERT_EQ(lines.size(), 1) << lines.join('\n').toStdString();
        EXPECT_TRUE(lines[0].startsWith(withForgery ? "Error moving or copying " + download.unpacked + " to " + download.target + ": invalid: "
                                                    : "Cannot install " + download.unpacked + " as root: no signed archive to check it against"))
            << lines[0].toStdString();
        EXPECT_EQ(snapshot(download.folder), before);
    }

    options.signedArchive = download.signedArchive();
    LogCapture log;
    ASSERT_TRUE(installOnWorker(download.unpacked, download.target, false, nullptr, options, std::chrono::milliseconds(0)))
        << log.messages().join('\n').toStdString();
    expectInstalledFromTheArchive(download, user->uid, user->gid);
}

// For real, as the unprivileged test account with sudo: the password is asked
// for once per replacement, root installs the archive it checked, and the
// result belongs to the target's owner. Only the person typing is faked.
TEST(NVSUBundleReplacementRootTest, AsTheTestAccountRootIsAskedForOnceAndTheOwnerIsKept)
{
    NV_RUN_AS_TEST_USER();
    const auto user = TestUser::account();
    ASSERT_TRUE(user);
    // Anchors root can trust: a copy in a folder of root's.
    const QString rootFolder = QStringLiteral("/tmp/nvsu anchors ü %1").arg(::getpid());
    struct Row {
        const char *name;
        bool rootOwnsTarget; // else the target is the account's, in a folder only root may change
    };
    for (const Row row : {Row{"root's bundle", true}, Row{"own bundle in root's folder", false}}) {
        SCOPED_TRACE(row.name);
        SignedDownload download;
        ASSERT_EQ(sudo({QStringLiteral("/usr/bin/install"), QStringLiteral("-d"), QStringLiteral("-m"), QStringLiteral("0755"), rootFolder}), 0);
        const QString anchors = rootFolder + QStringLiteral("/anchors ü.pem");
        ASSERT_EQ(sudo({QStringLiteral("/usr/bin/install"), QStringLiteral("-m"), QStringLiteral("0644"), download.fixture.anchorsPath(), anchors}), 0);
        if (row.rootOwnsTarget)
            ASSERT_EQ(sudo({QStringLiteral("/usr/bin/chown"), QStringLiteral("-R"), QStringLiteral("0:0"), download.target}), 0);
        else
            ASSERT_EQ(sudo({QStringLiteral("/usr/bin/chown"), QStringLiteral("0:0"), download.folder}), 0);

        const QString counter = download.work->filePath(QStringLiteral("asked"));
        NVAuthorization::setAskpassPath(writeAskpass(download.work->path(), counter));
        NVAuthorization::setPolkitAllowedForTesting(false);
        NVSUBundleReplacementOptions options = quickOptions();
        options.signedArchive = download.signedArchive();
        options.signedArchive->anchorsPath = anchors;
        LogCapture log;
        const bool ok = installOnWorker(download.unpacked, download.target, false, nullptr, options, std::chrono::milliseconds(0));
        NVAuthorization::setAskpassPath(QString());

        EXPECT_TRUE(ok) << log.messages().join('\n').toStdString();
        EXPECT_EQ(askpassCount(counter), 1);
        expectInstalledFromTheArchive(download, row.rootOwnsTarget ? 0 : user->uid, row.rootOwnsTarget ? 0 : user->gid);
        EXPECT_EQ(QDir(download.folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList{kBundleName});
        // Root's files go before the account's temporary folder does.
        sudo({QStringLiteral("/bin/rm"), QStringLiteral("-rf"), rootFolder, download.folder});
    }
}

// A cancelled password prompt ends the replacement with one line and no change.
TEST(NVSUBundleReplacementRootTest, CancelledPasswordPromptChangesNothing)
{
    NV_RUN_AS_TEST_USER();
    SignedDownload download;
    ASSERT_EQ(sudo({QStringLiteral("/usr/bin/chown"), QStringLiteral("-R"), QStringLiteral("0:0"), download.target}), 0);
    const QString cancel = download.work->filePath(QStringLiteral("cancel"));
    TestSupport::writeFile(cancel, "#!/bin/sh\necho asked >> \"$NVSU_ASKPASS_STATE/asked\"\ntouch \"$NVSU_ASKPASS_STATE/cancelled\"\nexit 1\n");
    QFile::setPermissions(cancel, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    NVAuthorization::setAskpassPath(cancel);
    NVAuthorization::setPolkitAllowedForTesting(false);
    NVSUBundleReplacementOptions options;
    options.signedArchive = download.signedArchive();
    const QStringList before = snapshot(download.work->path());
    LogCapture log;
    const bool ok = installOnWorker(download.unpacked, download.target, false, nullptr, options, std::chrono::milliseconds(0));
    NVAuthorization::setAskpassPath(QString());
    EXPECT_FALSE(ok);
    EXPECT_EQ(failureLines(log.messages()), QStringList{"Could not authorize for root access"});
    EXPECT_EQ(snapshot(download.work->path()), before);
    sudo({QStringLiteral("/bin/rm"), QStringLiteral("-rf"), download.target});
}
