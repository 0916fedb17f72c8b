#include "unarchive/NVSUDMGUnarchiver.h"
#include "unarchive/NVSUToolUnarchiver.h"

#include "UnarchiveTestSupport.h"

#include <gtest/gtest.h>

using UnarchiveTest::RecordingDelegate;

TEST(NVSUUnarchiverTest, FactoryChoosesByCaseSensitiveSuffix)
{
    struct Row {
        const char *path;
        const char *kind; // "dmg", "tool" or nullptr for none
        QStringList tool;  // program and arguments of a tool unarchiver
    };
    const Row rows[] = {
        {"/tmp/x/new.dmg", "dmg", {}},
        {"/tmp/x/new.tgz", "tool", {"/usr/bin/tar", "-xzf", "/tmp/x/new.tgz"}},
        {"/tmp/x/new.tar.gz", "tool", {"/usr/bin/tar", "-xzf", "/tmp/x/new.tar.gz"}},
        {"/tmp/x/new.tar.bz2", "tool", {"/usr/bin/tar", "-xjf", "/tmp/x/new.tar.bz2"}},
        {"/tmp/x/new.tbz", "tool", {"/usr/bin/tar", "-xjf", "/tmp/x/new.tbz"}},
        {"/tmp/x/new.zip", "tool", {"/usr/bin/unzip", "-qq", "-o", "/tmp/x/new.zip", "-d", "/tmp/x"}},
        {"/tmp/x/a.dmg.zip", "tool", {"/usr/bin/unzip", "-qq", "-o", "/tmp/x/a.dmg.zip", "-d", "/tmp/x"}},
        {"/tmp/x/new.DMG", nullptr, {}},
        {"/tmp/x/new.ZIP", nullptr, {}},
        {"/tmp/x/new.tar.xz", nullptr, {}},
        {"/tmp/x/new.tar", nullptr, {}},
        {"/tmp/x/new.zip.part", nullptr, {}},
        {"/tmp/x/dmg", nullptr, {}},
        {"", nullptr, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        RecordingDelegate delegate;
        const std::unique_ptr<NVSUUnarchiver> unarchiver = NVSUUnarchiver::unarchiverWithPackagePath(row.path, &delegate);
        if (!row.kind) {
            EXPECT_EQ(unarchiver, nullptr);
            continue;
        }
        ASSERT_NE(unarchiver, nullptr);
        EXPECT_EQ(unarchiver->packagePath(), row.path);
        EXPECT_EQ(unarchiver->delegate(), &delegate);
        if (QLatin1String(row.kind) == QLatin1String("dmg")) {
            EXPECT_NE(qobject_cast<NVSUDMGUnarchiver *>(unarchiver.get()), nullptr);
            EXPECT_EQ(unarchiver->unarchivedContentPath(), std::nullopt);
            continue;
        }
        const auto *tool = qobject_cast<NVSUToolUnarchiver *>(unarchiver.get());
        ASSERT_NE(tool, nullptr);
        EXPECT_EQ(QStringList{tool->toolPath()} + tool->toolArguments(), row.tool);
        EXPECT_EQ(tool->destinationDirectory(), "/tmp/x");
        // The content folder is known before anything ran.
        EXPECT_EQ(tool->unarchivedContentPath(), std::optional<QString>("/tmp/x"));
    }
    EXPECT_EQ(NVSUUnarchiver::localizationTable(), "NVSoftwareUpdate");
}

// The delegate is held weakly: once it is gone, nothing is sent to it.
TEST(NVSUUnarchiverTest, CallbacksToAVanishedDelegateAreDropped)
{
    auto gone = std::make_unique<RecordingDelegate>();
    NVSUUnarchiver orphan(QStringLiteral("/tmp/x/a"), gone.get());
    gone.reset();
    EXPECT_EQ(orphan.delegate(), nullptr);
    orphan.start(); // would call into freed memory if the pointer were kept

    // A copy of a delegate is another delegate: it does not keep the first
    // one's unarchivers talking to it.
    auto original = std::make_unique<RecordingDelegate>();
    NVSUUnarchiver unarchiver(QStringLiteral("/tmp/x/a"), original.get());
    RecordingDelegate copy(*original);
    original.reset();
    EXPECT_EQ(unarchiver.delegate(), nullptr);

    // The base class, which has nothing to unpack, reports success at once.
    RecordingDelegate alive;
    NVSUUnarchiver base(QStringLiteral("/tmp/x/a"), &alive);
    base.start();
    ASSERT_EQ(alive.events.size(), 1u);
    EXPECT_TRUE(alive.events[0].finished);
    EXPECT_EQ(alive.events[0].error, std::nullopt);
    EXPECT_EQ(base.unarchivedContentPath(), std::nullopt);
}
