#pragma once

#include <QString>

#include <memory>

// Message types of the system log, with the platform's raw values.
enum class NVLogType : quint8 {
    Default = 0x00,
    Info = 0x01,
    Debug = 0x02,
    Error = 0x10,
    Fault = 0x11,
};

// Where system-log messages go. The default writes to the systemd journal
// (falling back to syslog where no journal answers); tests install a recorder.
// Implementations must be thread-safe.
class NVUnifiedLogBackend {
public:
    virtual ~NVUnifiedLogBackend() = default;
    virtual bool isEnabled(const QString &subsystem, const QString &category, NVLogType type) const = 0;
    virtual void write(const QString &subsystem, const QString &category, NVLogType type, const QString &text) = 0;
};

// Any thread. Takes effect for later messages; nullptr restores the journal.
void NVSetUnifiedLogBackend(std::shared_ptr<NVUnifiedLogBackend> backend);

// One system logger: a subsystem and a category. Cheap to copy; any thread.
class NVUnifiedLogger {
public:
    NVUnifiedLogger(QString subsystem, QString category);

    const QString &subsystem() const { return m_subsystem; }
    const QString &category() const { return m_category; }

    bool isEnabled(NVLogType type) const;
    // Writes the text as one public (unredacted) message.
    void write(NVLogType type, const QString &text) const;

private:
    QString m_subsystem;
    QString m_category;
};

// The subsystem of this process's loggers: the main bundle's identifier, or
// "norvane.velkin" when the bundle has none. Fixed on first use.
QString NVUnifiedLogSubsystem();

// The prefix put before every system-log message, "6304: ".
QString NVUnifiedLogPrefix();

// Writes "6304: <message>" with the "debug" logger when isDebug is set, else
// the "default" logger, provided that logger has the type enabled. The two
// loggers are made on first use. Any thread.
void NVUnifiedLog(bool isDebug, NVLogType type, const QString &message);
