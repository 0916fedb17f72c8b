#include "install/NVAuthorization.h"

#include "InstallTestSupport.h"
#include "support/LogCapture.h"
#include "support/PseudoTerminal.h"
#include "support/TestSupport.h"
#include "support/TestUser.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QFileInfo>

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

} // namespace

// How each answer of polkit ends the request, as the test account: a
// password typed into the agent gives root through pkexec and our helper;
// polkit failing (no agent) or a helper that is not root's falls through to
// sudo.
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

    struct Row {
        const char *name;
        bool terminalAgent;
        bool usersHelper;
        NVAuthorization::Route route;
        int sudoPrompts;
        const char *logged;
    };
    // A registered agent leaves before the next one comes: one per process.
    const Row rows[] = {
        {"no agent", false, false, NVAuthorization::Route::Sudo, 1, "pkexec could not obtain administrator rights (status 127"},
        {"helper the user owns", false, true, NVAuthorization::Route::Sudo, 1, "is not owned by root"},
        {"password", true, false, NVAuthorization::Route::Polkit, 0, nullptr},
    };
    InstallTest::DebugLogs debugLogs;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TestSupport::writeFile(folder.filePath(QStringLiteral("asked")), QByteArray());
        const QString askpass = InstallTest::writeAskpass(folder.path(), folder.filePath(QStringLiteral("asked")));
        NVAuthorization::setAskpassPath(askpass);
        NVAuthorization::setRootHelperPathForTesting(row.usersHelper ? usersHelper : QString());
        std::unique_ptr<PseudoTerminal> terminal;
        if (row.terminalAgent) {
            ASSERT_TRUE(terminal = startTerminalAgent());
        }

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
        if (row.logged) {
            EXPECT_EQ(log.matching(QString::fromUtf8(row.logged)).size(), 1) << log.messages().join(u'\n').toStdString();
        }
        ASSERT_TRUE(authorization) << authorization.error().localizedDescription().toStdString();
        EXPECT_EQ(authorization.value()->route(), row.route);
        const auto answer = authorization.value()->run(QByteArrayLiteral("id -u; env"), {});
        ASSERT_TRUE(answer && answer->completed);
        EXPECT_EQ(answer->bytes.split('\n').first(), "0");
        EXPECT_FALSE(answer->bytes.contains("NV_TEST_USER_PASSWORD")) << answer->bytes.constData();
        if (terminal) {
            EXPECT_TRUE(terminal->screen().contains("AUTHENTICATING FOR " + kAction)) << terminal->screen().toStdString();
        }
    }
    NVAuthorization::setAskpassPath(QString());
    NVAuthorization::setRootHelperPathForTesting(QString());
}
