#pragma once

#include <QString>

#include <optional>
#include <sys/types.h>

// The unprivileged accounts that permission and elevation tests run as.
// `scripts/test-user.sh setup` creates them for a test run, each with a
// random password that only root can read, and `teardown` removes them. A
// test that must run as such a user starts with NV_RUN_AS_TEST_USER() (or
// NV_RUN_AS_REFUSED_TEST_USER()): run as root, the macro re-runs just this
// test case in a child process switched to the account, with its password in
// the environment, and passes on its verdict; inside that child the test
// body goes on as the account.
namespace TestUser {

enum class Kind {
    Permitted, // nvsutest: may run anything as root through sudo, always asked for its password
    Refused,   // nvsurefused: sudo asks for its password, then refuses to run a shell
};

struct Account {
    QString name;
    uid_t uid = 0;
    gid_t gid = 0;
    QString home;
    QString password;
};

// The account, when this machine has it. Its password is known to root
// and, inside the child, to the account itself; otherwise it is empty.
std::optional<Account> account(Kind kind = Kind::Permitted);

// True inside the child that NV_RUN_AS_TEST_USER() started.
bool isRunningAsTestUser();

struct Outcome {
    bool ran = false;
    int exitCode = -1;
    QString output;
};

// Re-runs the current test case (same binary, filtered to it) as the
// account, with a fresh HOME-based environment plus DISPLAY,
// NV_TEST_AS_USER=1 and NV_TEST_USER_PASSWORD, and waits at most five
// minutes.
Outcome rerunCurrentTestAsTestUser(Kind kind = Kind::Permitted);

// Why the current process cannot switch to the account, or nothing when
// it can.
std::optional<QString> cannotSwitchReason(Kind kind = Kind::Permitted);

} // namespace TestUser

#define NV_RUN_AS_TEST_USER() NV_RUN_AS_TEST_USER_OF_KIND(TestUser::Kind::Permitted)
#define NV_RUN_AS_REFUSED_TEST_USER() NV_RUN_AS_TEST_USER_OF_KIND(TestUser::Kind::Refused)
#define NV_RUN_AS_TEST_USER_OF_KIND(kind)                                                  \
    do {                                                                                   \
        if (!TestUser::isRunningAsTestUser()) {                                            \
            if (const auto reason = TestUser::cannotSwitchReason(kind))                    \
                GTEST_SKIP() << reason->toStdString();                                     \
            const TestUser::Outcome outcome = TestUser::rerunCurrentTestAsTestUser(kind);  \
            ASSERT_TRUE(outcome.ran) << outcome.output.toStdString();                      \
            EXPECT_EQ(outcome.exitCode, 0) << outcome.output.toStdString();                \
            return;                                                                        \
        }                                                                                  \
    } while (0)
