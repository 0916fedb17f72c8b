#include "platform/NVPipeOutputBuffer.h"

#include "support/TestSupport.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

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

} // namespace

// While any writer keeps the pipe open, data() gives up after its time and
// answers nothing; the bytes come once the last writer is gone.
TEST(NVPipeOutputBufferTest, WriterThatNeverClosesGivesNothingAfterTwoSeconds)
{
    NVPipeOutputBuffer buffer;
    std::unique_ptr<QProcess> writer = startWriter(buffer, QStringLiteral("echo early; exec sleep 30"));
    EXPECT_EQ(buffer.pipeForWriting(), -1) << "the parent's copy of the write end stays open";

    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(buffer.data().has_value());
    EXPECT_GE(clock.elapsed(), 1900);
    EXPECT_LT(clock.elapsed(), 4000);
    EXPECT_FALSE(buffer.hasData());

    writer->kill();
    writer->waitForFinished();
    EXPECT_EQ(buffer.data(), QByteArray("early\n"));
}

TEST(NVPipeOutputBufferTest, SecondDeliveryDoesNotReplaceTheFirst)
{
    NVPipeOutputBuffer buffer;
    int deliveries = 0;
    QObject::connect(&buffer, &NVPipeOutputBuffer::allDataArrived, [&deliveries] { ++deliveries; });
    std::unique_ptr<QProcess> writer = startWriter(buffer, QStringLiteral("printf first"));
    ASSERT_EQ(buffer.data(), QByteArray("first"));
    writer->waitForFinished();

    buffer._allDataArrived("second");
    EXPECT_EQ(buffer.data(), QByteArray("first"));
    EXPECT_EQ(deliveries, 1);
}

// The reader drains the pipe on its own thread, so a child that writes far
// more than a pipe holds can end while the parent only waits for its exit.
TEST(NVPipeOutputBufferTest, LargeOutputOfAnAwaitedChildDoesNotDeadlock)
{
    QTemporaryDir dir;
    QByteArray payload(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < payload.size(); ++i)
        payload[i] = char((i * 2654435761u) >> 13);
    TestSupport::writeFile(dir.filePath("payload"), payload);

    NVPipeOutputBuffer buffer;
    std::unique_ptr<QProcess> writer = startWriter(buffer, QStringLiteral("cat '%1'").arg(dir.filePath("payload")));
    ASSERT_TRUE(writer->waitForFinished(20000)) << "the child blocked on a full pipe";
    EXPECT_EQ(writer->exitCode(), 0);

    const std::optional<QByteArray> data = buffer.data();
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(data->size(), payload.size());
    EXPECT_EQ(QCryptographicHash::hash(*data, QCryptographicHash::Sha256), QCryptographicHash::hash(payload, QCryptographicHash::Sha256));
}

// A child that never starts must not leave the write end open in the parent,
// or every later wait would run into its time limit.
TEST(NVPipeOutputBufferTest, ChildThatFailsToStartEndsTheOutput)
{
    NVPipeOutputBuffer buffer;
    QProcess process;
    buffer.setAsStandardOutputOf(process);
    process.start(QStringLiteral("/nonexistent/tool"), {});
    EXPECT_FALSE(process.waitForStarted(10000));

    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(buffer.data(), QByteArray());
    EXPECT_LT(clock.elapsed(), 1000);
}

// A buffer dropped while its writer still runs goes away at once; the
// writer's own output then simply has no reader.
TEST(NVPipeOutputBufferTest, DestroyedWhileTheWriterRunsReturnsAtOnce)
{
    auto buffer = std::make_unique<NVPipeOutputBuffer>();
    std::unique_ptr<QProcess> writer = startWriter(*buffer, QStringLiteral("exec sleep 30"));
    QElapsedTimer clock;
    clock.start();
    buffer.reset();
    EXPECT_LT(clock.elapsed(), 1000);
    writer->kill();
    writer->waitForFinished();
}
