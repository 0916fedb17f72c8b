#include "install/NVShell.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <QFile>

#include <unistd.h>

TEST(NVShellUserTest, StatusAndOutputOfUserCommands)
{
    auto shell = NVShell::create();
    EXPECT_EQ(shell->lastCommandOutputString(), QString());

    EXPECT_EQ(shell->executeCommand(QStringLiteral("echo done; exit 3")), 3);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("done\n"));

    // Commands run in "/" and standard error is not collected.
    EXPECT_EQ(shell->executeCommand(QStringLiteral("pwd; echo oops >&2")), 0);
    EXPECT_EQ(shell->lastCommandOutputString(), QStringLiteral("/\n"));

    // bash, not dash: pipefail must be understood.
    EXPECT_EQ(shell->executeCommand(QStringLiteral("set -o pipefail; false | true")), 1);

    EXPECT_EQ(shell->executeCommand(QStringLiteral("printf '\\377\\376'")), 0);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("\xff\xfe"));
    EXPECT_EQ(shell->lastCommandOutputString(), std::nullopt);

    EXPECT_EQ(shell->executeCommand(QStringLiteral("kill -TERM $$")), 128 + 15);
}

TEST(NVShellUserTest, OutputLargerThanAPipeDoesNotBlockTheWait)
{
    auto shell = NVShell::create();
    EXPECT_EQ(shell->executeCommand(QStringLiteral("head -c 3000000 /dev/zero")), 0);
    EXPECT_EQ(shell->lastCommandOutput()->size(), 3000000);
}

TEST(NVShellUserTest, VariablesReachOnlyTheShellsCommandsAndKeepEveryByte)
{
    const QString awkward = QStringLiteral("/tmp/Velkin Software Update.app/it's \"quoted\"/Grüße $HOME `x`\nline");
    qunsetenv("NVSU_APP");
    auto shell = NVShell::create();
    shell->setVariable(QStringLiteral("NVSU_APP"), awkward);
    shell->setVariable(QStringLiteral("NVSU_GONE"), QStringLiteral("soon removed"));
    shell->setVariable(QStringLiteral("NVSU_GONE"), std::nullopt);

    EXPECT_EQ(shell->executeCommand(QStringLiteral("printf '%s' \"$NVSU_APP\"; test -z \"${NVSU_GONE+set}\"")), 0);
    EXPECT_EQ(shell->lastCommandOutputString(), awkward);
    // The process's own environment never sees them, so other threads'
    // children cannot inherit them.
    EXPECT_FALSE(qEnvironmentVariableIsSet("NVSU_APP"));

    auto other = NVShell::create();
    EXPECT_EQ(other->executeCommand(QStringLiteral("test -z \"${NVSU_APP+set}\"")), 0);
}

TEST(NVShellUserTest, LoggingAndDebugMode)
{
    LogCapture log;
    auto shell = NVShell::create();
    shell->setLogCommandExecution(true);
    shell->setVariable(QStringLiteral("NVSU_TEMP_PATH"), QStringLiteral("/a b"));
    EXPECT_EQ(shell->executeCommand(QStringLiteral("echo one")), 0);
    EXPECT_EQ(log.matching(QStringLiteral("setenv NVSU_TEMP_PATH=/a b")).size(), 1);
    EXPECT_EQ(log.matching(QStringLiteral("shell: echo one")).size(), 1);

    // Debug mode logs and answers 0 without running anything, and leaves the
    // previous output alone; variables are still taken.
    log.clear();
    shell->setLogCommandExecution(false);
    shell->setDebugMode(true);
    const QString marker = QStringLiteral("/tmp/nvsu-debug-mode-%1").arg(::getpid());
    EXPECT_EQ(shell->executeCommand(QStringLiteral("touch %1; exit 7").arg(marker)), 0);
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("one\n"));
    shell->setVariable(QStringLiteral("NVSU_APP"), QStringLiteral("/x"));
    EXPECT_EQ(log.messages().size(), 2) << log.messages().join(QLatin1Char('\n')).toStdString();
    shell->setDebugMode(false);
    EXPECT_EQ(shell->executeCommand(QStringLiteral("printf %s \"$NVSU_APP\"")), 0);
    EXPECT_EQ(shell->lastCommandOutput(), QByteArray("/x"));
}
