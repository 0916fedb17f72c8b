#include "install/NVAuthorization.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString askpass() { return TestSupport::bundlePath() + QStringLiteral("/Contents/MacOS/nvsu-askpass"); }

struct Session {
    int status = -1;
    QByteArray terminal; // everything the prompt wrote to the terminal
    QByteArray answer;   // its standard output
};

// Runs the prompt on a pseudo-terminal of its own, without a display, as
// sudo does from a terminal: in the C.UTF-8 locale, the caller's language
// in its own variable. Once it has asked, `typed` is typed.
Session runOnTerminal(const QString &stateFolder, const QByteArray &typed, const QByteArray &language = "en")
{
    Session session;
    int answerPipe[2];
    if (::pipe(answerPipe) != 0)
        return session;
    const QByteArray program = QFile::encodeName(askpass());
    const QByteArray state = NVAuthorization::AskpassStateVariable + '=' + QFile::encodeName(stateFolder);
    const QByteArray languageEntry = NVAuthorization::AskpassLanguageVariable + '=' + language;
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::dup2(answerPipe[1], STDOUT_FILENO);
        ::close(answerPipe[0]);
        ::close(answerPipe[1]);
        char *argv[] = {const_cast<char *>(program.constData()), const_cast<char *>("nvsutest"), nullptr};
        char *envp[] = {const_cast<char *>("PATH=/usr/bin:/bin"), const_cast<char *>("LC_ALL=C.UTF-8"),
                        const_cast<char *>(languageEntry.constData()), const_cast<char *>(state.constData()), nullptr};
        ::execve(argv[0], argv, envp);
        ::_exit(127);
    }
    ::close(answerPipe[1]);
    if (pid < 0) {
        ::close(answerPipe[0]);
        return session;
    }

    TestSupport::TerminalPerson person(terminal, {typed});
    int status = 0;
    ::waitpid(pid, &status, 0);
    session.terminal = person.finish();
    session.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    char buffer[1024];
    for (ssize_t n; (n = ::read(answerPipe[0], buffer, sizeof buffer)) > 0;)
        session.answer.append(buffer, n);
    ::close(answerPipe[0]);
    ::close(terminal);
    return session;
}

} // namespace

TEST(NVSUAskpassTest, TerminalPromptAnswersThePasswordOrCancels)
{
    struct Case {
        const char *name;
        QByteArray typed;
        int status;
        QByteArray answer;
        QByteArray language = "en";
    };
    const Case cases[] = {
        {"password", "s3cret with blanks\n", 0, "s3cret with blanks\n"},
        {"interrupt", "\x03", 1, ""},
        {"the caller's language", "s3cret\n", 0, "s3cret\n", "de_DE.UTF-8"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir state;
        const Session session = runOnTerminal(state.path(), c.typed, c.language);
        EXPECT_EQ(session.status, c.status) << session.terminal.constData();
        EXPECT_EQ(session.answer, c.answer);
        const QByteArray asked = c.language == "en" ? "Enter the password for \xe2\x80\x9cnvsutest\xe2\x80\x9d"
                                                    : "Geben Sie das Passwort f\xc3\xbcr \xe2\x80\x9envsutest\xe2\x80\x9c";
        EXPECT_TRUE(session.terminal.contains(asked)) << session.terminal.constData();
        // Echo is off: the password never shows on the terminal.
        EXPECT_FALSE(session.terminal.contains("s3cret")) << session.terminal.constData();
        EXPECT_EQ(TestSupport::readFile(state.filePath(NVAuthorization::AskedFileName)), QByteArray("asked\n"));
        EXPECT_EQ(QFile::exists(state.filePath(NVAuthorization::CancelledFileName)), c.status != 0);
    }
}

TEST(NVSUAskpassTest, APromptThatCannotAskCountsAsACancel)
{
    struct Case {
        const char *name;
        const char *display;
        bool exitsNormally;
    } cases[] = {
        {"no display and no terminal", "", true},
        // Qt gives up on a display it cannot reach by aborting.
        {"unreachable display", ":9999", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir state;
        QProcessEnvironment environment;
        environment.insert(QString::fromLatin1(NVAuthorization::AskpassStateVariable), state.path());
        environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(c.display));
        environment.insert(QStringLiteral("WAYLAND_DISPLAY"), QString());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        // setsid leaves the prompt without a controlling terminal.
        const TestSupport::ProcessResult result = TestSupport::run(
            QStringLiteral("/usr/bin/setsid"), {QStringLiteral("-w"), askpass(), QStringLiteral("nvsutest")}, environment);
        if (c.exitsNormally)
            EXPECT_EQ(result.exitCode, 1) << result.err.constData();
        else
            EXPECT_NE(result.exitCode, 0) << result.err.constData();
        EXPECT_TRUE(result.out.isEmpty());
        EXPECT_TRUE(QFile::exists(state.filePath(NVAuthorization::CancelledFileName)));
    }
}
