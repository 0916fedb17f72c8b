#include "unarchive/NVSUToolUnarchiver.h"

#include "UnarchiveTestSupport.h"
#include "support/TestUser.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace UnarchiveTest;

namespace {

// Archives that try to write beside the download folder: through "..",
// absolute names, and links that point out of it followed by members written
// through them. None may change anything outside the download folder,
// whoever unpacks them.
void hostileArchivesStayInside()
{
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QByteArray outside = QFile::encodeName(work.filePath("outside"));
    TestSupport::writeFile(work.filePath("outside/target"), "original\n");
    TestSupport::writeFile(work.filePath("neighbour.txt"), "original\n");
    const QByteArray pwned = "pwned\n";

    using M = Member;
    struct Row {
        const char *name;
        QList<Member> members;
    };
    const Row rows[] = {
        {"parent member", {{M::File, "../evil", pwned}, {M::File, "../neighbour.txt", pwned}}},
        {"parent member below a folder", {{M::Directory, "Velkin.app", {}}, {M::File, "Velkin.app/../../outside/target", pwned}}},
        {"absolute member", {{M::File, outside + "/target", pwned}, {M::File, outside + "/evil", pwned}}},
        {"absolute link to a folder, then a member through it", {{M::Symlink, "link", outside}, {M::File, "link/target", pwned}}},
        {"relative link to a folder, then a member through it", {{M::Symlink, "link", "../outside"}, {M::File, "link/target", pwned}}},
        {"absolute link to a file, then the file", {{M::Symlink, "t", outside + "/target"}, {M::File, "t", pwned}}},
        {"relative link to a file, then the file", {{M::Symlink, "t", "../outside/target"}, {M::File, "t", pwned}}},
        {"chained links", {{M::Symlink, "a", "."}, {M::Symlink, "a/b", ".."}, {M::File, "a/b/outside/target", pwned}}},
        {"link inside a folder", {{M::Directory, "d", {}}, {M::Symlink, "d/l", "../.."}, {M::File, "d/l/outside/target", pwned}}},
        {"hard links out", {{M::Hardlink, "h", outside + "/target"}, {M::File, "h", pwned},
                            {M::Hardlink, "h2", "../outside/target"}, {M::File, "h2", pwned}}},
        {"hard link to a link out", {{M::Symlink, "s", outside + "/target"}, {M::Hardlink, "h", "s"}, {M::File, "h", pwned}}},
    };
    // Everything outside the download folders is as it was.
    const auto outsideDownloads = [&work] {
        std::string out;
        for (const auto &[path, entry] : TestSupport::treeSnapshot(work.path()).asKeyValueRange())
            out += path.startsWith("dl-") ? std::string() : (path + ": " + entry + "\n").toStdString();
        return out;
    };
    const std::string before = outsideDownloads();
    int index = 0;
    for (const Row &row : rows) {
        // One of each family: the tar formats differ only in their compression.
        for (const QString suffix : {"tar.gz", "zip"}) {
            SCOPED_TRACE(QString("%1 as %2").arg(row.name, suffix).toStdString());
            const QString archive = work.filePath(QString("dl-%1/hostile.").arg(index++) + suffix);
            // A harmless member first: the tool did read the hand-made archive,
            // so the check below cannot pass because nothing was unpacked.
            const QList<Member> members = QList<Member>{{M::File, "inside", "kept\n"}} + row.members;
            TestSupport::writeFile(archive, suffix == "zip" ? zipArchive(members) : compressed("gzip", tarArchive(members)));
            RecordingDelegate delegate;
            const std::unique_ptr<NVSUUnarchiver> unarchiver = NVSUUnarchiver::unarchiverWithPackagePath(archive, &delegate);
            unarchiver->start();
            ASSERT_TRUE(delegate.waitUntilFinished());
            ASSERT_EQ(outsideDownloads(), before);
            EXPECT_EQ(TestSupport::readFile(QFileInfo(archive).path() + "/inside"), "kept\n");
        }
    }
}

} // namespace

TEST(NVSUToolUnarchiverHostileTest, NothingIsWrittenOutsideTheDownloadFolder)
{
    hostileArchivesStayInside();
}

TEST(NVSUToolUnarchiverHostileTest, NothingIsWrittenOutsideTheDownloadFolderAsTheTestUser)
{
    NV_RUN_AS_TEST_USER();
    hostileArchivesStayInside();
}
