#include "install/NVAuthorization.h"

#include "InstallTestSupport.h"
#include "support/LogCapture.h"
#include "support/PseudoTerminal.h"
#include "support/TestSupport.h"
#include "support/TestUser.h"

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

// The polkit route as a desktop takes it, run by scripts/test.sh: a system
// bus and polkitd of the test run, the root helper and the updater's action
// installed where polkit reads them, and a rule that lets the test account
// authenticate as itself for that action (scripts/test-user.sh).
namespace {

const QString kAction = QStringLiteral("norvane.velkin.SoftwareUpdate.run-as-root");
const QString kAuthority = QStringLiteral("org.freedesktop.PolicyKit1");

std::optional<QString> polkitMissing()
{
    if (::access("/usr/bin/pkexec", X_OK) != 0)
        return QStringLiteral("pkexec is not installed (scripts/install-deps.sh)");
    if (QFileInfo(NVAuthorization::rootHelperPath()).ownerId() != 0)
        return QStringLiteral("the root helper is not installed (scripts/test-polkit.sh start)");
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(kAuthority).value())
        return QStringLiteral("polkitd is not running (scripts/test-polkit.sh start)");
    return std::nullopt;
}

// pkttyagent registered for this process, on a pseudo-terminal of its own
// where the test types the password. It closes --notify-fd once polkitd has
// registered it.
std::unique_ptr<PseudoTerminal> startTerminalAgent()
{
    int registered[2];
    if (::pipe(registered) != 0)
        return nullptr;
    auto agent = std::make_unique<PseudoTerminal>(PseudoTerminal::Options{
        QStringLiteral("/usr/bin/pkttyagent"),
        {QStringLiteral("--process"), QString::number(::getpid()), QStringLiteral("--notify-fd=%1").arg(registered[1])},
        QProcessEnvironment::systemEnvironment()});
    ::close(registered[1]);
    pollfd closed = {registered[0], POLLIN, 0};
    char byte;
    const bool ok = agent->started() && ::poll(&closed, 1, 60000) == 1 && ::read(registered[0], &byte, 1) == 0;
    ::close(registered[0]);
    return ok ? std::move(agent) : nullptr;
}

// A desktop's agent whose user presses Cancel: it answers every request to
// authenticate as dismissed, the way graphical agents do (pkttyagent cannot:
// its failures are not dismissals). It serves on a thread and a bus
// connection of its own: the test's thread blocks in
// NVAuthorization::create(), and calls to objects of the shared system bus
// connection wait for that thread.
class DismissingAgent : public QDBusVirtualObject {
public:
    DismissingAgent()
    {
        moveToThread(&m_thread);
        m_thread.start();
        m_registered = m_bus.registerVirtualObject(kPath, this) && callAuthority(QStringLiteral("RegisterAuthenticationAgent"));
    }
    ~DismissingAgent() override
    {
        callAuthority(QStringLiteral("UnregisterAuthenticationAgent"));
        m_bus.unregisterObject(kPath);
        QDBusConnection::disconnectFromBus(m_bus.name());
        m_thread.quit();
        m_thread.wait();
    }

    bool registered() const { return m_registered; }
    QStringList actions() const
    {
        std::lock_guard lock(m_mutex);
        return m_actions;
    }

    QString introspect(const QString &) const override { return QString(); }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() == QLatin1String("BeginAuthentication")) {
            std::lock_guard lock(m_mutex);
            m_actions << message.arguments().value(0).toString();
            return connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.PolicyKit1.Error.Cancelled"),
                                                            QStringLiteral("dismissed")));
        }
        return connection.send(message.createReply());
    }

private:
    static inline const QString kPath = QStringLiteral("/nvsu/test/DismissingAgent");

    // This process as polkit names it: its pid and its start time.
    static QVariant subject()
    {
        const QByteArray stat = TestSupport::readFile(QStringLiteral("/proc/self/stat"));
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        QDBusArgument subject;
        subject.beginStructure();
        subject << QStringLiteral("unix-process");
        subject.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QDBusVariant>());
        subject.beginMapEntry();
        subject << QStringLiteral("pid") << QDBusVariant(quint32(::getpid()));
        subject.endMapEntry();
        subject.beginMapEntry();
        subject << QStringLiteral("start-time") << QDBusVariant(fields.value(19).toULongLong());
        subject.endMapEntry();
        subject.endMap();
        subject.endStructure();
        return QVariant::fromValue(subject);
    }

    bool callAuthority(const QString &method)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(kAuthority, QStringLiteral("/org/freedesktop/PolicyKit1/Authority"),
                                                           QStringLiteral("org.freedesktop.PolicyKit1.Authority"), method);
        call << subject();
        if (method == QLatin1String("RegisterAuthenticationAgent"))
            call << QStringLiteral("C.UTF-8");
        call << kPath;
        const QDBusMessage reply = m_bus.call(call);
        EXPECT_NE(reply.type(), QDBusMessage::ErrorMessage) << reply.errorMessage().toStdString();
        return reply.type() == QDBusMessage::ReplyMessage;
    }

    QThread m_thread;
    QDBusConnection m_bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("nvsu-test-agent"));
    bool m_registered = false;
    mutable std::mutex m_mutex;
    QStringList m_actions;
};

} // namespace

// How each answer of polkit ends the request, as the test account: a
// password typed into the agent gives root through pkexec and our helper;
// a dismissed prompt ends the request without a sudo prompt; polkit failing
// (no agent) or a helper that is not root's falls through to sudo.
TEST(NVAuthorizationPolkitTest, EachAnswerOfPolkit)
{
    if (const auto missing = polkitMissing(); missing && !TestUser::isRunningAsTestUser())
        GTEST_SKIP() << missing->toStdString();
    NV_RUN_AS_TEST_USER();
    // No controlling terminal: pkexec would otherwise ask on it itself.
    ASSERT_NE(::setsid(), -1);
    QTemporaryDir folder;
    const QString usersHelper = folder.filePath(QStringLiteral("nvsu-root-helper"));
    ASSERT_TRUE(QFile::copy(NVAuthorization::rootHelperPath(), usersHelper));

    enum class Agent { None, Dismissing, Terminal };
    struct Row {
        const char *name;
        Agent agent;
        bool usersHelper;
        std::optional<NVAuthorization::Route> route; // nothing: cancelled
        int sudoPrompts;
        const char *logged;
    };
    // Registered agents leave before the next one comes: one per process.
    const Row rows[] = {
        {"no agent", Agent::None, false, NVAuthorization::Route::Sudo, 1, "pkexec could not obtain administrator rights (status 127"},
        {"helper the user owns", Agent::None, true, NVAuthorization::Route::Sudo, 1, "is not owned by root"},
        {"dismissed", Agent::Dismissing, false, std::nullopt, 0, nullptr},
        {"password", Agent::Terminal, false, NVAuthorization::Route::Polkit, 0, nullptr},
    };
    InstallTest::DebugLogs debugLogs;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TestSupport::writeFile(folder.filePath(QStringLiteral("asked")), QByteArray());
        const QString askpass = InstallTest::writeAskpass(folder.path(), folder.filePath(QStringLiteral("asked")));
        NVAuthorization::setAskpassPath(askpass);
        NVAuthorization::setRootHelperPathForTesting(row.usersHelper ? usersHelper : QString());
        std::optional<DismissingAgent> dismissing;
        std::unique_ptr<PseudoTerminal> terminal;
        if (row.agent == Agent::Dismissing)
            ASSERT_TRUE(dismissing.emplace().registered());
        if (row.agent == Agent::Terminal)
            ASSERT_TRUE(terminal = startTerminalAgent());

        LogCapture log;
        std::optional<NVResult<std::shared_ptr<NVAuthorization>>> asked;
        std::thread request([&] { asked = NVAuthorization::create(); });
        if (terminal) {
            EXPECT_TRUE(terminal->waitForScreen(QStringLiteral("Password:"))) << terminal->screen().toStdString();
            terminal->type(TestUser::account()->password.toUtf8() + '\n');
        }
        request.join();
        auto &authorization = *asked;
        EXPECT_EQ(InstallTest::askpassCount(folder.filePath(QStringLiteral("asked"))), row.sudoPrompts);
        if (row.logged)
            EXPECT_EQ(log.matching(QString::fromUtf8(row.logged)).size(), 1) << log.messages().join(u'\n').toStdString();
        if (!row.route) {
            ASSERT_FALSE(authorization);
            EXPECT_EQ(authorization.error().code(), NVAuthorization::UserCancelledErrorCode);
            EXPECT_EQ(dismissing->actions(), QStringList{kAction});
            continue;
        }
        ASSERT_TRUE(authorization) << authorization.error().localizedDescription().toStdString();
        EXPECT_EQ(authorization.value()->route(), *row.route);
        const auto answer = authorization.value()->run(QByteArrayLiteral("id -u; env"), {});
        ASSERT_TRUE(answer && answer->completed);
        EXPECT_EQ(answer->bytes.split('\n').first(), "0");
        EXPECT_FALSE(answer->bytes.contains("NV_TEST_USER_PASSWORD")) << answer->bytes.constData();
        if (terminal)
            EXPECT_TRUE(terminal->screen().contains("AUTHENTICATING FOR " + kAction)) << terminal->screen().toStdString();
    }
    NVAuthorization::setAskpassPath(QString());
    NVAuthorization::setRootHelperPathForTesting(QString());
}
