#include "foundation/NVPropertyList.h"
#include "unarchive/NVDiskImage.h"

#include "UnarchiveTestSupport.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QtEndian>

#include <cerrno>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using NVDiskImage::Method;
using namespace UnarchiveTest;

namespace {

const QString Tool = TestSupport::bundlePath() + "/Contents/MacOS/nvsu-diskimage";
const QString Release = TestSupport::bundlePath() + "/Contents/MacOS/nvsu-release";

// The ways this account can attach here, each tested on its own.
QList<Method> availableMethods()
{
    QList<Method> methods;
    if (::geteuid() == 0)
        methods << Method::LoopMount;
    if (::access("/dev/fuse", R_OK | W_OK) == 0)
        methods << Method::Fuse;
    return methods << Method::Extraction;
}

void makeImage(const QString &source, const QString &image)
{
    const auto made = TestSupport::run("/usr/bin/mksquashfs", {source, image, "-noappend", "-all-root", "-no-progress", "-quiet"});
    EXPECT_EQ(made.exitCode, 0) << made.err.toStdString();
}

// The mount point named in the tool's property list, or an empty string.
QString mountPointFromOutput(const QByteArray &output, QString *method = nullptr)
{
    const NVResult<QVariant> list = NVPropertyList::readXML(output);
    const QVariantList entities = list ? list->toMap().value("system-entities").toList() : QVariantList();
    if (entities.size() != 1 || entities.constFirst().toMap().value("content-hint") != "squashfs")
        return QString();
    if (method)
        *method = entities.constFirst().toMap().value("attach-method").toString();
    return entities.constFirst().toMap().value("mount-point").toString();
}

// Whether /proc/self/mountinfo lists a mount point below root.
bool mountedBelow(const QString &root)
{
    return TestSupport::readFile("/proc/self/mountinfo").contains(' ' + QFile::encodeName(root) + '/');
}

class DiskImageTest : public ::testing::Test {
protected:
    void SetUp() override { m_environment.insert("XDG_CACHE_HOME", m_root + "/cache"); }

    // Whatever a failing test left mounted is detached before the folder goes.
    void TearDown() override
    {
        for (const QString &name : QDir(mounts()).entryList({"image-??????"}, QDir::Dirs))
            tool({"detach", mounts() + u'/' + name});
        EXPECT_FALSE(mountedBelow(m_root));
    }

    TestSupport::ProcessResult tool(const QStringList &arguments, std::optional<Method> method = std::nullopt)
    {
        QProcessEnvironment environment = m_environment;
        if (method)
            environment.insert("NV_DISKIMAGE_METHODS", NVDiskImage::methodName(*method));
        return TestSupport::run(Tool, arguments, environment);
    }
    TestSupport::ProcessResult attach(const QString &image, std::optional<Method> method = std::nullopt)
    {
        return tool({"attach", "-plist", "-noverify", "-nobrowse", "-noautoopen", image}, method);
    }
    TestSupport::ProcessResult detach(const QString &mountPoint) { return tool({"detach", "-force", mountPoint}); }

    QString mounts() const { return m_root + "/cache/norvane.velkin.SoftwareUpdate/tmp/mounts"; }
    // The mounts folder's entries, blank-separated.
    std::string mountsEntries() const
    {
        return QDir(mounts()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).join(u' ').toStdString();
    }
    QString path(const QString &name) const { return m_root + u'/' + name; }

    QTemporaryDir m_directory;
    // The kernel lists mount points by their real paths.
    const QString m_root = QFileInfo(m_directory.path()).canonicalFilePath();
    QProcessEnvironment m_environment;
};

// A signed image from the release tool (the signature trails the file
// system) attaches read-only with every method and detaches without trace,
// also while a file in it is open.
TEST_F(DiskImageTest, EveryMethodAttachesASignedImageReadOnlyAndDetachesWithoutTrace)
{
    const QString bundle = makeBundle(path("source"));
    const QString image = path("Velkin 5.1.dmg");
    const QString keys = path("keys/code-signing-");
    ASSERT_EQ(package(bundle, "dmg", image), QString());
    const qint64 unsignedSize = QFileInfo(image).size();
    for (const QStringList &step : {QStringList{"keys", "--output", path("keys")},
                                    {"sign", image, "--certificate", keys + "certificate.pem", "--key", keys + "key.pem", "--chain",
                                     keys + "intermediate.pem"},
                                    {"verify", image, "--anchors", path("keys/CodeSigningAnchors.pem")}}) {
        const auto run = TestSupport::run(Release, step);
        ASSERT_EQ(run.exitCode, 0) << step.first().toStdString() << ": " << run.err.toStdString();
    }
    ASSERT_GT(QFileInfo(image).size(), unsignedSize);

    for (Method method : availableMethods()) {
        SCOPED_TRACE(NVDiskImage::methodName(method).toStdString());
        const auto attached = attach(image, method);
        ASSERT_EQ(attached.exitCode, 0) << attached.err.toStdString();
        EXPECT_TRUE(attached.err.isEmpty()) << attached.err.toStdString();
        QString reportedMethod;
        const QString mountPoint = mountPointFromOutput(attached.out, &reportedMethod);
        ASSERT_FALSE(mountPoint.isEmpty()) << attached.out.toStdString();
        EXPECT_EQ(reportedMethod, NVDiskImage::methodName(method));
        EXPECT_EQ(QFileInfo(mountPoint).path(), mounts());
        EXPECT_TRUE(QFileInfo::exists(mountPoint + ".owner"));
        struct stat folder {};
        EXPECT_TRUE(::stat(QFile::encodeName(mounts()).constData(), &folder) == 0 && (folder.st_mode & 07777) == 0700);

        // Without the write bits, which an extracted image drops.
        EXPECT_EQ(tree(mountPoint, 07555), tree(path("source"), 07555));
        // Read-only: root may write through permissions, never through a
        // read-only mount, so the extracted form is checked by its modes.
        const QString app = mountPoint + "/Velkin Test [beta].app";
        if (method != Method::Extraction || ::geteuid() != 0) {
            EXPECT_FALSE(QFile(app + "/new").open(QIODevice::WriteOnly));
        }
        if (method == Method::Extraction) {
            EXPECT_FALSE(QFileInfo(app + "/Contents/MacOS/velkin").permissions() & (QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther));
        }

        // A file held open: a mount is detached lazily, and its file system
        // lives on for the open file.
        QFile held(app + "/Contents/Info.plist");
        ASSERT_TRUE(held.open(QIODevice::ReadOnly));
        const auto detached = detach(mountPoint);
        EXPECT_EQ(detached.exitCode, 0) << detached.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(mountPoint));
        EXPECT_FALSE(NVDiskImage::mountedFileSystemType(mountPoint));
        EXPECT_EQ(mountsEntries(), ".lock");
        EXPECT_EQ(held.readAll(), TestSupport::readFile(bundle + "/Contents/Info.plist"));

        const auto again = detach(mountPoint);
        EXPECT_EQ(again.exitCode, ENOENT);
        EXPECT_TRUE(again.err.contains("no such mount point")) << again.err.toStdString();
    }
}

// An image extracted as root stands for a nodev, nosuid mount: device
// nodes and FIFOs are not there, and no file keeps a set-id bit.
TEST_F(DiskImageTest, ExtractedAsRootAnImageKeepsNoDeviceNodesFIFOsOrSetIdBits)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root makes device nodes, and only root's extraction would keep them";
    TestSupport::writeFile(path("odd/tool"), "#!/bin/sh\n");
    ASSERT_EQ(::chmod(QFile::encodeName(path("odd/tool")).constData(), 04755), 0);
    ASSERT_EQ(::mknod(QFile::encodeName(path("odd/null")).constData(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("odd/fifo")).constData(), 0600), 0);
    makeImage(path("odd"), path("odd.dmg"));
    const auto attached = attach(path("odd.dmg"), Method::Extraction);
    ASSERT_EQ(attached.exitCode, 0) << attached.err.toStdString();
    const QString mountPoint = mountPointFromOutput(attached.out);
    EXPECT_EQ(QDir(mountPoint).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), QStringList{"tool"});
    struct stat tool {};
    ASSERT_EQ(::lstat(QFile::encodeName(mountPoint + "/tool").constData(), &tool), 0);
    EXPECT_EQ(tool.st_mode & 07777, 0555u);
    EXPECT_EQ(detach(mountPoint).exitCode, 0);
}

TEST_F(DiskImageTest, BadImagesFailWithAMessageAndLeaveNothing)
{
    QByteArray noise(20000, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 2654435761u) >> 13);
    TestSupport::writeFile(path("tree/file"), noise);
    TestSupport::writeFile(path("tree/sub/other"), "other\n");
    makeImage(path("tree"), path("good.dmg"));
    const QByteArray image = TestSupport::readFile(path("good.dmg"));
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
        {"missing.dmg", ENOENT, "does not exist"},       {"empty.dmg", EMEDIUMTYPE, "is empty"},
        {"text.dmg", EMEDIUMTYPE, "is not a squashfs image"}, {"truncated.dmg", ENODATA, "is truncated"},
        {"superblock.dmg", EIO, "damaged squashfs image"}, {"tables.dmg", EIO, "cannot be mounted"},
        {"folder.dmg", EISDIR, "is a folder"},           {"fifo.dmg", EMEDIUMTYPE, "not a regular file"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.file);
        const auto attached = attach(path(row.file));
        EXPECT_EQ(attached.exitCode, row.code) << attached.err.toStdString();
        EXPECT_TRUE(attached.out.isEmpty());
        // One line naming the tool, the image and the reason.
        const QString err = QString::fromUtf8(attached.err);
        EXPECT_TRUE(err.startsWith("nvsu-diskimage: ") && err.contains(row.text) && err.contains(path(row.file)) && err.count(u'\n') == 1)
            << attached.err.toStdString();
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

TEST_F(DiskImageTest, MountsOfDeadOwnersAreRemovedAndLiveOnesKept)
{
    TestSupport::writeFile(path("tree/file"), "contents\n");
    makeImage(path("tree"), path("image.dmg"));

    // The tool records its parent as the owner: a shell that ends at once
    // leaves a mount without an owner, as a killed updater would.
    const auto attachFromShortLivedShell = [&] {
        return mountPointFromOutput(TestSupport::run("/bin/sh", {"-c", "\"$0\" attach -plist \"$1\"; exit $?", Tool, path("image.dmg")}, m_environment).out);
    };
    const QString live = mountPointFromOutput(attach(path("image.dmg")).out);
    ASSERT_FALSE(live.isEmpty());
    const QString orphan = attachFromShortLivedShell();
    ASSERT_TRUE(QFileInfo::exists(orphan + "/file"));
    // A folder without a record and a record without a folder: leftovers of
    // runs killed half-way.
    TestSupport::writeFile(mounts() + "/image-Strays/file", "x");
    TestSupport::writeFile(mounts() + "/image-NoDir1.owner", "not a property list");

    const auto cleaned = tool({"cleanup"});
    EXPECT_EQ(cleaned.exitCode, 0) << cleaned.err.toStdString();
    EXPECT_TRUE(cleaned.out.contains(orphan.toUtf8())) << cleaned.out.toStdString();
    EXPECT_FALSE(NVDiskImage::mountedFileSystemType(orphan));
    for (const QString &gone : {orphan, orphan + ".owner", mounts() + "/image-Strays", mounts() + "/image-NoDir1.owner"})
        EXPECT_FALSE(QFileInfo::exists(gone)) << gone.toStdString();
    EXPECT_EQ(TestSupport::readFile(live + "/file"), QByteArray("contents\n"));
}

// Refusals: paths outside the mounts folder, and command-line mistakes.
TEST_F(DiskImageTest, RefusesWhatItMustNotTouchAndMistakenCommandLines)
{
    ASSERT_EQ(tool({"cleanup"}).exitCode, 0); // makes the mounts folder exist
    TestSupport::writeFile(path("outside/image-abcdef/keep"), "keep");
    TestSupport::writeFile(path("outside/target/keep"), "keep");
    QFile::link(path("outside/target"), mounts() + "/image-linked");
    for (const QString &target : {path("outside/image-abcdef"), path("outside"), mounts(), mounts() + "/.lock", mounts() + "/image-abc",
                                  mounts() + "/image-abcdef/../../mounts2/image-abcdef", QString("image-abcdef"), QString("/"), QString()}) {
        SCOPED_TRACE(target.toStdString());
        const auto refused = detach(target);
        EXPECT_EQ(refused.exitCode, EPERM);
        EXPECT_TRUE(refused.err.contains("refusing to detach")) << refused.err.toStdString();
    }
    EXPECT_TRUE(QFileInfo::exists(path("outside/image-abcdef/keep")));
    EXPECT_TRUE(QFileInfo::exists(mounts() + "/.lock"));
    // A link in the mounts folder is removed as a link; what it points to stays.
    EXPECT_EQ(detach(mounts() + "/image-linked").exitCode, 0);
    EXPECT_FALSE(QFileInfo(mounts() + "/image-linked").isSymLink());
    EXPECT_TRUE(QFileInfo::exists(path("outside/target/keep")));

    for (const QStringList &arguments : {QStringList{}, {"attach", "-plist", "-readwrite", path("x.dmg")}, {"detach", "-force"}}) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        const auto run = tool(arguments);
        EXPECT_EQ(run.exitCode, EINVAL);
        EXPECT_TRUE(run.err.contains("attach [-plist]")) << run.err.toStdString();
    }
    m_environment.insert("NV_DISKIMAGE_METHODS", "loop,teleport");
    const auto unknownMethod = tool({"cleanup"});
    EXPECT_EQ(unknownMethod.exitCode, EINVAL);
    EXPECT_TRUE(unknownMethod.err.contains("\"teleport\"")) << unknownMethod.err.toStdString();
}

} // namespace
