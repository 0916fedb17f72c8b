#include "ui/NVByteCountFormatter.h"

#include <gtest/gtest.h>

namespace {

TEST(NVByteCountFormatter, CountsUseDecimalUnitsWithFixedDigitsPerUnit)
{
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QLocale german(QLocale::German, QLocale::Germany);
    const struct {
        qint64 bytes;
        const char *english;
        const char *german;
    } cases[] = {
        {0, "0 bytes", "0 Byte"},
        {1, "1 byte", "1 Byte"},
        {999, "999 bytes", "999 Byte"},
        {1000, "1 KB", "1 KB"},
        {1500, "2 KB", "2 KB"},
        {999'499, "999 KB", "999 KB"},
        {999'500, "1.0 MB", "1,0 MB"}, // would round to 1000 KB
        {2'400'000, "2.4 MB", "2,4 MB"},
        {5'000'000, "5.0 MB", "5,0 MB"},
        {1'234'567'890, "1.23 GB", "1,23 GB"},
        {999'995'000'000, "1.00 TB", "1,00 TB"},
        {-1500, "-2 KB", "-2 KB"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(NVByteCountFormatter::stringFromByteCount(c.bytes, english), QString::fromUtf8(c.english)) << c.bytes;
        EXPECT_EQ(NVByteCountFormatter::stringFromByteCount(c.bytes, german), QString::fromUtf8(c.german)) << c.bytes;
    }
}

} // namespace
