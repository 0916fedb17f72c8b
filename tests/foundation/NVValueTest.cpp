#include "foundation/NVError.h"
#include "foundation/NVValue.h"

#include <QDateTime>
#include <QTimeZone>
#include <QUrl>

#include <gtest/gtest.h>

#include <limits>

namespace {

struct IntegerCase {
    const char *text;
    qint64 integer;
    qint32 int32;
};

TEST(NVValue, IntegerValueReadsTheLeadingNumberAndClamps)
{
    const IntegerCase cases[] = {
        {"3b2", 3, 3},
        {"  -12x", -12, -12},
        {"+7", 7, 7},
        {"12 beta", 12, 12},
        {"", 0, 0},
        {"x", 0, 0},
        {"beta", 0, 0},
        {"- 5", 0, 0},
        {"\t\n 42", 42, 42},
        {"9223372036854775807", std::numeric_limits<qint64>::max(), std::numeric_limits<qint32>::max()},
        {"9223372036854775808", std::numeric_limits<qint64>::max(), std::numeric_limits<qint32>::max()},
        {"99999999999999999999999", std::numeric_limits<qint64>::max(), std::numeric_limits<qint32>::max()},
        {"-9223372036854775808", std::numeric_limits<qint64>::min(), std::numeric_limits<qint32>::min()},
        {"-99999999999999999999", std::numeric_limits<qint64>::min(), std::numeric_limits<qint32>::min()},
        {"2147483648", 2147483648LL, std::numeric_limits<qint32>::max()},
        {"٣", 0, 0}, // only ASCII digits count
    };
    for (const IntegerCase &c : cases) {
        const QString text = QString::fromUtf8(c.text);
        EXPECT_EQ(NVValue::integerValue(QStringView(text)), c.integer) << c.text;
        EXPECT_EQ(NVValue::intValue(QStringView(text)), c.int32) << c.text;
        EXPECT_EQ(NVValue::integerValue(QVariant(text)), c.integer) << c.text;
    }
}

TEST(NVValue, BoolValueFollowsThePlatformRule)
{
    const std::pair<const char *, bool> cases[] = {
        {"yes", true}, {"YES", true}, {"true", true}, {"T", true}, {"007", true}, {"1", true},
        {"  +9", true}, {"-1", true}, {"no", false}, {"0x1", false}, {"0", false}, {"", false},
        {"000", false}, {"false", false}, {" y", true}, {"ja", false},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(NVValue::boolValue(QStringView(QString::fromUtf8(text))), expected) << text;
}

TEST(NVValue, DoubleValueReadsOnlyADecimalPrefix)
{
    const std::pair<const char *, double> cases[] = {
        {"1.5", 1.5}, {"  -2.25e2xyz", -225.0}, {".5", 0.5}, {"5.", 5.0}, {"abc", 0.0},
        {"0x10", 0.0}, {"inf", 0.0}, {"nan", 0.0}, {"1e", 1.0}, {"+3", 3.0}, {"", 0.0},
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
    EXPECT_EQ(NVValue::className(QVariant(QStringLiteral("x"))), "NSString");
    EXPECT_EQ(NVValue::className(QVariant(true)), "NSNumber");
    EXPECT_EQ(NVValue::className(QVariant(qint64(1))), "NSNumber");
    EXPECT_EQ(NVValue::className(QVariant(2.5)), "NSNumber");
    EXPECT_EQ(NVValue::className(QVariant(QDateTime::currentDateTimeUtc())), "NSDate");
    EXPECT_EQ(NVValue::className(QVariant(QByteArray("x"))), "NSData");
    EXPECT_EQ(NVValue::className(QVariant(QVariantList{})), "NSArray");
    EXPECT_EQ(NVValue::className(QVariant(QVariantMap{})), "NSDictionary");
    EXPECT_EQ(NVValue::className(QVariant(QUrl("https://x.example/"))), "NSURL");
    EXPECT_EQ(NVValue::className(QVariant::fromValue(NVError::posix(2))), "NSError");
    EXPECT_EQ(NVValue::className(QVariant()), "NSNull");
}

TEST(NVValue, DescriptionsUseTheTextForm)
{
    EXPECT_EQ(NVValue::description(QVariant(QStringLiteral("plain text"))), "plain text");
    EXPECT_EQ(NVValue::description(QVariant(qint64(-1))), "-1");
    EXPECT_EQ(NVValue::description(QVariant(std::numeric_limits<quint64>::max())), "18446744073709551615");
    EXPECT_EQ(NVValue::description(QVariant(true)), "1");
    EXPECT_EQ(NVValue::description(QVariant(0.1)), "0.1");
    EXPECT_EQ(NVValue::description(QVariant()), "(null)");
    const QDateTime date(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
    EXPECT_EQ(NVValue::description(QVariant(date)), "2001-01-01 00:00:00 +0000");
    EXPECT_EQ(NVValue::description(QVariant(QByteArray("\x01\x02\x03\x04\x05", 5))), "<01020304 05>");
    EXPECT_EQ(NVValue::description(QVariant(QVariantList{})), "()");
    EXPECT_EQ(NVValue::description(QVariant(QVariantMap{})), "{}");

    const QVariantMap nested{
        {QStringLiteral("b key"), QVariantList{QStringLiteral("x"), QStringLiteral("two words"), qint64(3)}},
        {QStringLiteral("a"), QStringLiteral("quote\"and\\slash\n")},
        {QStringLiteral("c"), QVariantMap{{QStringLiteral("d"), QStringLiteral("")}}},
    };
    EXPECT_EQ(NVValue::description(QVariant(nested)),
              "{\n"
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
    EXPECT_EQ(NVValue::textForm(QVariant(QStringLiteral("two words"))), "\"two words\"");
    EXPECT_EQ(NVValue::textForm(QVariant(QStringLiteral("1.2.3"))), "1.2.3");
}

TEST(NVError, DescriptionsAndUnderlyingErrors)
{
    const NVError posix = NVError::posix(2);
    EXPECT_EQ(posix.localizedDescription(), "No such file or directory");
    const NVError wrapped(QStringLiteral("norvane.SoftwarUpdateUnarchiverErrorDomain"), 1,
                          {{NSLocalizedDescriptionKey, QStringLiteral("tar failed")},
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
