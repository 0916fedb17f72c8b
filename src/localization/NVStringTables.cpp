#include "localization/NVStringTables.h"

#include "platform/NVBundle.h"
#include "foundation/NVPropertyList.h"
#include "foundation/NVValue.h"
#include "logging/NVLog.h"

#include <QFile>
#include <QHash>
#include <QSet>

#include <mutex>

namespace NVStringTables {

namespace {

const QString DefaultTable = QStringLiteral("Localizable");

struct Cache {
    std::mutex mutex;
    QHash<QString, QVariantMap> tables;  // by file path
    QSet<QString> reportedFiles;         // each damaged file is logged once per process

    static Cache &shared()
    {
        static Cache *cache = new Cache; // never destroyed: lookups may run during exit
        return *cache;
    }
};

// Keeps only the entries whose text is a string: a table written as an XML
// or binary property list may hold other values, which no lookup can use.
QVariantMap stringEntries(const QVariantMap &map)
{
    QVariantMap entries;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it)
        if (NVValue::isString(it.value()))
            entries.insert(it.key(), it.value());
    return entries;
}

QVariantMap readTable(const QString &path, QString *problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = file.errorString();
        return {};
    }
    const QByteArray data = file.readAll();

    // Tables are normally the "key" = "value"; text form, but a table
    // converted to an XML or binary property list is a valid table too.
    const QByteArray head = data.left(64).trimmed();
    if (data.startsWith("bplist00") || head.startsWith("<?xml") || head.startsWith("<plist")) {
        NVResult<QVariant> plist = NVPropertyList::read(data);
        if (!plist) {
            *problem = plist.error().localizedDescription();
            return {};
        }
        if (!NVValue::isDictionary(*plist)) {
            *problem = QStringLiteral("the root is not a dictionary");
            return {};
        }
        return stringEntries(plist->toMap());
    }

    NVPropertyList::StringsTable table = NVPropertyList::readStringsTable(data);
    if (table.firstError)
        *problem = table.firstError->localizedDescription();
    return stringEntries(table.entries);
}

} // namespace

QVariantMap entriesOfFile(const QString &path)
{
    Cache &cache = Cache::shared();
    std::lock_guard lock(cache.mutex);
    auto it = cache.tables.constFind(path);
    if (it != cache.tables.constEnd())
        return it.value();

    QString problem;
    const QVariantMap entries = readTable(path, &problem);
    if (!problem.isEmpty() && !cache.reportedFiles.contains(path)) {
        cache.reportedFiles.insert(path);
        NVLog(QStringLiteral("Damaged string table %@: %@ (its readable entries are used)"), path, problem);
    }
    cache.tables.insert(path, entries);
    return entries;
}

QString pathForTable(const NVBundle &bundle, const QString &table)
{
    return bundle.pathForResource(table.isEmpty() ? DefaultTable : table, QStringLiteral("strings"));
}

QString localizedStringForKey(const NVBundle &bundle, const QString &key, const QString &value, const QString &table)
{
    const QString path = pathForTable(bundle, table);
    if (path.isEmpty())
        return value;
    const QVariantMap entries = entriesOfFile(path);
    auto it = entries.constFind(key);
    return it == entries.constEnd() ? value : it.value().toString();
}

void invalidate()
{
    Cache &cache = Cache::shared();
    std::lock_guard lock(cache.mutex);
    cache.tables.clear();
}

} // namespace NVStringTables
