#include "localization/NVSettingsTerminology.h"

#include "platform/NVBundle.h"
#include "platform/NVUserDefaults.h"
#include "localization/NVLocalization.h"

#include <QHashFunctions>

#include <atomic>

namespace {

// Every Linux desktop names its settings application "Settings" (or
// "System Settings"); there is no older wording to detect.
std::atomic<bool> systemUsesSettingsWording{true};

} // namespace

QString rawValue(NVSettingsTerminology terminology)
{
    switch (terminology) {
    case NVSettingsTerminology::preferences:
        return QStringLiteral("preferences");
    case NVSettingsTerminology::settings:
        return QStringLiteral("settings");
    }
    return QStringLiteral("settings");
}

std::optional<NVSettingsTerminology> settingsTerminologyFromRawValue(QStringView value)
{
    if (value == u"preferences")
        return NVSettingsTerminology::preferences;
    if (value == u"settings")
        return NVSettingsTerminology::settings;
    return std::nullopt;
}

size_t qHash(NVSettingsTerminology terminology, size_t seed) { return ::qHash(rawValue(terminology), seed); }

NVSettingsTerminology settingsTerminologyForSystem(bool usesSettingsWording,
                                                   const std::function<bool()> &enforceSettingsTerminology)
{
    if (usesSettingsWording)
        return NVSettingsTerminology::settings;
    return enforceSettingsTerminology && enforceSettingsTerminology() ? NVSettingsTerminology::settings
                                                                      : NVSettingsTerminology::preferences;
}

void setSystemUsesSettingsWordingForTesting(bool usesSettingsWording)
{
    systemUsesSettingsWording.store(usesSettingsWording);
}

NVSettingsTerminology currentSettingsTerminology()
{
    // A function-local static is initialised once, thread-safely.
    static const NVSettingsTerminology current = settingsTerminologyForSystem(systemUsesSettingsWording.load(), [] {
        return NVUserDefaults::standardUserDefaults()->boolForKey(EnforceSettingsTerminologyKey);
    });
    return current;
}

QString localizedTerminologyString(const QString &prefix)
{
    return NVLocalization::localizedStringFromTable(prefix + rawValue(currentSettingsTerminology()),
                                                    NVSettingsTerminologyTable);
}

QString lowercaseSettingsTerm(const QLocale &locale)
{
    const QString term = localizedTerminologyString(NVCapitalizedSettingsTermPrefix);
    // German capitalises every noun, so "Einstellungen" stays as it is in
    // the middle of a sentence. A locale without a language ("C") lower-cases.
    const bool hasLanguage = locale.language() != QLocale::C && locale.language() != QLocale::AnyLanguage;
    if (hasLanguage && QLocale::languageToCode(locale.language()) == QLatin1String("de"))
        return term;
    return term.toLower();
}

QString lowercaseSettingsTerm()
{
    const QStringList languages = NVBundle::userLanguages();
    return lowercaseSettingsTerm(languages.isEmpty() ? QLocale::c() : QLocale(languages.first()));
}

QString NVSettingsTerminologyBridge::capitalizedSettingsTerm()
{
    return localizedTerminologyString(NVCapitalizedSettingsTermPrefix);
}

QString NVSettingsTerminologyBridge::openSecuritySettingsButtonTitle()
{
    return localizedTerminologyString(NVOpenSecuritySettingsButtonTitlePrefix);
}

bool NVSettingsTerminologyBridge::isUsingSettingsTerminology()
{
    return currentSettingsTerminology() == NVSettingsTerminology::settings;
}
