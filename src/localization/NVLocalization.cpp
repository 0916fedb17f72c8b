#include "localization/NVLocalization.h"

#include "platform/NVBundle.h"
#include "platform/NVUserDefaults.h"
#include "localization/NVSettingsTerminology.h"
#include "localization/NVStringTables.h"

#include <QSet>

#include <cstdio>
#include <mutex>

namespace NVLocalization {

namespace {

// Keys that were missed while the report was on, whether or not a line was
// printed for them: each key is reported at most once per process, whatever
// the table.
struct ReportedMissingKeys {
    std::mutex mutex;
    QSet<QString> keys;

    static ReportedMissingKeys &shared()
    {
        static ReportedMissingKeys *reported = new ReportedMissingKeys; // lives for the process
        return *reported;
    }

    // True when key was not in the set before.
    bool insert(const QString &key)
    {
        std::lock_guard lock(mutex);
        if (keys.contains(key))
            return false;
        keys.insert(key);
        return true;
    }
};

bool containsLetter(const QString &key)
{
    for (char32_t c : key.toUcs4())
        if (QChar::isLetter(c))
            return true;
    return false;
}

void writeLineToStandardOutput(const QString &line)
{
    static std::mutex outputMutex;
    const QByteArray bytes = line.toUtf8();
    std::lock_guard lock(outputMutex);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void reportMissingKey(const QString &key, const QString &table)
{
    const QString setting = NVUserDefaults::standardUserDefaults()->stringForKey(LogMissingLocalizationsKey);
    if (setting.isNull())
        return;
    if (!ReportedMissingKeys::shared().insert(key))
        return;
    const QString tableName = table.isEmpty() ? NVDefaultStringTable : table;
    if (setting != QLatin1String("all") && setting != tableName)
        return;
    // Keys without a letter ("%@ %@") are formats passed through the lookup,
    // not texts anybody could translate.
    if (!containsLetter(key))
        return;
    QString escaped = key;
    escaped.replace(u'\\', QStringLiteral("\\\\"));
    writeLineToStandardOutput(u'"' + escaped + QStringLiteral("\" = \"") + NVNotYetLocalizedMarker + QStringLiteral("\";\n"));
}

QString lookUpWithoutPlaceholders(const QString &key, const QString &table, const NVBundle *bundle,
                                  EnglishFallback englishFallback);

QString englishFallback(const QString &key, const QString &table, const NVBundle &bundle,
                        EnglishFallback englishFallback)
{
    if (englishFallback == EnglishFallback::Off)
        return key;
    // Only an exact "en" means the tables already answered in English; a
    // user of "en-GB" still gets the English table's text.
    const QStringList languages = NVBundle::userLanguages();
    if (!languages.isEmpty() && languages.first() == QLatin1String("en"))
        return key;
    const QString englishFolder = bundle.pathForResource(QStringLiteral("en"), QStringLiteral("lproj"));
    if (englishFolder.isEmpty())
        return key;
    const NVBundle *english = NVBundle::bundleWithPath(englishFolder);
    if (!english)
        return key;
    return lookUpWithoutPlaceholders(key, table, english, EnglishFallback::Off);
}

// The lookup without the placeholder replacement, which the caller applies
// once to the final text: the English fallback's text must not be scanned
// twice.
QString lookUpWithoutPlaceholders(const QString &key, const QString &table, const NVBundle *bundle,
                                  EnglishFallback fallback)
{
    const NVBundle &source = bundle ? *bundle : *NVBundle::mainBundle();
    const QString answer = NVStringTables::localizedStringForKey(source, key, NVMissingKeyMarker, table);
    if (answer == NVMissingKeyMarker) {
        reportMissingKey(key, table);
        return englishFallback(key, table, source, fallback);
    }
    if (answer == NVNotYetLocalizedMarker)
        return englishFallback(key, table, source, fallback);
    return answer;
}

struct Placeholder {
    QStringView text;
    QString (*replacement)();
};

const Placeholder placeholders[] = {
    {u"@@System Settings", [] { return localizedTerminologyString(NVSystemSettingsAppNamePrefix); }},
    {u"@@Settings", [] { return localizedTerminologyString(NVCapitalizedSettingsTermPrefix); }},
    {u"@@settings", [] { return lowercaseSettingsTerm(); }},
    {u"@@Privacy & Security", [] { return localizedTerminologyString(NVPrivacyAndSecuritySettingsNamePrefix); }},
};

// The replacement texts are looked up through this same code, so a table
// whose terminology text holds a placeholder would otherwise recurse
// forever. Two levels are all that well-formed tables need.
thread_local int substitutionDepth = 0;
constexpr int MaximumSubstitutionDepth = 2;

} // namespace

QString lookUpLocalizedString(const QString &key, const QString &table, const NVBundle *bundle,
                              EnglishFallback englishFallback)
{
    QString text = lookUpWithoutPlaceholders(key, table, bundle, englishFallback);
    substituteSettingsPlaceholders(text);
    return text;
}

void substituteSettingsPlaceholders(QString &text)
{
    if (text.isEmpty() || substitutionDepth >= MaximumSubstitutionDepth)
        return;
    ++substitutionDepth;
    const QStringView marker = u"@@";
    qsizetype searchEnd = text.size();
    // Where the last replacement began: a placeholder must end before it, so
    // that a replacement text never becomes part of another placeholder
    // ("@@@@Settings" whose term began with "System Settings").
    qsizetype untouchedEnd = text.size();
    while (searchEnd >= marker.size()) {
        // The last "@@" that lies wholly before the search end.
        const qsizetype position = text.lastIndexOf(marker, searchEnd - marker.size());
        if (position < 0)
            break;
        const QStringView candidate = QStringView(text).mid(position, untouchedEnd - position);
        for (const Placeholder &placeholder : placeholders) {
            if (candidate.startsWith(placeholder.text)) {
                text.replace(position, placeholder.text.size(), placeholder.replacement());
                untouchedEnd = position;
                break;
            }
        }
        if (position == 0)
            break;
        searchEnd = position;
    }
    --substitutionDepth;
}

QString localizedStringFromTable(const QString &key, const QString &table, const NVBundle *bundle)
{
    return lookUpLocalizedString(key, table, bundle, EnglishFallback::On);
}

QString localizedStringFromTable(const QString &key, const QString &table)
{
    return localizedStringFromTable(key, table, nullptr);
}

QString localizedString(const QString &key) { return localizedStringFromTable(key, QString()); }

bool localizeStringForKey(QVariantMap &dictionary, const QString &key, const QString &table, const NVBundle *bundle)
{
    auto it = dictionary.find(key);
    if (it == dictionary.end() || it.value().typeId() != QMetaType::QString)
        return false;
    it.value() = localizedStringFromTable(it.value().toString(), table, bundle);
    return true;
}

QString preferredLocalization()
{
    const NVBundle *main = NVBundle::mainBundle();
    const QStringList preferred = main->preferredLocalizations();
    if (!preferred.isEmpty())
        return preferred.first();
    const QString development = main->developmentLocalization();
    return development.isEmpty() ? QStringLiteral("en") : development;
}

bool preferredLocalizationIsEnglish() { return preferredLocalization() == QLatin1String("en"); }

bool preferredLocalizationIsGerman() { return preferredLocalization() == QLatin1String("de"); }

void localizeWithTable(const QList<NVLocalizable *> &array, const QString &table, const NVBundle *bundle)
{
    for (NVLocalizable *element : array)
        if (element)
            element->localizeWithTable(table, bundle);
}

} // namespace NVLocalization

QString NVLocalizable::localizeString(const QString &key) const
{
    return NVLocalization::lookUpLocalizedString(key, objectLocalizationTable(), nullptr,
                                                 NVLocalization::EnglishFallback::On);
}
