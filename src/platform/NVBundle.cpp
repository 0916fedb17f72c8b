#include "platform/NVBundle.h"

#include "foundation/NVPropertyList.h"
#include "logging/NVLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>

#include <memory>

struct NVBundleRegistry {
    std::mutex mutex;
    QHash<QString, NVBundle *> bundles; // never freed: bundles live for the process
    NVBundle *main = nullptr;

    static NVBundleRegistry &shared()
    {
        static NVBundleRegistry *registry = new NVBundleRegistry;
        return *registry;
    }

    NVBundle *bundleLocked(const QString &path)
    {
        auto it = bundles.constFind(path);
        if (it != bundles.constEnd())
            return it.value();
        auto *bundle = new NVBundle(path);
        bundles.insert(path, bundle);
        return bundle;
    }
};

namespace {

QString normalizedPath(const QString &path)
{
    // Cache by the absolute, cleaned path but without resolving links: a
    // bundle reached through a link is the bundle at the link's place.
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QString mainBundlePathFromExecutable()
{
    const QString executable = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    const QFileInfo exe(executable);
    const QDir folder = exe.absoluteDir();
    if (folder.dirName() == QLatin1String("MacOS")) {
        QDir contents = folder;
        if (contents.cdUp() && contents.dirName() == QLatin1String("Contents")) {
            QDir bundle = contents;
            if (bundle.cdUp())
                return bundle.absolutePath();
        }
    }
    return folder.absolutePath();
}

} // namespace

NVBundle::NVBundle(QString path) : m_path(std::move(path)) {}

NVBundle *NVBundle::mainBundle()
{
    NVBundleRegistry &registry = NVBundleRegistry::shared();
    std::lock_guard lock(registry.mutex);
    if (!registry.main)
        registry.main = registry.bundleLocked(normalizedPath(mainBundlePathFromExecutable()));
    return registry.main;
}

QString NVBundle::mainIdentifier()
{
    const QString identifier = mainBundle()->bundleIdentifier();
    if (!identifier.isEmpty())
        return identifier;
    const QString executable = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).fileName();
    return executable.isEmpty() ? QStringLiteral("velkin-software-update") : executable;
}

void NVBundle::setMainBundle(const QString &path, const QString &identifier)
{
    NVBundleRegistry &registry = NVBundleRegistry::shared();
    std::lock_guard lock(registry.mutex);
    NVBundle *bundle = registry.bundleLocked(normalizedPath(path));
    {
        std::lock_guard bundleLock(bundle->m_mutex);
        bundle->m_testIdentifier = identifier;
        bundle->m_loaded = false;
    }
    registry.main = bundle;
}

NVBundle *NVBundle::bundleWithPath(const QString &path, bool invalidateCache)
{
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return nullptr;
    NVBundle *bundle = nullptr;
    {
        NVBundleRegistry &registry = NVBundleRegistry::shared();
        std::lock_guard lock(registry.mutex);
        bundle = registry.bundleLocked(normalizedPath(path));
    }
    if (invalidateCache)
        bundle->invalidateResourceCache();
    return bundle;
}

QString NVBundle::bundleName() const
{
    QString name = QFileInfo(m_path).fileName();
    if (name.endsWith(QLatin1String(".app")))
        name.chop(4);
    return name;
}

QString NVBundle::contentsPath() const { return m_path + QStringLiteral("/Contents"); }

QString NVBundle::resourcePath() const
{
    const QString contents = contentsPath();
    return QFileInfo(contents).isDir() ? contents + QStringLiteral("/Resources") : m_path;
}

QString NVBundle::executablePath() const
{
    const QString executable = objectForInfoDictionaryKey(QStringLiteral("CFBundleExecutable")).toString();
    if (executable.isEmpty())
        return QString();
    return contentsPath() + QStringLiteral("/MacOS/") + executable;
}

void NVBundle::loadLocked() const
{
    if (m_loaded)
        return;
    m_loaded = true;
    m_info.clear();
    m_localizations.clear();
    m_resourceCache.clear();

    const QString infoPath = contentsPath() + QStringLiteral("/Info.plist");
    if (QFileInfo::exists(infoPath)) {
        NVResult<QVariant> info = NVPropertyList::readFile(infoPath);
        if (info && NVValue::isDictionary(*info))
            m_info = info->toMap();
        else
            NVLog(QStringLiteral("Cannot read the information dictionary of %@: %@"), m_path,
                  info ? QStringLiteral("its root is not a dictionary") : info.error().localizedDescription());
    }
    const QDir resources(resourcePath());
    const QStringList folders = resources.entryList({QStringLiteral("*.lproj")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &folder : folders)
        m_localizations << folder.chopped(6);
}

QString NVBundle::bundleIdentifier() const
{
    const QString identifier = objectForInfoDictionaryKey(QStringLiteral("CFBundleIdentifier")).toString();
    if (!identifier.isEmpty())
        return identifier;
    std::lock_guard lock(m_mutex);
    return m_testIdentifier;
}

QVariantMap NVBundle::infoDictionary() const
{
    std::lock_guard lock(m_mutex);
    loadLocked();
    return m_info;
}

QVariant NVBundle::objectForInfoDictionaryKey(const QString &key) const
{
    std::lock_guard lock(m_mutex);
    loadLocked();
    return m_info.value(key);
}

QStringList NVBundle::localizations() const
{
    std::lock_guard lock(m_mutex);
    loadLocked();
    return m_localizations;
}

QString NVBundle::developmentLocalization() const
{
    const QString region = objectForInfoDictionaryKey(QStringLiteral("CFBundleDevelopmentRegion")).toString();
    return region.isEmpty() ? QStringLiteral("en") : region;
}

namespace {

std::mutex testLanguagesMutex;
QStringList testLanguages;

} // namespace

void NVBundle::setUserLanguagesForTesting(const QStringList &languages)
{
    std::lock_guard lock(testLanguagesMutex);
    testLanguages = languages;
}

QStringList NVBundle::userLanguages()
{
    {
        std::lock_guard lock(testLanguagesMutex);
        if (!testLanguages.isEmpty())
            return testLanguages;
    }
    QStringList languages;
    for (QString language : QLocale().uiLanguages()) {
        language.replace(u'_', u'-');
        if (!languages.contains(language))
            languages << language;
    }
    return languages;
}

QStringList NVBundle::preferredLocalizationsForLanguages(const QStringList &languages) const
{
    const QStringList available = localizations();
    auto find = [&](const QString &name) -> QString {
        for (const QString &candidate : available)
            if (candidate.compare(name, Qt::CaseInsensitive) == 0)
                return candidate;
        // Folders may be named with an underscore ("pt_BR").
        const QString underscored = QString(name).replace(u'-', u'_');
        for (const QString &candidate : available)
            if (candidate.compare(underscored, Qt::CaseInsensitive) == 0)
                return candidate;
        return QString();
    };
    QStringList preferred;
    for (const QString &language : languages) {
        QString match = find(language);
        if (match.isEmpty()) {
            const QString base = language.section(u'-', 0, 0);
            match = find(base);
        }
        if (!match.isEmpty() && !preferred.contains(match))
            preferred << match;
    }
    if (preferred.isEmpty()) {
        const QString development = find(developmentLocalization());
        preferred << (development.isEmpty() ? developmentLocalization() : development);
    }
    return preferred;
}

QStringList NVBundle::preferredLocalizations() const { return preferredLocalizationsForLanguages(userLanguages()); }

QString NVBundle::pathForResource(const QString &name, const QString &type, const QString &subdirectory) const
{
    const QString direct = pathForResource(name, type, subdirectory, QString());
    if (!direct.isEmpty())
        return direct;
    for (const QString &localization : preferredLocalizations()) {
        const QString localized = pathForResource(name, type, subdirectory, localization);
        if (!localized.isEmpty())
            return localized;
    }
    return QString();
}

QString NVBundle::pathForResource(const QString &name, const QString &type, const QString &subdirectory,
                                  const QString &localization) const
{
    QString fileName = name;
    if (!type.isEmpty())
        fileName += type.startsWith(u'.') ? type : u'.' + type;
    QString folder = resourcePath();
    if (!localization.isEmpty())
        folder += u'/' + localization + QStringLiteral(".lproj");
    if (!subdirectory.isEmpty())
        folder += u'/' + subdirectory;
    const QString candidate = folder + u'/' + fileName;

    std::lock_guard lock(m_mutex);
    loadLocked();
    auto cached = m_resourceCache.constFind(candidate);
    if (cached != m_resourceCache.constEnd())
        return cached.value();
    const QString found = QFileInfo::exists(candidate) ? candidate : QString();
    m_resourceCache.insert(candidate, found);
    return found;
}

void NVBundle::invalidateResourceCache()
{
    std::lock_guard lock(m_mutex);
    m_loaded = false;
    m_info.clear();
    m_localizations.clear();
    m_resourceCache.clear();
}
