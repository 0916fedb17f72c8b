#pragma once

#include <QList>
#include <QString>
#include <QVariantMap>

class NVBundle;

// Every text the user sees is looked up here, by key, in a string table of
// a bundle. On top of the plain table lookup this adds:
//  - an English fallback: a text missing from the user's language comes from
//    en.lproj rather than showing the key;
//  - a report of missing keys on standard output, in string-table syntax, so
//    that a translator can paste the lines into a table;
//  - the replacement of "@@" placeholders ("@@System Settings", "@@Settings",
//    "@@settings", "@@Privacy & Security") by the system's own words for its
//    settings application (NVSettingsTerminology.h).
// Nothing here fails: a text that cannot be found comes back as its key.

// The value handed to the table lookup for a missing key.
inline const QString NVMissingKeyMarker = QStringLiteral("<@missing-key-marker@>");
// A table's text for a key whose translation is still open: treated as
// missing, never reported.
inline const QString NVNotYetLocalizedMarker = QStringLiteral("<#not-yet-localized#>");
// The table used when none is named.
inline const QString NVDefaultStringTable = QStringLiteral("Localizable");
// User default (a string): absent means no report; "all" reports misses in
// every table; any other value names the one table whose misses are
// reported ("Localizable" for lookups without a table).
inline const QString LogMissingLocalizationsKey = QStringLiteral("LogMissingLocalizations");

// The operations on strings, dictionaries, arrays and the bundle class.
namespace NVLocalization {

enum class EnglishFallback { Off, On };

// The core lookup: the text of key in table (empty for the default table) of
// bundle (nullptr for the main bundle), with the English fallback when asked,
// the missing-key report, and the placeholder replacement. Any thread.
QString lookUpLocalizedString(const QString &key, const QString &table, const NVBundle *bundle,
                              EnglishFallback englishFallback);

// Replaces the settings placeholders in text, scanning from the end towards
// the start so that no replacement is ever scanned again. Any thread.
void substituteSettingsPlaceholders(QString &text);

// The key looked up in table and bundle (nullptr: the main bundle), with the
// English fallback. Any thread.
QString localizedStringFromTable(const QString &key, const QString &table, const NVBundle *bundle);
QString localizedStringFromTable(const QString &key, const QString &table);
// The key looked up in the default table of the main bundle. Any thread.
QString localizedString(const QString &key);

// If dictionary holds a string under key, replaces it by its localized text
// and answers true; otherwise changes nothing and answers false. Any thread
// (for dictionaries the caller owns).
bool localizeStringForKey(QVariantMap &dictionary, const QString &key, const QString &table, const NVBundle *bundle);

// The main bundle's first preferred localization, else its development
// localization, else "en". Any thread.
QString preferredLocalization();
bool preferredLocalizationIsEnglish(); // preferredLocalization() is "en"
bool preferredLocalizationIsGerman();  // preferredLocalization() is "de"

} // namespace NVLocalization

// What every class that shows texts offers: a class-level table name, a
// class-level lookup (NVLocalization::localizeString<Class>) and an
// instance-level lookup in the table of the object's own class. A class names
// its table with NV_LOCALIZATION_TABLE in a public section:
//
//     class NVSUDriver : public QObject, public NVLocalizable {
//         Q_OBJECT
//     public:
//         NV_LOCALIZATION_TABLE("NVSoftwareUpdate")
//         ...
//     };
//
// Subclasses inherit the table. Objects without one use the default table.
class NVLocalizable {
public:
    virtual ~NVLocalizable() = default;

    // The class-level table: none (the default table). Any thread.
    static QString localizationTable() { return QString(); }
    // The table of this object's class. Any thread.
    virtual QString objectLocalizationTable() const { return localizationTable(); }

    // key looked up in objectLocalizationTable() of the main bundle, with the
    // English fallback. Any thread.
    QString localizeString(const QString &key) const;

    // Localizes the object's own texts with a table; does nothing unless a
    // class with texts of its own overrides it. Main thread.
    virtual void localizeWithTable(const QString &table, const NVBundle *bundle) {}
    void localizeWithTable(const QString &table) { localizeWithTable(table, nullptr); }
    void localize() { localizeWithTable(QString()); }
};

#define NV_LOCALIZATION_TABLE(name)                                                          \
    static QString localizationTable() { return QStringLiteral(name); }                      \
    QString objectLocalizationTable() const override { return localizationTable(); }

namespace NVLocalization {

// The class-level lookup: key in Class::localizationTable() of the main
// bundle (the bundle of every class of this program), with the English
// fallback. Any thread.
template <typename Class>
QString localizeString(const QString &key)
{
    return lookUpLocalizedString(key, Class::localizationTable(), nullptr, EnglishFallback::On);
}

// Sends localizeWithTable(table, bundle) to each element, in order. Main thread.
void localizeWithTable(const QList<NVLocalizable *> &array, const QString &table, const NVBundle *bundle);

} // namespace NVLocalization
