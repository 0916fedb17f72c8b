#include "foundation/NVError.h"
#include "foundation/NVValue.h"

#include <QDateTime>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(NVValue, TextReadsTheLeadingNumberAndClamps)
{
    constexpr qint64 Max = std::numeric_limits<qint64>::max(), Min = std::numeric_limits<qint64>::min();
    constexpr qint32 Max32 = std::numeric_limits<qint32>::max();
    const struct { const char *text; qint64 integer; qint32 int32; } cases[] = {
        {"3b2", 3, 3}, {"\t\n -12x", -12, -12}, {"+7", 7, 7}, {"beta", 0, 0}, {"- 5", 0, 0}, {"٣", 0, 0}, // only ASCII digits count
        {"9223372036854775808", Max, Max32}, {"-99999999999999999999", Min, std::numeric_limits<qint32>::min()},
    };
    for (const auto &c : cases) {
        const QString text = QString::fromUtf8(c.text);
        EXPECT_EQ(NVValue::integerValue(QVariant(text)), c.integer) << c.text;
        EXPECT_EQ(NVValue::intValue(QStringView(text)), c.int32) << c.text;
    }
    const std::pair<const char *, bool> booleans[] = {{"YES", true}, {"  +9", true}, {"-1", true}, {"0x1", false}, {"000", false}};
    for (const auto &[text, expected] : booleans)
        EXPECT_EQ(NVValue::boolValue(QStringView(QString::fromUtf8(text))), expected) << text;
    const std::pair<const char *, double> reals[] = {{"  -2.25e2xyz", -225.0}, {".5", 0.5}, {"0x10", 0.0}, {"inf", 0.0}, {"1e", 1.0}};
    for (const auto &[text, expected] : reals)
        EXPECT_DOUBLE_EQ(NVValue::doubleValue(QStringView(QString::fromUtf8(text))), expected) << text;
}

TEST(NVValue, NumberConversionsWrapLikeTheCConversions)
{
    EXPECT_EQ(NVValue::unsignedIntegerValue(QVariant(qint64(-1))), std::numeric_limits<quint64>::max());
    EXPECT_EQ(NVValue::intValue(QVariant(qint64(0xFFFF'FFFF))), -1);
    EXPECT_EQ(NVValue::integerValue(QVariant(1e300)), std::numeric_limits<qint64>::max());
    EXPECT_EQ(NVValue::integerValue(QVariant(std::nan(""))), 0);
    // Values that are neither strings nor numbers convert to nothing.
    EXPECT_EQ(NVValue::integerValue(QVariant(QVariantList{1, 2})), 0);
}

// Class names are checked through the log lines of the update validation.
TEST(NVValue, DescriptionsUseThePlatformForms)
{
    const std::pair<QVariant, QString> descriptions[] = {
        {std::numeric_limits<quint64>::max(), "18446744073709551615"}, {true, "1"}, {0.1, "0.1"}, {QVariant(), "(null)"},
        {QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc()), "2001-01-01 00:00:00 +0000"},
        {QByteArray("\x01\x02\x03\x04\x05", 5), "<01020304 05>"},
        {QVariantMap{{"a", "quote\"and\\slash\n"}, {"c", QVariantMap{{"d", ""}}}},
         "{\n    a = \"quote\\\"and\\\\slash\\n\";\n    c = {\n        d = \"\";\n    };\n}"},
    };
    for (const auto &[value, description] : descriptions)
        EXPECT_EQ(NVValue::description(value), description);
    EXPECT_EQ(NVValue::textForm(QVariant("two words")), "\"two words\"");
    EXPECT_EQ(NVValue::textForm(QVariant("1.2.3")), "1.2.3");
}

TEST(NVError, DescriptionsAndUnderlyingErrors)
{
    const NVError wrapped("norvane.SoftwarUpdateUnarchiverErrorDomain", 1,
                          {{NSLocalizedDescriptionKey, "tar failed"}, {NSUnderlyingErrorKey, QVariant::fromValue(NVError::posix(2))}});
    EXPECT_EQ(wrapped.underlyingError().value_or(NVError()).localizedDescription(), "No such file or directory");
    EXPECT_TRUE(wrapped.description().startsWith(
        "Error Domain=norvane.SoftwarUpdateUnarchiverErrorDomain Code=1 \"tar failed\" UserInfo={"));
    EXPECT_EQ(NVError(NSCocoaErrorDomain, 259).localizedDescription(),
              "The operation couldn’t be completed. (NSCocoaErrorDomain error 259.)");
}

} // namespace
