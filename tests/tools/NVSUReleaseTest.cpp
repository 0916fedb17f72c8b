#include "support/SigningFixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const QString tool = QStringLiteral(NV_TEST_BUNDLE_DIR "/Contents/MacOS/nvsu-release");

struct ToolRun {
    int exitCode = -1;
    QString output;
    QString errors;
};

ToolRun run(const QString &program, const QStringList &arguments, const QString &workingDirectory = QString())
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    if (!process.waitForFinished(120000))
        ADD_FAILURE() << program.toStdString() << " did not finish";
    ToolRun result;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = QString::fromUtf8(process.readAllStandardOutput());
    result.errors = QString::fromUtf8(process.readAllStandardError());
    return result;
}

ToolRun release(const QStringList &arguments) { return run(tool, arguments); }

// Every entry below a folder: type, permission bits, and content or target.
QMap<QString, QString> snapshot(const QString &root)
{
    QMap<QString, QString> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        struct stat status;
        lstat(QFile::encodeName(path).constData(), &status);
        const QString mode = QString::number(status.st_mode & 07777, 8);
        QString entry;
        if (info.isSymLink())
            entry = QStringLiteral("link -> ") + info.symLinkTarget().section(QLatin1Char('/'), -1);
        else if (info.isDir())
            entry = QStringLiteral("dir ") + mode;
        else
            entry = QStringLiteral("file %1 %2").arg(mode, QString::fromLatin1(QCryptographicHash::hash(readAll(path), QCryptographicHash::Sha256).toHex()));
        entries.insert(QDir(root).relativeFilePath(path), entry);
    }
    return entries;
}

void writeFile(const QString &path, const QByteArray &contents, QFile::Permissions permissions = {})
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(contents);
    file.close();
    if (permissions)
        file.setPermissions(permissions);
}

// An application bundle with blanks, brackets and a star in its names, an
// executable, a symbolic link and an empty folder.
QString makeBundle(const QString &parent)
{
    const QString bundle = parent + QStringLiteral("/Velkin Test [beta]*.app");
    writeFile(bundle + QStringLiteral("/Contents/Info.plist"), "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>\n");
    QByteArray binary(300000, Qt::Uninitialized);
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char((i * 7919) >> 3);
    writeFile(bundle + QStringLiteral("/Contents/MacOS/velkin"), binary,
              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    writeFile(bundle + QStringLiteral("/Contents/Resources/en.lproj/Main Menu.strings"), "\"a\" = \"b\";\n");
    QFile::link(QStringLiteral("velkin"), bundle + QStringLiteral("/Contents/MacOS/velkin link"));
    QDir().mkpath(bundle + QStringLiteral("/Contents/Empty Folder"));
    return bundle;
}

QByteArray flippedAt(QByteArray bytes, qint64 at)
{
    bytes[at] = char(bytes[at] ^ 0x01);
    return bytes;
}

// Unpacks with the archive's own tool, as the updater will; for a disk image
// mounts it with squashfuse (unsquashfs where FUSE is unavailable).
QMap<QString, QString> unpacked(const QString &archive, const QString &format, const QString &work)
{
    const QString destination = work + QStringLiteral("/unpacked-") + format;
    QDir().mkpath(destination);
    if (format == QLatin1String("zip")) {
        const ToolRun unzip = run(QStringLiteral("/usr/bin/unzip"), {QStringLiteral("-qq"), QStringLiteral("-o"), archive, QStringLiteral("-d"), destination});
        EXPECT_EQ(unzip.exitCode, 0) << unzip.errors.toStdString();
        return snapshot(destination);
    }
    if (format != QLatin1String("dmg")) {
        const ToolRun tar = run(QStringLiteral("/usr/bin/tar"), {QStringLiteral("-xf"), archive, QStringLiteral("-C"), destination});
        EXPECT_EQ(tar.exitCode, 0) << tar.errors.toStdString();
        return snapshot(destination);
    }
    const ToolRun mount = run(QStringLiteral("/usr/bin/squashfuse"), {archive, destination});
    if (mount.exitCode == 0) {
        const QMap<QString, QString> entries = snapshot(destination);
        EXPECT_EQ(run(QStringLiteral("/usr/bin/fusermount3"), {QStringLiteral("-u"), destination}).exitCode, 0);
        return entries;
    }
    QDir(destination).removeRecursively();
    const ToolRun unsquash = run(QStringLiteral("/usr/bin/unsquashfs"), {QStringLiteral("-q"), QStringLiteral("-n"), QStringLiteral("-d"), destination, archive});
    EXPECT_EQ(unsquash.exitCode, 0) << unsquash.output.toStdString();
    return snapshot(destination);
}

TEST(NVSUReleaseTool, PackagedAndSignedArchivesUnpackUnchangedAndVerify)
{
    QTemporaryDir work;
    const QString keys = work.filePath(QStringLiteral("keys"));
    const ToolRun made = release({QStringLiteral("keys"), QStringLiteral("--output"), keys});
    ASSERT_EQ(made.exitCode, 0) << made.errors.toStdString();
    const QString bundle = makeBundle(work.filePath(QStringLiteral("product")));
    const QMap<QString, QString> original = snapshot(work.filePath(QStringLiteral("product")));
    ASSERT_EQ(original.size(), 10);

    for (const QString format : {"tar.gz", "tgz", "tar.bz2", "tbz", "zip", "dmg"}) {
        SCOPED_TRACE(format.toStdString());
        const QString archive = work.filePath(QStringLiteral("Velkin 5.1.") + format);
        const ToolRun packaged = release({QStringLiteral("package"), bundle, QStringLiteral("--format"), format, QStringLiteral("--output"), archive});
        ASSERT_EQ(packaged.exitCode, 0) << packaged.errors.toStdString();
        const ToolRun signedRun = release({QStringLiteral("sign"), archive, QStringLiteral("--certificate"), keys + QStringLiteral("/code-signing-certificate.pem"),
                                       QStringLiteral("--key"), keys + QStringLiteral("/code-signing-key.pem"), QStringLiteral("--chain"),
                                       keys + QStringLiteral("/code-signing-intermediate.pem")});
        ASSERT_EQ(signedRun.exitCode, 0) << signedRun.errors.toStdString();

        EXPECT_EQ(unpacked(archive, format, work.path()), original);

        const QStringList verify = {QStringLiteral("verify"), archive, QStringLiteral("--anchors"), keys + QStringLiteral("/CodeSigningAnchors.pem")};
        const ToolRun verified = release(verify);
        EXPECT_EQ(verified.exitCode, 0) << verified.output.toStdString();
        EXPECT_TRUE(verified.output.startsWith(QLatin1String("valid: "))) << verified.output.toStdString();

        // A second signature is refused and leaves the file alone.
        const QByteArray signedBytes = readAll(archive);
        const ToolRun again = release({QStringLiteral("sign"), archive, QStringLiteral("--certificate"), keys + QStringLiteral("/code-signing-certificate.pem"),
                                   QStringLiteral("--key"), keys + QStringLiteral("/code-signing-key.pem")});
        EXPECT_EQ(again.exitCode, 1);
        EXPECT_TRUE(again.errors.contains(QLatin1String("already signed"))) << again.errors.toStdString();
        EXPECT_EQ(readAll(archive), signedBytes);

        // One changed byte in the middle of the archive.
        QFile::remove(archive);
        writeFile(archive, flippedAt(signedBytes, signedBytes.size() / 3));
        const ToolRun changed = release(verify);
        EXPECT_EQ(changed.exitCode, 1);
        EXPECT_TRUE(changed.output.startsWith(QLatin1String("invalid: "))) << changed.output.toStdString();
    }
}

TEST(NVSUReleaseTool, VerifyNamesOutcomeAndReason)
{
    const SigningFixture fixture;
    using Signer = SigningFixture::Signer;
    auto signWith = [&](const QString &name, Signer signer) {
        const QString file = fixture.writeFile(name, makeBzip2("release"));
        const ToolRun signedRun = release({QStringLiteral("sign"), file, QStringLiteral("--certificate"), fixture.certificatePath(signer),
                                       QStringLiteral("--key"), fixture.keyPath(signer), QStringLiteral("--chain"), fixture.chainPath(signer)});
        EXPECT_EQ(signedRun.exitCode, 0) << signedRun.errors.toStdString();
        return file;
    };
    const struct {
        const char *name;
        QString file;
        QStringList extra;
        int exitCode;
        const char *output;
    } cases[] = {
        {"team", signWith(QStringLiteral("team.tbz"), Signer::Team), {}, 0, "valid: signed by "},
        {"another team", signWith(QStringLiteral("other.tbz"), Signer::OtherTeam), {}, 1, "invalid: the signature does not satisfy"},
        {"no extension", signWith(QStringLiteral("noext.tbz"), Signer::NoDistributionExtension), {}, 1, "invalid: the signature does not satisfy"},
        {"unsigned", fixture.writeFile(QStringLiteral("plain.tbz"), makeBzip2("release")), {}, 1, "missing: the file has no signature block"},
        {"bad requirement", signWith(QStringLiteral("req.tbz"), Signer::Team), {QStringLiteral("--requirement"), QStringLiteral("anchor")}, 1,
         "missing: invalid requirement"},
        {"hidden end record", fixture.writeFile(QStringLiteral("hidden.zip"), hideZipInSignature(fixture, readAll(fixture.signedFile(QStringLiteral("z.zip"), makeZip("z"))))),
         {}, 1, "invalid: the zip comment contains a second end record"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const ToolRun verified = release(QStringList{QStringLiteral("verify"), c.file, QStringLiteral("--anchors"), fixture.anchorsPath()} + c.extra);
        EXPECT_EQ(verified.exitCode, c.exitCode);
        EXPECT_TRUE(verified.output.startsWith(QLatin1String(c.output))) << verified.output.toStdString();
    }
}

TEST(NVSUReleaseTool, HelpAndUsageErrors)
{
    for (const QString command : {"keys", "sign", "verify", "package", "feed"}) {
        SCOPED_TRACE(command.toStdString());
        const ToolRun help = release({command, QStringLiteral("--help")});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_TRUE(help.output.startsWith(QStringLiteral("Usage: nvsu-release ") + command)) << help.output.toStdString();
        const ToolRun bare = release({command});
        EXPECT_EQ(bare.exitCode, 2);
    }
    EXPECT_EQ(release({QStringLiteral("--help")}).exitCode, 0);
    EXPECT_EQ(release({}).exitCode, 2);
    EXPECT_EQ(release({QStringLiteral("publish")}).exitCode, 2);

    QTemporaryDir work;
    QDir().mkpath(work.filePath(QStringLiteral("A.app")));
    const ToolRun unknown = release({QStringLiteral("package"), work.filePath(QStringLiteral("A.app")), QStringLiteral("--format"), QStringLiteral("rar"),
                                 QStringLiteral("--output"), work.filePath(QStringLiteral("a.rar"))});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_FALSE(QFileInfo::exists(work.filePath(QStringLiteral("a.rar"))));
    const ToolRun notFolder = release({QStringLiteral("package"), work.filePath(QStringLiteral("B.app")), QStringLiteral("--format"), QStringLiteral("zip"),
                                   QStringLiteral("--output"), work.filePath(QStringLiteral("b.zip"))});
    EXPECT_EQ(notFolder.exitCode, 1);
    EXPECT_TRUE(notFolder.errors.contains(QLatin1String("is not a folder")));
}

TEST(NVSUReleaseTool, KeysAreNotOverwrittenByAccident)
{
    QTemporaryDir work;
    const QStringList arguments = {QStringLiteral("keys"), QStringLiteral("--output"), work.path()};
    ASSERT_EQ(release(arguments).exitCode, 0);
    for (const char *key : {"code-signing-key.pem", "code-signing-root-key.pem", "server-key.pem", "tls-authority-key.pem"}) {
        struct stat status;
        ASSERT_EQ(stat(QFile::encodeName(work.filePath(QLatin1String(key))).constData(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u) << key;
    }
    const QByteArray anchors = readAll(work.filePath(QStringLiteral("CodeSigningAnchors.pem")));
    const ToolRun again = release(arguments);
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_TRUE(again.errors.contains(QLatin1String("--force")));
    EXPECT_EQ(readAll(work.filePath(QStringLiteral("CodeSigningAnchors.pem"))), anchors);
    EXPECT_EQ(release(arguments + QStringList{QStringLiteral("--force")}).exitCode, 0);
    EXPECT_NE(readAll(work.filePath(QStringLiteral("CodeSigningAnchors.pem"))), anchors);

    // The server certificate names the loopback addresses and chains to the TLS authority.
    const ToolRun chain = run(QStringLiteral("/usr/bin/openssl"), {QStringLiteral("verify"), QStringLiteral("-CAfile"), work.filePath(QStringLiteral("ServerTrustAnchors.pem")),
                                                               QStringLiteral("-verify_ip"), QStringLiteral("127.0.0.2"), work.filePath(QStringLiteral("server-certificate.pem"))});
    EXPECT_EQ(chain.exitCode, 0) << chain.output.toStdString() << chain.errors.toStdString();
}

} // namespace
