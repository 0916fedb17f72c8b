#include "model/NVVersionNumber.h"

#include <gnu/libc-version.h>
#include <gtest/gtest.h>

namespace {

using V = NVVersionNumber;

// Only the running system's version and its text are used by the updater;
// the packed and comparing forms exist for callers outside it.
TEST(NVVersionNumber, ParsingReadsUpToThreeComponentsAndPrintsTheMinorButNoZeroBugfix)
{
    // nullptr: not a version number.
    const std::pair<QString, const char *> cases[] = {
        {"14.2.1", "14.2.1"}, {"14.2.0", "14.2"}, {"14", "14.0"}, {"10.x", "10.0"}, {".5", "0.5"}, {"", "0.0"},
        {" 7.+8.\t-1", "7.8.18446744073709551615"},            // blanks and signs; -1 wraps to the top
        {"99999999999999999999", "9223372036854775807.0"},      // beyond 64 bits: the signed limit
        {"1.2.3.4", nullptr}, {"1.2.3.", nullptr}, {QString(), nullptr},
    };
    for (const auto &[text, expected] : cases) {
        const std::optional<V> parsed = V::versionNumberWithVersionString(text);
        EXPECT_EQ(parsed ? std::optional(parsed->versionString()) : std::nullopt,
                  expected ? std::optional(QString::fromLatin1(expected)) : std::nullopt) << text.toStdString();
    }
}

TEST(NVVersionNumber, CurrentSystemVersionIsTheRunningCLibrary)
{
    // glibc versions are "2.36" or "2.36.1", so they print back unchanged.
    EXPECT_EQ(NVVersionNumber::currentSystemVersion().versionString(), QString::fromLatin1(gnu_get_libc_version()));
}

} // namespace
