#pragma once

#include <QString>
#include <QVariantMap>

// Notifications to other processes of the session, such as the product
// application: a signal on the session bus, delivered at once to every
// listener.
//
//   path       /norvane/DistributedNotificationCenter
//   interface  norvane.DistributedNotificationCenter
//   member     Notification (s name, a{sv} userInfo)
//
// A product application listens with a match rule on that interface and
// member (dbus-monitor shows them with
// "type='signal',interface='norvane.DistributedNotificationCenter'").
namespace NVDistributedNotificationCenter {

inline const QString Path = QStringLiteral("/norvane/DistributedNotificationCenter");
inline const QString Interface = QStringLiteral("norvane.DistributedNotificationCenter");
inline const QString Member = QStringLiteral("Notification");

// Sends the signal; without a session bus the post is skipped with one debug
// log line. Main thread; returns at once.
void postNotificationName(const QString &name, const QVariantMap &userInfo = {});

} // namespace NVDistributedNotificationCenter
