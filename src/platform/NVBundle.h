#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <mutex>

// A bundle: a folder "Name.app" with Contents/Info.plist, the executable in
// Contents/MacOS/ and resources (string tables in <lang>.lproj folders,
// interface files, certificates) in Contents/Resources/. A folder without
// Contents/ is a flat bundle whose resources are the folder itself and which
// has no information dictionary; that is what tests run from the build tree
// see as their main bundle.
//
// Bundle objects live for the whole process, one per path, like the
// platform's; callers keep plain pointers. Every member is thread-safe.
class NVBundle {
public:
    // The bundle of the running executable, resolved on first use from
    // /proc/self/exe (the bundle whose Contents/MacOS holds the executable,
    // else the executable's folder). Resolve it early, before anything can
    // move the bundle: main() does. Any thread.
    static NVBundle *mainBundle();

    // The main bundle's identifier, else the executable's file name: the
    // name under which this process keeps its settings and private files.
    static QString mainIdentifier();

    // Makes the bundle at path the main bundle from now on: for tests, and
    // for a library the updater opens, which takes the updater's main bundle
    // rather than resolving its own later. Tests may also give a flat bundle
    // an identifier. Any thread.
    static void setMainBundle(const QString &path, const QString &identifier = QString());

    // The bundle at path, from the process-wide cache; nullptr when the path
    // is not a folder. With invalidateCache, the bundle re-reads its
    // Info.plist and forgets every resource it looked up, so a bundle that
    // was replaced on disk is seen as it is now. Any thread.
    static NVBundle *bundleWithPath(const QString &path, bool invalidateCache = false);

    const QString &bundlePath() const { return m_path; }
    QString bundleName() const;              // the folder name without ".app"
    QString contentsPath() const;
    QString resourcePath() const;
    QString executablePath() const;          // empty when Info.plist names none

    QString bundleIdentifier() const;        // CFBundleIdentifier, else the test-given one
    QVariantMap infoDictionary() const;
    QVariant objectForInfoDictionaryKey(const QString &key) const;

    // "<Resources>/<name>.<type>" (type may be empty or begin with a dot),
    // looked up first in the resources folder itself, then in the preferred
    // localizations' .lproj folders in order. Empty when absent.
    QString pathForResource(const QString &name, const QString &type, const QString &subdirectory = QString()) const;
    // The same inside one localization's folder only ("de" looks in de.lproj).
    QString pathForResource(const QString &name, const QString &type, const QString &subdirectory,
                            const QString &localization) const;

    // The names of the .lproj folders in the resources folder, sorted.
    QStringList localizations() const;
    // CFBundleDevelopmentRegion, else "en".
    QString developmentLocalization() const;
    // The user's languages matched against localizations(): for each language
    // in order, an exact folder name, then the language without region or
    // script ("de-AT" -> "de"); duplicates dropped. When nothing matches, the
    // development localization. userLanguages() gives the default languages.
    QStringList preferredLocalizations() const;
    QStringList preferredLocalizationsForLanguages(const QStringList &languages) const;

    // The user's languages, most preferred first, from the locale settings
    // (LANGUAGE, LC_ALL, LC_MESSAGES, LANG through QLocale::uiLanguages()),
    // with "_" turned into "-". Any thread.
    static QStringList userLanguages();
    // Tests only: userLanguages() answers languages from now on (Qt reads the
    // locale settings once per process); an empty list restores them. Any thread.
    static void setUserLanguagesForTesting(const QStringList &languages);

    void invalidateResourceCache();

private:
    explicit NVBundle(QString path);
    void loadLocked() const;

    const QString m_path;
    mutable std::mutex m_mutex;
    mutable bool m_loaded = false;
    mutable QVariantMap m_info;
    mutable QStringList m_localizations;
    mutable QHash<QString, QString> m_resourceCache;
    QString m_testIdentifier;

    friend struct NVBundleRegistry;
};
