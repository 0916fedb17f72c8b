#include "foundation/NVDateUtilities.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <ctime>

using namespace NVDateUtilities;

namespace {

// Of these functions the updater uses none itself; the date parser, whose
// patterns are fixed by the first string it reads, stands for them.
QDateTime utc(const char *iso) { return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate).toUTC(); }

// Each sequence runs on a fresh parser: the first string of each form, the
// date alone or the full "yyyy-MM-dd HH:mm:ss Z", fixes that form's pattern.
TEST(NVDateUtilitiesTest, TheFirstStringOfEachFormFixesItsPattern)
{
    // Every case runs in its own process, so it may choose the zone it needs:
    // Berlin changes to summer time on 31 March 2024 (02:00 -> 03:00).
    qputenv("TZ", "Europe/Berlin");
    tzset();
    const QDateTime refused;
    const std::vector<std::pair<const char *, QDateTime>> sequences[] = {
        // A date alone is midnight in the local zone; the full form still reads fully.
        {{"2024-05-01", utc("2024-04-30T22:00:00Z")}, {"2024-05-01 10:00:00 -0130", utc("2024-05-01T11:30:00Z")},
         {"2024-01-15", utc("2024-01-14T23:00:00Z")}, {"2024-05-01 10", refused}, {"2024-02-30", refused},
         {"2024-05-01 10:00:00 +0200 and more", refused}},
        // A shorter first string is read with as many characters of the full
        // pattern, in local time, and fixes that.
        {{"2024-05-01 10:00", utc("2024-05-01T08:00:00Z")}, {"2024-12-01 10:00", utc("2024-12-01T09:00:00Z")}, {"2024-05-01", refused}},
        // 02:30 does not exist on 31 March; it moves forward with the clock.
        {{"2024-03-31 02:30", utc("2024-03-31T01:30:00Z")}},
    };
    for (const auto &sequence : sequences) {
        NVISODateParser parser;
        for (const auto &[text, expected] : sequence) {
            const QDateTime parsed = parser.parse(QString::fromLatin1(text));
            EXPECT_EQ(parsed.isValid() ? parsed : refused, expected) << text;
        }
    }
}

} // namespace
