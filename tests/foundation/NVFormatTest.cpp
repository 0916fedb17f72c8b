#include "foundation/NVFormat.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(NVFormat, EverySpecifierMatchesCAndMismatchesAreReportedNeverInterpreted)
{
    const struct { const char *format; QVariantList arguments; const char *expected; bool mismatch = false; } cases[] = {
        {"%d", {qint64(0x1'0000'0001)}, "1"}, // no length modifier: 32 bits, as C reads it
        {"%u", {qint64(-1)}, "4294967295"}, {"%lu", {qint64(-1)}, "18446744073709551615"}, {"%hhd", {qint64(255)}, "-1"},
        {"%08lx", {qint64(0xBEEF)}, "0000beef"}, {"%.3d", {qint64(7)}, "007"}, {"%.2f", {3.14159}, "3.14"}, {"%.2s", {"text"}, "te"},
        {"100%%", {}, "100%"}, {"%@", {QVariant()}, "(null)"}, {"%2$@ %1$@", {"world", "hello"}, "hello world"},
        {"%2$lu.%1$d", {qint64(1), qint64(2)}, "2.1"}, {"héllo %@ ✓", {"wörld"}, "héllo wörld ✓"},
        {"%d", {"12"}, "12", true},                      // a string for an integer prints its text
        {"%d and %d", {qint64(1)}, "1 and (null)", true}, // a missing argument
        {"%y", {qint64(1)}, "%y", true},                 // unknown conversion stays as written
    };
    for (const auto &c : cases) {
        const NVFormat::Result result = NVFormat::formatChecked(QString::fromUtf8(c.format), c.arguments);
        EXPECT_EQ(result.text, QString::fromUtf8(c.expected)) << c.format;
        EXPECT_EQ(result.problems.isEmpty(), !c.mismatch) << c.format << ": " << result.problems.join("; ").toStdString();
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

TEST(NVFormat, TypedArgumentsKeepTheirSignednessAndSignaturesFollowArgumentOrder)
{
    EXPECT_EQ(NVFormat::format("%@ %@ %d", -1, std::numeric_limits<quint64>::max(), true), "-1 18446744073709551615 1");
    EXPECT_EQ(NVFormat::specifierSignature(u"%d of %@ (%lu%%)"), "d@u");
    EXPECT_EQ(NVFormat::specifierSignature(u"%2$@ before %1$d"), "d@");
}

} // namespace
