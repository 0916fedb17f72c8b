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
        {1, "1 byte", "1 Byte"},
        {1500, "2 KB", "2 KB"},
        {999'500, "1.0 MB", "1,0 MB"}, // would round to 1000 KB
        {1'234'567'890, "1.23 GB", "1,23 GB"},
        {999'995'000'000, "1.00 TB", "1,00 TB"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(NVByteCountFormatter::stringFromByteCount(c.bytes, english), QString::fromUtf8(c.english)) << c.bytes;
        EXPECT_EQ(NVByteCountFormatter::stringFromByteCount(c.bytes, german), QString::fromUtf8(c.german)) << c.bytes;
    }
}

} // namespace
