#include "foundation/NVError.h"
#include "foundation/NVValue.h"

#include <QDateTime>
#include <QTimeZone>
#include <QUrl>

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(NVValue, IntegerValueReadsTheLeadingNumberAndClamps)
{
    constexpr qint64 Max = std::numeric_limits<qint64>::max(), Min = std::numeric_limits<qint64>::min();
    constexpr qint32 Max32 = std::numeric_limits<qint32>::max(), Min32 = std::numeric_limits<qint32>::min();
    const struct { const char *text; qint64 integer; qint32 int32; } cases[] = {
        {"3b2", 3, 3}, {"  -12x", -12, -12}, {"+7", 7, 7}, {"\t\n 42", 42, 42},
        {"", 0, 0}, {"beta", 0, 0}, {"- 5", 0, 0}, {"٣", 0, 0}, // only ASCII digits count
        {"9223372036854775807", Max, Max32}, {"9223372036854775808", Max, Max32}, {"-9223372036854775808", Min, Min32},
        {"-99999999999999999999", Min, Min32}, {"2147483648", 2147483648LL, Max32},
    };
    for (const auto &c : cases) {
        const QString text = QString::fromUtf8(c.text);
        EXPECT_EQ(NVValue::integerValue(QStringView(text)), c.integer) << c.text;
        EXPECT_EQ(NVValue::intValue(QStringView(text)), c.int32) << c.text;
        EXPECT_EQ(NVValue::integerValue(QVariant(text)), c.integer) << c.text;
    }
}

TEST(NVValue, BoolValueFollowsThePlatformRule)
{
    const std::pair<const char *, bool> cases[] = {
        {"yes", true}, {"YES", true}, {"T", true}, {"007", true}, {"  +9", true}, {"-1", true}, {" y", true},
        {"no", false}, {"0x1", false}, {"", false}, {"000", false}, {"false", false}, {"ja", false},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(NVValue::boolValue(QStringView(QString::fromUtf8(text))), expected) << text;
}

TEST(NVValue, DoubleValueReadsOnlyADecimalPrefix)
{
    const std::pair<const char *, double> cases[] = {
        {"  -2.25e2xyz", -225.0}, {".5", 0.5}, {"5.", 5.0}, {"abc", 0.0}, {"0x10", 0.0}, {"inf", 0.0}, {"nan", 0.0}, {"1e", 1.0},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_DOUBLE_EQ(NVValue::doubleValue(QStringView(QString::fromUtf8(text))), expected) << text;
}

TEST(NVValue, NumberConversionsWrapLikeTheCConversions)
{
    const QVariant minusOne(qint64(-1));
    const QVariant allOnes(std::numeric_limits<quint64>::max());
    EXPECT_EQ(NVValue::unsignedIntegerValue(minusOne), std::numeric_limits<quint64>::max());
    EXPECT_EQ(NVValue::integerValue(allOnes), -1);
    EXPECT_EQ(NVValue::unsignedIntValue(QVariant(qint64(0x1'0000'0005))), 5u);
    EXPECT_EQ(NVValue::intValue(QVariant(qint64(0xFFFF'FFFF))), -1);
    EXPECT_EQ(NVValue::integerValue(QVariant(3.9)), 3);
    EXPECT_EQ(NVValue::integerValue(QVariant(1e300)), std::numeric_limits<qint64>::max());
    EXPECT_EQ(NVValue::integerValue(QVariant(std::nan(""))), 0);
    EXPECT_TRUE(NVValue::boolValue(QVariant(0.5)));
    EXPECT_FALSE(NVValue::boolValue(QVariant(0.0)));
    EXPECT_TRUE(NVValue::boolValue(QVariant(quint64(1) << 40)));
    EXPECT_EQ(NVValue::integerValue(QVariant(true)), 1);
    // Values that are neither strings nor numbers convert to nothing.
    EXPECT_EQ(NVValue::integerValue(QVariant(QVariantList{1, 2})), 0);
    EXPECT_FALSE(NVValue::boolValue(QVariant(QDateTime::currentDateTimeUtc())));
    EXPECT_EQ(NVValue::doubleValue(QVariant()), 0.0);
}

TEST(NVValue, ClassNamesNameThePlatformClasses)
{
    const std::pair<QVariant, QString> cases[] = {
        {"x", "NSString"}, {true, "NSNumber"}, {qint64(1), "NSNumber"}, {2.5, "NSNumber"},
        {QDateTime::currentDateTimeUtc(), "NSDate"}, {QByteArray("x"), "NSData"}, {QVariantList{}, "NSArray"},
        {QVariantMap{}, "NSDictionary"}, {QUrl("https://x.example/"), "NSURL"}, {QVariant::fromValue(NVError::posix(2)), "NSError"},
        {QVariant(), "NSNull"},
    };
    for (const auto &[value, className] : cases)
        EXPECT_EQ(NVValue::className(value), className) << value.typeName();
}

TEST(NVValue, DescriptionsUseTheTextForm)
{
    const std::pair<QVariant, QString> cases[] = {
        {"plain text", "plain text"}, {qint64(-1), "-1"}, {std::numeric_limits<quint64>::max(), "18446744073709551615"},
        {true, "1"}, {0.1, "0.1"}, {QVariant(), "(null)"}, {QVariantList{}, "()"}, {QVariantMap{}, "{}"},
        {QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc()), "2001-01-01 00:00:00 +0000"},
        {QByteArray("\x01\x02\x03\x04\x05", 5), "<01020304 05>"},
    };
    for (const auto &[value, description] : cases)
        EXPECT_EQ(NVValue::description(value), description);

    const QVariantMap nested{
        {"b key", QVariantList{"x", "two words", qint64(3)}}, {"a", "quote\"and\\slash\n"}, {"c", QVariantMap{{"d", ""}}},
    };
    EXPECT_EQ(NVValue::description(QVariant(nested)), "{\n"
              "    a = \"quote\\\"and\\\\slash\\n\";\n"
              "    \"b key\" = (\n"
              "        x,\n"
              "        \"two words\",\n"
              "        3\n"
              "    );\n"
              "    c = {\n"
              "        d = \"\";\n"
              "    };\n"
              "}");
    EXPECT_EQ(NVValue::textForm(QVariant("two words")), "\"two words\"");
    EXPECT_EQ(NVValue::textForm(QVariant("1.2.3")), "1.2.3");
}

TEST(NVError, DescriptionsAndUnderlyingErrors)
{
    const NVError posix = NVError::posix(2);
    EXPECT_EQ(posix.localizedDescription(), "No such file or directory");
    const NVError wrapped("norvane.SoftwarUpdateUnarchiverErrorDomain", 1,
                          {{NSLocalizedDescriptionKey, "tar failed"},
                           {NSUnderlyingErrorKey, QVariant::fromValue(posix)}});
    ASSERT_TRUE(wrapped.underlyingError().has_value());
    EXPECT_EQ(wrapped.underlyingError()->code(), 2);
    EXPECT_EQ(wrapped.localizedDescription(), "tar failed");
    EXPECT_TRUE(wrapped.description().startsWith(
        "Error Domain=norvane.SoftwarUpdateUnarchiverErrorDomain Code=1 \"tar failed\" UserInfo={"));
    EXPECT_FALSE(posix.underlyingError().has_value());
    EXPECT_EQ(NVError(NSCocoaErrorDomain, 259).localizedDescription(),
              "The operation couldn’t be completed. (NSCocoaErrorDomain error 259.)");
    const NVError url(NSURLErrorDomain, -1001, {{NSErrorFailingURLKey, QUrl("https://a.example/feed")}});
    EXPECT_EQ(url.failingURL(), QUrl("https://a.example/feed"));
}

} // namespace
