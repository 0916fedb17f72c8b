#include "platform/NVDistributedNotificationCenter.h"

#include "logging/NVLog.h"

#include <QDBusConnection>
#include <QDBusMessage>

namespace NVDistributedNotificationCenter {

void postNotificationName(const QString &name, const QVariantMap &userInfo)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        NVSUDebugLog(QStringLiteral("No session bus; not posting %@"), name);
        return;
    }
    QDBusMessage signal = QDBusMessage::createSignal(Path, Interface, Member);
    signal << name << userInfo;
    if (!bus.send(signal))
        NVSUDebugLog(QStringLiteral("Cannot post %@: %@"), name, bus.lastError().message());
}

} // namespace NVDistributedNotificationCenter
