#include "unarchive/NVSUDMGUnarchiver.h"
#include "unarchive/NVSUToolUnarchiver.h"

#include "UnarchiveTestSupport.h"

#include <gtest/gtest.h>

using UnarchiveTest::RecordingDelegate;

TEST(NVSUUnarchiverTest, FactoryChoosesByCaseSensitiveSuffix)
{
    struct Row {
        const char *path;
        QStringList tool; // program and arguments; {"dmg"} for a disk image, empty for none
    };
    const Row rows[] = {
        {"/tmp/x/new.dmg", {"dmg"}},
        {"/tmp/x/new.tgz", {"/usr/bin/tar", "-xzf", "/tmp/x/new.tgz"}},
        {"/tmp/x/new.tar.gz", {"/usr/bin/tar", "-xzf", "/tmp/x/new.tar.gz"}},
        {"/tmp/x/new.tar.bz2", {"/usr/bin/tar", "-xjf", "/tmp/x/new.tar.bz2"}},
        {"/tmp/x/new.tbz", {"/usr/bin/tar", "-xjf", "/tmp/x/new.tbz"}},
        {"/tmp/x/a.dmg.zip", {"/usr/bin/unzip", "-qq", "-o", "/tmp/x/a.dmg.zip", "-d", "/tmp/x"}},
        {"/tmp/x/new.DMG", {}},
        {"/tmp/x/new.ZIP", {}},
        {"/tmp/x/new.tar.xz", {}},
        {"/tmp/x/new.zip.part", {}},
        {"", {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        RecordingDelegate delegate;
        const std::unique_ptr<NVSUUnarchiver> unarchiver = NVSUUnarchiver::unarchiverWithPackagePath(row.path, &delegate);
        if (row.tool.isEmpty()) {
            EXPECT_EQ(unarchiver, nullptr);
            continue;
        }
        ASSERT_NE(unarchiver, nullptr);
        if (row.tool == QStringList{"dmg"}) {
            EXPECT_NE(qobject_cast<NVSUDMGUnarchiver *>(unarchiver.get()), nullptr);
            continue;
        }
        const auto *tool = qobject_cast<NVSUToolUnarchiver *>(unarchiver.get());
        ASSERT_NE(tool, nullptr);
        EXPECT_EQ(QStringList{tool->toolPath()} + tool->toolArguments(), row.tool);
        // The content folder is known before anything ran.
        EXPECT_EQ(tool->unarchivedContentPath(), std::optional<QString>("/tmp/x"));
    }
}

// The delegate is held weakly: once it is gone, nothing is sent to it, and a
// copy of a delegate does not keep the first one's unarchivers talking to it.
TEST(NVSUUnarchiverTest, CallbacksToAVanishedDelegateAreDropped)
{
    auto gone = std::make_unique<RecordingDelegate>();
    NVSUUnarchiver orphan(QStringLiteral("/tmp/x/a"), gone.get());
    RecordingDelegate copy(*gone);
    gone.reset();
    EXPECT_EQ(orphan.delegate(), nullptr);
    orphan.start(); // would call into freed memory if the pointer were kept
    EXPECT_TRUE(copy.events.empty());

    // The base class, which has nothing to unpack, reports success at once.
    RecordingDelegate alive;
    NVSUUnarchiver base(QStringLiteral("/tmp/x/a"), &alive);
    base.start();
    ASSERT_EQ(alive.events.size(), 1u);
    EXPECT_TRUE(alive.events[0].finished);
    EXPECT_EQ(alive.events[0].error, std::nullopt);
}
