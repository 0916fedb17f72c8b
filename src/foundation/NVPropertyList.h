#pragma once

#include "foundation/NVError.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

// Property lists in their three encodings, read into and written from the
// QVariant values described in NVValue.h (strings, signed and unsigned 64-bit
// integers, reals, booleans, dates, data, arrays, dictionaries).
//
// Everything read here may come from an attacker (a feed, a defaults file, a
// string table), so every reader enforces the limits below and answers a
// failure as an error value of the domain "NSCocoaErrorDomain", code 3840,
// whose description names the position and the reason:
//   "Property list error at byte 1234: object reference 99 is outside the object table"
//   "Property list error at line 3, column 7: expected ';' after the value of \"Key\""
// No input crashes or hangs a reader: nesting is refused at the depth limit
// before going deeper, and every value a reader produces (a shared binary
// object once per reference) counts against the object limit.
//
// Integers that fit qint64 read as qint64, larger ones up to 2^64-1 as
// quint64, so -1 and 2^64-1 stay different numbers. Dates are UTC QDateTimes
// with millisecond precision between the years 1 and 9999.
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
// A value that no property list can hold (an invalid QVariant, a URL, a date
// outside the years 1-9999, a string with a character XML cannot carry).
inline constexpr qint64 WriteInvalidErrorCode = 3851;

// Detects the encoding from the bytes ("bplist00", then XML, else text).
// Empty input is an error. Any thread.
NVResult<QVariant> read(const QByteArray &data, Format *detectedFormat = nullptr, const Limits &limits = {});

// Any thread.
NVResult<QVariant> readXML(const QByteArray &data, const Limits &limits = {});
// Any thread.
NVResult<QVariant> readBinary(const QByteArray &data, const Limits &limits = {});
// The text form in UTF-8 or UTF-16 with a byte-order mark. A document that is
// a sequence of "key = value;" pairs without braces (a string table) reads as
// a dictionary, and so does a document holding nothing but blanks and
// comments (an empty table). The form has only strings, data, arrays and
// dictionaries. Any thread.
NVResult<QVariant> readText(const QByteArray &data, const Limits &limits = {});
// Any thread.
NVResult<QVariant> readText(QStringView text, const Limits &limits = {});

// Writes a value. Fails (code WriteInvalidErrorCode) only for values the
// format cannot hold. The text form has no numbers, booleans or dates of its
// own: they are written as their text (NVValue::textForm). Any thread.
NVResult<QByteArray> write(const QVariant &value, Format format);

// Reads a file (any encoding). The error for a missing or unreadable file is
// in the POSIX domain with the path under NSFilePathErrorKey. Blocks on file
// I/O; any thread.
NVResult<QVariant> readFile(const QString &path, Format *detectedFormat = nullptr, const Limits &limits = {});
// Writes atomically: the old file stays whole until the new one is complete.
// A replaced file keeps its permissions; a new one gets newFileMode. Blocks on
// file I/O; any thread.
NVResult<void> writeFile(const QString &path, const QVariant &value, Format format, unsigned newFileMode = 0644);

// A string table: "key" = "value"; entries with comments. Unlike readText,
// a malformed entry does not lose the table: reading resumes after the ';'
// that ends the bad entry, every good entry is kept, and the first problem is
// reported (its description reads like readText's, with line and column).
// Entries whose value is not a string are skipped and reported the same way.
// A table written as an XML or binary property list is read whole: a problem
// there loses the table.
struct StringsTable {
    QVariantMap entries;               // key -> QString
    std::optional<NVError> firstError;
    int firstErrorLine = 0;            // 1-based; 0 when the error has no line
};
// Any thread.
StringsTable readStringsTable(const QByteArray &data, const Limits &limits = {});

} // namespace NVPropertyList
