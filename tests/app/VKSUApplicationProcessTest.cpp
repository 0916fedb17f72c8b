#include "app/AppTestSupport.h"
#include "app/VKSUAppDelegate.h"
#include "platform/NVDistributedNotificationCenter.h"

#include <QDBusConnectionInterface>

#include <list>

#include <csignal>

namespace {

const QString Manually = QStringLiteral("x-velkin-software-update:check-manually");
const QString Automatically = QStringLiteral("x-velkin-software-update:check-automatically");

// One updater process of the test bundle, with the debug log on.
struct Updater {
    QProcess process;

    void start(const AppTestBundle &bundle, const PrivateSessionBus &bus, const QStringList &arguments)
    {
        QProcessEnvironment environment = bundle.processEnvironment();
        environment.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
        process.setProcessEnvironment(environment);
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(bundle.executable(), arguments + QStringList{"-SoftwareUpdateDebugLogsEnabled", "YES"});
    }
    bool waitForLine(const QString &text)
    {
        return TestSupport::waitFor([&] {
            log += process.readAllStandardError();
            return count(text) > 0;
        }, std::chrono::seconds(60));
    }
    bool finish()
    {
        const bool ended = TestSupport::waitFor([&] { return process.state() == QProcess::NotRunning; }, std::chrono::seconds(120));
        log += process.readAllStandardError();
        if (process.error() == QProcess::FailedToStart)
            log += "cannot start: " + process.errorString().toUtf8();
        return ended && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    int count(const QString &text) const { return int(QString::fromUtf8(log).count(text)); }

    QByteArray log;
};

// Collects the distributed notifications of the session bus; for each, it
// notes whether the settings file held a last check when it came.
class NotificationListener : public QObject {
    Q_OBJECT
public:
    NotificationListener(QDBusConnection bus, QString settingsFile) : m_settingsFile(std::move(settingsFile))
    {
        bus.connect(QString(), NVDistributedNotificationCenter::Path, NVDistributedNotificationCenter::Interface,
                                              NVDistributedNotificationCenter::Member, this,
                                              SLOT(notification(QString, QVariantMap)));
    }
    QStringList received; // "name" or "name=value"
    bool lastCheckOnDisk = true;

public Q_SLOTS:
    void notification(const QString &name, const QVariantMap &userInfo)
    {
        if (name == VKSoftwareUpdateLastCheckDateDidChangeNotification) {
            received << name;
            lastCheckOnDisk = lastCheckOnDisk && TestSupport::readFile(m_settingsFile).contains("SoftwareUpdateLastCheck");
        } else {
            received << name + '=' + userInfo.value("checkingForUpdate").toString();
        }
    }

private:
    QString m_settingsFile;
};

class VKSUApplicationProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bus.isConnected()) << "dbus-daemon did not start a bus";
    }
    QString settingsFile() const { return bundle.configDirectory + '/' + bundle.identifier + ".plist"; }

    AppTestBundle bundle{QStringLiteral("Process"), true};
    PrivateSessionBus bus;
};

} // namespace

// A manual check announces the interactive state once per change, and the
// last check once with the settings on disk before it, and quits two
// seconds later. A process started once that quit timer runs does not hand
// its URL to it but runs the check itself: here a background check, not due
// so soon after the manual one. (When each comes is checked with a manual
// clock in-process.)
TEST_F(VKSUApplicationProcessTest, AManualCheckAnnouncesItselfAndALaterProcessTakesItsOwnURL)
{
    NotificationListener listener(bus.connection, settingsFile());
    Updater first;
    first.start(bundle, bus, {Manually});
    ASSERT_TRUE(first.waitForLine("Quitting in 2 seconds")) << first.log.constData();
    Updater second;
    second.start(bundle, bus, {Automatically});
    ASSERT_TRUE(second.finish()) << second.log.constData();
    ASSERT_TRUE(first.finish()) << first.log.constData();
    EXPECT_EQ(first.count("URL command: "), 1) << first.log.constData();
    EXPECT_EQ(second.count("URL command: " + Automatically), 1) << second.log.constData();
    EXPECT_EQ(second.count("Quitting in 2 seconds"), 1) << second.log.constData();
    EXPECT_EQ(bundle.feedRequests(), 1);
    const QString checking = VKSoftwareUpdateCheckingForUpdateDidChangeNotification;
    const QStringList expected = {checking + "=true", checking + "=false", VKSoftwareUpdateLastCheckDateDidChangeNotification};
    EXPECT_TRUE(TestSupport::waitFor([&] { return listener.received.size() >= expected.size(); }));
    EXPECT_EQ(listener.received, expected) << listener.received.join(' ').toStdString();
    EXPECT_TRUE(listener.lastCheckOnDisk);
}

// Fifty processes started at once: one runs the check, and every URL is
// taken by exactly one process.
TEST_F(VKSUApplicationProcessTest, FiftyProcessesAtOnceRunOneCheck)
{
    std::list<Updater> updaters(50);
    for (Updater &updater : updaters)
        updater.start(bundle, bus, {Automatically});
    int commands = 0;
    int failures = 0;
    for (Updater &updater : updaters) {
        failures += updater.finish() ? 0 : 1;
        commands += updater.count("URL command: ");
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(commands, 50);
    EXPECT_EQ(bundle.feedRequests(), 1);
}

// A termination signal ends the process through its normal termination
// (exit status 0, the quit path logged), also before any check has begun.
// (That each of the three signals asks for termination is checked where
// they are caught.)
TEST_F(VKSUApplicationProcessTest, ATerminationSignalQuitsThroughTheNormalPath)
{
    Updater updater;
    updater.start(bundle, bus, {});
    ASSERT_TRUE(updater.waitForLine("Launched")) << updater.log.constData();
    QDBusConnectionInterface *names = bus.connection.interface();
    ASSERT_TRUE(TestSupport::waitFor([&] { return names->isServiceRegistered(bundle.identifier).value(); }, std::chrono::seconds(60)));
    ::kill(pid_t(updater.process.processId()), SIGTERM);
    ASSERT_TRUE(updater.finish()) << updater.log.constData();
    EXPECT_EQ(updater.count(QStringLiteral("Terminating (signal %1)").arg(SIGTERM)), 1) << updater.log.constData();
}

#include "VKSUApplicationProcessTest.moc"
