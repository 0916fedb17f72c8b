#pragma once

#include <QString>

#include <optional>
#include <sys/types.h>

// The unprivileged account that permission and elevation tests run as
// (scripts/test-user.sh prepares it). A test that must run as that user
// starts with NV_RUN_AS_TEST_USER(): run as root, the macro re-runs just
// this test case in a child process switched to the account and passes on
// its verdict; inside that child the test body goes on as the account.
namespace TestUser {

struct Account {
    QString name;
    uid_t uid = 0;
    gid_t gid = 0;
    QString home;
    QString password;
};

// The account, when this machine has it.
std::optional<Account> account();

// True inside the child that NV_RUN_AS_TEST_USER() started.
bool isRunningAsTestUser();

struct Outcome {
    bool ran = false;
    int exitCode = -1;
    QString output;
};

// Re-runs the current test case (same binary, filtered to it) as the
// account, with a fresh HOME-based environment plus DISPLAY and
// NV_TEST_AS_USER=1, and waits at most five minutes.
Outcome rerunCurrentTestAsTestUser();

// Why the current process cannot switch to the account, or nothing when
// it can.
std::optional<QString> cannotSwitchReason();

} // namespace TestUser

#define NV_RUN_AS_TEST_USER()                                                              \
    do {                                                                                   \
        if (!TestUser::isRunningAsTestUser()) {                                            \
            if (const auto reason = TestUser::cannotSwitchReason())                        \
                GTEST_SKIP() << reason->toStdString();                                     \
            const TestUser::Outcome outcome = TestUser::rerunCurrentTestAsTestUser();      \
            ASSERT_TRUE(outcome.ran) << outcome.output.toStdString();                      \
            EXPECT_EQ(outcome.exitCode, 0) << outcome.output.toStdString();                \
            return;                                                                        \
        }                                                                                  \
    } while (0)
