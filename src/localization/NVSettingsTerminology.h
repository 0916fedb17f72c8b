#pragma once

#include <QLocale>
#include <QString>
#include <QStringView>

#include <functional>
#include <optional>

// The system's settings application has two names depending on the system:
// the older wording ("Preferences") and the newer one ("Settings"), and so
// have its parts. Texts in the string tables carry placeholders; the words
// come from the table "SettingsTerminology", under keys made of a prefix and
// the wording's raw value ("_systemSettingsAppName.settings").
//
// Linux desktops all say "Settings", so here the wording is always the newer
// one; the decision for a system with the older wording is kept for builds
// where it matters, and tests exercise it through the seam below.
enum class NVSettingsTerminology {
    preferences,
    settings,
};

inline const QString NVSettingsTerminologyTable = QStringLiteral("SettingsTerminology");
// User default (boolean): on a system with the older wording, YES selects the newer one.
inline const QString EnforceSettingsTerminologyKey = QStringLiteral("EnforceSettingsTerminology");

// The key prefixes of the table "SettingsTerminology"; each ends with a full stop.
inline const QString NVSystemSettingsAppNamePrefix = QStringLiteral("_systemSettingsAppName.");
inline const QString NVCapitalizedSettingsTermPrefix = QStringLiteral("_capitalizedSettingsTerm.");
inline const QString NVPrivacyAndSecuritySettingsNamePrefix = QStringLiteral("_privacyAndSecuritySettingsName.");
inline const QString NVOpenSecuritySettingsButtonTitlePrefix = QStringLiteral("_openSecuritySettingsButtonTitle.");

// "preferences" or "settings". Any thread.
QString rawValue(NVSettingsTerminology terminology);
// The case with that raw value, exactly (so "Settings" yields none). Any thread.
std::optional<NVSettingsTerminology> settingsTerminologyFromRawValue(QStringView rawValue);
size_t qHash(NVSettingsTerminology terminology, size_t seed = 0);

// The wording that applies: settings on a system that uses it, otherwise
// settings only when enforceSettingsTerminology() answers true (it is not
// asked on a system with the newer wording). Any thread.
NVSettingsTerminology settingsTerminologyForSystem(bool systemUsesSettingsWording,
                                                   const std::function<bool()> &enforceSettingsTerminology);

// The wording of this process, decided on first use and fixed afterwards
// (a change of "EnforceSettingsTerminology" counts from the next start).
// Any thread; the first call may read the user defaults.
NVSettingsTerminology currentSettingsTerminology();

// Tests only: makes the process decide as a system with (true) or without
// (false) the newer wording would. Takes effect only before the first call
// of currentSettingsTerminology(). Any thread.
void setSystemUsesSettingsWordingForTesting(bool usesSettingsWording);

// The text of prefix + the current wording's raw value in the table
// "SettingsTerminology" of the main bundle, with the English fallback and
// placeholder replacement. Any thread.
QString localizedTerminologyString(const QString &prefix);

// The generic term for "@@settings": the capitalised term, lower-cased
// unless the language is German, whose nouns keep their capital. The
// language is that of the user's first interface language (LANGUAGE and
// LC_MESSAGES choose the language of texts on Linux, not LC_ALL/LANG alone).
// Any thread.
QString lowercaseSettingsTerm();
QString lowercaseSettingsTerm(const QLocale &locale);

// The same words for code that only wants to read them.
class NVSettingsTerminologyBridge {
public:
    NVSettingsTerminologyBridge() = delete;

    // localizedTerminologyString("_capitalizedSettingsTerm."). Any thread.
    static QString capitalizedSettingsTerm();
    // localizedTerminologyString("_openSecuritySettingsButtonTitle."). Any thread.
    static QString openSecuritySettingsButtonTitle();
    // currentSettingsTerminology() is settings. Any thread.
    static bool isUsingSettingsTerminology();
};
