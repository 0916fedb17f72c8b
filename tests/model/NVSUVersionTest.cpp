#include "model/NVSUVersion.h"

#include "ModelTestSupport.h"

#include <gtest/gtest.h>

namespace {

using C = NVSUVersion::Components;

TEST(NVSUVersion, ParsingReadsComponentsAndTheBetaSuffix)
{
    const std::pair<QString, C> cases[] = {
        {"1.2.3b4", {1, 2, 3, 4}}, {"1.2.3   BETA4", {1, 2, 3, 4}},
        {"1.2.3 beta 4", {1, 2, 3, 0}}, // a blank before the number ends the suffix
        {"1.2.3 4", {1, 2, 3, 4}},      // the letter is optional: blanks, then the number
        {"1.2.3b", {1, 2, 3, 0}}, {"1.2.3a4", {1, 2, 3, 0}}, // alpha and rc suffixes are not recognised
        {"5b2", {5, 0, 0, 2}},          // the suffix may follow any complete component
        {"1.2.3.4b5", {1, 2, 3, 0}},    // a fourth component is ignored, with what follows
        {"v5.0", {0, 0, 0, 0}}, {" 5.0", {0, 0, 0, 0}}, {"\uFF15.\uFF12", {0, 0, 0, 0}}, // only ASCII digits count
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(NVSUVersion::parseVersionNumber(text), expected) << text.toStdString();
}

TEST(NVSUVersion, TextsBeyond511UTF8BytesParseAsZero)
{
    // Counted in UTF-8 bytes, not characters: 3 + 127 * 4 = 511.
    const QString longest = "5b2" + QString::fromUtf8("\xF0\x9F\x98\x80").repeated(127);
    EXPECT_EQ(NVSUVersion::parseVersionNumber(longest), (C{5, 0, 0, 2}));
    EXPECT_EQ(NVSUVersion::parseVersionNumber(longest + u'x'), (C{0, 0, 0, 0}));
    // A 600-byte version number loses against any real one.
    const NVSUVersion huge(QString("9").repeated(600));
    EXPECT_EQ(huge.compareVersion(NVSUVersion("1")), NVOrderedAscending);
    EXPECT_EQ(huge.compareVersion(NVSUVersion("x")), NVOrderedSame);
}

TEST(NVSUVersion, ComparisonRanksFinalReleasesAboveTheirBetas)
{
    const struct { QString a, b; NVComparisonResult order; } cases[] = {
        {"1.2.3", "1.2.3b4", NVOrderedDescending}, {"1.2.3b4", "1.2.3b5", NVOrderedAscending},
        {"1.2.3 beta 4", "1.2.3", NVOrderedSame}, // ranks as the final release
        {"5.b2", "5b2", NVOrderedDescending}, {"1.10", "1.9", NVOrderedDescending}, // numeric, not textual
        {"99999999999", "2147483647", NVOrderedSame}, // saturated
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
}

TEST(NVSUVersion, DescriptionShowsTheVersionNumberOnlyWhenItDiffersAndNilMakesNoVersion)
{
    // "5.7.1 (6543)" shows in every line of the selection.
    const struct { QString number, displayName, description; } cases[] = {
        {"6543", QString(), "6543"}, {"6543", "6543", "6543"}, {"6543", "", " (6543)"},
    };
    for (const auto &c : cases) {
        const std::optional<NVSUVersion> version = NVSUVersion::versionWithVersionNumber(c.number, c.displayName);
        ASSERT_TRUE(version);
        EXPECT_EQ(version->description(), c.description);
        EXPECT_EQ(version->displayName(), c.displayName.isNull() ? c.number : c.displayName);
    }
    // A missing version number makes no version.
    EXPECT_FALSE(NVSUVersion::versionWithVersionNumber(QString(), "5.0"));
    EXPECT_TRUE(NVSUVersion::versionWithVersionNumber(""));
}

TEST(NVSUVersion, InstalledAndSystemVersionsAreReadAtEveryCall)
{
    ModelTest::InstalledApplication app(QVariantMap{});
    const struct { QVariantMap info; std::optional<QString> description; } cases[] = {
        {{{"CFBundleVersion", "6500"}, {"CFBundleShortVersionString", "6.5"}}, "6.5 (6500)"},
        {{{"CFBundleVersion", qint64(6600)}}, "6600"}, {{{"CFBundleVersion", QVariantList{"6500"}}}, std::nullopt},
    };
    for (const auto &c : cases) {
        app.setInfo(c.info);
        const std::optional<NVSUVersion> installed = NVSUVersion::installedVersion();
        EXPECT_EQ(installed ? std::optional(installed->description()) : std::nullopt, c.description);
    }
    // The system version is the version string of the pinned one.
    NVVersionNumber::setCurrentSystemVersionForTesting(NVVersionNumber(2, 36, 1));
    EXPECT_EQ(NVSUVersion::systemVersion().description(), "2.36.1");
}

} // namespace
