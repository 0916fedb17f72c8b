#include "platform/NVPipeOutputBuffer.h"

#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

#include <memory>

#include <sys/wait.h>

namespace {

// A child whose standard output is the buffer's pipe.
std::unique_ptr<QProcess> startWriter(NVPipeOutputBuffer &buffer, const QString &script)
{
    auto process = std::make_unique<QProcess>();
    buffer.setAsStandardOutputOf(*process);
    process->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
    EXPECT_TRUE(process->waitForStarted(10000));
    return process;
}

bool stillRunning(const QProcess &process)
{
    siginfo_t info {};
    return ::waitid(P_PID, id_t(process.processId()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

} // namespace

// While any writer keeps the pipe open, data() gives up after two seconds and
// answers nothing; the bytes come once the last writer is gone, and only the
// first delivery counts.
TEST(NVPipeOutputBufferTest, WriterThatNeverClosesGivesNothingAfterTwoSeconds)
{
    NVPipeOutputBuffer buffer;
    int deliveries = 0;
    QObject::connect(&buffer, &NVPipeOutputBuffer::allDataArrived, [&deliveries] { ++deliveries; });
    std::unique_ptr<QProcess> writer = startWriter(buffer, QStringLiteral("echo early; exec sleep 30"));
    EXPECT_EQ(buffer.pipeForWriting(), -1) << "the parent's copy of the write end stays open";
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(buffer.data().has_value());
    EXPECT_GE(clock.elapsed(), 1900);
    EXPECT_FALSE(buffer.hasData());

    writer->kill();
    writer->waitForFinished();
    EXPECT_EQ(buffer.data(), QByteArray("early\n"));
    EXPECT_EQ(deliveries, 1);
}

// The reader drains the pipe on its own thread, so a child that writes far
// more than a pipe holds can end while the parent only waits for its exit.
TEST(NVPipeOutputBufferTest, LargeOutputOfAnAwaitedChildDoesNotDeadlock)
{
    NVPipeOutputBuffer buffer;
    std::unique_ptr<QProcess> writer = startWriter(buffer, QStringLiteral("head -c 1048576 /dev/zero | tr '\\0' x"));
    ASSERT_TRUE(writer->waitForFinished(60000)) << "the child blocked on a full pipe";
    EXPECT_EQ(buffer.data(), QByteArray(1 << 20, 'x'));
}

// A child that never starts must not leave the write end open in the parent
// (every later wait would run into its time limit and answer nothing), and a
// buffer dropped while its writer runs goes away without waiting for it.
TEST(NVPipeOutputBufferTest, NoWaitForAChildThatFailedToStartOrStillRuns)
{
    NVPipeOutputBuffer failed;
    QProcess process;
    failed.setAsStandardOutputOf(process);
    process.start(QStringLiteral("/nonexistent/tool"), {});
    EXPECT_FALSE(process.waitForStarted(10000));
    EXPECT_EQ(failed.data(), QByteArray());

    auto buffer = std::make_unique<NVPipeOutputBuffer>();
    std::unique_ptr<QProcess> writer = startWriter(*buffer, QStringLiteral("exec sleep 30"));
    buffer.reset();
    EXPECT_TRUE(stillRunning(*writer));
    writer->kill();
    writer->waitForFinished();
}
