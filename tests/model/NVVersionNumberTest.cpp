#include "model/NVVersionNumber.h"

#include <QSet>

#include <gnu/libc-version.h>
#include <gtest/gtest.h>

#include <limits>

namespace {

constexpr quint64 Max = std::numeric_limits<quint64>::max();

using V = NVVersionNumber;

TEST(NVVersionNumber, ParsingReadsUpToThreeComponentsAndPrintsTheMinorButNoZeroBugfix)
{
    // nullptr: not a version number.
    const std::pair<QString, const char *> cases[] = {
        {"14.2.1", "14.2.1"}, {"14.2.0", "14.2"}, {"14", "14.0"}, {"10.x", "10.0"}, {".5", "0.5"}, {"", "0.0"},
        {"3b2.12 beta.9x", "3.12.9"},
        {" 7.+8.\t-1", "7.8.18446744073709551615"},            // blanks and signs; -1 wraps to the top
        {"99999999999999999999", "9223372036854775807.0"},      // beyond 64 bits: the signed limit
        {"1.-99999999999999999999", "1.9223372036854775808"},
        {"1.2.3.4", nullptr}, {"1.2.3.", nullptr}, {QString(), nullptr},
    };
    for (const auto &[text, expected] : cases) {
        const std::optional<V> parsed = V::versionNumberWithVersionString(text);
        EXPECT_EQ(parsed ? std::optional(parsed->versionString()) : std::nullopt,
                  expected ? std::optional(QString::fromLatin1(expected)) : std::nullopt) << text.toStdString();
    }
    EXPECT_EQ(V(Max, 1000, Max).versionString(), "18446744073709551615.1000.18446744073709551615");
}

TEST(NVVersionNumber, PackedIntegerReducesMinorAndBugfixAndWraps)
{
    const struct { NVVersionNumber version; quint64 packed; } cases[] = {
        {{14, 2, 1}, 14'002'001}, {{1, 1000, 0}, 1'000'000}, {{1, 2, 1005}, 1'002'005},
        // 18446744073710 * 10^6 exceeds 2^64 by 448384.
        {{18'446'744'073'710, 0, 0}, 448'384}, {{Max, 0, 0}, Max - 999'999},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.version.versionInteger(), c.packed) << c.version.versionString().toStdString();

    const std::pair<quint64, V> unpacked[] = {
        {14'002'001, {14, 2, 1}}, {999, {0, 0, 999}}, {Max, {18'446'744'073'709, 551, 615}},
    };
    for (const auto &[packed, fields] : unpacked) {
        const V v = V::versionNumberWithVersionInteger(packed);
        EXPECT_EQ(v.versionString(), fields.versionString());
        EXPECT_EQ(v.versionInteger(), packed);
    }
}

TEST(NVVersionNumber, CompareFollowsThePackedValueWhileEqualityUsesTheFields)
{
    const struct { NVVersionNumber a, b; NVComparisonResult order; bool equal; } cases[] = {
        {{1, 1000, 0}, {1, 0, 0}, NVOrderedSame, false},
        {{14, 2, 1}, {14, 2, 1}, NVOrderedSame, true}, {{10, 15, 0}, {11, 0, 0}, NVOrderedAscending, false},
        {{1, 999, 0}, {1, 1001, 0}, NVOrderedDescending, false}, // 1001 aliases to 1
        // A major so large that the packed value wraps orders below 1.0.
        {{18'446'744'073'710, 0, 0}, {1, 0, 0}, NVOrderedAscending, false},
        // -1 stored as 2^64 - 1 packs near the top and orders as unsigned.
        {{Max, 0, 0}, {1, 0, 0}, NVOrderedDescending, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.a.versionString().toStdString() + " vs " + c.b.versionString().toStdString());
        EXPECT_EQ(c.a.compare(c.b), c.order);
        EXPECT_EQ(c.b.compare(c.a), NVComparisonResult(-c.order));
        EXPECT_EQ(c.a.isEqual(c.b), c.equal);
        EXPECT_EQ(c.a == c.b, c.equal);
    }
}

TEST(NVVersionNumber, CompareVersionStringTreatsUnparsableSidesAsTheRulesSay)
{
    const struct { QString a, b; NVComparisonResult order; } cases[] = {
        {"10.15", "11.0", NVOrderedAscending}, {"14", "14.0.0", NVOrderedSame},
        {"1.2.3.4", "1.0", NVOrderedSame},      // the first fails: same
        {"1.0", "1.2.3.4", NVOrderedDescending}, // the second fails: against 0
        {"0.0.0", QString(), NVOrderedSame},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NVVersionNumber::compareVersionString(c.a, c.b), c.order) << c.a.toStdString() << " vs " << c.b.toStdString();
}

TEST(NVVersionNumber, EqualVersionsHashEqualAndDeduplicateInSets)
{
    const NVVersionNumber a(14, 2, 1);
    const NVVersionNumber b = *NVVersionNumber::versionNumberWithVersionString("14.2.1");
    const NVVersionNumber aliased(14, 2, 1001);
    EXPECT_EQ(std::hash<NVVersionNumber>()(a), std::hash<NVVersionNumber>()(b));

    QSet<NVVersionNumber> set{a, b, aliased, NVVersionNumber(14, 1, 2), NVVersionNumber()};
    EXPECT_EQ(set.size(), 4); // a and b are one; the aliased version stays distinct
    EXPECT_TRUE(set.contains(NVVersionNumber(14, 2, 1)));
    EXPECT_FALSE(set.contains(NVVersionNumber(14, 2, 2)));
}

TEST(NVVersionNumber, CurrentSystemVersionIsTheRunningCLibrary)
{
    // glibc versions are "2.36" or "2.36.1", so they print back unchanged.
    EXPECT_EQ(NVVersionNumber::currentSystemVersion().versionString(), QString::fromLatin1(gnu_get_libc_version()));
}

} // namespace
