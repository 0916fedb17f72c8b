#include "install/NVShell.h"

#include "install/NVAuthorization.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "support/TestUser.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <csignal>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace {

#define SKIP_UNLESS_ROOT()                                                                          \
    do {                                                                                            \
        if (::geteuid() != 0)                                                                       \
            GTEST_SKIP() << "the direct root path needs the tests to run as root";                  \
    } while (0)

std::shared_ptr<NVShell> rootShell()
{
    auto shell = NVShell::create();
    EXPECT_TRUE(shell->requestRootShell());
    EXPECT_TRUE(shell->isRootShell());
    return shell;
}

// The process id of the root bash that ran a shell's last command: every
// command is a child of it.
QByteArray rootShellProcess(NVShell &shell)
{
    EXPECT_EQ(shell.executeCommand(QStringLiteral("echo $PPID")), 0);
    return shell.lastCommandOutput().value_or(QByteArray());
}

} // namespace

TEST(NVShellRootTest, StatusAndOutputAreRecoveredFromTheTrailer)
{
    SKIP_UNLESS_ROOT();
    auto shell = rootShell();

    struct Case {
        const char *command;
        int status;
        QByteArray output;
    };
    const Case cases[] = {
        {"echo done; exit 3", 3, "done\n"},
        {"exit 0", 0, ""},
        // Output that looks like a trailer does not confuse the recovery.
        {"printf 'x/12'", 0, "x/12"},
        {"printf 'x/12\\n/7\\n'; exit 5", 5, "x/12\n/7\n"},
        {"id -u; pwd", 0, "0\n/\n"},
        // Standard input is /dev/null, not the root shell's command stream.
        {"cat", 0, ""},
        {"exit 300", 44, ""},
        {"echo oops >&2; false", 1, ""},
        {"printf 'no line feed'", 0, "no line feed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_EQ(shell->executeCommand(QString::fromUtf8(c.command)), c.status);
        EXPECT_EQ(shell->lastCommandOutput(), c.output);
    }

    EXPECT_EQ(shell->executeCommand(QStringLiteral("head -c 300000 /dev/zero")), 0);
    EXPECT_EQ(shell->lastCommandOutput()->size(), 300000);

    // A command that dies before the trailer loses its status; its output is
    // kept whole, and the root shell goes on serving.
    EXPECT_EQ(shell->executeCommand(QStringLiteral("printf 'partial\\n'; kill -9 $$")), -1);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("partial\n"));
    EXPECT_EQ(shell->executeCommand(QStringLiteral("echo still here")), 0);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("still here\n"));
}

TEST(NVShellRootTest, OnlyTheShellsVariablesAndAFixedPathReachRoot)
{
    SKIP_UNLESS_ROOT();
    QString awkward = QStringLiteral("/tmp/Velkin Software Update.app/it's \"quoted\" 'twice'/Grüße $HOME `x` \\ \nline\t");
    for (char16_t c = 1; c < 128; ++c)
        awkward += QChar(c);
    qputenv("NVSU_CALLER_ONLY", "from the caller");
    auto shell = rootShell();
    shell->setVariable(QStringLiteral("NVSU_APP"), awkward);
    shell->setVariable(QStringLiteral("NVSU_EMPTY"), QString());
    shell->setVariable(QStringLiteral("NVSU_GONE"), QStringLiteral("x"));
    shell->setVariable(QStringLiteral("NVSU_GONE"), std::nullopt);

    EXPECT_EQ(shell->executeCommand(QStringLiteral("printf '%s' \"$NVSU_APP\"")), 0);
    EXPECT_EQ(shell->lastCommandOutputString(), awkward);

    EXPECT_EQ(shell->executeCommand(QStringLiteral("env | LC_ALL=C sort")), 0);
    const QByteArray environment = shell->lastCommandOutput().value_or(QByteArray());
    EXPECT_TRUE(environment.contains("NVSU_EMPTY=\n")) << environment.constData();
    EXPECT_TRUE(environment.contains("\nPATH=" + NVAuthorization::RootPath + '\n')) << environment.constData();
    EXPECT_FALSE(environment.contains("NVSU_CALLER_ONLY")) << environment.constData();
    EXPECT_FALSE(environment.contains("NVSU_GONE")) << environment.constData();
    qunsetenv("NVSU_CALLER_ONLY");

    // A variable never becomes a function of the root shell.
    shell->setVariable(QStringLiteral("BASH_FUNC_id%%"), QStringLiteral("() { echo 42; }"));
    EXPECT_EQ(shell->executeCommand(QStringLiteral("id -u")), 0);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("0\n"));
}

TEST(NVShellRootTest, DebugModeLogsOneLineAndRunsNothing)
{
    SKIP_UNLESS_ROOT();
    auto shell = rootShell();
    EXPECT_EQ(shell->executeCommand(QStringLiteral("echo before")), 0);

    LogCapture log;
    QTemporaryDir folder;
    const QString marker = folder.filePath(QStringLiteral("ran"));
    shell->setDebugMode(true);
    EXPECT_EQ(shell->executeCommand(QStringLiteral("touch '%1'; exit 7").arg(marker)), 0);
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("before\n"));
    ASSERT_EQ(log.messages().size(), 1) << log.messages().join(u'\n').toStdString();
    EXPECT_EQ(log.messages().first(), QStringLiteral("root shell: touch '%1'; exit 7").arg(marker));

    log.clear();
    shell->setDebugMode(false);
    shell->setLogCommandExecution(true);
    EXPECT_EQ(shell->executeCommand(QStringLiteral("exit 7")), 7);
    EXPECT_EQ(log.matching(QStringLiteral("root shell: exit 7")).size(), 1);
}

TEST(NVShellRootTest, ShellsShareOneRootShellAndUserShellsStayUserShells)
{
    SKIP_UNLESS_ROOT();
    auto user = NVShell::create();
    EXPECT_FALSE(NVShell::shellWithAuthorizationReferenceFromShell(user)->isRootShell());

    auto first = rootShell();
    const QByteArray rootBash = rootShellProcess(*first);
    ASSERT_FALSE(rootBash.isEmpty());
    auto second = NVShell::shellWithAuthorizationReferenceFromShell(first);
    ASSERT_TRUE(second->isRootShell());
    EXPECT_EQ(rootShellProcess(*second), rootBash);

    // Back to the user and to root again: the same root shell, not a new one.
    first->setIsRootShell(false);
    EXPECT_EQ(first->executeCommand(QStringLiteral("echo $PPID")), 0);
    EXPECT_EQ(first->lastCommandOutput(), QByteArray::number(::getpid()) + '\n');
    first->setIsRootShell(true);
    EXPECT_TRUE(first->isRootShell());
    EXPECT_EQ(rootShellProcess(*first), rootBash);

    // The borrowed authorization outlives the shell it came from.
    first.reset();
    EXPECT_EQ(rootShellProcess(*second), rootBash);
}

TEST(NVShellRootTest, ACommandAfterTheRootShellIsGoneAnswersMinusOne)
{
    SKIP_UNLESS_ROOT();
    auto shell = rootShell();
    EXPECT_EQ(shell->executeCommand(QStringLiteral("echo last words; kill -9 $PPID")), 0);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("last words\n"));
    EXPECT_EQ(shell->executeCommand(QStringLiteral("echo anything")), -1);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("last words\n"));
}

TEST(NVShellRootTest, ShellsSharingTheRootShellWorkFromThreadsWithoutAnEventLoop)
{
    SKIP_UNLESS_ROOT();
    std::shared_ptr<NVShell> first;
    std::thread([&] { first = rootShell(); }).join();
    ASSERT_TRUE(first && first->isRootShell());
    auto second = NVShell::shellWithAuthorizationReferenceFromShell(first);

    // Each thread must get exactly its own command's output, even though
    // both talk to the same root bash.
    const auto work = [](std::shared_ptr<NVShell> shell, QString name, int *mismatches) {
        shell->setVariable(QStringLiteral("NVSU_NAME"), name);
        for (int i = 0; i < 40; ++i) {
            const int status = shell->executeCommandWithFormat(QStringLiteral("echo \"$NVSU_NAME\" %d; exit %d"), i, i % 7);
            if (status != i % 7 || shell->lastCommandOutput() != QFile::encodeName(name) + ' ' + QByteArray::number(i) + '\n')
                ++*mismatches;
        }
    };
    int firstMismatches = 0;
    int secondMismatches = 0;
    std::thread one(work, first, QStringLiteral("one"), &firstMismatches);
    std::thread two(work, second, QStringLiteral("two"), &secondMismatches);
    one.join();
    two.join();
    EXPECT_EQ(firstMismatches, 0);
    EXPECT_EQ(secondMismatches, 0);
}

namespace {

// Stands in for the person at the password prompt. It follows the askpass
// protocol and answers, in turn, what the file "answers" lists (the last
// answer repeats); each call is counted in "invocations".
const char *const kFakeAskpass = R"(#!/bin/bash
dir=$(dirname "$0")
echo "$1" >> "$dir/invocations"
echo asked >> "$NVSU_ASKPASS_STATE/asked"
n=$(wc -l < "$dir/invocations")
read -r -a answers < "$dir/answers"
answer=${answers[n-1]:-${answers[-1]}}
case $answer in
  right) echo 'nvsu-test-password' ;;
  wrong) echo 'not the password' ;;
  *) touch "$NVSU_ASKPASS_STATE/cancelled"; exit 1 ;;
esac
)";

class FakePrompt {
public:
    explicit FakePrompt(const QByteArray &answers)
    {
        TestSupport::writeFile(m_folder.filePath(QStringLiteral("answers")), answers + '\n');
        const QString script = m_folder.filePath(QStringLiteral("askpass"));
        TestSupport::writeFile(script, kFakeAskpass);
        QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        NVAuthorization::setAskpassPath(script);
        NVAuthorization::setPolkitAllowedForTesting(false);
    }
    ~FakePrompt() { NVAuthorization::setAskpassPath(QString()); }

    // The prompts shown so far, with the user name sudo asked for.
    QList<QByteArray> invocations() const
    {
        QByteArray text = TestSupport::readFile(m_folder.filePath(QStringLiteral("invocations")));
        text.chop(1);
        return text.isEmpty() ? QList<QByteArray>() : text.split('\n');
    }

private:
    QTemporaryDir m_folder;
};

} // namespace

TEST(NVShellSudoTest, TheRightPasswordGivesRootOnceForAllCommandsAndSharedShells)
{
    NV_RUN_AS_TEST_USER();
    FakePrompt prompt("right");
    auto shell = NVShell::create();
    ASSERT_TRUE(shell->requestRootShell());
    EXPECT_EQ(prompt.invocations(), QList<QByteArray>{"nvsutest"});

    shell->setVariable(QStringLiteral("NVSU_APP"), QStringLiteral("/tmp/Velkin Software Update.app/it's"));
    EXPECT_EQ(shell->executeCommand(QStringLiteral("id -u")), 0);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("0\n"));
    EXPECT_EQ(shell->executeCommand(QStringLiteral("printf '%s' \"$NVSU_APP\"; test -r /etc/shadow")), 0);
    EXPECT_EQ(shell->lastCommandOutputString(), QStringLiteral("/tmp/Velkin Software Update.app/it's"));

    auto second = NVShell::shellWithAuthorizationReferenceFromShell(shell);
    EXPECT_EQ(second->executeCommand(QStringLiteral("id -u")), 0);
    EXPECT_EQ(second->lastCommandOutput(), QByteArray("0\n"));
    shell->setIsRootShell(false);
    EXPECT_EQ(shell->executeCommand(QStringLiteral("id -u")), 0);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray::number(::getuid()) + '\n');
    shell->setIsRootShell(true);
    EXPECT_EQ(shell->executeCommand(QStringLiteral("id -u")), 0);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("0\n"));
    EXPECT_EQ(prompt.invocations().size(), 1);
}

TEST(NVShellSudoTest, WrongPasswordsAskAgainUntilTheRightOne)
{
    NV_RUN_AS_TEST_USER();
    // Three wrong answers use up sudo's own tries, so sudo is started again.
    FakePrompt prompt("wrong wrong wrong right");
    auto shell = NVShell::create();
    ASSERT_TRUE(shell->requestRootShell());
    EXPECT_EQ(prompt.invocations().size(), 4);
    EXPECT_EQ(shell->executeCommand(QStringLiteral("id -u")), 0);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("0\n"));
}

TEST(NVShellSudoTest, CancelLeavesAUserShell)
{
    NV_RUN_AS_TEST_USER();
    FakePrompt prompt("wrong cancel");
    auto shell = NVShell::create();
    EXPECT_FALSE(shell->requestRootShell());
    EXPECT_FALSE(shell->isRootShell());
    EXPECT_EQ(prompt.invocations().size(), 2);

    EXPECT_EQ(shell->executeCommand(QStringLiteral("id -u")), 0);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray::number(::getuid()) + '\n');
    // A copy of a user shell is a user shell, and asks nobody.
    EXPECT_FALSE(NVShell::shellWithAuthorizationReferenceFromShell(shell)->isRootShell());
    EXPECT_EQ(prompt.invocations().size(), 2);
}

TEST(NVShellSudoTest, AMissingPromptFailsWithoutAsking)
{
    NV_RUN_AS_TEST_USER();
    NVAuthorization::setPolkitAllowedForTesting(false);
    NVAuthorization::setAskpassPath(QStringLiteral("/nonexistent/nvsu-askpass"));
    auto shell = NVShell::create();
    EXPECT_FALSE(shell->requestRootShell());
    EXPECT_FALSE(shell->isRootShell());
    EXPECT_EQ(shell->executeCommandWithFormat(QStringLiteral("exit %d"), 4), 4);
    NVAuthorization::setAskpassPath(QString());
}

// End to end with our own prompt: real sudo runs nvsu-askpass, which asks on
// the terminal; only the person typing is simulated, on the far side of a
// pseudo-terminal that becomes this process's controlling terminal.
TEST(NVShellSudoTest, OurPromptOnATerminalAsksAgainAfterAWrongPassword)
{
    NV_RUN_AS_TEST_USER();
    NVAuthorization::setPolkitAllowedForTesting(false);
    NVAuthorization::setAskpassPath(TestSupport::bundlePath() + QStringLiteral("/Contents/MacOS/nvsu-askpass"));
    qunsetenv("DISPLAY");
    qunsetenv("WAYLAND_DISPLAY");
    int terminal = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&terminal, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_NE(::setsid(), -1) << "the test process leads a process group already";
    ASSERT_EQ(::ioctl(slave, TIOCSCTTY, 0), 0);

    std::atomic<bool> done = false;
    QByteArray transcript;
    int prompts = 0;
    std::thread person([&] {
        const QByteArray answers[] = {"not the password\n", "nvsu-test-password\n"};
        while (!done) {
            pollfd ready = {terminal, POLLIN, 0};
            if (::poll(&ready, 1, 50) <= 0)
                continue;
            char buffer[512];
            const ssize_t n = ::read(terminal, buffer, sizeof buffer);
            if (n <= 0)
                break;
            transcript.append(buffer, n);
            if (transcript.endsWith("Password: ") && prompts < 2) {
                const QByteArray &answer = answers[prompts++];
                ::write(terminal, answer.constData(), size_t(answer.size()));
            }
        }
    });

    auto shell = NVShell::create();
    const bool granted = shell->requestRootShell();
    done = true;
    person.join();
    // Hanging up the terminal would end this process.
    ::signal(SIGHUP, SIG_IGN);
    ::close(slave);
    ::close(terminal);
    NVAuthorization::setAskpassPath(QString());

    ASSERT_TRUE(granted) << transcript.constData();
    EXPECT_EQ(prompts, 2) << transcript.constData();
    EXPECT_TRUE(transcript.contains("not accepted")) << transcript.constData();
    EXPECT_FALSE(transcript.contains("nvsu-test-password")) << transcript.constData();
    EXPECT_EQ(shell->executeCommand(QStringLiteral("id -u")), 0);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("0\n"));
}
