#include "model/NVTypedAccessors.h"

#include "foundation/NVValue.h"
#include "support/LogCapture.h"

#include <QDateTime>
#include <QUrl>

#include <gtest/gtest.h>

#include <functional>
#include <limits>

using namespace NVTypedAccessors;

namespace {

// One value of every class, under a key named after it; a boolean is an NSNumber.
QVariantMap sampleDictionary()
{
    return {
        {"string", "42"}, {"number", qint64(7)}, {"boolean", true}, {"array", QVariantList{1, 2}}, {"data", QByteArray("bytes")},
        {"date", QDateTime::fromSecsSinceEpoch(1000000000, Qt::UTC)}, {"dictionary", QVariantMap{{"k", "v"}}},
        {"url", QUrl("https://example.org/")},
    };
}

// A type-safe getter and its removing twin, both answering the value as a
// QVariant (invalid for "nothing") so one table can hold them all.
struct TypedMember {
    QString expectedClass;
    std::function<QVariant(const QVariantMap &, const QString &)> get;
    std::function<QVariant(QVariantMap &, const QString &)> remove;
};

template <typename T>
QVariant wrap(const std::optional<T> &value)
{
    return value ? QVariant::fromValue(*value) : QVariant();
}

template <>
QVariant wrap(const std::optional<QVariant> &value)
{
    return value ? *value : QVariant();
}

// One row of the table below, from a getter and its removing twin.
#define MEMBER(className, get, remove) \
    TypedMember{className, [](auto &d, auto &k) { return wrap(get(d, k)); }, [](auto &d, auto &k) { return wrap(remove(d, k)); }}

const TypedMember typedMembers[] = {
    MEMBER("NSArray", arrayForKey, removeArrayForKey),
    MEMBER("NSData", dataForKey, removeDataForKey),
    MEMBER("NSDate", dateForKey, removeDateForKey),
    MEMBER("NSDictionary", dictionaryForKey, removeDictionaryForKey),
    MEMBER("NSNumber", numberForKey, removeNumberForKey),
    MEMBER("NSString", stringForKey, removeStringForKey),
    MEMBER("NSURL", urlForKey, removeURLForKey),
};

TEST(NVTypedAccessors, TypedMembersAnswerAndRemoveOnlyTheirClassAndLogEveryMismatch)
{
    const QVariantMap sample = sampleDictionary();
    const QStringList keys = QStringList(sample.keys()) << "absent";
    for (const TypedMember &member : typedMembers) {
        for (const QString &key : keys) {
            SCOPED_TRACE((member.expectedClass + " " + key).toStdString());
            const QString className = NVValue::className(sample.value(key));
            const bool matches = className == member.expectedClass;
            LogCapture capture;
            EXPECT_EQ(member.get(sample, key), matches ? sample.value(key) : QVariant());
            // Removing takes the value only when it has the class; a
            // wrong-typed entry stays where it was, untouched.
            QVariantMap dictionary = sample;
            EXPECT_EQ(member.remove(dictionary, key), matches ? sample.value(key) : QVariant());
            EXPECT_EQ(dictionary.value(key), matches ? QVariant() : sample.value(key));
            EXPECT_EQ(dictionary.size(), sample.size() - (matches ? 1 : 0));
            // Both log a mismatch, and nothing else.
            const QString line = QStringLiteral("-[NSDictionary objectForKey:%1] returns %2 instead of expected %3")
                                     .arg(key, className, member.expectedClass);
            EXPECT_EQ(capture.messages(), matches || key == "absent" ? QStringList() : QStringList({line, line}));
        }
    }
}

TEST(NVTypedAccessors, ScalarReadersConvertStringsAndNumbersAndRefuseTheRest)
{
    const QVariantMap dictionary{
        {"answer", "42"}, {"fraction", " 3.75 apples"}, {"yes", "YES"}, {"seven", qint64(7)}, {"half", 0.5},
        {"array", QVariantList{1}}, {"date", QDateTime::fromSecsSinceEpoch(0, Qt::UTC)},
    };
    struct Case {
        const char *key;
        bool boolean;
        qint64 integer;
        double real;
        const char *refusedClass; // nullptr when the value is accepted
    };
    const Case cases[] = {
        {"answer", true, 42, 42.0, nullptr}, {"fraction", true, 3, 3.75, nullptr}, {"yes", true, 0, 0.0, nullptr},
        {"seven", true, 7, 7.0, nullptr}, {"half", true, 0, 0.5, nullptr}, {"absent", false, 0, 0.0, nullptr},
        {"array", false, 0, 0.0, "NSArray"}, {"date", false, 0, 0.0, "NSDate"},
    };
    for (const Case &c : cases) {
        LogCapture capture;
        EXPECT_EQ(boolForKey(dictionary, c.key), c.boolean) << c.key;
        EXPECT_EQ(integerForKey(dictionary, c.key), c.integer) << c.key;
        EXPECT_DOUBLE_EQ(doubleForKey(dictionary, c.key), c.real) << c.key;
        const QString line = QStringLiteral("-[NSDictionary objectForKey:%1] returns %2 instead of expected NSString or NSNumber")
                                 .arg(QString::fromLatin1(c.key), QString::fromLatin1(c.refusedClass));
        const QStringList expected = c.refusedClass ? QStringList{line, line, line} : QStringList();
        EXPECT_EQ(capture.messages(), expected) << c.key;

        // The removing forms answer the same and remove only what they accepted.
        QVariantMap a = dictionary, b = dictionary, d = dictionary;
        EXPECT_EQ(removeIntegerForKey(a, c.key), c.integer) << c.key;
        EXPECT_EQ(removeBoolForKey(b, c.key), c.boolean) << c.key;
        EXPECT_DOUBLE_EQ(removeDoubleForKey(d, c.key), c.real) << c.key;
        for (const QVariantMap *copy : {&a, &b, &d})
            EXPECT_EQ(copy->contains(c.key), c.refusedClass != nullptr) << c.key;
    }
}

TEST(NVTypedAccessors, UncheckedMembersAnswerWhateverIsStoredWithoutLogging)
{
    const QVariantMap dictionary{
        {"text", "not data"}, {"big", "99999999999"}, {"minusOne", qint64(-1)}, {"array", QVariantList{1}},
    };
    LogCapture capture;
    EXPECT_EQ(unsafeDataForKey(dictionary, "text"), QVariant("not data"));
    EXPECT_EQ(unsafeDictionaryForKey(dictionary, "array"), QVariant(QVariantList{1}));
    EXPECT_FALSE(unsafeStringForKey(dictionary, "absent").isValid());

    EXPECT_EQ(unsafeIntForKey(dictionary, "big"), std::numeric_limits<qint32>::max());
    EXPECT_EQ(unsafeIntegerForKey(dictionary, "big"), 99999999999LL);
    EXPECT_EQ(unsafeUnsignedIntForKey(dictionary, "minusOne"), std::numeric_limits<quint32>::max());
    EXPECT_EQ(unsafeUnsignedIntegerForKey(dictionary, "minusOne"), std::numeric_limits<quint64>::max());
    EXPECT_TRUE(unsafeBoolForKey(dictionary, "big"));
    // A value that is no scalar converts to nothing rather than failing.
    EXPECT_FALSE(unsafeBoolForKey(dictionary, "array"));
    EXPECT_EQ(unsafeIntegerForKey(dictionary, "array"), 0);
    EXPECT_EQ(unsafeDoubleForKey(dictionary, "absent"), 0.0);
    EXPECT_TRUE(capture.messages().isEmpty());
}

} // namespace
