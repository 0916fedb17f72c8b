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
        for (const QString suffix : {"tar.gz", "tar.bz2", "zip"}) {
            SCOPED_TRACE(QString("%1 as %2").arg(row.name, suffix).toStdString());
            const QString archive = work.filePath(QString("dl-%1/hostile.").arg(index++) + suffix);
            TestSupport::writeFile(archive, suffix == "zip" ? zipArchive(row.members)
                                                            : compressed(suffix == "tar.gz" ? "gzip" : "bzip2", tarArchive(row.members)));
            RecordingDelegate delegate;
            const std::unique_ptr<NVSUUnarchiver> unarchiver = NVSUUnarchiver::unarchiverWithPackagePath(archive, &delegate);
            unarchiver->start();
            ASSERT_TRUE(delegate.waitUntilFinished());
            ASSERT_EQ(outsideDownloads(), before);
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

// The tools are the ones that keep members inside; listed by the tools
// themselves, the hand-made archives name the hostile paths, so the test
// above cannot pass by accident.
TEST(NVSUToolUnarchiverHostileTest, HandMadeArchivesCarryTheHostileNames)
{
    QTemporaryDir work;
    const QList<Member> members = {{Member::Symlink, "link", "../outside"}, {Member::File, "../evil", "x"}, {Member::File, "/abs/evil", "y"}};
    TestSupport::writeFile(work.filePath("a.tar.gz"), compressed("gzip", tarArchive(members)));
    TestSupport::writeFile(work.filePath("a.zip"), zipArchive(members));
    const struct {
        QString program;
        QStringList arguments;
        QByteArray link;
    } listers[] = {{"/usr/bin/tar", {"-tvzf", work.filePath("a.tar.gz")}, "link -> ../outside"},
                   {"/usr/bin/unzip", {"-Z", work.filePath("a.zip")}, "lrwxrwxrwx"}};
    for (const auto &lister : listers) {
        const auto listed = TestSupport::run(lister.program, lister.arguments);
        EXPECT_EQ(listed.exitCode, 0) << listed.err.toStdString();
        for (const QByteArray &name : {lister.link, QByteArray(" ../evil\n"), QByteArray(" /abs/evil\n")})
            EXPECT_TRUE(listed.out.contains(name)) << name.toStdString() << " missing in\n" << listed.out.toStdString();
    }
    EXPECT_EQ(TestSupport::run("/usr/bin/unzip", {"-p", work.filePath("a.zip"), "link"}).out, "../outside");
}
