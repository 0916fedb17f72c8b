#include "unarchive/NVSUDMGUnarchiver.h"
#include "unarchive/NVSUToolUnarchiver.h"

#include "UnarchiveTestSupport.h"

#include <gtest/gtest.h>

using UnarchiveTest::RecordingDelegate;

// Each supported suffix is round-tripped by the unarchivers' own tests; here
// the choice itself: by the last suffix, case-sensitively.
TEST(NVSUUnarchiverTest, FactoryChoosesByCaseSensitiveSuffix)
{
    RecordingDelegate delegate;
    const auto kind = [&delegate](const char *path) -> std::string {
        const std::unique_ptr<NVSUUnarchiver> unarchiver = NVSUUnarchiver::unarchiverWithPackagePath(path, &delegate);
        if (!unarchiver)
            return "none";
        return qobject_cast<NVSUDMGUnarchiver *>(unarchiver.get()) ? "image" : qobject_cast<NVSUToolUnarchiver *>(unarchiver.get()) ? "tool" : "base";
    };
    const std::pair<const char *, std::string> rows[] = {
        {"/tmp/x/new.dmg", "image"}, {"/tmp/x/a.dmg.zip", "tool"}, {"/tmp/x/new.DMG", "none"}, {"/tmp/x/new.tar.xz", "none"}, {"", "none"},
    };
    for (const auto &[path, expected] : rows)
        EXPECT_EQ(kind(path), expected) << path;
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
}
