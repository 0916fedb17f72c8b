#include "install/NVAuthorization.h"

#include "support/PseudoTerminal.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

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
Session runOnTerminal(const QString &stateFolder, const QByteArray &typed, const QByteArray &language)
{
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    environment.insert(QString::fromLatin1(NVAuthorization::AskpassLanguageVariable), QString::fromLatin1(language));
    environment.insert(QString::fromLatin1(NVAuthorization::AskpassStateVariable), stateFolder);
    PseudoTerminal terminal({askpass(), {QStringLiteral("nvsutest")}, environment, false, true});
    // The user's name ends the question, which comes once echo is off.
    EXPECT_TRUE(terminal.waitForScreen(QStringLiteral("nvsutest"))) << terminal.screen().toStdString();
    terminal.type(typed);
    Session session;
    session.status = terminal.waitForExit().value_or(-1);
    session.terminal = terminal.screen().toUtf8();
    session.answer = terminal.pipeOutput().toUtf8();
    return session;
}

} // namespace

// A non-empty "asked" in the state folder means sudo is asking again after a
// wrong password: the prompt says so.
TEST(NVSUAskpassTest, TerminalPromptAnswersThePasswordOrCancels)
{
    struct Case {
        const char *name;
        QByteArray typed;
        int status;
        QByteArray answer;
        QByteArray language = "en";
        bool askedBefore = false;
    };
    const Case cases[] = {
        {"password", "s3cret with blanks\n", 0, "s3cret with blanks\n"},
        {"interrupt", "\x03", 1, ""},
        {"the caller's language", "s3cret\n", 0, "s3cret\n", "de_DE.UTF-8"},
        {"after a wrong password", "s3cret\n", 0, "s3cret\n", "en", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir state;
        if (c.askedBefore)
            TestSupport::writeFile(state.filePath(NVAuthorization::AskedFileName), "asked\n");
        const Session session = runOnTerminal(state.path(), c.typed, c.language);
        EXPECT_EQ(session.status, c.status) << session.terminal.constData();
        EXPECT_EQ(session.answer, c.answer);
        const QByteArray asked = c.language == "en" ? "Enter the password for \xe2\x80\x9cnvsutest\xe2\x80\x9d"
                                                    : "Geben Sie das Passwort f\xc3\xbcr \xe2\x80\x9envsutest\xe2\x80\x9c";
        EXPECT_TRUE(session.terminal.contains(asked)) << session.terminal.constData();
        EXPECT_EQ(session.terminal.contains("that password was not accepted"), c.askedBefore) << session.terminal.constData();
        // Echo is off: the password never shows on the terminal.
        EXPECT_FALSE(session.terminal.contains("s3cret")) << session.terminal.constData();
        EXPECT_EQ(TestSupport::readFile(state.filePath(NVAuthorization::AskedFileName)), c.askedBefore ? "asked\nasked\n" : "asked\n");
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
