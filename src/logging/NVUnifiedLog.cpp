#include "logging/NVUnifiedLog.h"

#include "logging/NVLog.h"

#include <mutex>

#include <syslog.h>
#ifdef NV_HAVE_SYSTEMD
#include <systemd/sd-journal.h>
#endif

namespace {

int syslogPriority(NVLogType type)
{
    switch (type) {
    case NVLogType::Fault: return LOG_CRIT;
    case NVLogType::Error: return LOG_ERR;
    case NVLogType::Info: return LOG_INFO;
    case NVLogType::Debug: return LOG_DEBUG;
    case NVLogType::Default: break;
    }
    return LOG_NOTICE;
}

class JournalBackend final : public NVUnifiedLogBackend {
public:
    bool isEnabled(const QString &, const QString &, NVLogType type) const override
    {
        // Debug messages cost the journal space on every machine; they are
        // kept only while the user has asked for debug logs.
        if (type == NVLogType::Debug)
            return NVCurrentLogEnvironment().debugLogsEnabled();
        return true;
    }

    void write(const QString &subsystem, const QString &category, NVLogType type, const QString &text) override
    {
        const QByteArray message = text.toUtf8();
        const QByteArray sub = subsystem.toUtf8();
        const QByteArray cat = category.toUtf8();
#ifdef NV_HAVE_SYSTEMD
        const int status = sd_journal_send("MESSAGE=%s", message.constData(), "PRIORITY=%d", syslogPriority(type),
                                           "SYSLOG_IDENTIFIER=%s", sub.constData(), "NV_SUBSYSTEM=%s", sub.constData(),
                                           "NV_CATEGORY=%s", cat.constData(), nullptr);
        if (status >= 0)
            return;
#endif
        // syslog keeps the identifier pointer, so it must live for the process.
        static std::once_flag opened;
        static QByteArray identifier;
        std::call_once(opened, [&] {
            identifier = sub;
            openlog(identifier.constData(), LOG_PID, LOG_USER);
        });
        syslog(syslogPriority(type), "[%s] %s", cat.constData(), message.constData());
    }
};

std::mutex backendMutex;
std::shared_ptr<NVUnifiedLogBackend> &backendSlot()
{
    static std::shared_ptr<NVUnifiedLogBackend> backend = std::make_shared<JournalBackend>();
    return backend;
}

std::shared_ptr<NVUnifiedLogBackend> currentBackend()
{
    std::lock_guard lock(backendMutex);
    return backendSlot();
}

} // namespace

void NVSetUnifiedLogBackend(std::shared_ptr<NVUnifiedLogBackend> backend)
{
    std::lock_guard lock(backendMutex);
    backendSlot() = backend ? std::move(backend) : std::make_shared<JournalBackend>();
}

NVUnifiedLogger::NVUnifiedLogger(QString subsystem, QString category)
    : m_subsystem(std::move(subsystem)), m_category(std::move(category))
{
}

bool NVUnifiedLogger::isEnabled(NVLogType type) const
{
    return currentBackend()->isEnabled(m_subsystem, m_category, type);
}

void NVUnifiedLogger::write(NVLogType type, const QString &text) const
{
    currentBackend()->write(m_subsystem, m_category, type, text);
}

QString NVUnifiedLogSubsystem()
{
    static const QString subsystem = [] {
        const QString identifier = NVCurrentLogEnvironment().bundleIdentifier();
        return identifier.isEmpty() ? QStringLiteral("norvane.velkin") : identifier;
    }();
    return subsystem;
}

QString NVUnifiedLogPrefix()
{
    static const QString prefix = QStringLiteral("%1: ").arg(6304);
    return prefix;
}

namespace {

const NVUnifiedLogger &defaultLogger()
{
    static const NVUnifiedLogger logger(NVUnifiedLogSubsystem(), QStringLiteral("default"));
    return logger;
}

const NVUnifiedLogger &debugLogger()
{
    static const NVUnifiedLogger logger(NVUnifiedLogSubsystem(), QStringLiteral("debug"));
    return logger;
}

} // namespace

void NVUnifiedLog(bool isDebug, NVLogType type, const QString &message)
{
    const NVUnifiedLogger &logger = isDebug ? debugLogger() : defaultLogger();
    if (!logger.isEnabled(type))
        return;
    logger.write(type, NVUnifiedLogPrefix() + message);
}
