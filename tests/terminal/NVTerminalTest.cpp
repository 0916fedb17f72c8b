#include "terminal/NVTerminal.h"

#include "platform/NVBundle.h"
#include "support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The terminal on a real pseudo-terminal of a given width: the test reads
// what a screen would get and types as a person would.
class TerminalOnPTYTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NVBundle::setMainBundle(TestSupport::bundlePath());
        NVBundle::setUserLanguagesForTesting({"en"});
        struct winsize size = {};
        size.ws_col = 20;
        size.ws_row = 10;
        ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        ASSERT_TRUE(output.open(slave, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle));
        terminal = std::make_unique<NVTerminal>(slave, &output,
                                                NVTerminalOptions{.outputIsTerminal = true, .inputIsTerminal = true, .outputDescriptor = slave});
    }
    void TearDown() override
    {
        terminal.reset();
        output.close();
        ::close(slave);
        ::close(master);
        NVBundle::setUserLanguagesForTesting({});
    }
    // The screen's bytes so far, once they hold `text`.
    QByteArray screenOnceItHolds(const QByteArray &text)
    {
        TestSupport::waitFor([&] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
                screen.append(buffer, n);
            return screen.contains(text);
        }, std::chrono::seconds(60));
        return screen;
    }

    int master = -1;
    int slave = -1;
    QFile output;
    std::unique_ptr<NVTerminal> terminal;
    QByteArray screen;
};

TEST_F(TerminalOnPTYTest, AStatusLineFitsTheWidthAndIsRewrittenWithCarriageReturnsOnly)
{
    terminal->setStatusLine(QString(50, u'x'));
    terminal->setStatusLine(QStringLiteral("short\x1b[2J"));
    terminal->printLine(QStringLiteral("done"));
    // The terminal turns each line feed into a carriage return and a line feed.
    EXPECT_EQ(screenOnceItHolds("done\r\n"), "\r" + QByteArray(19, 'x') + "\rshort[2J" + QByteArray(11, ' ') + "\r\ndone\r\n");
}

TEST_F(TerminalOnPTYTest, AQuestionIsAnsweredFromTheTerminalAndTypingAheadWaitsForIt)
{
    std::optional<int> answer;
    terminal->ask({{"One", "Two"}, 0, 0}, [&](std::optional<int> choice) { answer = choice; });
    screenOnceItHolds("Choice [1]: ");
    ASSERT_EQ(::write(master, "2\r", 2), 2);
    ASSERT_TRUE(TestSupport::waitFor([&] { return answer.has_value(); }, std::chrono::seconds(60)));
    EXPECT_EQ(answer, 1);
    // The terminal echoed the answer; nothing is written twice.
    EXPECT_EQ(screenOnceItHolds("2\r\n"), "  1  One\r\n  2  Two\r\nChoice [1]: 2\r\n");

    // Typed while nothing asks: it stays in the terminal until a question does.
    ASSERT_EQ(::write(master, "\r", 1), 1);
    answer.reset();
    terminal->ask({{"Only"}, 0, 0}, [&](std::optional<int> choice) { answer = choice; });
    ASSERT_TRUE(TestSupport::waitFor([&] { return answer.has_value(); }, std::chrono::seconds(60)));
    EXPECT_EQ(answer, 0);
}

TEST(NVTerminal, AnOutputWhoseReaderWentAwayNeitherEndsTheProcessNorTheQuestions)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    QFile output;
    ASSERT_TRUE(output.open(fds[1], QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle));
    NVTerminal terminal(-1, &output, {.assumeYes = true});
    terminal.printLine(QStringLiteral("nobody reads this"));
    std::optional<int> answer;
    terminal.ask({{"One", "Two"}, 0, 1}, [&](std::optional<int> choice) { answer = choice; });
    EXPECT_TRUE(TestSupport::waitFor([&] { return answer.has_value(); }, std::chrono::seconds(60)));
    EXPECT_EQ(answer, 1);
    output.close();
    ::close(fds[1]);
}

} // namespace
