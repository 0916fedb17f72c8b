#pragma once

#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QProcess>
#include <QString>

// A session bus of the test's own (a dbus-daemon child), so that bus names
// and notifications of tests running side by side never meet.
class PrivateSessionBus {
public:
    PrivateSessionBus()
    {
        m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!m_daemon.waitForStarted(10000))
            return;
        TestSupport::waitFor([&] { return m_daemon.canReadLine() || m_daemon.state() == QProcess::NotRunning; }, std::chrono::seconds(30));
        address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        if (!address.isEmpty())
            connection = QDBusConnection::connectToBus(address, QStringLiteral("test-bus-%1").arg(quintptr(this)));
    }
    ~PrivateSessionBus()
    {
        QDBusConnection::disconnectFromBus(connection.name());
        m_daemon.terminate();
        m_daemon.waitForFinished(10000);
    }
    bool isConnected() const { return connection.isConnected(); }

    QString address;
    QDBusConnection connection{QString()};

private:
    QProcess m_daemon;
};
