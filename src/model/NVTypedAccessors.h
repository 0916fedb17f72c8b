#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

// Reading dictionaries that come from outside (property lists, notification
// payloads), whose values may be of any kind.
//
// The type-safe family answers a value only when it has the expected class
// (see NVValue.h for which QVariant type stands for which class); a value of
// another class is never returned: the accessor writes one line to the
// platform log and answers nothing (std::nullopt, false or 0). An absent key
// answers nothing without a log line.
//
// The unchecked ("unsafe") family answers whatever is stored, with no test;
// its conversions never fail (a value that is not a string or a number
// converts to false or 0).
//
// The removing family reads with the type-safe getter of the same type and
// removes the key only when that read yielded a value, so an entry of the
// wrong class stays in the dictionary.
//
// All functions: any thread, as long as no other thread modifies the same
// dictionary.
namespace NVTypedAccessors {

// The classes a type-safe read may expect.
enum class ExpectedClass { Array, Data, Date, Dictionary, Number, String, URL };

// The core of the type-safe family. `_objectOfClass` answers the stored value
// when it is absent (an invalid QVariant) or of the expected class; otherwise
// it logs "-[NSDictionary objectForKey:<key>] returns <class> instead of
// expected <class>" and answers an invalid QVariant.
QVariant _objectOfClass(const QVariantMap &dictionary, ExpectedClass expectedClass, const QString &key);
// The same for values that must be a string or a number (the inputs of the
// Boolean and numeric readers); the log line ends "instead of expected
// NSString or NSNumber".
QVariant _scalarValueForKey(const QVariantMap &dictionary, const QString &key);

std::optional<QVariantList> arrayForKey(const QVariantMap &dictionary, const QString &key);
std::optional<QByteArray> dataForKey(const QVariantMap &dictionary, const QString &key);
std::optional<QDateTime> dateForKey(const QVariantMap &dictionary, const QString &key);
std::optional<QVariantMap> dictionaryForKey(const QVariantMap &dictionary, const QString &key);
// A number is one of the QVariant number types (booleans included).
std::optional<QVariant> numberForKey(const QVariantMap &dictionary, const QString &key);
std::optional<QString> stringForKey(const QVariantMap &dictionary, const QString &key);
std::optional<QUrl> urlForKey(const QVariantMap &dictionary, const QString &key);
// Strings and numbers converted by the platform's rules (NVValue); false or 0
// when absent or of another class.
bool boolForKey(const QVariantMap &dictionary, const QString &key);
qint64 integerForKey(const QVariantMap &dictionary, const QString &key);
double doubleForKey(const QVariantMap &dictionary, const QString &key);

// Unchecked: the stored value as it is (an invalid QVariant when absent),
// whatever its class. The name only says what the caller believes is there.
QVariant unsafeArrayForKey(const QVariantMap &dictionary, const QString &key);
QVariant unsafeSetForKey(const QVariantMap &dictionary, const QString &key);
QVariant unsafeDictionaryForKey(const QVariantMap &dictionary, const QString &key);
QVariant unsafeDataForKey(const QVariantMap &dictionary, const QString &key);
QVariant unsafeDateForKey(const QVariantMap &dictionary, const QString &key);
QVariant unsafeNumberForKey(const QVariantMap &dictionary, const QString &key);
QVariant unsafeStringForKey(const QVariantMap &dictionary, const QString &key);
QVariant unsafeURLForKey(const QVariantMap &dictionary, const QString &key);
QVariant unsafeStringArrayForKey(const QVariantMap &dictionary, const QString &key);
// Unchecked conversions of the stored value; false or 0 when absent.
bool unsafeBoolForKey(const QVariantMap &dictionary, const QString &key);
qint32 unsafeIntForKey(const QVariantMap &dictionary, const QString &key);
quint32 unsafeUnsignedIntForKey(const QVariantMap &dictionary, const QString &key);
qint64 unsafeIntegerForKey(const QVariantMap &dictionary, const QString &key);
quint64 unsafeUnsignedIntegerForKey(const QVariantMap &dictionary, const QString &key);
double unsafeDoubleForKey(const QVariantMap &dictionary, const QString &key);

// Removing: the type-safe read, then removal of the key when it yielded a value.
std::optional<QVariantList> removeArrayForKey(QVariantMap &dictionary, const QString &key);
std::optional<QByteArray> removeDataForKey(QVariantMap &dictionary, const QString &key);
std::optional<QDateTime> removeDateForKey(QVariantMap &dictionary, const QString &key);
std::optional<QVariantMap> removeDictionaryForKey(QVariantMap &dictionary, const QString &key);
std::optional<QVariant> removeNumberForKey(QVariantMap &dictionary, const QString &key);
std::optional<QString> removeStringForKey(QVariantMap &dictionary, const QString &key);
std::optional<QUrl> removeURLForKey(QVariantMap &dictionary, const QString &key);
bool removeBoolForKey(QVariantMap &dictionary, const QString &key);
qint64 removeIntegerForKey(QVariantMap &dictionary, const QString &key);
double removeDoubleForKey(QVariantMap &dictionary, const QString &key);

} // namespace NVTypedAccessors
