#include "app/AppTestSupport.h"
#include "app/NVSUSchedule.h"
#include "app/VKSUAppDelegate.h"
#include "platform/NVDistributedNotificationCenter.h"
#include "platform/NVUserDefaults.h"

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

// Each launch runs at most one check and quits: without a URL the fallback
// starts the background check, "check-automatically" starts it at once and
// only when it is due, and "check-manually" announces the interactive state
// once per change, and the last check once, with the settings on disk
// before it. (When each comes is checked with a manual clock in-process.)
TEST_F(VKSUApplicationProcessTest, EachLaunchRunsOneCheckWhenDueAndQuits)
{
    NotificationListener listener(bus.connection, settingsFile());
    const struct {
        const char *name;
        QStringList arguments;
        bool due;
        bool fallback;
    } rows[] = {
        {"check-manually", {Manually}, true, false}, // first, so that only its announcements arrive
        {"no URL", {}, true, true},
        {"check-automatically", {Automatically}, true, false},
        {"check-automatically, not due", {Automatically}, false, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        // A run records its end, so each row starts without settings.
        QFile::remove(settingsFile());
        if (!row.due) {
            NVUserDefaults settings(bundle.identifier, bundle.configDirectory);
            settings.setObject(QDateTime::currentDateTimeUtc(), SoftwareUpdateLastCheckKey);
            ASSERT_TRUE(settings.synchronize());
        }
        const int requestsBefore = bundle.feedRequests();
        Updater updater;
        updater.start(bundle, bus, row.arguments);
        ASSERT_TRUE(updater.finish()) << updater.log.constData();
        EXPECT_EQ(bundle.feedRequests() - requestsBefore, row.due ? 1 : 0);
        EXPECT_EQ(updater.count("Update run finished"), row.due ? 1 : 0) << updater.log.constData();
        EXPECT_EQ(updater.count("No URL command came"), row.fallback ? 1 : 0) << updater.log.constData();
        EXPECT_EQ(updater.count("Quitting in 2 seconds"), 1) << updater.log.constData();
        if (row.arguments == QStringList{Manually}) {
            const QStringList expected = {VKSoftwareUpdateCheckingForUpdateDidChangeNotification + "=true",
                                          VKSoftwareUpdateCheckingForUpdateDidChangeNotification + "=false",
                                          VKSoftwareUpdateLastCheckDateDidChangeNotification};
            EXPECT_TRUE(TestSupport::waitFor([&] { return listener.received.size() >= expected.size(); }));
            EXPECT_EQ(listener.received, expected);
            EXPECT_TRUE(listener.lastCheckOnDisk);
        }
    }
}

// Once the running process has started its quit timer, a later process
// does not hand its URL to it but runs the check itself.
TEST_F(VKSUApplicationProcessTest, AProcessAboutToQuitTakesNoURL)
{
    Updater first;
    first.start(bundle, bus, {});
    ASSERT_TRUE(first.waitForLine("Quitting in 2 seconds")) << first.log.constData();
    Updater second;
    second.start(bundle, bus, {Manually});
    ASSERT_TRUE(second.finish()) << second.log.constData();
    ASSERT_TRUE(first.finish()) << first.log.constData();
    EXPECT_EQ(first.count("URL command: "), 0) << first.log.constData();
    EXPECT_EQ(second.count("URL command: " + Manually), 1) << second.log.constData();
    EXPECT_EQ(bundle.feedRequests(), 2);
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

// Each termination signal ends the process through its normal termination
// (exit status 0, the quit path logged), also before any check has begun.
TEST_F(VKSUApplicationProcessTest, TerminationSignalsQuitThroughTheNormalPath)
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        Updater updater;
        updater.start(bundle, bus, {});
        ASSERT_TRUE(updater.waitForLine("Launched")) << updater.log.constData();
        QDBusConnectionInterface *names = bus.connection.interface();
        ASSERT_TRUE(TestSupport::waitFor([&] { return names->isServiceRegistered(bundle.identifier).value(); }, std::chrono::seconds(60)));
        ::kill(pid_t(updater.process.processId()), signal);
        ASSERT_TRUE(updater.finish()) << updater.log.constData();
        EXPECT_EQ(updater.count(QStringLiteral("Terminating (signal %1)").arg(signal)), 1) << updater.log.constData();
    }
}

#include "VKSUApplicationProcessTest.moc"
