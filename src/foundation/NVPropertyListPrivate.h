#pragma once

// Pieces shared by the three property-list codecs. Not part of the public
// interface.

#include "foundation/NVPropertyList.h"

#include <QDateTime>
#include <QString>
#include <QStringView>
#include <QVariant>

#include <optional>

namespace NVPropertyList::detail {

// Dates are held to the years 1 to 9999: every encoding can write them, and a
// date beyond them in a document is corrupt rather than an update's date.
inline constexpr qint64 MinDateMSecs = -62135596800000LL;   // 0001-01-01T00:00:00Z
inline constexpr qint64 MaxDateMSecs = 253402300799999LL;   // 9999-12-31T23:59:59.999Z
// The binary encoding counts seconds from 2001-01-01T00:00:00Z.
inline constexpr qint64 ReferenceDateMSecs = 978307200000LL;

// "Property list error at byte N: reason"
NVError errorAtByte(qint64 offset, const QString &reason);
// "Property list error at line L, column C: reason" (both 1-based)
NVError errorAtLine(qint64 line, qint64 column, const QString &reason);
// The error for a document beyond Limits::maxBytes.
NVError tooLargeError(qint64 size, const Limits &limits);
// "Property list write error: reason", code WriteInvalidErrorCode.
NVError writeError(const QString &reason);

// A reason naming a value's type for a write error.
QString unwritableTypeReason(const QVariant &value);

// The date for milliseconds since 1970, or nothing when outside the years 1-9999.
std::optional<QDateTime> dateFromMSecs(qint64 msecs);
// Milliseconds since 1970 of a valid date within the years 1-9999.
std::optional<qint64> msecsFromDate(const QDateTime &date);

// The reason a date cannot be written, or nothing when it can.
std::optional<QString> unwritableDateReason(const QDateTime &date);

// Quotes a short excerpt of text for an error message.
QString excerpt(QStringView text);

// The integer types a property list writes: signed values (bool excluded)
// and unsigned ones; nullopt for anything else.
enum class IntegerKind { Signed, Unsigned };
std::optional<IntegerKind> integerKind(const QVariant &value);

// The value of a hexadecimal digit, -1 for any other character.
inline int hexDigitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

// The offset of the first byte that does not start a well-formed UTF-8
// sequence (no overlong forms, surrogates or values beyond U+10FFFF), or -1.
qsizetype invalidUtf8At(const uchar *bytes, qsizetype size);

// The writers of each encoding, behind write().
NVResult<QByteArray> writeXML(const QVariant &value);
NVResult<QByteArray> writeBinary(const QVariant &value);

// Text-form pieces the string tables reuse: decoding the bytes (UTF-8, or
// UTF-16 after a byte-order mark) and reading a brace-less table with
// recovery after malformed entries.
NVResult<QString> decodeText(const QByteArray &data);
StringsTable readStringsTableText(QStringView text, const Limits &limits);

} // namespace NVPropertyList::detail
