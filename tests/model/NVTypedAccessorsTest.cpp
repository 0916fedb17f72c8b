#include "model/NVTypedAccessors.h"

#include "support/LogCapture.h"

#include <QDateTime>
#include <QUrl>

#include <gtest/gtest.h>

using namespace NVTypedAccessors;

namespace {

const QVariantMap sample{
    {"string", "42"}, {"number", qint64(7)}, {"boolean", true}, {"array", QVariantList{1, 2}}, {"data", QByteArray("bytes")},
    {"date", QDateTime::fromSecsSinceEpoch(1000000000, Qt::UTC)}, {"url", QUrl("https://example.org/")},
};

QString mismatch(const QString &key, const QString &found, const QString &expected)
{
    return QStringLiteral("-[NSDictionary objectForKey:%1] returns %2 instead of expected %3").arg(key, found, expected);
}

TEST(NVTypedAccessors, TypedMembersAnswerAndRemoveOnlyTheirClassAndLogEveryMismatch)
{
    LogCapture log;
    EXPECT_EQ(stringForKey(sample, "string"), "42");
    EXPECT_EQ(numberForKey(sample, "boolean"), QVariant(true)); // a boolean is a number
    EXPECT_EQ(urlForKey(sample, "url"), QUrl("https://example.org/"));
    EXPECT_FALSE(arrayForKey(sample, "absent")); // absent: nothing, and no line
    EXPECT_TRUE(log.messages().isEmpty());

    EXPECT_FALSE(stringForKey(sample, "number"));
    EXPECT_FALSE(dataForKey(sample, "string"));
    EXPECT_FALSE(dateForKey(sample, "url"));
    // A wrong-typed entry stays where it was, untouched.
    QVariantMap dictionary = sample;
    EXPECT_FALSE(removeStringForKey(dictionary, "number"));
    EXPECT_EQ(dictionary, sample);
    EXPECT_EQ(removeArrayForKey(dictionary, "array"), (QVariantList{1, 2}));
    EXPECT_FALSE(dictionary.contains("array"));
    EXPECT_EQ(log.messages(), QStringList({mismatch("number", "NSNumber", "NSString"), mismatch("string", "NSString", "NSData"),
                                           mismatch("url", "NSURL", "NSDate"), mismatch("number", "NSNumber", "NSString")}));
}

TEST(NVTypedAccessors, ScalarReadersConvertStringsAndNumbersAndRefuseTheRest)
{
    const QVariantMap dictionary{{"answer", "42"}, {"fraction", " 3.75 apples"}, {"yes", "YES"}, {"half", 0.5}, {"array", QVariantList{1}}};
    LogCapture log;
    EXPECT_EQ(integerForKey(dictionary, "answer"), 42);
    EXPECT_DOUBLE_EQ(doubleForKey(dictionary, "fraction"), 3.75);
    EXPECT_TRUE(boolForKey(dictionary, "yes"));
    EXPECT_EQ(integerForKey(dictionary, "half"), 0);
    EXPECT_FALSE(boolForKey(dictionary, "absent"));
    EXPECT_TRUE(log.messages().isEmpty());
    EXPECT_EQ(integerForKey(dictionary, "array"), 0);
    EXPECT_EQ(log.messages(), QStringList{mismatch("array", "NSArray", "NSString or NSNumber")});
    // Removing takes only what it accepted.
    QVariantMap copy = dictionary;
    EXPECT_EQ(removeIntegerForKey(copy, "answer"), 42);
    EXPECT_FALSE(removeBoolForKey(copy, "array"));
    EXPECT_EQ(copy.keys(), QStringList({"array", "fraction", "half", "yes"}));
}

} // namespace
