#include "model/NVSUFeed.h"
#include "model/NVSUUpdateSelection.h"

#include "ModelTestSupport.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

using ModelTest::entry;

const QString L = "Software Update: ";
const QString D = "Software Update Debug: ";

// Entries for the installed version 6300 ("6.3") on the system 2.36.
QVariantMap v(int number, const QVariantMap &changes = {})
{
    return entry(QString::number(number), QStringLiteral("%1.%2").arg(number / 1000).arg(number % 1000 / 100), changes);
}

const NVSUSelectionState Automatic{false, true};
const NVSUSelectionState Interactive{true, true};
const NVSUSelectionState MayNotSkipPreReleases{false, false};

struct Selection { std::optional<NVSUUpdate> update; QStringList lines; };

Selection select(const QVariantList &entries, const NVSUSelectionState &state, const QVariantMap &settings = {})
{
    ModelTest::Defaults defaults;
    for (auto it = settings.cbegin(); it != settings.cend(); ++it)
        defaults->setObject(it.value(), it.key());
    LogCapture log;
    Selection result;
    result.update = NVSUUpdateSelection::selectUpdateFromArray(entries, state, *defaults);
    result.lines = log.messages();
    return result;
}

// "6500", or "6500 Other.app" for an installation object other than the usual.
QString tag(const std::optional<NVSUUpdate> &update)
{
    if (!update)
        return "none";
    const QString object = update->installationObject();
    return update->version().versionNumber() + (object == "Velkin.app" ? QString() : u' ' + object);
}

struct Case {
    const char *name;
    QVariantList entries;
    NVSUSelectionState state;
    QVariantMap settings;
    QString selected;
    QStringList lines;
};

class NVSUUpdateSelectionTest : public ::testing::Test {
protected:
    ModelTest::InstalledApplication app{{{"CFBundleVersion", "6300"}, {"CFBundleShortVersionString", "6.3"}}};
};

TEST_F(NVSUUpdateSelectionTest, EachRuleRejectsWithItsLineAndTheBestCandidateWinsOverTheInstalledVersion)
{
    const QVariantMap noDownload = v(6500, {{"DownloadURL", {}}});
    const QVariantMap baseAbove{{"MinimumBaseVersion", "6350"}};
    const QVariantMap suppressedTooNew{{"SuppressAutoUpdate", "YES"}, {"MinimumSystemVersion", "2.40"}};
    const QVariantMap skipped{{"SoftwareUpdateSkippedVersionsArray", QVariantList{"6100", "6500", "6.6", qint64(6400)}}};
    const QVariantList betaAndRelease{v(6600, {{"ReleaseLifecycle", "beta"}}), v(6500)};
    const QString releaseMatched = D + "Skipping update to 6.5 (6500) because update to 6.6 (6600) already matched";
    const Case cases[] = {
        {"entries of other classes, an invalid one and a valid one", {"text", QVariantList{v(6600)}, noDownload, v(6400)}, Automatic,
         {}, "6400",
         {L + "Ignoring invalid entry of class NSString", L + "Ignoring invalid entry of class NSArray",
          L + "Mandatory property DownloadURL not found in update description",
          L + "Invalid entry ignored: " + NVValue::description(noDownload)}},
        {"unknown mechanism", {v(6500, {{"InstallationMechanism", "replacebundle"}}), v(6400, {{"InstallationMechanism", "Installer"}})},
         Automatic, {}, "6400", {L + "Installation mechanism 'replacebundle' not supported, skipping version 6.5 (6500)."}},
        {"the installed version and a beta of it are not newer", {v(6300), entry("6300b2", "6.3 beta 2")}, Automatic, {}, "none",
         {D + "Skipping update to 6.3 (6300) because we already have 6.3 (6300)",
          D + "Skipping update to 6.3 beta 2 (6300b2) because we already have 6.3 (6300)"}},
        {"incompatible with the system", {v(6500, {{"MinimumSystemVersion", "2.40"}})}, Automatic, {}, "none",
         {D + "Skipping update to 6.5 (6500) because it requires at least glibc 2.40",
          D + "Skipping update to 6.5 (6500) because it is incompatible with OS"}},
        {"the first broken rule decides: pre-release before age", {v(6200, {{"ReleaseLifecycle", "nightly"}})}, Automatic, {}, "none",
         {L + "Skipping pre-release version 6.2 (6200)."}},
        {"the first broken rule decides: age before compatibility", {v(6200, {{"MaximumSystemVersion", "2.0"}})}, Automatic, {}, "none",
         {D + "Skipping update to 6.2 (6200) because we already have 6.3 (6300)"}},
        {"newest of two, listed newest first", {v(6500), v(6400)}, Automatic, {}, "6500",
         {D + "Skipping update to 6.4 (6400) because update to 6.5 (6500) already matched"}},
        {"equal versions keep the first", {v(6500, {{"InstallationObject", "First.app"}}), v(6500, {{"InstallationObject", "Second.app"}})},
         Automatic, {}, "6500 First.app", {D + "Skipping update to 6.5 (6500) because update to 6.5 (6500) already matched"}},
        {"an older installable candidate beats a newer one above the minimum base", {v(6400), v(6500, baseAbove)}, Automatic, {}, "6400",
         {D + "Skipping update to 6.5 (6500) because update to 6.4 (6400) already matched"}},
        {"suppressed automatic update stays a candidate even where it cannot run", {v(6500, suppressedTooNew)}, Automatic, {}, "6500", {}},
        {"... and loses to an installable one, logging its bound once more", {v(6500, suppressedTooNew), v(6400)}, Automatic, {}, "6400",
         {D + "Skipping update to 6.5 (6500) because it requires at least glibc 2.40"}},
        // Only the version number as text, in a list, counts as skipped, and only in automatic checks.
        {"skipped, automatic check", {v(6500), v(6600)}, Automatic, skipped, "6600",
         {D + "Skipping update to 6.5 (6500) due to previous user request"}},
        {"skipped by number, not as text", {v(6400)}, Automatic, skipped, "6400", {}},
        {"skipped, interactive check", {v(6500)}, Interactive, skipped, "6500", {}},
        {"beta left out", betaAndRelease, Automatic, {}, "6500", {L + "Skipping pre-release version 6.6 (6600)."}},
        {"beta wanted by the user", betaAndRelease, Automatic, {{"SoftwareUpdateShowPreReleaseVersions", true}}, "6600", {releaseMatched}},
        {"beta where pre-releases may not be skipped", betaAndRelease, MayNotSkipPreReleases, {}, "6600", {releaseMatched}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Selection s = select(c.entries, c.state, c.settings);
        EXPECT_EQ(tag(s.update), c.selected);
        EXPECT_EQ(s.lines, c.lines) << s.lines.join('\n').toStdString();
    }

    // The installed version is read for every selection; without one, every
    // real version is newer.
    app.setInfo({});
    const Selection s = select({v(6500), entry("x", "x")}, Automatic);
    EXPECT_EQ(tag(s.update), "6500");
    EXPECT_EQ(s.lines, QStringList{D + "Skipping update to x because we already have (null)"});
    app.setInfo({{"CFBundleVersion", "6600"}});
    EXPECT_EQ(tag(select({v(6500)}, Automatic).update), "none");
}

TEST_F(NVSUUpdateSelectionTest, FeedBytesMustHoldAnArrayOrOneEntry)
{
    const auto readEntries = [](const QVariant &root) { return NVSUFeed::readEntries(*NVPropertyList::write(root, NVPropertyList::Format::Binary)); };
    const QVariantMap one = v(6500);
    EXPECT_EQ(readEntries(QVariantList{one, "text"}).value(), (QVariantList{one, "text"}));
    EXPECT_EQ(readEntries(one).value(), QVariantList{one});
    const NVResult<QVariantList> text = readEntries("6500");
    ASSERT_FALSE(text.ok());
    EXPECT_EQ(text.error().code(), 259);
    EXPECT_EQ(text.error().localizedDescription(), "Received property list is not an array");
}

} // namespace
