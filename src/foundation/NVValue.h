#pragma once

#include <QString>
#include <QStringView>
#include <QVariant>

// Values that come from property lists, user defaults and notifications are
// QVariants of a small closed set of types, each standing for one platform
// class so that log lines can name it:
//
//   QString                      NSString
//   bool, qint64, quint64, int,
//   uint, double                 NSNumber (signed and unsigned stay distinct,
//                                so -1 and 2^64-1 are different numbers)
//   QDateTime                    NSDate (UTC, millisecond precision)
//   QByteArray                   NSData
//   QVariantList                 NSArray
//   QVariantMap                  NSDictionary
//   QUrl                         NSURL
//   NVError                      NSError
//
// The conversions follow the platform's rules for strings and numbers; they
// never fail and never invoke undefined behaviour. All functions are pure and
// thread-safe.
namespace NVValue {

bool isString(const QVariant &value);
bool isNumber(const QVariant &value);    // includes booleans
bool isBoolean(const QVariant &value);
bool isDate(const QVariant &value);
bool isData(const QVariant &value);
bool isArray(const QVariant &value);
bool isDictionary(const QVariant &value);
bool isURL(const QVariant &value);

// "NSString", "NSNumber", "NSDate", "NSData", "NSArray", "NSDictionary",
// "NSURL", "NSError", "NSNull" for an invalid value, else the Qt type name.
QString className(const QVariant &value);

// String rules: leading white space is skipped, an optional sign is read,
// then decimal digits up to the first non-digit; no digits give 0; a
// magnitude beyond the range gives the nearest limit.
qint64 integerValue(QStringView text);
qint32 intValue(QStringView text);
// True when, after white space, an optional sign and leading zeros, the first
// character is Y, y, T, t or a digit 1-9.
bool boolValue(QStringView text);
// A leading decimal floating-point number, 0.0 when there is none.
double doubleValue(QStringView text);

// The same conversions on any value: strings by the rules above, numbers as
// the C conversions of their stored value (truncating, two's-complement
// wrapping where the target is narrower), everything else 0 or false.
qint64 integerValue(const QVariant &value);
qint32 intValue(const QVariant &value);
quint32 unsignedIntValue(const QVariant &value);
quint64 unsignedIntegerValue(const QVariant &value);
bool boolValue(const QVariant &value);
double doubleValue(const QVariant &value);

// The text a "%@" specifier prints: strings as they are, numbers in decimal,
// dates as "2001-01-01 00:00:00 +0000", arrays and dictionaries in the old
// text property-list form (keys sorted, nested levels indented by four
// blanks), errors by their description, an invalid value as "(null)".
QString description(const QVariant &value);

// The old text property-list form of a value, which the text parser reads
// back. Unlike description(), a string at the top is quoted where needed.
QString textForm(const QVariant &value);

// The date text of description(): UTC, "yyyy-MM-dd HH:mm:ss +0000".
QString dateDescription(const QDateTime &date);

} // namespace NVValue
