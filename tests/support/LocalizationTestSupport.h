#pragma once

#include "platform/NVBundle.h"

#include "support/TestSupport.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A bundle in a temporary folder whose tables the test writes.
class TestBundle {
public:
    QString path() const { return m_dir.path() + "/Test.app"; }
    QString resources() const { return path() + "/Contents/Resources"; }

    // Writes <Table>.strings into <localization>.lproj, or into the resources
    // folder itself when localization is empty.
    TestBundle &table(const QString &localization, const QString &table, const QByteArray &contents)
    {
        const QString folder = localization.isEmpty() ? resources() : resources() + u'/' + localization + ".lproj";
        TestSupport::writeFile(folder + u'/' + table + ".strings", contents);
        return *this;
    }

    // The string-table cache of a bundle remembers which files exist, so
    // write every table before the first lookup.
    const NVBundle *bundle() const { return NVBundle::bundleWithPath(path()); }
    void makeMain() const { NVBundle::setMainBundle(path()); }

private:
    QTemporaryDir m_dir;
};

// The settings words used by the tests' bundles, distinct from the shipped
// ones so that a test sees which table answered.
inline const QByteArray EnglishTerminology =
    "\"_systemSettingsAppName.settings\" = \"Settings App\"; \"_systemSettingsAppName.preferences\" = \"Preferences App\";\n"
    "\"_capitalizedSettingsTerm.settings\" = \"Settings\"; \"_capitalizedSettingsTerm.preferences\" = \"Preferences\";\n"
    "\"_privacyAndSecuritySettingsName.settings\" = \"Privacy & Security\";\n"
    "\"_privacyAndSecuritySettingsName.preferences\" = \"Security & Privacy\";\n"
    "\"_openSecuritySettingsButtonTitle.settings\" = \"Open Security Settings\";\n"
    "\"_openSecuritySettingsButtonTitle.preferences\" = \"Open Security Preferences\";\n";
inline const QByteArray GermanTerminology = "\"_systemSettingsAppName.settings\" = \"Einstellungen-App\";\n"
    "\"_capitalizedSettingsTerm.settings\" = \"Einstellungen\";\n"
    "\"_privacyAndSecuritySettingsName.settings\" = \"Datenschutz\";\n";
