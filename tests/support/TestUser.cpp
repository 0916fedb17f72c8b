#include "support/TestUser.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>

#include <pwd.h>
#include <unistd.h>

namespace TestUser {

namespace {
const char *const kName = "nvsutest";
const char *const kPassword = "nvsu-test-password";
} // namespace

std::optional<Account> account()
{
    const passwd *pw = ::getpwnam(kName);
    if (!pw)
        return std::nullopt;
    return Account{QString::fromLocal8Bit(pw->pw_name), pw->pw_uid, pw->pw_gid,
                   QString::fromLocal8Bit(pw->pw_dir), QString::fromLatin1(kPassword)};
}

bool isRunningAsTestUser()
{
    return qEnvironmentVariableIntValue("NV_TEST_AS_USER") == 1;
}

std::optional<QString> cannotSwitchReason()
{
    if (::geteuid() != 0)
        return QStringLiteral("switching to the test user needs root (run scripts/test.sh as root)");
    if (!account())
        return QStringLiteral("the test user is missing (scripts/test-user.sh creates it)");
    return std::nullopt;
}

Outcome rerunCurrentTestAsTestUser()
{
    Outcome outcome;
    const auto user = account();
    if (!user) {
        outcome.output = QStringLiteral("no test user");
        return outcome;
    }
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    const QString filter = QStringLiteral("%1.%2").arg(QString::fromUtf8(info->test_suite_name()),
                                                       QString::fromUtf8(info->name()));
    const QString self = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));

    QStringList env = {
        QStringLiteral("HOME=%1").arg(user->home),
        QStringLiteral("USER=%1").arg(user->name),
        QStringLiteral("LOGNAME=%1").arg(user->name),
        QStringLiteral("PATH=/usr/local/bin:/usr/bin:/bin"),
        QStringLiteral("LANG=C.UTF-8"),
        QStringLiteral("NV_TEST_AS_USER=1"),
    };
    for (const char *passOn : {"DISPLAY", "QT_QPA_PLATFORM", "NV_TEST_KEEP", "ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (qEnvironmentVariableIsSet(passOn))
            env << QStringLiteral("%1=%2").arg(QLatin1String(passOn), qEnvironmentVariable(passOn));
    }

    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.setWorkingDirectory(QStringLiteral("/"));
    QStringList arguments = {QStringLiteral("--reuid=%1").arg(user->uid), QStringLiteral("--regid=%1").arg(user->gid),
                             QStringLiteral("--init-groups"), QStringLiteral("--"), QStringLiteral("/usr/bin/env"),
                             QStringLiteral("-i")};
    arguments << env << self << QStringLiteral("--gtest_filter=%1").arg(filter);
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
