#include "model/NVTypedAccessors.h"

#include "foundation/NVValue.h"
#include "logging/NVLog.h"

namespace NVTypedAccessors {

namespace {

bool hasClass(const QVariant &value, ExpectedClass expectedClass)
{
    switch (expectedClass) {
    case ExpectedClass::Array: return NVValue::isArray(value);
    case ExpectedClass::Data: return NVValue::isData(value);
    case ExpectedClass::Date: return NVValue::isDate(value);
    case ExpectedClass::Dictionary: return NVValue::isDictionary(value);
    case ExpectedClass::Number: return NVValue::isNumber(value);
    case ExpectedClass::String: return NVValue::isString(value);
    case ExpectedClass::URL: return NVValue::isURL(value);
    }
    return false;
}

QString nameOf(ExpectedClass expectedClass)
{
    switch (expectedClass) {
    case ExpectedClass::Array: return QStringLiteral("NSArray");
    case ExpectedClass::Data: return QStringLiteral("NSData");
    case ExpectedClass::Date: return QStringLiteral("NSDate");
    case ExpectedClass::Dictionary: return QStringLiteral("NSDictionary");
    case ExpectedClass::Number: return QStringLiteral("NSNumber");
    case ExpectedClass::String: return QStringLiteral("NSString");
    case ExpectedClass::URL: return QStringLiteral("NSURL");
    }
    return QString();
}

template <typename T>
std::optional<T> typed(const QVariantMap &dictionary, ExpectedClass expectedClass, const QString &key)
{
    const QVariant value = _objectOfClass(dictionary, expectedClass, key);
    if (!value.isValid())
        return std::nullopt;
    if constexpr (std::is_same_v<T, QVariant>)
        return value;
    else
        return value.value<T>();
}

template <typename T>
std::optional<T> removeTyped(QVariantMap &dictionary, ExpectedClass expectedClass, const QString &key)
{
    std::optional<T> value = typed<T>(dictionary, expectedClass, key);
    if (value)
        dictionary.remove(key);
    return value;
}

// Reads with the scalar check and removes the key when a value was found; the
// caller converts what was read.
QVariant removeScalar(QVariantMap &dictionary, const QString &key)
{
    const QVariant value = _scalarValueForKey(dictionary, key);
    if (value.isValid())
        dictionary.remove(key);
    return value;
}

QVariant stored(const QVariantMap &dictionary, const QString &key) { return dictionary.value(key); }

} // namespace

QVariant _objectOfClass(const QVariantMap &dictionary, ExpectedClass expectedClass, const QString &key)
{
    const QVariant value = dictionary.value(key);
    if (!value.isValid() || hasClass(value, expectedClass))
        return value;
    NVLog(QStringLiteral("-[NSDictionary objectForKey:%@] returns %@ instead of expected %@"), key,
          NVValue::className(value), nameOf(expectedClass));
    return QVariant();
}

QVariant _scalarValueForKey(const QVariantMap &dictionary, const QString &key)
{
    const QVariant value = dictionary.value(key);
    if (!value.isValid() || NVValue::isString(value) || NVValue::isNumber(value))
        return value;
    NVLog(QStringLiteral("-[NSDictionary objectForKey:%@] returns %@ instead of expected NSString or NSNumber"), key,
          NVValue::className(value));
    return QVariant();
}

std::optional<QVariantList> arrayForKey(const QVariantMap &d, const QString &key) { return typed<QVariantList>(d, ExpectedClass::Array, key); }
std::optional<QByteArray> dataForKey(const QVariantMap &d, const QString &key) { return typed<QByteArray>(d, ExpectedClass::Data, key); }
std::optional<QDateTime> dateForKey(const QVariantMap &d, const QString &key) { return typed<QDateTime>(d, ExpectedClass::Date, key); }
std::optional<QVariantMap> dictionaryForKey(const QVariantMap &d, const QString &key) { return typed<QVariantMap>(d, ExpectedClass::Dictionary, key); }
std::optional<QVariant> numberForKey(const QVariantMap &d, const QString &key) { return typed<QVariant>(d, ExpectedClass::Number, key); }
std::optional<QString> stringForKey(const QVariantMap &d, const QString &key) { return typed<QString>(d, ExpectedClass::String, key); }
std::optional<QUrl> urlForKey(const QVariantMap &d, const QString &key) { return typed<QUrl>(d, ExpectedClass::URL, key); }

bool boolForKey(const QVariantMap &d, const QString &key)
{
    return NVValue::boolValue(_scalarValueForKey(d, key));
}

qint64 integerForKey(const QVariantMap &d, const QString &key)
{
    return NVValue::integerValue(_scalarValueForKey(d, key));
}

double doubleForKey(const QVariantMap &d, const QString &key)
{
    return NVValue::doubleValue(_scalarValueForKey(d, key));
}

QVariant unsafeArrayForKey(const QVariantMap &d, const QString &key) { return stored(d, key); }
QVariant unsafeSetForKey(const QVariantMap &d, const QString &key) { return stored(d, key); }
QVariant unsafeDictionaryForKey(const QVariantMap &d, const QString &key) { return stored(d, key); }
QVariant unsafeDataForKey(const QVariantMap &d, const QString &key) { return stored(d, key); }
QVariant unsafeDateForKey(const QVariantMap &d, const QString &key) { return stored(d, key); }
QVariant unsafeNumberForKey(const QVariantMap &d, const QString &key) { return stored(d, key); }
QVariant unsafeStringForKey(const QVariantMap &d, const QString &key) { return stored(d, key); }
QVariant unsafeURLForKey(const QVariantMap &d, const QString &key) { return stored(d, key); }
QVariant unsafeStringArrayForKey(const QVariantMap &d, const QString &key) { return stored(d, key); }

bool unsafeBoolForKey(const QVariantMap &d, const QString &key) { return NVValue::boolValue(stored(d, key)); }
qint32 unsafeIntForKey(const QVariantMap &d, const QString &key) { return NVValue::intValue(stored(d, key)); }
quint32 unsafeUnsignedIntForKey(const QVariantMap &d, const QString &key) { return NVValue::unsignedIntValue(stored(d, key)); }
qint64 unsafeIntegerForKey(const QVariantMap &d, const QString &key) { return NVValue::integerValue(stored(d, key)); }
quint64 unsafeUnsignedIntegerForKey(const QVariantMap &d, const QString &key) { return NVValue::unsignedIntegerValue(stored(d, key)); }
double unsafeDoubleForKey(const QVariantMap &d, const QString &key) { return NVValue::doubleValue(stored(d, key)); }

std::optional<QVariantList> removeArrayForKey(QVariantMap &d, const QString &key) { return removeTyped<QVariantList>(d, ExpectedClass::Array, key); }
std::optional<QByteArray> removeDataForKey(QVariantMap &d, const QString &key) { return removeTyped<QByteArray>(d, ExpectedClass::Data, key); }
std::optional<QDateTime> removeDateForKey(QVariantMap &d, const QString &key) { return removeTyped<QDateTime>(d, ExpectedClass::Date, key); }
std::optional<QVariantMap> removeDictionaryForKey(QVariantMap &d, const QString &key) { return removeTyped<QVariantMap>(d, ExpectedClass::Dictionary, key); }
std::optional<QVariant> removeNumberForKey(QVariantMap &d, const QString &key) { return removeTyped<QVariant>(d, ExpectedClass::Number, key); }
std::optional<QString> removeStringForKey(QVariantMap &d, const QString &key) { return removeTyped<QString>(d, ExpectedClass::String, key); }
std::optional<QUrl> removeURLForKey(QVariantMap &d, const QString &key) { return removeTyped<QUrl>(d, ExpectedClass::URL, key); }

bool removeBoolForKey(QVariantMap &d, const QString &key)
{
    return NVValue::boolValue(removeScalar(d, key));
}

qint64 removeIntegerForKey(QVariantMap &d, const QString &key)
{
    return NVValue::integerValue(removeScalar(d, key));
}

double removeDoubleForKey(QVariantMap &d, const QString &key)
{
    return NVValue::doubleValue(removeScalar(d, key));
}

} // namespace NVTypedAccessors
