#include "install/NVAuthorization.h"

#include "support/PseudoTerminal.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

// The prompt runs on a pseudo-terminal of its own, without a display, as
// sudo starts it from a terminal: in the C.UTF-8 locale, the caller's
// language in its own variable. A non-empty "asked" in the state folder
// means sudo is asking again after a wrong password: the prompt says so.
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
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        environment.insert(QString::fromLatin1(NVAuthorization::AskpassLanguageVariable), QString::fromLatin1(c.language));
        environment.insert(QString::fromLatin1(NVAuthorization::AskpassStateVariable), state.path());
        PseudoTerminal terminal({TestSupport::bundlePath() + QStringLiteral("/Contents/MacOS/nvsu-askpass"), {QStringLiteral("nvsutest")},
                                 environment, false, true});
        // The user's name ends the question, which comes once echo is off.
        EXPECT_TRUE(terminal.waitForScreen(QStringLiteral("nvsutest"))) << terminal.screen().toStdString();
        terminal.type(c.typed);
        const int status = terminal.waitForExit().value_or(-1);
        const QByteArray shown = terminal.screen().toUtf8();
        EXPECT_EQ(status, c.status) << shown.constData();
        EXPECT_EQ(terminal.pipeOutput().toUtf8(), c.answer);
        const QByteArray asked = c.language == "en" ? "Enter the password for \xe2\x80\x9cnvsutest\xe2\x80\x9d"
                                                    : "Geben Sie das Passwort f\xc3\xbcr \xe2\x80\x9envsutest\xe2\x80\x9c";
        EXPECT_TRUE(shown.contains(asked)) << shown.constData();
        EXPECT_EQ(shown.contains("that password was not accepted"), c.askedBefore) << shown.constData();
        // Echo is off: the password never shows on the terminal.
        EXPECT_FALSE(shown.contains("s3cret")) << shown.constData();
        EXPECT_EQ(TestSupport::readFile(state.filePath(NVAuthorization::AskedFileName)), c.askedBefore ? "asked\nasked\n" : "asked\n");
        EXPECT_EQ(QFile::exists(state.filePath(NVAuthorization::CancelledFileName)), c.status != 0);
    }
}
