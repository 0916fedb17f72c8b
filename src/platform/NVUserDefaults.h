#pragma once

#include "foundation/NVError.h"
#include "logging/NVLog.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class NVFileObserver;
class QTimer;

// The settings of one domain (an application identifier), looked up in three
// layers: the argument domain ("-Key Value" pairs on the command line), the
// persistent domain (an XML property list in $XDG_CONFIG_HOME/<domain>.plist)
// and the registration domain (defaults the program registers at start-up).
//
// Writes change memory at once and reach the file on the next turn of the
// event loop, or at synchronize(). The file is merged key by key under a
// lock, so two processes writing different keys both keep theirs, and a key
// one process removed is not brought back by the other's older copy. The
// file is watched (inotify, from the owner thread's event loop) for as long
// as the object lives, so what other processes write is read in shortly
// after, whether or not anyone observes a key.
//
// Reading is thread-safe; writing, observing and synchronizing belong to the
// thread the object lives on (the main thread for the standard defaults).
class NVUserDefaults : public QObject, public NVLogEnvironment {
    Q_OBJECT
public:
    // domain: the identifier; configDirectory: where "<domain>.plist" lives;
    // arguments: the process's command line (argv[0] first) for the argument
    // domain. Main thread (elsewhere, the file is not watched).
    NVUserDefaults(QString domain, QString configDirectory, const QStringList &arguments = {}, QObject *parent = nullptr);
    ~NVUserDefaults() override;

    // The defaults of this process: domain = the main bundle's identifier (or
    // the executable's name), file in $XDG_CONFIG_HOME (default ~/.config),
    // arguments from the application object. Created on first use on the main
    // thread, never destroyed; it also becomes the log environment.
    static NVUserDefaults *standardUserDefaults();
    // "$XDG_CONFIG_HOME", or "$HOME/.config". Any thread.
    static QString configDirectory();

    const QString &domain() const { return m_domain; }
    const QString &filePath() const { return m_filePath; }

    // Any thread.
    QVariant objectForKey(const QString &key) const;
    QString stringForKey(const QString &key) const;      // strings, and numbers as text
    QVariantList arrayForKey(const QString &key) const;  // empty unless an array
    bool isArrayForKey(const QString &key) const;
    QVariantMap dictionaryForKey(const QString &key) const;
    QByteArray dataForKey(const QString &key) const;
    bool boolForKey(const QString &key) const override;  // strings and numbers by their boolValue
    // boolForKey("SoftwareUpdateDebugLogsEnabled"), kept up to date in an
    // atomic for the debug log's check at every call. Any thread; one load.
    bool debugLogsEnabled() const override { return m_debugLogsEnabled.load(std::memory_order_relaxed); }
    qint64 integerForKey(const QString &key) const;
    double doubleForKey(const QString &key) const;
    QString bundleIdentifier() const override;

    // The whole persistent domain as it is known now (file plus unsaved writes).
    QVariantMap persistentDomain() const;
    QVariantMap argumentDomain() const;

    // Owner thread. An invalid QVariant removes the key.
    void setObject(const QVariant &value, const QString &key);
    void setBool(bool value, const QString &key) { setObject(QVariant(value), key); }
    void setInteger(qint64 value, const QString &key) { setObject(QVariant(value), key); }
    void setDouble(double value, const QString &key) { setObject(QVariant(value), key); }
    void removeObject(const QString &key);
    void registerDefaults(const QVariantMap &defaults);

    // Owner thread; blocks briefly on the file lock. Writes pending changes,
    // reads what other processes wrote, and notifies observers of every key
    // whose effective value changed. False when the file cannot be used (the
    // settings keep working in memory; the reason was logged once).
    bool synchronize();

    // Calls handler on the owner thread whenever the effective value of key
    // changes (not for writes of an equal value, but also for changes other
    // processes made), until context is destroyed or the connection is
    // disconnected.
    QMetaObject::Connection observe(const QString &key, const QObject *context, std::function<void()> handler);

    // Subscript access: defaults["Key"] reads, defaults["Key"] = value writes.
    class Subscript {
    public:
        operator QVariant() const { return m_defaults->objectForKey(m_key); }
        QVariant value() const { return m_defaults->objectForKey(m_key); }
        Subscript &operator=(const QVariant &value)
        {
            m_defaults->setObject(value, m_key);
            return *this;
        }

    private:
        friend class NVUserDefaults;
        Subscript(NVUserDefaults *defaults, QString key) : m_defaults(defaults), m_key(std::move(key)) {}
        NVUserDefaults *m_defaults;
        QString m_key;
    };
    Subscript operator[](const QString &key) { return Subscript(this, key); }
    QVariant operator[](const QString &key) const { return objectForKey(key); }

    // Parses "-Key Value" pairs: values that read as text property lists keep
    // their structure, others are plain strings. Any thread.
    static QVariantMap parseArgumentDomain(const QStringList &arguments);

Q_SIGNALS:
    // Emitted on the owner thread once per real change of a key's effective value.
    void valueChanged(const QString &key);

private:
    enum class FileState { Usable, Refused };

    QVariant effectiveLocked(const QString &key) const;
    void notifyChanges(const QHash<QString, QVariant> &before);
    QHash<QString, QVariant> snapshotLocked(const QStringList &keys) const;
    void scheduleSynchronize();
    void startWatching();
    void refuseFile(const QString &reason);
    // After every change of a layer, under m_mutex.
    void updateCachedSettingsLocked();

    const QString m_domain;
    const QString m_configDirectory;
    const QString m_filePath;

    mutable std::mutex m_mutex;
    QVariantMap m_arguments;
    QVariantMap m_persistent;
    QVariantMap m_registration;
    // Writes not yet in the file: a value, or nullopt for a removal.
    QHash<QString, std::optional<QVariant>> m_pending;
    // Every write of this run, so that a file found corrupt can be rebuilt
    // without losing them.
    QHash<QString, std::optional<QVariant>> m_writtenThisRun;
    FileState m_fileState = FileState::Usable;
    bool m_loadedOnce = false;

    std::atomic<bool> m_debugLogsEnabled{false};

    QTimer *m_syncTimer = nullptr;
    std::shared_ptr<NVFileObserver> m_fileObserver;
    QTimer *m_watchDebounce = nullptr;
};
