#include "foundation/NVPropertyList.h"
#include "support/TestUser.h"
#include "unarchive/NVDiskImage.h"

#include "UnarchiveTestSupport.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtEndian>

#include <cerrno>

#include <unistd.h>

using NVDiskImage::Method;
using namespace UnarchiveTest;

namespace {

const QString Tool = TestSupport::bundlePath() + "/Contents/MacOS/nvsu-diskimage";
const QString Release = TestSupport::bundlePath() + "/Contents/MacOS/nvsu-release";

struct ToolRun {
    int exitCode = -1;
    QString out;
    QString err;
    qint64 milliseconds = 0;
};

// Runs a program with the test's cache folder, "yes\n" on its standard input
// as the updater sends it, and a time limit well above anything it may take.
ToolRun runProgram(const QString &program, const QStringList &arguments, const QProcessEnvironment &extra = {})
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
        result.err = "did not finish in 90 s";
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
    return methods << Method::Extraction;
}

// A folder's entries without the write bits, which an extracted image drops.
std::string tree(const QString &root) { return listing(snapshot(root, 07555)); }

QByteArray makeImage(const QString &source, const QString &image)
{
    QProcess process;
    process.start("/usr/bin/mksquashfs", {source, image, "-noappend", "-all-root", "-no-progress", "-quiet"});
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
    const QVariantList entities = list->toMap().value("system-entities").toList();
    if (entities.size() != 1)
        return QString();
    const QVariantMap entity = entities.constFirst().toMap();
    if (entity.value("content-hint").toString() != "squashfs")
        return QString();
    if (method)
        *method = entity.value("attach-method").toString();
    return entity.value("mount-point").toString();
}

bool mountedBelow(const QString &root)
{
    const QString canonical = QFileInfo(root).canonicalFilePath();
    QFile table("/proc/self/mountinfo");
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
        m_environment.insert("XDG_CACHE_HOME", m_root + "/cache");
    }

    // Whatever a failing test left mounted is detached before the folder goes.
    void TearDown() override
    {
        if (mountedBelow(m_root)) {
            for (const QString &name : QDir(mounts()).entryList({"image-??????"}, QDir::Dirs))
                tool({"detach", mounts() + u'/' + name});
        }
        EXPECT_FALSE(mountedBelow(m_root));
    }

    ToolRun tool(const QStringList &arguments, std::optional<Method> method = std::nullopt)
    {
        QProcessEnvironment environment = m_environment;
        if (method)
            environment.insert("NV_DISKIMAGE_METHODS", NVDiskImage::methodName(*method));
        return runProgram(Tool, arguments, environment);
    }
    ToolRun attach(const QString &image, std::optional<Method> method = std::nullopt)
    {
        return tool({"attach", "-plist", "-noverify", "-nobrowse", "-noautoopen", image}, method);
    }
    ToolRun detach(const QString &mountPoint) { return tool({"detach", "-force", mountPoint}); }

    QString mounts() const { return m_root + "/cache/norvane.velkin.SoftwareUpdate/tmp/mounts"; }
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

// A signed image from the release tool (the signature trails the file
// system) attaches read-only with every method and detaches without trace.
TEST_F(DiskImageTest, EveryMethodAttachesASignedImageReadOnlyAndDetachesWithoutTrace)
{
    const QString bundle = makeBundle(path("source"));
    const QString image = path("Velkin 5.1.dmg");
    const QString keys = path("keys/code-signing-");
    ASSERT_EQ(package(bundle, "dmg", image), QString());
    const ToolRun made = runProgram(Release, {"keys", "--output", path("keys")});
    ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
    const qint64 unsignedSize = QFileInfo(image).size();
    const ToolRun signedRun = runProgram(Release, {"sign", image, "--certificate", keys + "certificate.pem", "--key", keys + "key.pem",
                                                   "--chain", keys + "intermediate.pem"});
    ASSERT_EQ(signedRun.exitCode, 0) << signedRun.err.toStdString();
    ASSERT_GT(QFileInfo(image).size(), unsignedSize);
    const ToolRun verified = runProgram(Release, {"verify", image, "--anchors", path("keys/CodeSigningAnchors.pem")});
    ASSERT_EQ(verified.exitCode, 0) << verified.out.toStdString() << verified.err.toStdString();
    const std::string expected = tree(path("source"));

    for (Method method : availableMethods()) {
        SCOPED_TRACE(NVDiskImage::methodName(method).toStdString());
        const ToolRun attached = attach(image, method);
        ASSERT_EQ(attached.exitCode, 0) << attached.err.toStdString();
        EXPECT_TRUE(attached.err.isEmpty()) << attached.err.toStdString();
        QString reportedMethod;
        const QString mountPoint = mountPointFromOutput(attached.out, &reportedMethod);
        ASSERT_FALSE(mountPoint.isEmpty()) << attached.out.toStdString();
        EXPECT_EQ(reportedMethod, NVDiskImage::methodName(method));
        EXPECT_EQ(QFileInfo(mountPoint).path(), mounts());
        EXPECT_TRUE(QFileInfo::exists(mountPoint + ".owner"));
        struct stat folderStatus {};
        ASSERT_EQ(::stat(QFile::encodeName(mounts()).constData(), &folderStatus), 0);
        EXPECT_EQ(folderStatus.st_mode & 07777, 0700u);

        EXPECT_EQ(tree(mountPoint), expected);
        const std::optional<QString> type = NVDiskImage::mountedFileSystemType(mountPoint);
        switch (method) {
        case Method::LoopMount: EXPECT_EQ(type, "squashfs"); break;
        case Method::Fuse: EXPECT_TRUE(type && type->startsWith("fuse")); break;
        case Method::Extraction: EXPECT_FALSE(type); break;
        }
        // Read-only: root may write through permissions, never through a
        // read-only mount, so the extracted form is checked by its modes.
        const QString app = mountPoint + "/Velkin Test [beta].app";
        if (method != Method::Extraction || ::geteuid() != 0)
            EXPECT_FALSE(QFile(app + "/new").open(QIODevice::WriteOnly));
        if (method == Method::Extraction)
            EXPECT_FALSE(QFileInfo(app + "/Contents/MacOS/velkin").permissions() & (QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther));

        const ToolRun detached = detach(mountPoint);
        EXPECT_EQ(detached.exitCode, 0) << detached.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(mountPoint));
        EXPECT_FALSE(NVDiskImage::mountedFileSystemType(mountPoint));
        EXPECT_EQ(mountsEntries(), ".lock");

        const ToolRun again = detach(mountPoint);
        EXPECT_EQ(again.exitCode, ENOENT);
        EXPECT_TRUE(again.err.contains("no such mount point")) << again.err.toStdString();
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

    const struct {
        const char *file;
        int code;
        const char *text;
    } rows[] = {
        {"missing.dmg", ENOENT, "does not exist"},
        {"empty.dmg", EMEDIUMTYPE, "is empty"},
        {"text.dmg", EMEDIUMTYPE, "is not a squashfs image"},
        {"truncated.dmg", ENODATA, "is truncated"},
        {"superblock.dmg", EIO, "damaged squashfs image"},
        {"tables.dmg", EIO, "cannot be mounted"},
        {"folder.dmg", EISDIR, "is a folder"},
        {"fifo.dmg", EMEDIUMTYPE, "not a regular file"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.file);
        const ToolRun attached = attach(path(row.file));
        EXPECT_EQ(attached.exitCode, row.code) << attached.err.toStdString();
        EXPECT_TRUE(attached.out.isEmpty());
        // One line naming the tool, the image and the reason.
        EXPECT_TRUE(attached.err.startsWith("nvsu-diskimage: ") && attached.err.contains(row.text) && attached.err.contains(path(row.file))
                    && attached.err.count(u'\n') == 1)
            << attached.err.toStdString();
        EXPECT_LT(attached.milliseconds, 30000);
        const std::string left = mountsEntries();
        EXPECT_TRUE(left.empty() || left == ".lock") << left;
        EXPECT_FALSE(mountedBelow(m_root));
    }

    // Each method refuses the damaged tables on its own, not only the first.
    for (Method method : availableMethods()) {
        SCOPED_TRACE(NVDiskImage::methodName(method).toStdString());
        EXPECT_EQ(attach(path("tables.dmg"), method).exitCode, EIO);
        EXPECT_EQ(mountsEntries(), ".lock");
        EXPECT_FALSE(mountedBelow(m_root));
    }
}

TEST_F(DiskImageTest, DetachWhileAFileIsOpenUnmountsLazily)
{
    TestSupport::writeFile(path("tree/held.txt"), "still readable\n");
    makeImage(path("tree"), path("busy.dmg"));
    const QList<Method> mountingMethods = availableMethods().mid(0, availableMethods().size() - 1); // not extraction
    if (mountingMethods.isEmpty())
        GTEST_SKIP() << "this account can only extract images";
    for (Method method : mountingMethods) {
        SCOPED_TRACE(NVDiskImage::methodName(method).toStdString());
        const ToolRun attached = attach(path("busy.dmg"), method);
        ASSERT_EQ(attached.exitCode, 0) << attached.err.toStdString();
        const QString mountPoint = mountPointFromOutput(attached.out);
        QFile held(mountPoint + "/held.txt");
        ASSERT_TRUE(held.open(QIODevice::ReadOnly));

        const ToolRun detached = detach(mountPoint);
        EXPECT_EQ(detached.exitCode, 0) << detached.err.toStdString();
        EXPECT_LT(detached.milliseconds, 20000);
        EXPECT_FALSE(NVDiskImage::mountedFileSystemType(mountPoint));
        EXPECT_FALSE(QFileInfo::exists(mountPoint));
        // The lazily detached file system lives on for the open file.
        EXPECT_EQ(held.readAll(), QByteArray("still readable\n"));
    }
}

TEST_F(DiskImageTest, MountsOfDeadOwnersAreRemovedAndLiveOnesKept)
{
    TestSupport::writeFile(path("tree/file"), "contents\n");
    makeImage(path("tree"), path("image.dmg"));

    // The tool records its parent as the owner: a shell that ends at once
    // leaves a mount without an owner, as a killed updater would.
    const auto attachFromShortLivedShell = [&] {
        const ToolRun run = runProgram("/bin/sh", {"-c", "\"$0\" attach -plist \"$1\"; exit $?", Tool, path("image.dmg")}, m_environment);
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        return mountPointFromOutput(run.out);
    };
    const ToolRun liveRun = attach(path("image.dmg"));
    const QString live = mountPointFromOutput(liveRun.out);
    ASSERT_FALSE(live.isEmpty()) << liveRun.err.toStdString();
    const QString orphan = attachFromShortLivedShell();
    ASSERT_TRUE(QFileInfo::exists(orphan + "/file"));
    // A folder without a record and a record without a folder: leftovers of
    // runs killed half-way.
    TestSupport::writeFile(mounts() + "/image-Strays/file", "x");
    TestSupport::writeFile(mounts() + "/image-NoDir1.owner", "not a property list");

    const ToolRun cleaned = tool({"cleanup"});
    EXPECT_EQ(cleaned.exitCode, 0) << cleaned.err.toStdString();
    EXPECT_TRUE(cleaned.out.contains(orphan)) << cleaned.out.toStdString();
    EXPECT_FALSE(NVDiskImage::mountedFileSystemType(orphan));
    for (const QString &gone : {orphan, orphan + ".owner", mounts() + "/image-Strays", mounts() + "/image-NoDir1.owner"})
        EXPECT_FALSE(QFileInfo::exists(gone)) << gone.toStdString();
    EXPECT_EQ(TestSupport::readFile(live + "/file"), QByteArray("contents\n"));

    // The next attach removes a new orphan by itself.
    const QString secondOrphan = attachFromShortLivedShell();
    ASSERT_FALSE(secondOrphan.isEmpty());
    const ToolRun third = attach(path("image.dmg"));
    ASSERT_EQ(third.exitCode, 0) << third.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(secondOrphan));
    EXPECT_FALSE(NVDiskImage::mountedFileSystemType(secondOrphan));
    EXPECT_TRUE(QFileInfo::exists(live + "/file"));

    for (const QString &mountPoint : {live, mountPointFromOutput(third.out)})
        EXPECT_EQ(detach(mountPoint).exitCode, 0);
}

// The same pid with another start time is a reused pid: a new process.
TEST(DiskImageProcessTest, LivenessFollowsThePidAndItsStartTime)
{
    const quint64 ownStart = NVDiskImage::processStartTime(::getpid());
    ASSERT_GT(ownStart, 0u);
    EXPECT_TRUE(NVDiskImage::isProcessAlive(::getpid(), ownStart));
    EXPECT_TRUE(NVDiskImage::isProcessAlive(::getpid(), 0));
    EXPECT_FALSE(NVDiskImage::isProcessAlive(::getpid(), ownStart + 1));
    EXPECT_FALSE(NVDiskImage::isProcessAlive(0, 0));
}

TEST_F(DiskImageTest, DetachRefusesEverythingOutsideTheMountsFolder)
{
    ASSERT_EQ(tool({"cleanup"}).exitCode, 0); // makes the mounts folder exist
    TestSupport::writeFile(path("outside/image-abcdef/keep"), "keep");
    TestSupport::writeFile(path("outside/target/keep"), "keep");
    QFile::link(path("outside/target"), mounts() + "/image-linked");

    const QString refusals[] = {
        path("outside/image-abcdef"), path("outside"), mounts(), mounts() + "/.lock", mounts() + "/image-abc",
        mounts() + "/image-abcdef/../../mounts2/image-abcdef", "image-abcdef", "/", QString(),
    };
    for (const QString &target : refusals) {
        SCOPED_TRACE(target.toStdString());
        const ToolRun refused = detach(target);
        EXPECT_EQ(refused.exitCode, EPERM) << refused.err.toStdString();
        EXPECT_TRUE(refused.err.contains("refusing to detach")) << refused.err.toStdString();
    }
    EXPECT_TRUE(QFileInfo::exists(path("outside/image-abcdef/keep")));
    EXPECT_TRUE(QFileInfo::exists(mounts() + "/.lock"));

    // A link in the mounts folder is removed as a link; what it points to stays.
    const ToolRun link = tool({"detach", mounts() + "/image-linked"});
    EXPECT_EQ(link.exitCode, 0) << link.err.toStdString();
    EXPECT_FALSE(QFileInfo(mounts() + "/image-linked").isSymLink());
    EXPECT_TRUE(QFileInfo::exists(path("outside/target/keep")));
}

TEST_F(DiskImageTest, CommandLineMistakesAreUsageErrors)
{
    const QStringList cases[] = {
        {}, {"mount"}, {"attach"}, {"attach", "-plist", "-readwrite", path("x.dmg")}, {"attach", path("a.dmg"), path("b.dmg")},
        {"detach", "-force"}, {"cleanup", "now"},
    };
    for (const QStringList &arguments : cases) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        const ToolRun run = tool(arguments);
        EXPECT_EQ(run.exitCode, EINVAL);
        EXPECT_TRUE(run.err.contains("attach [-plist]")) << run.err.toStdString();
    }
    m_environment.insert("NV_DISKIMAGE_METHODS", "loop,teleport");
    const ToolRun unknownMethod = tool({"cleanup"});
    EXPECT_EQ(unknownMethod.exitCode, EINVAL);
    EXPECT_TRUE(unknownMethod.err.contains("\"teleport\"")) << unknownMethod.err.toStdString();
}

// /dev/fuse is left as the system has it (0600 root here), so the account
// attaches by extraction, the path users on such machines take; where FUSE
// is open to users the same test covers squashfuse instead.
TEST_F(DiskImageTest, UnprivilegedUserAttachesAndDetaches)
{
    NV_RUN_AS_TEST_USER();
    makeBundle(path("source"));
    makeImage(path("source"), path("update.dmg"));

    const ToolRun attached = attach(path("update.dmg"));
    ASSERT_EQ(attached.exitCode, 0) << attached.err.toStdString();
    QString method;
    const QString mountPoint = mountPointFromOutput(attached.out, &method);
    ASSERT_FALSE(mountPoint.isEmpty());
    EXPECT_EQ(method, canUseFuse() ? "fuse" : "extract");
    EXPECT_EQ(tree(mountPoint), tree(path("source")));
    EXPECT_FALSE(QFile(mountPoint + "/Velkin Test [beta].app/new").open(QIODevice::WriteOnly));
    EXPECT_FALSE(QFile(mountPoint + "/Velkin Test [beta].app/Contents/Info.plist").open(QIODevice::Append));

    EXPECT_EQ(detach(mountPoint).exitCode, 0);
    EXPECT_FALSE(QFileInfo::exists(mountPoint));
    EXPECT_EQ(mountsEntries(), ".lock");
}

} // namespace
