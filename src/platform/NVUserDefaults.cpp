#include "platform/NVUserDefaults.h"

#include "foundation/NVPropertyList.h"
#include "foundation/NVValue.h"
#include "platform/NVBundle.h"
#include "platform/NVFileObserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Holds an exclusive flock on the settings file's companion lock file for as
// long as it lives. The lock file, not the settings file, carries the lock:
// the settings file is replaced by rename on every write.
class FileLock {
public:
    explicit FileLock(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            m_error = errno;
            return;
        }
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                m_error = errno;
                ::close(m_fd);
                m_fd = -1;
                return;
            }
        }
    }
    ~FileLock()
    {
        if (m_fd >= 0)
            ::close(m_fd); // closing releases the lock
    }
    bool locked() const { return m_fd >= 0; }
    int error() const { return m_error; }

private:
    int m_fd = -1;
    int m_error = 0;
};

enum class DiskState { Read, Missing, Corrupt, Refused };

struct DiskContents {
    DiskState state = DiskState::Missing;
    QVariantMap values;
    QString reason;
};

DiskContents readSettingsFile(const QString &path)
{
    DiskContents result;
    const QByteArray encoded = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(encoded.constData(), &st) != 0) {
        if (errno == ENOENT)
            return result;
        result.state = DiskState::Refused;
        result.reason = QString::fromLocal8Bit(std::strerror(errno));
        return result;
    }
    if (S_ISLNK(st.st_mode)) {
        result.state = DiskState::Refused;
        result.reason = QStringLiteral("it is a symbolic link");
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.state = DiskState::Refused;
        result.reason = QStringLiteral("it is not a regular file");
        return result;
    }
    const int fd = ::open(encoded.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        result.state = DiskState::Refused;
        result.reason = QString::fromLocal8Bit(std::strerror(errno));
        return result;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        result.state = DiskState::Refused;
        result.reason = file.errorString();
        return result;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        result.state = DiskState::Refused;
        result.reason = file.errorString();
        return result;
    }
    NVResult<QVariant> parsed = NVPropertyList::read(bytes);
    if (!parsed || !NVValue::isDictionary(*parsed)) {
        result.state = DiskState::Corrupt;
        result.reason = parsed ? QStringLiteral("its root is not a dictionary") : parsed.error().localizedDescription();
        return result;
    }
    result.state = DiskState::Read;
    result.values = parsed->toMap();
    return result;
}

QString setAsideName(const QString &path)
{
    QString candidate = path + QStringLiteral(".corrupt");
    if (!QFileInfo::exists(candidate))
        return candidate;
    return path + QStringLiteral(".corrupt-") + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
}

void applyChanges(QVariantMap &map, const QHash<QString, std::optional<QVariant>> &changes)
{
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        if (it.value())
            map.insert(it.key(), *it.value());
        else
            map.remove(it.key());
    }
}

// Numbers compare by value whatever their stored width, so that rewriting 5
// read back from a file as a 64-bit integer is not seen as a change.
// What boolForKey answers for a value.
bool boolValueOf(const QVariant &value)
{
    return (NVValue::isString(value) || NVValue::isNumber(value)) && NVValue::boolValue(value);
}

bool sameValue(const QVariant &a, const QVariant &b)
{
    if (a.isValid() != b.isValid())
        return false;
    if (NVValue::isNumber(a) && NVValue::isNumber(b) && NVValue::isBoolean(a) == NVValue::isBoolean(b))
        return QVariant::compare(a, b) == QPartialOrdering::Equivalent;
    return a == b;
}

} // namespace

NVUserDefaults::NVUserDefaults(QString domain, QString configDirectory, const QStringList &arguments, QObject *parent)
    : QObject(parent),
      m_domain(std::move(domain)),
      m_configDirectory(std::move(configDirectory)),
      m_filePath(m_configDirectory + u'/' + m_domain + QStringLiteral(".plist")),
      m_arguments(parseArgumentDomain(arguments))
{
    // Watching begins before the first read, so that no change falls between.
    if (QCoreApplication *app = QCoreApplication::instance(); app && QThread::currentThread() == app->thread())
        startWatching();
    const DiskContents disk = readSettingsFile(m_filePath);
    switch (disk.state) {
    case DiskState::Read:
        m_persistent = disk.values;
        break;
    case DiskState::Missing:
        break;
    case DiskState::Corrupt:
        // Set aside and replaced at the first synchronize, under the lock.
        break;
    case DiskState::Refused:
        refuseFile(disk.reason);
        break;
    }
    std::lock_guard lock(m_mutex);
    updateCachedSettingsLocked();
}

NVUserDefaults::~NVUserDefaults()
{
    if (m_fileObserver)
        m_fileObserver->cancel();
    bool pending;
    {
        std::lock_guard lock(m_mutex);
        pending = !m_pending.isEmpty();
    }
    if (pending)
        synchronize();
}

NVUserDefaults *NVUserDefaults::standardUserDefaults()
{
    static NVUserDefaults *standard = [] {
        const QString domain = NVBundle::mainIdentifier();
        const QStringList arguments = QCoreApplication::instance() ? QCoreApplication::arguments() : QStringList();
        auto *defaults = new NVUserDefaults(domain, configDirectory(), arguments);
        if (QCoreApplication *app = QCoreApplication::instance()) {
            defaults->moveToThread(app->thread());
            QObject::connect(app, &QCoreApplication::aboutToQuit, defaults, &NVUserDefaults::synchronize);
            QMetaObject::invokeMethod(defaults, &NVUserDefaults::startWatching, Qt::QueuedConnection);
        }
        NVSetLogEnvironment(defaults);
        return defaults;
    }();
    return standard;
}

QString NVUserDefaults::configDirectory()
{
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return QDir::cleanPath(xdg);
    return QDir::homePath() + QStringLiteral("/.config");
}

QVariantMap NVUserDefaults::parseArgumentDomain(const QStringList &arguments)
{
    QVariantMap domain;
    for (qsizetype i = 1; i + 1 < arguments.size();) {
        const QString &argument = arguments.at(i);
        if (argument.size() < 2 || !argument.startsWith(u'-') || argument.startsWith(QLatin1String("--"))) {
            ++i;
            continue;
        }
        const QString &text = arguments.at(i + 1);
        NVResult<QVariant> parsed = NVPropertyList::readText(QStringView(text));
        // A bare word reads back as the same string; a structure keeps its
        // shape; anything that does not parse is taken literally.
        domain.insert(argument.mid(1), parsed ? *parsed : QVariant(text));
        i += 2;
    }
    return domain;
}

QVariant NVUserDefaults::effectiveLocked(const QString &key) const
{
    auto it = m_arguments.constFind(key);
    if (it != m_arguments.constEnd())
        return it.value();
    it = m_persistent.constFind(key);
    if (it != m_persistent.constEnd())
        return it.value();
    it = m_registration.constFind(key);
    if (it != m_registration.constEnd())
        return it.value();
    return QVariant();
}

QVariant NVUserDefaults::objectForKey(const QString &key) const
{
    std::lock_guard lock(m_mutex);
    return effectiveLocked(key);
}

QString NVUserDefaults::stringForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    if (NVValue::isString(value))
        return value.toString();
    if (NVValue::isNumber(value))
        return NVValue::description(value);
    return QString();
}

QVariantList NVUserDefaults::arrayForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    return NVValue::isArray(value) ? value.toList() : QVariantList();
}

bool NVUserDefaults::isArrayForKey(const QString &key) const { return NVValue::isArray(objectForKey(key)); }

QVariantMap NVUserDefaults::dictionaryForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    return NVValue::isDictionary(value) ? value.toMap() : QVariantMap();
}

QByteArray NVUserDefaults::dataForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    return NVValue::isData(value) ? value.toByteArray() : QByteArray();
}

bool NVUserDefaults::boolForKey(const QString &key) const
{
    return boolValueOf(objectForKey(key));
}

void NVUserDefaults::updateCachedSettingsLocked()
{
    m_debugLogsEnabled.store(boolValueOf(effectiveLocked(SoftwareUpdateDebugLogsEnabledKey)), std::memory_order_relaxed);
}

qint64 NVUserDefaults::integerForKey(const QString &key) const { return NVValue::integerValue(objectForKey(key)); }

double NVUserDefaults::doubleForKey(const QString &key) const { return NVValue::doubleValue(objectForKey(key)); }

QString NVUserDefaults::bundleIdentifier() const { return NVBundle::mainBundle()->bundleIdentifier(); }

QVariantMap NVUserDefaults::persistentDomain() const
{
    std::lock_guard lock(m_mutex);
    return m_persistent;
}

QVariantMap NVUserDefaults::argumentDomain() const
{
    std::lock_guard lock(m_mutex);
    return m_arguments;
}

QHash<QString, QVariant> NVUserDefaults::snapshotLocked(const QStringList &keys) const
{
    QHash<QString, QVariant> snapshot;
    for (const QString &key : keys)
        snapshot.insert(key, effectiveLocked(key));
    return snapshot;
}

void NVUserDefaults::notifyChanges(const QHash<QString, QVariant> &before)
{
    QStringList changed;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = before.cbegin(); it != before.cend(); ++it)
            if (!sameValue(it.value(), effectiveLocked(it.key())))
                changed << it.key();
    }
    changed.sort();
    for (const QString &key : std::as_const(changed))
        Q_EMIT valueChanged(key);
}

void NVUserDefaults::setObject(const QVariant &value, const QString &key)
{
    QHash<QString, QVariant> before;
    {
        std::lock_guard lock(m_mutex);
        before = snapshotLocked({key});
        const std::optional<QVariant> change = value.isValid() ? std::optional<QVariant>(value) : std::nullopt;
        if (change)
            m_persistent.insert(key, value);
        else
            m_persistent.remove(key);
        m_pending.insert(key, change);
        m_writtenThisRun.insert(key, change);
        updateCachedSettingsLocked();
    }
    notifyChanges(before);
    scheduleSynchronize();
}

void NVUserDefaults::removeObject(const QString &key) { setObject(QVariant(), key); }

void NVUserDefaults::registerDefaults(const QVariantMap &defaults)
{
    QHash<QString, QVariant> before;
    {
        std::lock_guard lock(m_mutex);
        before = snapshotLocked(defaults.keys());
        for (auto it = defaults.cbegin(); it != defaults.cend(); ++it)
            m_registration.insert(it.key(), it.value());
        updateCachedSettingsLocked();
    }
    notifyChanges(before);
}

void NVUserDefaults::refuseFile(const QString &reason)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_fileState == FileState::Refused)
            return;
        m_fileState = FileState::Refused;
    }
    NVLog(QStringLiteral("The settings file %@ cannot be used (%@); settings are kept in memory for this run."), m_filePath,
          reason);
}

bool NVUserDefaults::synchronize()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_fileState == FileState::Refused)
            return false;
    }
    QDir().mkpath(m_configDirectory);
    FileLock fileLock(m_filePath + QStringLiteral(".lock"));
    if (!fileLock.locked()) {
        refuseFile(QStringLiteral("its lock file cannot be opened: %1").arg(QString::fromLocal8Bit(std::strerror(fileLock.error()))));
        return false;
    }

    const DiskContents disk = readSettingsFile(m_filePath);
    if (disk.state == DiskState::Refused) {
        refuseFile(disk.reason);
        return false;
    }
    QVariantMap merged = disk.values;
    bool mustWrite;
    {
        std::lock_guard lock(m_mutex);
        // A corrupt file is rebuilt from everything this run wrote, not only
        // from the writes since the last synchronization.
        applyChanges(merged, disk.state == DiskState::Corrupt ? m_writtenThisRun : m_pending);
        mustWrite = disk.state == DiskState::Corrupt || merged != disk.values;
    }
    if (disk.state == DiskState::Corrupt) {
        const QString aside = setAsideName(m_filePath);
        if (::rename(QFile::encodeName(m_filePath).constData(), QFile::encodeName(aside).constData()) == 0)
            NVLog(QStringLiteral("The settings file %@ was damaged (%@); it was set aside as %@ and written anew."),
                  m_filePath, disk.reason, aside);
        else
            NVLog(QStringLiteral("The settings file %@ was damaged (%@) and is written anew."), m_filePath, disk.reason);
    }
    if (mustWrite) {
        // Settings may hold personal choices: a new file is readable by its owner only.
        if (NVResult<void> failed = NVPropertyList::writeFile(m_filePath, QVariant(merged), NVPropertyList::Format::XML, 0600); !failed) {
            NVLog(QStringLiteral("The settings file %@ could not be written: %@"), m_filePath, failed.error().localizedDescription());
            return false;
        }
    }

    QHash<QString, QVariant> before;
    {
        std::lock_guard lock(m_mutex);
        QStringList keys = m_persistent.keys();
        for (auto it = merged.cbegin(); it != merged.cend(); ++it)
            if (!m_persistent.contains(it.key()))
                keys << it.key();
        before = snapshotLocked(keys);
        m_persistent = merged;
        m_pending.clear();
        updateCachedSettingsLocked();
    }
    notifyChanges(before);
    return true;
}

void NVUserDefaults::scheduleSynchronize()
{
    if (thread() != QThread::currentThread())
        return; // the owner thread's next synchronize writes it
    if (!m_syncTimer) {
        m_syncTimer = new QTimer(this);
        m_syncTimer->setSingleShot(true);
        m_syncTimer->setInterval(0);
        connect(m_syncTimer, &QTimer::timeout, this, &NVUserDefaults::synchronize);
    }
    if (!m_syncTimer->isActive())
        m_syncTimer->start();
}

void NVUserDefaults::startWatching()
{
    if (m_fileObserver)
        return;
    // Other processes replace the file by renaming a new one over it, or
    // remove it; an editor may also write it in place. A burst of such events
    // becomes one synchronize.
    m_watchDebounce = new QTimer(this);
    m_watchDebounce->setSingleShot(true);
    m_watchDebounce->setInterval(50);
    connect(m_watchDebounce, &QTimer::timeout, this, &NVUserDefaults::synchronize);
    const NVFileSystemEvents changes = NVFileSystemEvents::write | NVFileSystemEvents::delete_ | NVFileSystemEvents::rename
        | NVFileSystemEvents::create | NVFileSystemEvents::intermediateRename;
    QPointer<QTimer> debounce(m_watchDebounce);
    m_fileObserver = NVFileObserver::create(QUrl::fromLocalFile(m_filePath), changes, [debounce](NVFileSystemEvents) {
        if (debounce)
            debounce->start();
    });
    if (const NVResult<void> started = m_fileObserver->start(); !started)
        NVLog(QStringLiteral("Changes other processes make to the settings file %@ will go unnoticed: %@"), m_filePath,
              started.error().localizedDescription());
}

QMetaObject::Connection NVUserDefaults::observe(const QString &key, const QObject *context, std::function<void()> handler)
{
    return connect(this, &NVUserDefaults::valueChanged, context, [key, handler = std::move(handler)](const QString &changed) {
        if (changed == key)
            handler();
    });
}
