#include "foundation/NVFormat.h"

#include <QDateTime>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <limits>

namespace {

struct FormatCase { const char *format; QVariantList arguments; const char *expected; };

TEST(NVFormat, EverySpecifierMatchesC)
{
    const FormatCase cases[] = {
        {"%d", {qint64(-42)}, "-42"}, {"%d", {qint64(0x1'0000'0001)}, "1"}, // no length modifier: 32 bits, as C reads it
        {"%u", {qint64(-1)}, "4294967295"}, {"%lu", {qint64(-1)}, "18446744073709551615"},
        {"%ld", {std::numeric_limits<quint64>::max()}, "-1"}, {"%lld", {std::numeric_limits<qint64>::min()}, "-9223372036854775808"},
        {"%hhd", {qint64(255)}, "-1"}, {"%#x", {qint64(255)}, "0xff"}, {"%08lx", {qint64(0xBEEF)}, "0000beef"},
        {"%-5d|", {qint64(42)}, "42   |"}, {"%.3d", {qint64(7)}, "007"}, {"%.2f", {3.14159}, "3.14"}, {"%g", {1e20}, "1e+20"},
        {"%f", {qint64(2)}, "2.000000"}, {"%.2s", {"text"}, "te"}, {"%6s|", {"ab"}, "    ab|"}, {"%c", {qint64('A')}, "A"},
        {"100%%", {}, "100%"}, {"%@", {qint64(12)}, "12"}, {"%@", {QVariant()}, "(null)"},
        {"%2$@ %1$@", {"world", "hello"}, "hello world"}, {"%1$@ %1$@", {"echo"}, "echo echo"},
        {"%2$lu.%1$d", {qint64(1), qint64(2)}, "2.1"}, {"%@", {QVariantList{qint64(1), "b c"}}, "(\n    1,\n    \"b c\"\n)"},
        {"héllo %@ ✓", {"wörld"}, "héllo wörld ✓"},
    };
    for (const FormatCase &c : cases) {
        const NVFormat::Result result = NVFormat::formatChecked(QString::fromUtf8(c.format), c.arguments);
        EXPECT_EQ(result.text, QString::fromUtf8(c.expected)) << c.format;
        EXPECT_TRUE(result.problems.isEmpty()) << c.format << ": " << result.problems.join("; ").toStdString();
    }
}

TEST(NVFormat, MismatchesAreReportedNeverInterpreted)
{
    const FormatCase cases[] = {
        {"%d", {"12"}, "12"},          // a string for an integer prints its text
        {"%s", {qint64(5)}, "5"},                      // a number for a string prints its digits
        {"%d and %d", {qint64(1)}, "1 and (null)"},   // a missing argument
        {"%@ %@", {"only"}, "only (null)"}, {"%f", {QVariantMap{}}, "{}"}, {"%5$@", {"x"}, "(null)"},
        {"50%", {}, "50%"},                            // a lone percent at the end
        {"%y", {qint64(1)}, "%y"},                     // unknown conversion stays as written
        {"%*d", {qint64(3), qint64(4)}, "%*d"},        // star widths are not read from arguments
    };
    for (const FormatCase &c : cases) {
        const NVFormat::Result result = NVFormat::formatChecked(QString::fromUtf8(c.format), c.arguments);
        EXPECT_EQ(result.text, QString::fromUtf8(c.expected)) << c.format;
        EXPECT_FALSE(result.problems.isEmpty()) << c.format;
    }
}

TEST(NVFormat, WidthsAndPrecisionsAboveTheCapArePrintedAsWritten)
{
    // A hostile string table must not make one line allocate gigabytes.
    const QString longText(5000, u'x');
    const struct { const char *format; QVariant argument; qsizetype length; } atTheCap[] = {
        {"%4096d", qint64(1), 4096}, {"%.4096f", 1.5, 4098}, {"%.4096@", longText, 4096}, {"%-4096s", "x", 4096},
    };
    for (const auto &c : atTheCap) {
        const NVFormat::Result result = NVFormat::formatChecked(QString::fromLatin1(c.format), {c.argument});
        EXPECT_EQ(result.text.size(), c.length) << c.format;
        EXPECT_TRUE(result.problems.isEmpty()) << c.format;
    }
    for (const char *format : {"%4097d", "%.4097f", "%.4097@", "%1$.99999999999s", "%99999d"}) {
        const NVFormat::Result result = NVFormat::formatChecked(QString::fromLatin1(format), {1.5});
        EXPECT_EQ(result.text, QString::fromLatin1(format));
        EXPECT_EQ(result.problems, QStringList{"field width or precision above 4096"}) << format;
    }
}

TEST(NVFormat, TypedArgumentsKeepTheirSignedness)
{
    EXPECT_EQ(NVFormat::format("%@ %@", -1, std::numeric_limits<quint64>::max()), "-1 18446744073709551615");
    EXPECT_EQ(NVFormat::format("%@ %s %d", QStringLiteral("q"), "c-string", true), "q c-string 1");
    const char *nothing = nullptr;
    EXPECT_EQ(NVFormat::format("%@", nothing), "(null)");
    struct Described {
        QString description() const { return "5.7.1 (6543)"; }
    };
    Described d;
    const Described *none = nullptr;
    EXPECT_EQ(NVFormat::format("%@ / %@ / %@", d, &d, none), "5.7.1 (6543) / 5.7.1 (6543) / (null)");
}

TEST(NVFormat, SpecifierSignaturesFollowArgumentOrder)
{
    EXPECT_EQ(NVFormat::specifierSignature(u"_progressDescriptionKnownSize %@ %@"), "@@");
    EXPECT_EQ(NVFormat::specifierSignature(u"%d of %@ (%lu%%)"), "d@u");
    EXPECT_EQ(NVFormat::specifierSignature(u"%2$@ before %1$d"), "d@");
    EXPECT_EQ(NVFormat::specifierSignature(u"%.1f %s %c"), "fsc");
    EXPECT_EQ(NVFormat::specifierSignature(u"plain"), "");
}

} // namespace
