#pragma once

#include "foundation/NVError.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

// Property lists in their three encodings, read into and written from the
// QVariant values described in NVValue.h (strings, signed and unsigned 64-bit
// integers, reals, booleans, dates, data, arrays, dictionaries).
//
// Everything read here may come from an attacker (a feed, a defaults file, a
// string table), so every reader enforces the limits below and answers a
// failure as an error value of the domain "NSCocoaErrorDomain", code 3840,
// whose description names the position (byte offset, or line and column for
// text) and the reason. No input crashes or hangs a reader.
//
// All functions are pure and thread-safe.
namespace NVPropertyList {

enum class Format {
    XML,     // <plist version="1.0">...</plist>
    Binary,  // "bplist00"
    Text,    // the old text form: ( a, b ), { key = value; }, "strings", <0a0b>
};

struct Limits {
    int maxDepth = 512;              // nesting of arrays and dictionaries
    qint64 maxObjects = 4'000'000;   // values of any kind in one document
    qint64 maxBytes = 256LL << 20;   // size of the encoded document
};

inline constexpr qint64 ReadCorruptErrorCode = 3840;

// Detects the encoding from the bytes ("bplist00", then XML, else text).
NVResult<QVariant> read(const QByteArray &data, Format *detectedFormat = nullptr, const Limits &limits = {});

NVResult<QVariant> readXML(const QByteArray &data, const Limits &limits = {});
NVResult<QVariant> readBinary(const QByteArray &data, const Limits &limits = {});
// The text form in UTF-8 or UTF-16 with a byte-order mark. A document that is
// a sequence of "key = value;" pairs without braces (a string table) reads as
// a dictionary.
NVResult<QVariant> readText(const QByteArray &data, const Limits &limits = {});
NVResult<QVariant> readText(QStringView text, const Limits &limits = {});

// Writes a value. Fails only for values no property list can hold (an
// invalid QVariant or a type outside the set). The text form has no numbers,
// booleans or dates of its own: they are written as their text.
NVResult<QByteArray> write(const QVariant &value, Format format);

// Reads a file (any encoding). The error for a missing or unreadable file is
// in the POSIX domain with the path under NSFilePathErrorKey.
NVResult<QVariant> readFile(const QString &path, Format *detectedFormat = nullptr, const Limits &limits = {});
// Writes atomically: the old file stays whole until the new one is complete.
NVStatus writeFile(const QString &path, const QVariant &value, Format format);

// A string table: "key" = "value"; entries with comments. Unlike readText,
// a malformed entry does not lose the table: reading resumes after the next
// ';' and the first problem is reported with its line.
struct StringsTable {
    QVariantMap entries;              // key -> QString
    std::optional<NVError> firstError; // description holds "line N: reason"
    int firstErrorLine = 0;
};
StringsTable readStringsTable(const QByteArray &data);

} // namespace NVPropertyList
