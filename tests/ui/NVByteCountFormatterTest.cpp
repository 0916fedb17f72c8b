#include "ui/NVByteCountFormatter.h"

#include <gtest/gtest.h>

namespace {

TEST(NVByteCountFormatter, CountsUseDecimalUnitsWithFixedDigitsPerUnit)
{
    // (The German forms are checked where the window shows them.)
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const struct {
        qint64 bytes;
        const char *text;
    } cases[] = {
        {1, "1 byte"},
        {1500, "2 KB"},
        {999'500, "1.0 MB"}, // would round to 1000 KB
        {999'995'000'000, "1.00 TB"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NVByteCountFormatter::stringFromByteCount(c.bytes, english), QString::fromUtf8(c.text)) << c.bytes;
}

} // namespace
