#include "model/NVSUVersion.h"

#include <gtest/gtest.h>

namespace {

// A version's description ("6.5 (6500)", or the number alone when the names
// agree) and the installed version, read anew at every call, are checked
// through the selection's lines.
using C = NVSUVersion::Components;

TEST(NVSUVersion, ParsingReadsComponentsAndTheBetaSuffix)
{
    // Counted in UTF-8 bytes, not characters: 3 + 127 * 4 = 511, the longest text read.
    const QString longest = "5b2" + QString::fromUtf8("\xF0\x9F\x98\x80").repeated(127);
    const std::pair<QString, C> cases[] = {
        {"1.2.3b4", {1, 2, 3, 4}}, {"1.2.3   BETA4", {1, 2, 3, 4}},
        {"1.2.3 beta 4", {1, 2, 3, 0}}, // a blank before the number ends the suffix
        {"1.2.3 4", {1, 2, 3, 4}},      // the letter is optional: blanks, then the number
        {"1.2.3b", {1, 2, 3, 0}}, {"1.2.3a4", {1, 2, 3, 0}}, // alpha and rc suffixes are not recognised
        {"5b2", {5, 0, 0, 2}},          // the suffix may follow any complete component
        {"1.2.3.4b5", {1, 2, 3, 0}},    // a fourth component is ignored, with what follows
        {"v5.0", {0, 0, 0, 0}}, {" 5.0", {0, 0, 0, 0}}, {"\uFF15.\uFF12", {0, 0, 0, 0}}, // only ASCII digits count
        {longest, {5, 0, 0, 2}}, {longest + u'x', {0, 0, 0, 0}},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(NVSUVersion::parseVersionNumber(text), expected) << text.toStdString();
}

TEST(NVSUVersion, ComparisonRanksFinalReleasesAboveTheirBetas)
{
    const struct { QString a, b; NVComparisonResult order; } cases[] = {
        {"1.2.3", "1.2.3b4", NVOrderedDescending}, {"1.2.3b4", "1.2.3b5", NVOrderedAscending},
        {"1.2.3 beta 4", "1.2.3", NVOrderedSame}, // ranks as the final release
        {"5.b2", "5b2", NVOrderedDescending}, {"1.10", "1.9", NVOrderedDescending}, // numeric, not textual
        {"99999999999", "2147483647", NVOrderedSame}, // saturated
        {QString("9").repeated(600), "1", NVOrderedAscending}, {QString("9").repeated(600), "x", NVOrderedSame}, // too long to read
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.a.toStdString() + " vs " + c.b.toStdString());
        EXPECT_EQ(NVSUVersion(c.a).compareVersion(NVSUVersion(c.b)), c.order);
        EXPECT_EQ(NVSUVersion(c.b).compareVersion(NVSUVersion(c.a)), NVComparisonResult(-c.order));
    }
    // The display name plays no part.
    EXPECT_EQ(NVSUVersion("6500", "9.9").compareVersion(NVSUVersion("6500", "1.0")), NVOrderedSame);
    // A missing version counts as all zero, and a beta of zero is older than zero.
    EXPECT_EQ(NVSUVersion("0.0b1").compareVersion(std::nullopt), NVOrderedAscending);
    EXPECT_EQ(NVSUVersion("1").compareVersion(std::nullopt), NVOrderedDescending);
    // A missing version number makes no version; an empty one does.
    EXPECT_FALSE(NVSUVersion::versionWithVersionNumber(QString(), "5.0"));
    EXPECT_TRUE(NVSUVersion::versionWithVersionNumber(""));
}

} // namespace
