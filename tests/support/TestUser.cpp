#include "support/TestUser.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>

#include <pwd.h>
#include <unistd.h>

namespace TestUser {

namespace {

// Where scripts/test-user.sh keeps each account's password, readable by
// root only.
const char *const kPasswordFolder = "/run/nvsu-test-accounts";
const char *const kPasswordVariable = "NV_TEST_USER_PASSWORD";

const char *name(Kind kind)
{
    return kind == Kind::Refused ? "nvsurefused" : "nvsutest";
}

QString passwordFile(Kind kind)
{
    return QStringLiteral("%1/%2.password").arg(QLatin1String(kPasswordFolder), QLatin1String(name(kind)));
}

QString password(Kind kind, uid_t uid)
{
    if (isRunningAsTestUser())
        return ::getuid() == uid ? qEnvironmentVariable(kPasswordVariable) : QString();
    QFile file(passwordFile(kind));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll().trimmed()) : QString();
}

} // namespace

std::optional<Account> account(Kind kind)
{
    const passwd *pw = ::getpwnam(name(kind));
    if (!pw)
        return std::nullopt;
    return Account{QString::fromLocal8Bit(pw->pw_name), pw->pw_uid, pw->pw_gid,
                   QString::fromLocal8Bit(pw->pw_dir), password(kind, pw->pw_uid)};
}

bool isRunningAsTestUser()
{
    return qEnvironmentVariableIntValue("NV_TEST_AS_USER") == 1;
}

std::optional<QString> cannotSwitchReason(Kind kind)
{
    if (::geteuid() != 0)
        return QStringLiteral("switching to the test user needs root (run scripts/test.sh as root)");
    const auto user = account(kind);
    if (!user || user->password.isEmpty())
        return QStringLiteral("the test user %1 is missing (`scripts/test-user.sh setup` creates it)").arg(QLatin1String(name(kind)));
    return std::nullopt;
}

Outcome rerunCurrentTestAsTestUser(Kind kind)
{
    Outcome outcome;
    const auto user = account(kind);
    if (!user) {
        outcome.output = QStringLiteral("no test user");
        return outcome;
    }
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    const QString filter = QStringLiteral("%1.%2").arg(QString::fromUtf8(info->test_suite_name()),
                                                       QString::fromUtf8(info->name()));
    const QString self = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));

    // The environment is set on the child, never given on a command line,
    // which every account can read: it holds the account's own password
    // for the scripted prompts, and a process's environment is readable by
    // its owner and root only.
    QProcessEnvironment env;
    env.insert(QStringLiteral("HOME"), user->home);
    env.insert(QStringLiteral("USER"), user->name);
    env.insert(QStringLiteral("LOGNAME"), user->name);
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/local/bin:/usr/bin:/bin"));
    env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("NV_TEST_AS_USER"), QStringLiteral("1"));
    env.insert(QLatin1String(kPasswordVariable), user->password);
    for (const char *passOn : {"DISPLAY", "QT_QPA_PLATFORM", "NV_TEST_KEEP", "ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (qEnvironmentVariableIsSet(passOn))
            env.insert(QLatin1String(passOn), qEnvironmentVariable(passOn));
    }

    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.setWorkingDirectory(QStringLiteral("/"));
    child.setProcessEnvironment(env);
    const QStringList arguments = {QStringLiteral("--reuid=%1").arg(user->uid), QStringLiteral("--regid=%1").arg(user->gid),
                                   QStringLiteral("--init-groups"), QStringLiteral("--"), self,
                                   QStringLiteral("--gtest_filter=%1").arg(filter)};
    child.start(QStringLiteral("/usr/bin/setpriv"), arguments);
    if (!child.waitForStarted(10000)) {
        outcome.output = child.errorString();
        return outcome;
    }
    if (!child.waitForFinished(300000)) {
        child.kill();
        child.waitForFinished(5000);
        outcome.output = QStringLiteral("the test as %1 did not finish in five minutes").arg(user->name);
        return outcome;
    }
    outcome.ran = child.exitStatus() == QProcess::NormalExit;
    outcome.exitCode = child.exitCode();
    outcome.output = QString::fromLocal8Bit(child.readAll());
    // A failing child's own report is the useful part of the parent's failure.
    if (outcome.exitCode != 0)
        outcome.output.prepend(QStringLiteral("--- as %1 ---\n").arg(user->name));
    return outcome;
}

} // namespace TestUser
