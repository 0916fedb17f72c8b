#include "platform/NVSingleInstance.h"

#include "logging/NVLog.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace {

// The owner answers as soon as its event loop turns; a longer silence means
// it hangs, and this process is better off running alone.
constexpr int kHandOverTimeoutMilliseconds = 20'000;
// How often to race a quitting owner for its name before giving up on it.
constexpr int kAttempts = 5;

} // namespace

NVSingleInstance::NVSingleInstance(QString identifier, QObject *parent) : QObject(parent), m_identifier(std::move(identifier)) {}

NVSingleInstance::~NVSingleInstance()
{
    release();
    if (m_registeredObject)
        QDBusConnection::sessionBus().unregisterObject(Path);
}

NVSingleInstance::Claim NVSingleInstance::claim(const QString &url)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || m_identifier.isEmpty() || !bus.interface()) {
        NVSUDebugLog(QStringLiteral("No session bus; running alone"));
        return Claim::Alone;
    }
    // The object is there before the name, so that no call can find the
    // name without it.
    m_registeredObject = m_registeredObject || bus.registerObject(Path, this, QDBusConnection::ExportScriptableSlots);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
            m_identifier, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
        if (!reply.isValid()) {
            NVSULog(QStringLiteral("Cannot claim %@ on the session bus: %@"), m_identifier, reply.error().message());
            return Claim::Alone;
        }
        if (reply.value() == QDBusConnectionInterface::ServiceRegistered) {
            m_ownsName = true;
            return Claim::Owner;
        }
        if (url.isEmpty())
            return Claim::HandedOver;
        QDBusMessage call = QDBusMessage::createMethodCall(m_identifier, Path, Interface, QStringLiteral("OpenURL"));
        call << url;
        const QDBusMessage answer = bus.call(call, QDBus::Block, kHandOverTimeoutMilliseconds);
        if (answer.type() == QDBusMessage::ReplyMessage)
            return Claim::HandedOver;
        NVSUDebugLog(QStringLiteral("The running instance did not take the URL (%@); trying again"), answer.errorMessage());
    }
    return Claim::Alone;
}

void NVSingleInstance::release()
{
    if (!m_ownsName)
        return;
    m_ownsName = false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.interface())
        bus.interface()->unregisterService(m_identifier);
}

void NVSingleInstance::OpenURL(const QString &url)
{
    Q_EMIT URLReceived(url);
}
