#include "foundation/NVPropertyList.h"
#include "support/TestSupport.h"
#include "support/TestUser.h"
#include "unarchive/NVDiskImage.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

using NVDiskImage::Method;

namespace {

const QString Tool = TestSupport::bundlePath() + QStringLiteral("/Contents/MacOS/nvsu-diskimage");
const QString Release = TestSupport::bundlePath() + QStringLiteral("/Contents/MacOS/nvsu-release");

struct ToolRun {
    int exitCode = -1;
    QString out;
    QString err;
    qint64 milliseconds = 0;
};

// Runs a program with the test's cache folder, "yes\n" on its standard input
// as the updater sends it, and a time limit well above anything it may take.
ToolRun runProgram(const QString &program, const QStringList &arguments, const QProcessEnvironment &extra)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(extra);
    process.setProcessEnvironment(environment);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    ToolRun result;
    if (!process.waitForStarted(10000)) {
        result.err = process.errorString();
        return result;
    }
    process.write("yes\n");
    process.closeWriteChannel();
    if (!process.waitForFinished(90000)) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("did not finish in 90 s");
        return result;
    }
    result.milliseconds = timer.elapsed();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

bool canUseFuse() { return ::access("/dev/fuse", R_OK | W_OK) == 0; }

// The ways this account can attach here, each tested on its own.
QList<Method> availableMethods()
{
    QList<Method> methods;
    if (::geteuid() == 0)
        methods << Method::LoopMount;
    if (canUseFuse())
        methods << Method::Fuse;
    methods << Method::Extraction;
    return methods;
}

void makeExecutable(const QString &path)
{
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                                    | QFile::ReadOther | QFile::ExeOther);
}

// A small application bundle: an executable, a link, blanks in a name, an
// empty folder.
QString makeBundle(const QString &parent)
{
    const QString bundle = parent + QStringLiteral("/Velkin Test.app");
    TestSupport::writeFile(bundle + "/Contents/Info.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>\n");
    QByteArray binary(150000, Qt::Uninitialized);
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char((i * 7919) >> 5);
    TestSupport::writeFile(bundle + "/Contents/MacOS/velkin", binary);
    makeExecutable(bundle + "/Contents/MacOS/velkin");
    TestSupport::writeFile(bundle + "/Contents/Resources/en.lproj/Main Menu.strings", "\"a\" = \"b\";\n");
    QFile::link(QStringLiteral("velkin"), bundle + "/Contents/MacOS/velkin link");
    QDir().mkpath(bundle + "/Contents/Empty Folder");
    return bundle;
}

mode_t modeWithoutWriteBits(const QString &path)
{
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07555;
}

// Every entry below a folder by type, content and mode; the write bits are
// left out because an extracted image is made read-only.
std::string snapshot(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QString entry;
        if (info.isSymLink())
            entry = QStringLiteral("link -> ") + QFile::symLinkTarget(path).section(u'/', -1);
        else if (info.isDir())
            entry = QStringLiteral("dir");
        else
            entry = QStringLiteral("file %1 %2").arg(QString::number(modeWithoutWriteBits(path), 8),
                                                    QString::fromLatin1(QCryptographicHash::hash(TestSupport::readFile(path), QCryptographicHash::Sha256).toHex()));
        entries << QDir(root).relativeFilePath(path) + QStringLiteral(": ") + entry;
    }
    entries.sort();
    return entries.join(u'\n').toStdString();
}

QByteArray makeImage(const QString &source, const QString &image)
{
    QProcess process;
    process.start(QStringLiteral("/usr/bin/mksquashfs"),
                  {source, image, QStringLiteral("-noappend"), QStringLiteral("-all-root"), QStringLiteral("-no-progress"), QStringLiteral("-quiet")});
    EXPECT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0) << process.readAll().toStdString();
    return TestSupport::readFile(image);
}

// The mount point named in the tool's property list, or an empty string.
QString mountPointFromOutput(const QString &output, QString *method = nullptr)
{
    const NVResult<QVariant> list = NVPropertyList::readXML(output.toUtf8());
    if (!list)
        return QString();
    const QVariantList entities = list->toMap().value(QStringLiteral("system-entities")).toList();
    if (entities.size() != 1)
        return QString();
    const QVariantMap entity = entities.constFirst().toMap();
    if (entity.value(QStringLiteral("content-hint")) != QStringLiteral("squashfs"))
        return QString();
    if (method)
        *method = entity.value(QStringLiteral("attach-method")).toString();
    return entity.value(QStringLiteral("mount-point")).toString();
}

bool mountedBelow(const QString &root)
{
    const QString canonical = QFileInfo(root).canonicalFilePath();
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4 && QString::fromUtf8(fields[4]).startsWith(canonical + u'/'))
            return true;
    }
    return false;
}

class DiskImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_directory.isValid());
        m_root = QFileInfo(m_directory.path()).canonicalFilePath();
        m_environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_root + QStringLiteral("/cache"));
    }

    // Whatever a failing test left mounted is detached before the folder goes.
    void TearDown() override
    {
        if (mountedBelow(m_root)) {
            for (const QString &name : QDir(mounts()).entryList({QStringLiteral("image-??????")}, QDir::Dirs))
                tool({QStringLiteral("detach"), mounts() + u'/' + name});
        }
        EXPECT_FALSE(mountedBelow(m_root));
    }

    ToolRun tool(const QStringList &arguments, std::optional<Method> method = std::nullopt)
    {
        QProcessEnvironment environment = m_environment;
        if (method)
            environment.insert(QStringLiteral("NV_DISKIMAGE_METHODS"), NVDiskImage::methodName(*method));
        return runProgram(Tool, arguments, environment);
    }

    ToolRun attach(const QString &image, std::optional<Method> method = std::nullopt)
    {
        return tool({QStringLiteral("attach"), QStringLiteral("-plist"), QStringLiteral("-noverify"), QStringLiteral("-nobrowse"),
                     QStringLiteral("-noautoopen"), image},
                    method);
    }

    QString mounts() const { return m_root + QStringLiteral("/cache/norvane.velkin.SoftwareUpdate/tmp/mounts"); }

    // The mounts folder's entries, blank-separated.
    std::string mountsEntries() const
    {
        return QDir(mounts()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).join(u' ').toStdString();
    }

    QString path(const QString &name) const { return m_root + u'/' + name; }

    QTemporaryDir m_directory;
    QString m_root;
    QProcessEnvironment m_environment;
};

// ---- superblock ---------------------------------------------------------------------------

TEST_F(DiskImageTest, SuperblockChecksNameEachDamage)
{
    TestSupport::writeFile(path("tree/file"), "contents\n");
    const QByteArray image = makeImage(path("tree"), path("image.sq"));
    ASSERT_GE(image.size(), 4096);
    const qint64 bytesUsed = qFromLittleEndian<quint64>(image.constData() + 40);

    const auto with = [&](int offset, QByteArray bytes) {
        QByteArray head = image.left(NVDiskImage::SuperblockSize);
        head.replace(offset, bytes.size(), bytes);
        return head;
    };
    const auto u16 = [](quint16 value) { QByteArray b(2, '\0'); qToLittleEndian(value, b.data()); return b; };
    const auto u64 = [](quint64 value) { QByteArray b(8, '\0'); qToLittleEndian(value, b.data()); return b; };
    struct Row {
        const char *name;
        QByteArray head;
        qint64 size;
        int code; // 0: accepted
        const char *text;
    };
    const QByteArray head = image.left(NVDiskImage::SuperblockSize);
    const Row rows[] = {
        {"valid", head, image.size(), 0, ""},
        {"signature appended", head, image.size() + 3000, 0, ""},
        {"exactly bytes_used", head, bytesUsed, 0, ""},
        {"empty", QByteArray(), 0, EMEDIUMTYPE, "is empty"},
        {"text", QByteArray("hello, world\n"), 13, EMEDIUMTYPE, "is not a squashfs image"},
        {"big-endian magic", with(0, "sqsh"), image.size(), EMEDIUMTYPE, "is not a squashfs image"},
        {"ends in superblock", head.left(50), 50, ENODATA, "ends inside the superblock"},
        {"version 3.1", with(28, u16(3) + u16(1)), image.size(), EMEDIUMTYPE, "3.1 image"},
        {"block log", with(22, u16(13)), image.size(), EIO, "block size"},
        {"compression", with(20, u16(9)), image.size(), EIO, "unknown compression 9"},
        {"truncated", head, bytesUsed - 1, ENODATA, "is truncated"},
        {"size field", with(40, u64(10)), image.size(), EIO, "size field"},
        {"inode table outside", with(64, u64(quint64(bytesUsed) + 5)), image.size(), EIO, "outside the image"},
        {"root outside", with(32, u64(quint64(1) << 40)), image.size(), EIO, "root folder"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const NVResult<NVDiskImage::ImageInfo> info = NVDiskImage::inspectSuperblock(row.head, row.size, QStringLiteral("/x.dmg"));
        if (row.code == 0) {
            ASSERT_TRUE(info.ok()) << info.error().description().toStdString();
            EXPECT_EQ(info->bytesUsed, bytesUsed);
            EXPECT_EQ(info->fileSize, row.size);
        } else {
            ASSERT_FALSE(info.ok());
            EXPECT_EQ(info.error().code(), row.code);
            EXPECT_EQ(info.error().domain(), NSPOSIXErrorDomain);
            EXPECT_TRUE(info.error().localizedDescription().contains(QLatin1String(row.text)))
                << info.error().localizedDescription().toStdString();
            EXPECT_TRUE(info.error().localizedDescription().contains(QLatin1String("\"/x.dmg\"")));
        }
    }
}

// ---- attach and detach --------------------------------------------------------------------

TEST_F(DiskImageTest, EveryMethodAttachesReadOnlyAndDetachesWithoutTrace)
{
    const QString bundle = makeBundle(path("source"));
    makeImage(path("source"), path("update.dmg"));
    const std::string expected = snapshot(path("source"));

    for (Method method : availableMethods()) {
        SCOPED_TRACE(NVDiskImage::methodName(method).toStdString());
        const ToolRun attached = attach(path("update.dmg"), method);
        ASSERT_EQ(attached.exitCode, 0) << attached.err.toStdString();
        EXPECT_TRUE(attached.err.isEmpty()) << attached.err.toStdString();
        QString reportedMethod;
        const QString mountPoint = mountPointFromOutput(attached.out, &reportedMethod);
        ASSERT_FALSE(mountPoint.isEmpty()) << attached.out.toStdString();
        EXPECT_EQ(reportedMethod, NVDiskImage::methodName(method));
        EXPECT_EQ(QFileInfo(mountPoint).path(), mounts());
        EXPECT_TRUE(QFileInfo::exists(mountPoint + QStringLiteral(".owner")));
        struct stat folderStatus {};
        ASSERT_EQ(::stat(QFile::encodeName(mounts()).constData(), &folderStatus), 0);
        EXPECT_EQ(folderStatus.st_mode & 07777, 0700u);

        EXPECT_EQ(snapshot(mountPoint), expected);
        const std::optional<QString> type = NVDiskImage::mountedFileSystemType(mountPoint);
        switch (method) {
        case Method::LoopMount: EXPECT_EQ(type, QStringLiteral("squashfs")); break;
        case Method::Fuse: EXPECT_TRUE(type && type->startsWith(QLatin1String("fuse"))); break;
        case Method::Extraction: EXPECT_FALSE(type); break;
        }
        // Read-only: root may write through permissions, never through a
        // read-only mount, so the extracted form is checked by its modes.
        if (method != Method::Extraction || ::geteuid() != 0) {
            EXPECT_FALSE(QFile(mountPoint + QStringLiteral("/Velkin Test.app/new")).open(QIODevice::WriteOnly));
        }
        if (method == Method::Extraction) {
            EXPECT_FALSE(QFileInfo(mountPoint + QStringLiteral("/Velkin Test.app/Contents/MacOS/velkin")).permissions()
                         & (QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther));
        }

        const ToolRun detached = tool({QStringLiteral("detach"), QStringLiteral("-force"), mountPoint});
        EXPECT_EQ(detached.exitCode, 0) << detached.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(mountPoint));
        EXPECT_FALSE(NVDiskImage::mountedFileSystemType(mountPoint));
        EXPECT_EQ(mountsEntries(), ".lock");

        const ToolRun again = tool({QStringLiteral("detach"), QStringLiteral("-force"), mountPoint});
        EXPECT_EQ(again.exitCode, ENOENT);
        EXPECT_TRUE(again.err.contains(QLatin1String("no such mount point"))) << again.err.toStdString();
    }
}

TEST_F(DiskImageTest, SignedImageAttachesWithEveryMethod)
{
    const QString bundle = makeBundle(path("source"));
    const QString image = path("Velkin 5.1.dmg");
    ToolRun packaged = runProgram(Release, {QStringLiteral("package"), bundle, QStringLiteral("--format"), QStringLiteral("dmg"),
                                            QStringLiteral("--output"), image}, {});
    ASSERT_EQ(packaged.exitCode, 0) << packaged.err.toStdString();
    ToolRun keys = runProgram(Release, {QStringLiteral("keys"), QStringLiteral("--output"), path("keys")}, {});
    ASSERT_EQ(keys.exitCode, 0) << keys.err.toStdString();
    const qint64 unsignedSize = QFileInfo(image).size();
    ToolRun signedRun = runProgram(Release, {QStringLiteral("sign"), image, QStringLiteral("--certificate"), path("keys/code-signing-certificate.pem"),
                                             QStringLiteral("--key"), path("keys/code-signing-key.pem"), QStringLiteral("--chain"),
                                             path("keys/code-signing-intermediate.pem")}, {});
    ASSERT_EQ(signedRun.exitCode, 0) << signedRun.err.toStdString();
    ASSERT_GT(QFileInfo(image).size(), unsignedSize);
    ToolRun verified = runProgram(Release, {QStringLiteral("verify"), image, QStringLiteral("--anchors"), path("keys/CodeSigningAnchors.pem")}, {});
    ASSERT_EQ(verified.exitCode, 0) << verified.out.toStdString() << verified.err.toStdString();

    const std::string expected = snapshot(path("source"));
    for (Method method : availableMethods()) {
        SCOPED_TRACE(NVDiskImage::methodName(method).toStdString());
        const ToolRun attached = attach(image, method);
        ASSERT_EQ(attached.exitCode, 0) << attached.err.toStdString();
        const QString mountPoint = mountPointFromOutput(attached.out);
        ASSERT_FALSE(mountPoint.isEmpty());
        EXPECT_EQ(snapshot(mountPoint), expected);
        EXPECT_EQ(tool({QStringLiteral("detach"), QStringLiteral("-force"), mountPoint}).exitCode, 0);
        EXPECT_FALSE(QFileInfo::exists(mountPoint));
    }
}

TEST_F(DiskImageTest, BadImagesFailWithAMessageAndLeaveNothing)
{
    QByteArray noise(20000, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 2654435761u) >> 13);
    TestSupport::writeFile(path("tree/file"), noise);
    TestSupport::writeFile(path("tree/sub/other"), "other\n");
    const QByteArray image = makeImage(path("tree"), path("good.dmg"));
    const quint64 inodeTable = qFromLittleEndian<quint64>(image.constData() + 64);
    const quint64 bytesUsed = qFromLittleEndian<quint64>(image.constData() + 40);
    QByteArray zeroedTables = image;
    zeroedTables.replace(qsizetype(inodeTable), qsizetype(bytesUsed - inodeTable), QByteArray(qsizetype(bytesUsed - inodeTable), '\0'));
    QByteArray badBlockLog = image;
    badBlockLog[22] = char(badBlockLog[22] + 1);

    TestSupport::writeFile(path("empty.dmg"), QByteArray());
    TestSupport::writeFile(path("text.dmg"), "this is not an image\n");
    // Cut inside the data the superblock counts, not only the padding after it.
    TestSupport::writeFile(path("truncated.dmg"), image.left(qsizetype(bytesUsed / 2)));
    TestSupport::writeFile(path("tables.dmg"), zeroedTables);
    TestSupport::writeFile(path("superblock.dmg"), badBlockLog);
    QDir().mkpath(path("folder.dmg"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("fifo.dmg")).constData(), 0600), 0);

    struct Row {
        const char *file;
        int code;
        const char *text;
    };
    const Row rows[] = {
        {"missing.dmg", ENOENT, "does not exist"},
        {"empty.dmg", EMEDIUMTYPE, "is empty"},
        {"text.dmg", EMEDIUMTYPE, "is not a squashfs image"},
        {"truncated.dmg", ENODATA, "is truncated"},
        {"superblock.dmg", EIO, "damaged squashfs image"},
        {"tables.dmg", EIO, "cannot be mounted"},
        {"folder.dmg", EISDIR, "is a folder"},
        {"fifo.dmg", EMEDIUMTYPE, "not a regular file"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.file);
        const ToolRun attached = attach(path(QLatin1String(row.file)));
        EXPECT_EQ(attached.exitCode, row.code) << attached.err.toStdString();
        EXPECT_TRUE(attached.out.isEmpty());
        EXPECT_TRUE(attached.err.startsWith(QLatin1String("nvsu-diskimage: "))) << attached.err.toStdString();
        EXPECT_TRUE(attached.err.contains(QLatin1String(row.text))) << attached.err.toStdString();
        EXPECT_TRUE(attached.err.contains(path(QLatin1String(row.file)))) << attached.err.toStdString();
        EXPECT_EQ(attached.err.count(u'\n'), 1) << attached.err.toStdString();
        EXPECT_LT(attached.milliseconds, 30000);
        const std::string left = mountsEntries();
        EXPECT_TRUE(left.empty() || left == ".lock") << left;
        EXPECT_FALSE(mountedBelow(m_root));
    }

    // Each method refuses the damaged tables on its own, not only the first.
    for (Method method : availableMethods()) {
        SCOPED_TRACE(NVDiskImage::methodName(method).toStdString());
        const ToolRun attached = attach(path("tables.dmg"), method);
        EXPECT_EQ(attached.exitCode, EIO) << attached.err.toStdString();
        EXPECT_EQ(mountsEntries(), ".lock");
        EXPECT_FALSE(mountedBelow(m_root));
    }
}

TEST_F(DiskImageTest, DetachWhileAFileIsOpenUnmountsLazily)
{
    TestSupport::writeFile(path("tree/held.txt"), "still readable\n");
    makeImage(path("tree"), path("busy.dmg"));
    bool triedAMount = false;
    for (Method method : availableMethods()) {
        if (method == Method::Extraction)
            continue;
        triedAMount = true;
        SCOPED_TRACE(NVDiskImage::methodName(method).toStdString());
        const ToolRun attached = attach(path("busy.dmg"), method);
        ASSERT_EQ(attached.exitCode, 0) << attached.err.toStdString();
        const QString mountPoint = mountPointFromOutput(attached.out);
        QFile held(mountPoint + QStringLiteral("/held.txt"));
        ASSERT_TRUE(held.open(QIODevice::ReadOnly));

        const ToolRun detached = tool({QStringLiteral("detach"), QStringLiteral("-force"), mountPoint});
        EXPECT_EQ(detached.exitCode, 0) << detached.err.toStdString();
        EXPECT_LT(detached.milliseconds, 20000);
        EXPECT_FALSE(NVDiskImage::mountedFileSystemType(mountPoint));
        EXPECT_FALSE(QFileInfo::exists(mountPoint));
        // The lazily detached file system lives on for the open file.
        EXPECT_EQ(held.readAll(), QByteArray("still readable\n"));
    }
    if (!triedAMount)
        GTEST_SKIP() << "this account can only extract images";
}

TEST_F(DiskImageTest, MountsOfDeadOwnersAreRemovedAndLiveOnesKept)
{
    TestSupport::writeFile(path("tree/file"), "contents\n");
    makeImage(path("tree"), path("image.dmg"));

    // The tool records its parent as the owner: a shell that ends at once
    // leaves a mount without an owner, as a killed updater would.
    const auto attachFromShortLivedShell = [&] {
        QProcessEnvironment environment = m_environment;
        const ToolRun run = runProgram(QStringLiteral("/bin/sh"),
                                       {QStringLiteral("-c"), QStringLiteral("\"$0\" attach -plist \"$1\"; exit $?"), Tool, path("image.dmg")},
                                       environment);
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        return mountPointFromOutput(run.out);
    };
    const ToolRun liveRun = attach(path("image.dmg"));
    const QString live = mountPointFromOutput(liveRun.out);
    ASSERT_FALSE(live.isEmpty()) << liveRun.err.toStdString();
    const QString orphan = attachFromShortLivedShell();
    ASSERT_FALSE(orphan.isEmpty());
    // A folder without a record and a record without a folder: leftovers of
    // runs killed half-way.
    QDir().mkpath(mounts() + QStringLiteral("/image-Strays"));
    TestSupport::writeFile(mounts() + QStringLiteral("/image-Strays/file"), "x");
    TestSupport::writeFile(mounts() + QStringLiteral("/image-NoDir1.owner"), "not a property list");
    ASSERT_TRUE(QFileInfo::exists(orphan + QStringLiteral("/file")));

    const ToolRun cleaned = tool({QStringLiteral("cleanup")});
    EXPECT_EQ(cleaned.exitCode, 0) << cleaned.err.toStdString();
    EXPECT_TRUE(cleaned.out.contains(orphan)) << cleaned.out.toStdString();
    EXPECT_FALSE(QFileInfo::exists(orphan));
    EXPECT_FALSE(NVDiskImage::mountedFileSystemType(orphan));
    EXPECT_FALSE(QFileInfo::exists(orphan + QStringLiteral(".owner")));
    EXPECT_FALSE(QFileInfo::exists(mounts() + QStringLiteral("/image-Strays")));
    EXPECT_FALSE(QFileInfo::exists(mounts() + QStringLiteral("/image-NoDir1.owner")));
    EXPECT_EQ(TestSupport::readFile(live + QStringLiteral("/file")), QByteArray("contents\n"));

    // The next attach removes a new orphan by itself.
    const QString secondOrphan = attachFromShortLivedShell();
    ASSERT_FALSE(secondOrphan.isEmpty());
    const ToolRun third = attach(path("image.dmg"));
    ASSERT_EQ(third.exitCode, 0) << third.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(secondOrphan));
    EXPECT_FALSE(NVDiskImage::mountedFileSystemType(secondOrphan));
    EXPECT_TRUE(QFileInfo::exists(live + QStringLiteral("/file")));

    for (const QString &mountPoint : {live, mountPointFromOutput(third.out)})
        EXPECT_EQ(tool({QStringLiteral("detach"), QStringLiteral("-force"), mountPoint}).exitCode, 0);
}

TEST(DiskImageProcessTest, LivenessFollowsThePidAndItsStartTime)
{
    const quint64 ownStart = NVDiskImage::processStartTime(::getpid());
    ASSERT_GT(ownStart, 0u);
    EXPECT_TRUE(NVDiskImage::isProcessAlive(::getpid(), ownStart));
    EXPECT_TRUE(NVDiskImage::isProcessAlive(::getpid(), 0));
    // The same pid with another start time is a reused pid: a new process.
    EXPECT_FALSE(NVDiskImage::isProcessAlive(::getpid(), ownStart + 1));
    EXPECT_FALSE(NVDiskImage::isProcessAlive(0, 0));

    QProcess child;
    child.start(QStringLiteral("/bin/true"));
    ASSERT_TRUE(child.waitForFinished(10000));
    EXPECT_FALSE(NVDiskImage::isProcessAlive(pid_t(child.processId()), 0));
}

TEST_F(DiskImageTest, DetachRefusesEverythingOutsideTheMountsFolder)
{
    // Makes the mounts folder exist.
    ASSERT_EQ(tool({QStringLiteral("cleanup")}).exitCode, 0);
    TestSupport::writeFile(path("outside/image-abcdef/keep"), "keep");
    TestSupport::writeFile(path("outside/target/keep"), "keep");
    QFile::link(path("outside/target"), mounts() + QStringLiteral("/image-linked"));

    const QString refusals[] = {
        path("outside/image-abcdef"),
        path("outside"),
        mounts(),
        mounts() + QStringLiteral("/.lock"),
        mounts() + QStringLiteral("/image-abc"),
        mounts() + QStringLiteral("/image-abcdef/../../mounts2/image-abcdef"),
        QStringLiteral("image-abcdef"),
        QStringLiteral("/"),
        QString(),
    };
    for (const QString &target : refusals) {
        SCOPED_TRACE(target.toStdString());
        const ToolRun refused = tool({QStringLiteral("detach"), QStringLiteral("-force"), target});
        EXPECT_EQ(refused.exitCode, EPERM) << refused.err.toStdString();
        EXPECT_TRUE(refused.err.contains(QLatin1String("refusing to detach"))) << refused.err.toStdString();
    }
    EXPECT_TRUE(QFileInfo::exists(path("outside/image-abcdef/keep")));
    EXPECT_TRUE(QFileInfo::exists(mounts() + QStringLiteral("/.lock")));

    // A link in the mounts folder is removed as a link; what it points to stays.
    const ToolRun link = tool({QStringLiteral("detach"), mounts() + QStringLiteral("/image-linked")});
    EXPECT_EQ(link.exitCode, 0) << link.err.toStdString();
    EXPECT_FALSE(QFileInfo(mounts() + QStringLiteral("/image-linked")).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(path("outside/target/keep")));
}

TEST_F(DiskImageTest, CommandLineMistakesAreUsageErrors)
{
    const QStringList cases[] = {
        {},
        {QStringLiteral("mount")},
        {QStringLiteral("attach")},
        {QStringLiteral("attach"), QStringLiteral("-plist"), QStringLiteral("-readwrite"), path("x.dmg")},
        {QStringLiteral("attach"), path("a.dmg"), path("b.dmg")},
        {QStringLiteral("detach"), QStringLiteral("-force")},
        {QStringLiteral("cleanup"), QStringLiteral("now")},
    };
    for (const QStringList &arguments : cases) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        const ToolRun run = tool(arguments);
        EXPECT_EQ(run.exitCode, EINVAL);
        EXPECT_TRUE(run.err.contains(QLatin1String("usage: nvsu-diskimage attach"))) << run.err.toStdString();
    }
    QProcessEnvironment environment = m_environment;
    environment.insert(QStringLiteral("NV_DISKIMAGE_METHODS"), QStringLiteral("loop,teleport"));
    const ToolRun unknownMethod = runProgram(Tool, {QStringLiteral("cleanup")}, environment);
    EXPECT_EQ(unknownMethod.exitCode, EINVAL);
    EXPECT_TRUE(unknownMethod.err.contains(QLatin1String("\"teleport\""))) << unknownMethod.err.toStdString();
}

// /dev/fuse is left as the system has it (0600 root here), so the account
// attaches by extraction, the path users on such machines take; where FUSE
// is open to users the same test covers squashfuse instead.
TEST_F(DiskImageTest, UnprivilegedUserAttachesAndDetaches)
{
    NV_RUN_AS_TEST_USER();
    const QString bundle = makeBundle(path("source"));
    makeImage(path("source"), path("update.dmg"));

    const ToolRun attached = attach(path("update.dmg"));
    ASSERT_EQ(attached.exitCode, 0) << attached.err.toStdString();
    QString method;
    const QString mountPoint = mountPointFromOutput(attached.out, &method);
    ASSERT_FALSE(mountPoint.isEmpty());
    EXPECT_EQ(method, canUseFuse() ? QStringLiteral("fuse") : QStringLiteral("extract"));
    EXPECT_EQ(snapshot(mountPoint), snapshot(path("source")));
    EXPECT_FALSE(QFile(mountPoint + QStringLiteral("/Velkin Test.app/new")).open(QIODevice::WriteOnly));
    EXPECT_FALSE(QFile(mountPoint + QStringLiteral("/Velkin Test.app/Contents/Info.plist")).open(QIODevice::Append));

    const ToolRun detached = tool({QStringLiteral("detach"), QStringLiteral("-force"), mountPoint});
    EXPECT_EQ(detached.exitCode, 0) << detached.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(mountPoint));
    EXPECT_EQ(mountsEntries(), ".lock");
}

} // namespace
