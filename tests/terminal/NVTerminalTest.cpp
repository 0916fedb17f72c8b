#include "terminal/NVTerminal.h"

#include "support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// On a real pseudo-terminal 20 columns wide: what a screen would get.
TEST(NVTerminal, AStatusLineFitsTheWidthAndIsRewrittenWithCarriageReturnsOnly)
{
    int master = -1, slave = -1;
    struct winsize size = {};
    size.ws_col = 20;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    QFile output;
    ASSERT_TRUE(output.open(slave, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle));
    {
        NVTerminal terminal(slave, &output, {.outputIsTerminal = true, .inputIsTerminal = true, .outputDescriptor = slave});
        terminal.setStatusLine(QString(50, u'x'));
        terminal.setStatusLine(QStringLiteral("short\x1b[2J"));
        terminal.printLine(QStringLiteral("done"));
        QByteArray screen;
        TestSupport::waitFor([&] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
                screen.append(buffer, n);
            return screen.contains("done\r\n");
        }, std::chrono::seconds(60));
        // The terminal turns each line feed into a carriage return and a line feed.
        EXPECT_EQ(screen, "\r" + QByteArray(19, 'x') + "\rshort[2J" + QByteArray(11, ' ') + "\r\ndone\r\n");
    }
    output.close();
    ::close(slave);
    ::close(master);
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
