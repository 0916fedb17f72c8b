#include "model/NVTypedAccessors.h"

#include "support/LogCapture.h"

#include <QDateTime>
#include <QUrl>

#include <gtest/gtest.h>

#include <functional>
#include <limits>

using namespace NVTypedAccessors;

namespace {

// One value of every class, under a key named after it.
QVariantMap sampleDictionary()
{
    return {
        {"string", QStringLiteral("42")},
        {"number", qint64(7)},
        {"boolean", true},
        {"array", QVariantList{1, 2}},
        {"data", QByteArray("bytes")},
        {"date", QDateTime::fromSecsSinceEpoch(1000000000, Qt::UTC)},
        {"dictionary", QVariantMap{{"k", "v"}}},
        {"url", QUrl("https://example.org/")},
    };
}

// A type-safe getter and its removing twin, both answering the value as a
// QVariant (invalid for "nothing") so one table can hold them all.
struct TypedMember {
    const char *name;
    const char *expectedClass;
    QStringList keysOfThatClass;
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

std::vector<TypedMember> typedMembers()
{
    return {
        {"array", "NSArray", {"array"}, [](auto &d, auto &k) { return wrap(arrayForKey(d, k)); },
         [](auto &d, auto &k) { return wrap(removeArrayForKey(d, k)); }},
        {"data", "NSData", {"data"}, [](auto &d, auto &k) { return wrap(dataForKey(d, k)); },
         [](auto &d, auto &k) { return wrap(removeDataForKey(d, k)); }},
        {"date", "NSDate", {"date"}, [](auto &d, auto &k) { return wrap(dateForKey(d, k)); },
         [](auto &d, auto &k) { return wrap(removeDateForKey(d, k)); }},
        {"dictionary", "NSDictionary", {"dictionary"}, [](auto &d, auto &k) { return wrap(dictionaryForKey(d, k)); },
         [](auto &d, auto &k) { return wrap(removeDictionaryForKey(d, k)); }},
        {"number", "NSNumber", {"number", "boolean"}, [](auto &d, auto &k) { return wrap(numberForKey(d, k)); },
         [](auto &d, auto &k) { return wrap(removeNumberForKey(d, k)); }},
        {"string", "NSString", {"string"}, [](auto &d, auto &k) { return wrap(stringForKey(d, k)); },
         [](auto &d, auto &k) { return wrap(removeStringForKey(d, k)); }},
        {"url", "NSURL", {"url"}, [](auto &d, auto &k) { return wrap(urlForKey(d, k)); },
         [](auto &d, auto &k) { return wrap(removeURLForKey(d, k)); }},
    };
}

QString className(const QString &key)
{
    if (key == "string")
        return "NSString";
    if (key == "number" || key == "boolean")
        return "NSNumber";
    if (key == "array")
        return "NSArray";
    if (key == "data")
        return "NSData";
    if (key == "date")
        return "NSDate";
    if (key == "dictionary")
        return "NSDictionary";
    return "NSURL";
}

TEST(NVTypedAccessors, TypeSafeGettersAnswerOnlyTheirClassAndLogEveryMismatch)
{
    const QVariantMap dictionary = sampleDictionary();
    for (const TypedMember &member : typedMembers()) {
        for (auto it = dictionary.begin(); it != dictionary.end(); ++it) {
            const QString &key = it.key();
            LogCapture capture;
            const QVariant value = member.get(dictionary, key);
            if (member.keysOfThatClass.contains(key)) {
                EXPECT_EQ(value, it.value()) << member.name << " " << qPrintable(key);
                EXPECT_TRUE(capture.messages().isEmpty()) << member.name << " " << qPrintable(key);
            } else {
                EXPECT_FALSE(value.isValid()) << member.name << " " << qPrintable(key);
                EXPECT_EQ(capture.messages(),
                          QStringList{QStringLiteral("-[NSDictionary objectForKey:%1] returns %2 instead of expected %3")
                                          .arg(key, className(key), QString::fromLatin1(member.expectedClass))})
                    << member.name << " " << qPrintable(key);
            }
        }
        LogCapture capture;
        EXPECT_FALSE(member.get(dictionary, "absent").isValid()) << member.name;
        EXPECT_TRUE(capture.messages().isEmpty()) << member.name;
    }
}

TEST(NVTypedAccessors, RemovingMembersRemoveOnlyValuesOfTheirClass)
{
    for (const TypedMember &member : typedMembers()) {
        for (const QString &key : sampleDictionary().keys()) {
            QVariantMap dictionary = sampleDictionary();
            LogCapture capture;
            const QVariant removed = member.remove(dictionary, key);
            if (member.keysOfThatClass.contains(key)) {
                EXPECT_EQ(removed, sampleDictionary().value(key)) << member.name << " " << qPrintable(key);
                EXPECT_FALSE(dictionary.contains(key)) << member.name << " " << qPrintable(key);
            } else {
                // The wrong-typed entry stays where it was, untouched.
                EXPECT_FALSE(removed.isValid()) << member.name << " " << qPrintable(key);
                EXPECT_EQ(dictionary, sampleDictionary()) << member.name << " " << qPrintable(key);
                EXPECT_EQ(capture.messages().size(), 1) << member.name << " " << qPrintable(key);
            }
        }
    }
}

TEST(NVTypedAccessors, ScalarReadersConvertStringsAndNumbersAndRefuseTheRest)
{
    const QVariantMap dictionary{
        {"answer", QStringLiteral("42")},
        {"fraction", QStringLiteral(" 3.75 apples")},
        {"yes", QStringLiteral("YES")},
        {"seven", qint64(7)},
        {"half", 0.5},
        {"array", QVariantList{1}},
        {"date", QDateTime::fromSecsSinceEpoch(0, Qt::UTC)},
    };
    struct Case {
        const char *key;
        bool boolean;
        qint64 integer;
        double real;
        const char *refusedClass; // nullptr when the value is accepted
    };
    const Case cases[] = {
        {"answer", true, 42, 42.0, nullptr},
        {"fraction", true, 3, 3.75, nullptr},
        {"yes", true, 0, 0.0, nullptr},
        {"seven", true, 7, 7.0, nullptr},
        {"half", true, 0, 0.5, nullptr},
        {"absent", false, 0, 0.0, nullptr},
        {"array", false, 0, 0.0, "NSArray"},
        {"date", false, 0, 0.0, "NSDate"},
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
        QVariantMap copy = dictionary;
        EXPECT_EQ(removeIntegerForKey(copy, c.key), c.integer) << c.key;
        EXPECT_EQ(copy.contains(c.key), c.refusedClass != nullptr) << c.key;
        copy = dictionary;
        EXPECT_EQ(removeBoolForKey(copy, c.key), c.boolean) << c.key;
        EXPECT_EQ(copy.contains(c.key), c.refusedClass != nullptr) << c.key;
        copy = dictionary;
        EXPECT_DOUBLE_EQ(removeDoubleForKey(copy, c.key), c.real) << c.key;
        EXPECT_EQ(copy.contains(c.key), c.refusedClass != nullptr) << c.key;
    }
}

TEST(NVTypedAccessors, UncheckedMembersAnswerWhateverIsStoredWithoutLogging)
{
    const QVariantMap dictionary{
        {"text", QStringLiteral("not data")},
        {"big", QStringLiteral("99999999999")},
        {"minusOne", qint64(-1)},
        {"array", QVariantList{1}},
    };
    LogCapture capture;
    EXPECT_EQ(unsafeDataForKey(dictionary, "text"), QVariant(QStringLiteral("not data")));
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
