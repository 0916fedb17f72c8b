#include "unarchive/NVSUDMGUnarchiver.h"

#include "UnarchiveTestSupport.h"
#include "support/TestUser.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace UnarchiveTest;

namespace {

// Real images through the bundle's own disk-image tool: a squashfs image made
// by the release tool is attached read-only, shows the packed tree, and is
// gone again after invalidate(), or after the unarchiver was dropped in the
// middle of the attach, once the detaches have been awaited.
void attachRealImages()
{
    NVBundle::setMainBundle(TestSupport::bundlePath());
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    // The tool keeps its mounts below the cache folder it is given.
    const QByteArray cache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(work.filePath("cache")));
    const auto restoreCache = qScopeGuard([&cache] { cache.isNull() ? qunsetenv("XDG_CACHE_HOME") : qputenv("XDG_CACHE_HOME", cache); });
    const QString mounts = work.filePath("cache/norvane.velkin.SoftwareUpdate/tmp/mounts");
    const QString bundle = makeBundle(work.filePath("source"));
    const QString image = work.filePath("downloads/Velkin 5.1.dmg");
    QDir().mkpath(work.filePath("downloads"));
    ASSERT_EQ(package(bundle, "dmg", image), QString());

    RecordingDelegate delegate;
    auto unarchiver = std::make_unique<NVSUDMGUnarchiver>(image, &delegate);
    unarchiver->start();
    ASSERT_TRUE(delegate.waitUntilFinished());
    const std::optional<NVError> error = delegate.outcome();
    ASSERT_EQ(error, std::nullopt) << error->description().toStdString();
    const QString content = unarchiver->unarchivedContentPath().value_or(QString()) + "/Velkin Test [beta].app";
    // Where the tool has to unpack the image (no loop or FUSE mount for this
    // user), the folder standing for the mount is made read-only.
    EXPECT_EQ(tree(content, 07555), tree(bundle, 07555));
    EXPECT_FALSE(QFile(content + "/Contents/Info.plist").open(QIODevice::Append)) << "the image is writable";
    EXPECT_FALSE(QFile(content + "/new").open(QIODevice::WriteOnly)) << "the image is writable";
    unarchiver->invalidate();
    ASSERT_TRUE(awaitDetaches());
    EXPECT_FALSE(QFileInfo::exists(content + "/Contents/Info.plist")) << "still attached";

    // The tool waits for a go before it attaches; the unarchiver is dropped
    // meanwhile.
    const QString wrapper = work.filePath("wrapper");
    TestSupport::writeFile(wrapper, "#!/bin/sh\nuntil [ -e '" + QFile::encodeName(work.filePath("go")) + "' ]; do sleep 0.02; done\nexec '"
                                        + QFile::encodeName(NVSUDMGUnarchiver::diskImageToolPath()) + "' \"$@\"\n");
    QFile::setPermissions(wrapper, QFile::ReadOwner | QFile::ExeOwner);
    NVSUDMGUnarchiver::setDiskImageToolPath(wrapper);
    unarchiver = std::make_unique<NVSUDMGUnarchiver>(image, &delegate);
    unarchiver->start();
    unarchiver.reset();
    NVSUDMGUnarchiver::setDiskImageToolPath(QString());
    TestSupport::writeFile(work.filePath("go"), {});
    ASSERT_TRUE(awaitDetaches());
    EXPECT_EQ(QDir(mounts).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{".lock"});
    EXPECT_EQ(delegate.finishedCount(), 1);
}

} // namespace

TEST(NVSUDMGUnarchiverImageTest, AttachesAndDetachesARealImage)
{
    attachRealImages();
}

// /dev/fuse is left as the system has it (0600 root here), so the account
// attaches by extraction, the path users on such machines take; where FUSE
// is open to users the same test covers squashfuse instead.
TEST(NVSUDMGUnarchiverImageTest, AttachesAndDetachesARealImageAsTheTestUser)
{
    NV_RUN_AS_TEST_USER();
    attachRealImages();
}
