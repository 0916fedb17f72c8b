#include "unarchive/NVSUDMGUnarchiver.h"

#include "UnarchiveTestSupport.h"
#include "support/TestUser.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace UnarchiveTest;

namespace {

// Real images through the bundle's own disk-image tool: a squashfs image made
// by the release tool is attached, shows the packed tree, and is gone again
// after invalidate() or when the unarchiver is dropped.
void attachRealImages()
{
    NVBundle::setMainBundleForTesting(TestSupport::bundlePath());
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QString bundle = makeBundle(work.filePath("source"));
    const QString image = work.filePath("downloads/Velkin 5.1.dmg");
    QDir().mkpath(work.filePath("downloads"));
    ASSERT_EQ(package(bundle, "dmg", image), QString());

    QString mountPoint;
    {
        RecordingDelegate delegate;
        NVSUDMGUnarchiver unarchiver(image, &delegate);
        unarchiver.start();
        ASSERT_TRUE(delegate.waitUntilFinished());
        const std::optional<NVError> error = delegate.outcome();
        ASSERT_EQ(error, std::nullopt) << error->description().toStdString();
        ASSERT_TRUE(unarchiver.unarchivedContentPath().has_value());
        mountPoint = *unarchiver.unarchivedContentPath();
        const QString content = mountPoint + "/Velkin Test [beta].app";
        // Where the tool has to unpack the image (no loop or FUSE mount for
        // this user), the folder standing for the mount is made read-only.
        EXPECT_EQ(listing(snapshot(content, 07555)), listing(snapshot(bundle, 07555)));
        EXPECT_FALSE(QFile(content + "/Contents/Info.plist").open(QIODevice::ReadWrite)) << "the image is writable";

        unarchiver.invalidate();
        EXPECT_FALSE(QFileInfo::exists(content + "/Contents/Info.plist")) << "still attached at " << mountPoint.toStdString();
    }
    {
        // Dropped without invalidate(): detached all the same.
        RecordingDelegate delegate;
        auto unarchiver = std::make_unique<NVSUDMGUnarchiver>(image, &delegate);
        unarchiver->start();
        ASSERT_TRUE(delegate.waitUntilFinished());
        ASSERT_EQ(delegate.outcome(), std::nullopt);
        const QString content = *unarchiver->unarchivedContentPath() + "/Velkin Test [beta].app";
        EXPECT_TRUE(QFileInfo::exists(content + "/Contents/Info.plist"));
        unarchiver.reset();
        EXPECT_FALSE(QFileInfo::exists(content + "/Contents/Info.plist"));
    }
}

} // namespace

TEST(NVSUDMGUnarchiverImageTest, AttachesAndDetachesARealImage)
{
    attachRealImages();
}

TEST(NVSUDMGUnarchiverImageTest, AttachesAndDetachesARealImageAsTheTestUser)
{
    NV_RUN_AS_TEST_USER();
    attachRealImages();
}
