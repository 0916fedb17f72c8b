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
