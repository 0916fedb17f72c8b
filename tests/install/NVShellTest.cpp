#include "install/NVShell.h"

#include "InstallTestSupport.h"
#include "install/NVAuthorization.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "support/TestUser.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <optional>
#include <thread>
#include <unistd.h>
#include <vector>

using InstallTest::rootShell;

namespace {

// The process id of the root bash that ran a shell's last command: every
// command is a child of it.
QByteArray rootShellProcess(NVShell &shell)
{
    EXPECT_EQ(shell.executeCommand(QStringLiteral("echo $PPID")), 0);
    return shell.lastCommandOutput().value_or(QByteArray());
}

} // namespace

// The same commands through a user shell and, when the tests run as root,
// through the root shell, whose status and output travel back framed by a
// trailer; only the variables set on a shell reach its commands.
TEST(NVShellTest, StatusOutputAndVariablesOfCommands)
{
    struct Case {
        const char *command;
        int status;
        QByteArray output;
        int rootStatus = -2; // -2: as for the user shell
    };
    const Case cases[] = {
        {"echo done; exit 3", 3, "done\n"},
        // Output that looks like a trailer does not confuse the recovery.
        {"printf 'x/12'", 0, "x/12"},
        {"printf 'x/12\\n/7\\n'; exit 5", 5, "x/12\n/7\n"},
        // Commands run in "/", standard error is not collected, and bash runs them.
        {"pwd; echo oops >&2; set -o pipefail; false | true", 1, "/\n"},
        // A command that dies before the root trailer loses its status, not its output.
        {"printf 'partial\\n'; kill -9 $$", 128 + 9, "partial\n", -1},
        {"echo still here", 0, "still here\n"},
        {"head -c 3000000 /dev/zero", 0, QByteArray(3000000, '\0')},
        {"printf '\\377\\376'", 0, "\xff\xfe"},
    };
    QString awkward = QStringLiteral("/tmp/Velkin Software Update.app/it's \"quoted\" 'twice'/Grüße $HOME `x` \\ \nline\t");
    for (char16_t c = 1; c < 128; ++c)
        awkward += QChar(c);
    qputenv("NVSU_CALLER_ONLY", "from the caller");
    std::vector<std::shared_ptr<NVShell>> shells{NVShell::create()};
    if (::geteuid() == 0)
        shells.push_back(rootShell());
    for (const std::shared_ptr<NVShell> &shell : shells) {
        SCOPED_TRACE(shell->isRootShell() ? "root shell" : "user shell");
        EXPECT_EQ(shell->lastCommandOutputString(), QString());
        for (const Case &c : cases) {
            SCOPED_TRACE(c.command);
            const bool root = shell->isRootShell();
            EXPECT_EQ(shell->executeCommand(QString::fromUtf8(c.command)), root && c.rootStatus != -2 ? c.rootStatus : c.status);
            EXPECT_EQ(shell->lastCommandOutput(), c.output);
        }
        EXPECT_EQ(shell->lastCommandOutputString(), std::nullopt) << "not UTF-8";
        // Commands run outside this process's group, so that a Ctrl-C at the
        // terminal reaches only the updater and never a command half done.
        ASSERT_EQ(shell->executeCommand(QStringLiteral("read -r -a stat < /proc/$$/stat; echo \"${stat[4]}\"")), 0);
        const qint64 group = shell->lastCommandOutput().value_or("0").trimmed().toLongLong();
        EXPECT_GT(group, 1);
        EXPECT_NE(group, qint64(::getpgrp()));

        shell->setVariable(QStringLiteral("NVSU_APP"), awkward);
        shell->setVariable(QStringLiteral("NVSU_EMPTY"), QString());
        shell->setVariable(QStringLiteral("NVSU_GONE"), QStringLiteral("x"));
        shell->setVariable(QStringLiteral("NVSU_GONE"), std::nullopt);
        EXPECT_EQ(shell->executeCommand(QStringLiteral("printf '%s' \"$NVSU_APP\"")), 0);
        EXPECT_EQ(shell->lastCommandOutputString(), awkward);
        // Not through the process's environment, which every thread's children inherit.
        EXPECT_FALSE(qEnvironmentVariableIsSet("NVSU_APP"));
        auto other = NVShell::shellWithAuthorizationReferenceFromShell(shell);
        EXPECT_EQ(other->executeCommand(QStringLiteral("test -z \"${NVSU_APP+set}\"")), 0) << "another shell's variable";

        EXPECT_EQ(shell->executeCommand(QStringLiteral("env | LC_ALL=C sort")), 0);
        const QByteArray environment = shell->lastCommandOutput().value_or(QByteArray());
        EXPECT_TRUE(environment.contains("NVSU_EMPTY=\n")) << environment.constData();
        EXPECT_FALSE(environment.contains("NVSU_GONE")) << environment.constData();
        if (!shell->isRootShell())
            continue;
        // Root gets none of the caller's environment, a fixed PATH, and no
        // variable ever becomes one of its functions.
        EXPECT_TRUE(environment.contains("\nPATH=" + NVAuthorization::RootPath + '\n')) << environment.constData();
        EXPECT_FALSE(environment.contains("NVSU_CALLER_ONLY")) << environment.constData();
        shell->setVariable(QStringLiteral("BASH_FUNC_id%%"), QStringLiteral("() { echo 42; }"));
        EXPECT_EQ(shell->executeCommand(QStringLiteral("id -u")), 0);
        EXPECT_EQ(shell->lastCommandOutput(), QByteArray("0\n"));
    }
    qunsetenv("NVSU_CALLER_ONLY");
}

// Shells made from a root shell share its root bash, also on threads
// without an event loop, so that one replacement asks for root once. Its
// commands run as root without input; once it is gone they fail.
TEST(NVShellRootTest, ShellsShareOneRootShellWhoseCommandsRunWithoutInput)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the direct root path needs the tests to run as root";
    EXPECT_FALSE(NVShell::shellWithAuthorizationReferenceFromShell(NVShell::create())->isRootShell());
    std::shared_ptr<NVShell> first;
    std::thread([&] { first = rootShell(); }).join();
    ASSERT_TRUE(first && first->isRootShell());
    const QByteArray rootBash = rootShellProcess(*first);
    ASSERT_FALSE(rootBash.isEmpty());
    auto second = NVShell::shellWithAuthorizationReferenceFromShell(first);
    ASSERT_TRUE(second->isRootShell());
    EXPECT_EQ(rootShellProcess(*second), rootBash);

    // The borrowed authorization outlives the shell it came from.
    first.reset();
    EXPECT_EQ(rootShellProcess(*second), rootBash);

    // Standard input is /dev/null, not the root shell's command stream.
    EXPECT_EQ(second->executeCommand(QStringLiteral("id -u; cat")), 0);
    EXPECT_EQ(second->lastCommandOutput(), QByteArray("0\n"));
    EXPECT_EQ(second->executeCommand(QStringLiteral("echo last words; kill -9 $PPID")), 0);
    EXPECT_EQ(second->lastCommandOutput(), QByteArray("last words\n"));
    EXPECT_EQ(second->executeCommand(QStringLiteral("echo anything")), -1) << "the root shell is gone";
    EXPECT_EQ(second->lastCommandOutput(), QByteArray("last words\n"));
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
  right) printf '%s\n' "$NV_TEST_USER_PASSWORD" ;;
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

// In one process on purpose: sudo is told to forget earlier passwords, so
// every grant must be asked for again.
TEST(NVShellSudoTest, PasswordsCancelAndAMissingPrompt)
{
    NV_RUN_AS_TEST_USER();
    struct Row {
        const char *answers; // nullptr: no prompt program at all
        bool granted;
        int invocations;
    };
    // Three wrong answers use up sudo's own tries, so sudo is started again.
    const Row rows[] = {{nullptr, false, 0}, {"wrong cancel", false, 2}, {"right", true, 1}, {"wrong wrong wrong right", true, 4}};
    NVAuthorization::setPolkitAllowedForTesting(false);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.answers ? row.answers : "missing prompt");
        std::optional<FakePrompt> prompt;
        if (row.answers)
            prompt.emplace(row.answers);
        else
            NVAuthorization::setAskpassPath(QStringLiteral("/nonexistent/nvsu-askpass"));
        auto shell = NVShell::create();
        EXPECT_EQ(shell->requestRootShell(), row.granted);
        EXPECT_EQ(shell->isRootShell(), row.granted);
        const QList<QByteArray> asked(row.invocations, "nvsutest");
        EXPECT_EQ(prompt ? prompt->invocations() : QList<QByteArray>(), asked);

        // Commands, a shell made from this one, and a trip back to the user
        // and to root again ask nobody; a copy of a user shell is a user shell.
        auto second = NVShell::shellWithAuthorizationReferenceFromShell(shell);
        EXPECT_EQ(second->isRootShell(), row.granted);
        for (const auto &each : {shell, second}) {
            EXPECT_EQ(each->executeCommand(QStringLiteral("id -u")), 0);
            EXPECT_EQ(each->lastCommandOutput(), QByteArray::number(row.granted ? 0 : ::getuid()) + '\n');
        }
        if (row.granted) {
            shell->setIsRootShell(false);
            EXPECT_EQ(shell->executeCommand(QStringLiteral("id -u")), 0);
            EXPECT_EQ(shell->lastCommandOutput(), QByteArray::number(::getuid()) + '\n');
            shell->setIsRootShell(true);
            EXPECT_EQ(shell->executeCommand(QStringLiteral("id -u")), 0);
            EXPECT_EQ(shell->lastCommandOutput(), QByteArray("0\n"));
        }
        EXPECT_EQ(prompt ? prompt->invocations() : QList<QByteArray>(), asked);
    }
}

// An account that sudo asks for its password and then refuses a shell
// (nvsurefused may run /bin/true only) is told so once, after any number of
// wrong passwords, and never asked again.
TEST(NVShellSudoTest, ARefusalByPolicyEndsTheRequest)
{
    NV_RUN_AS_REFUSED_TEST_USER();
    for (const char *answers : {"right", "wrong right"}) {
        SCOPED_TRACE(answers);
        FakePrompt prompt(answers);
        LogCapture log;
        const auto authorization = NVAuthorization::create();
        ASSERT_FALSE(authorization);
        EXPECT_EQ(authorization.error().domain(), NVAuthorization::ErrorDomain);
        EXPECT_EQ(authorization.error().code(), NVAuthorization::RefusedByPolicy);
        EXPECT_TRUE(authorization.error().localizedDescription().contains(QStringLiteral("not allowed to execute")))
            << authorization.error().localizedDescription().toStdString();
        EXPECT_EQ(prompt.invocations().size(), QByteArray(answers).count(' ') + 1);
        EXPECT_EQ(log.matching(QStringLiteral("refused administrator rights by policy")).size(), 1)
            << log.messages().join(u'\n').toStdString();
    }
}
