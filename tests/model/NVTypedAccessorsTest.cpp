#include "model/NVTypedAccessors.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace NVTypedAccessors;

namespace {

QString mismatch(const QString &key, const QString &found, const QString &expected)
{
    return QStringLiteral("-[NSDictionary objectForKey:%1] returns %2 instead of expected %3").arg(key, found, expected);
}

// Every family goes through the same class check; one member of each stands for it.
TEST(NVTypedAccessors, ReadersAnswerAndRemoveOnlyTheirClassAndLogEveryMismatch)
{
    const QVariantMap sample{{"string", "42"}, {"number", qint64(7)}, {"boolean", true}, {"array", QVariantList{1, 2}}};
    LogCapture log;
    EXPECT_EQ(stringForKey(sample, "string"), "42");
    EXPECT_EQ(numberForKey(sample, "boolean"), QVariant(true)); // a boolean is a number
    EXPECT_EQ(integerForKey(sample, "string"), 42);
    EXPECT_FALSE(arrayForKey(sample, "absent")); // absent: nothing, and no line
    EXPECT_TRUE(log.messages().isEmpty());

    EXPECT_FALSE(dataForKey(sample, "string"));
    EXPECT_EQ(integerForKey(sample, "array"), 0);
    // A wrong-typed entry stays where it was, untouched.
    QVariantMap dictionary = sample;
    EXPECT_FALSE(removeStringForKey(dictionary, "number"));
    EXPECT_EQ(dictionary, sample);
    EXPECT_EQ(removeArrayForKey(dictionary, "array"), (QVariantList{1, 2}));
    EXPECT_FALSE(dictionary.contains("array"));
    EXPECT_EQ(log.messages(), QStringList({mismatch("string", "NSString", "NSData"), mismatch("array", "NSArray", "NSString or NSNumber"),
                                           mismatch("number", "NSNumber", "NSString")}));
}

} // namespace
