#include "install/NVAuthorization.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

// The program the polkit action names starts the root shell and nothing
// else: no arguments, no caller's environment, and only for root.
TEST(NVSURootHelperTest, StartsTheRootShellForRootOnly)
{
    const QString helper = QStringLiteral(NV_TEST_BINARY_DIR "/system/nvsu-root-helper");
    const bool root = ::geteuid() == 0;
    struct Row {
        const char *name;
        QStringList prefix; // how it is started
        QStringList arguments;
        int status;
        QByteArray out;
        QByteArray err;
    };
    const QStringList asNobody = {QStringLiteral("/usr/bin/setpriv"), QStringLiteral("--reuid=65534"),
                                  QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")};
    const QByteArray notRoot = "nvsu-root-helper: must be started as root (through pkexec)\n";
    const Row rows[] = {
        {"plain", {}, {}, root ? 0 : 127, root ? "0\n/\nPATH=" + NVAuthorization::RootPath + '\n' : "", root ? "" : notRoot},
        {"with an argument", {}, {QStringLiteral("/bin/sh")}, 127, "", "nvsu-root-helper: takes no arguments\n"},
        {"as another user", asNobody, {}, 127, "", notRoot},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (!root && !row.prefix.isEmpty())
            continue; // switching users needs root
        QProcessEnvironment caller;
        caller.insert(QStringLiteral("NVSU_CALLER_ONLY"), QStringLiteral("x"));
        // The commands go in on standard input; what bash sets by itself is
        // left out of the environment it shows.
        const auto result = TestSupport::run(
            QStringLiteral("/bin/sh"),
            QStringList{QStringLiteral("-c"), QStringLiteral("echo 'id -u; pwd; env | grep -v -e ^PWD= -e ^SHLVL= -e ^_=' | \"$@\""),
                        QStringLiteral("sh")} + row.prefix + QStringList{helper} + row.arguments,
            caller);
        EXPECT_EQ(result.exitCode, row.status);
        EXPECT_EQ(result.out, row.out);
        EXPECT_EQ(result.err, row.err);
    }
}
