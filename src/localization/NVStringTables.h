#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

class NVBundle;

// The string tables of bundles, read once per file and kept for the process.
//
// A table is the file "<Table>.strings" that the bundle finds for the user's
// languages (its own Resources folder first, then its .lproj folders in the
// order of preferredLocalizations()). Damaged tables keep their good entries;
// the first problem of each file is logged once, with the file and line.
//
// All members are thread-safe.
namespace NVStringTables {

// The text of key in the bundle's table, or value when the table or the key
// is missing (the platform's localizedStringForKey:value:table:). An empty or
// null table name means the default table, "Localizable". Any thread.
QString localizedStringForKey(const NVBundle &bundle, const QString &key, const QString &value, const QString &table);

// The file that holds the bundle's table for the current languages; empty
// when there is none. Any thread.
QString pathForTable(const NVBundle &bundle, const QString &table);

// The entries of one table file (key -> text), read on first use. A missing
// or unreadable file gives an empty table. Any thread.
QVariantMap entriesOfFile(const QString &path);

// Forgets every table read so far (after a bundle was replaced on disk).
// Problems already logged are not logged again. Any thread.
void invalidate();

} // namespace NVStringTables
