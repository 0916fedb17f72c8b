#include "support/TestUser.h"

#include <gtest/gtest.h>

#include <QFile>

#include <unistd.h>

// The switch itself: the body after the macro runs only as the account, and
// a failure there must reach the parent.
TEST(TestUserTest, BodyRunsAsTheUnprivilegedAccount)
{
    NV_RUN_AS_TEST_USER();
    const auto user = TestUser::account();
    ASSERT_TRUE(user);
    EXPECT_EQ(::getuid(), user->uid);
    EXPECT_EQ(::geteuid(), user->uid);
    EXPECT_FALSE(QFile(QStringLiteral("/etc/shadow")).open(QIODevice::ReadOnly));
}
