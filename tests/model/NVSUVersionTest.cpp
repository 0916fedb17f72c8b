#include "model/NVSUVersion.h"

#include "ModelTestSupport.h"
#include "support/DeathTest.h"

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
        {"5.b2", {5, 0, 0, 0}},         // an empty component ends parsing: no suffix
        {"1.2.3.4b5", {1, 2, 3, 0}},    // a fourth component is ignored, with what follows
        {"v5.0", {0, 0, 0, 0}}, {" 5.0", {0, 0, 0, 0}}, {"\uFF15.\uFF12", {0, 0, 0, 0}}, // only ASCII digits count
        {"99999999999.1", {2147483647, 1, 0, 0}},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(NVSUVersion::parseVersionNumber(text), expected) << text.toStdString();
}

TEST(NVSUVersion, TextsBeyond511UTF8BytesParseAsZero)
{
    // Lengths at the limit and one step past it, in one- and four-byte characters.
    const struct {
        QString filler;
        int bytesEach;
    } fillers[] = {{"x", 1}, {QString::fromUtf8("\xF0\x9F\x98\x80"), 4}};
    for (const auto &f : fillers) {
        const QString longest = "5b2" + f.filler.repeated((511 - 3) / f.bytesEach);
        const QString tooLong = longest + f.filler;
        SCOPED_TRACE(f.bytesEach);
        ASSERT_LE(longest.toUtf8().size(), 511);
        ASSERT_GT(tooLong.toUtf8().size(), 511);
        EXPECT_EQ(NVSUVersion::parseVersionNumber(longest), (C{5, 0, 0, 2}));
        EXPECT_EQ(NVSUVersion::parseVersionNumber(tooLong), (C{0, 0, 0, 0}));
    }
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
    const struct { QString number, displayName, description; } cases[] = {
        {"6543", "5.7.1", "5.7.1 (6543)"}, {"6543", QString(), "6543"}, {"6543", "6543", "6543"}, {"6543", "", " (6543)"},
    };
    for (const auto &c : cases) {
        const std::optional<NVSUVersion> version = NVSUVersion::versionWithVersionNumber(c.number, c.displayName);
        ASSERT_TRUE(version);
        EXPECT_EQ(version->description(), c.description);
        EXPECT_EQ(version->displayName(), c.displayName.isNull() ? c.number : c.displayName);
    }
    // A missing version number makes no version, and is a programming error for the constructor.
    EXPECT_FALSE(NVSUVersion::versionWithVersionNumber(QString(), "5.0"));
    EXPECT_TRUE(NVSUVersion::versionWithVersionNumber(""));
    EXPECT_DEATH(NVSUVersion(QString(), "5.0"),
                 literalDeathMessage("-[NVSUVersion initWithVersionNumber:displayName:] invoked with versionNumber == nil"));
}

TEST(NVSUVersion, InstalledAndSystemVersionsAreReadAtEveryCall)
{
    ModelTest::InstalledApplication app(QVariantMap{});
    const struct { QVariantMap info; std::optional<QString> description; } cases[] = {
        {{{"CFBundleVersion", "6500"}, {"CFBundleShortVersionString", "6.5"}}, "6.5 (6500)"},
        {{{"CFBundleVersion", qint64(6600)}}, "6600"}, {{{"CFBundleShortVersionString", "6.5"}}, std::nullopt},
        {{{"CFBundleVersion", QVariantList{"6500"}}}, std::nullopt},
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
