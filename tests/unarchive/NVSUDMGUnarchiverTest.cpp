#include "unarchive/NVSUDMGUnarchiver.h"

#include "UnarchiveTestSupport.h"
#include "support/LogCapture.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

using namespace UnarchiveTest;

namespace {

QByteArray plist(const QByteArray &entities)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n<key>system-entities</key>\n"
        + entities + "\n</dict>\n</plist>\n";
}

const QByteArray oneMountPoint = plist("<array><dict><key>dev-entry</key><string>/dev/loop7</string>"
                                       "<key>mount-point</key><string>/tmp/nvsu mount 1</string></dict></array>");

// A stand-in for the disk-image tool: it records each call (working folder
// and arguments) and what it was given on standard input, runs the body the
// test chose for "attach", and answers "detach" with success.
class FakeDiskImageTool {
public:
    FakeDiskImageTool() { NVSUDMGUnarchiver::setDiskImageToolPath(m_dir.filePath("tool")); }
    ~FakeDiskImageTool() { NVSUDMGUnarchiver::setDiskImageToolPath(QString()); }

    enum Input { ReadsInput, IgnoresInput };
    FakeDiskImageTool &attachRunning(const QByteArray &body, Input input = ReadsInput)
    {
        TestSupport::writeFile(m_dir.filePath("tool"),
                               QByteArray("#!/bin/sh\n") + (input == IgnoresInput ? "exec 0<&-\n" : "") +
                               "printf '%s|%s\\n' \"$(pwd)\" \"$*\" >> '" + QFile::encodeName(calls()) + "'\n"
                               "[ \"$1\" = detach ] && exit 0\n"
                               + (input == ReadsInput ? "cat > '" + QFile::encodeName(this->input()) + "'\n" : QByteArray())
                               + body + "\n");
        QFile::setPermissions(m_dir.filePath("tool"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return *this;
    }
    // Prints output, after `delay` seconds when given, and ends with status.
    FakeDiskImageTool &attachPrinting(const QByteArray &output, int status = 0, const QByteArray &delay = {})
    {
        const QByteArray print = "cat '" + QFile::encodeName(write("output", output)) + "'";
        return attachRunning((delay.isEmpty() ? print : "sleep " + delay + "\n" + print) + "\nexit " + QByteArray::number(status));
    }

    QString write(const QString &name, const QByteArray &bytes)
    {
        TestSupport::writeFile(m_dir.filePath(name), bytes);
        return m_dir.filePath(name);
    }
    QString calls() const { return m_dir.filePath("calls"); }
    QString input() const { return m_dir.filePath("stdin"); }
    // The calls, one a line, as a failed comparison shows them.
    std::string recordedCalls() const { return TestSupport::readFile(calls()).toStdString(); }

private:
    QTemporaryDir m_dir;
};

const QString Image = QStringLiteral("/tmp/downloads/Velkin 5.1.dmg");
const std::string AttachCall = "/|attach -plist -noverify -nobrowse -noautoopen " + Image.toStdString();
const std::string DetachCall = "/|detach -force /tmp/nvsu mount 1";

} // namespace

// What the tool may print, and what comes of it. Each run has the tool's
// command line, working folder and the answer on its standard input; the
// tool's absence is reported like any failure, later, through the delegate.
TEST(NVSUDMGUnarchiverTest, ReadsTheMountPointFromTheToolsOutput)
{
    useShippedEnglishTables();
    struct Row {
        const char *name;
        std::optional<QByteArray> output; // none: there is no tool
        int status;
        std::optional<QString> mountPoint;
        QString error;       // the error's description, or its start; empty for none
        QString listLogLine; // the second log line when no mount point was found
    };
    const QString notOpened = QStringLiteral("The disk image could not be opened (error 2: No such file or directory).");
    const Row rows[] = {
        {"plain list", oneMountPoint, 0, "/tmp/nvsu mount 1", {}, {}},
        {"warning line before the list", "squashfuse: warning: something odd\n" + oneMountPoint, 0, "/tmp/nvsu mount 1", {}, {}},
        {"second entity has the mount point",
         plist("<array><dict><key>content-hint</key><string>x</string></dict><string>not a dictionary</string>"
               "<dict><key>mount-point</key><integer>5</integer></dict>"
               "<dict><key>mount-point</key><string>/tmp/second</string></dict>"
               "<dict><key>mount-point</key><string>/tmp/third</string></dict></array>"),
         0, "/tmp/second", {}, {}},
        {"no list at all", "attached somewhere\n", 0, std::nullopt, {}, "PList representation: (null)"},
        {"no output", "", 0, std::nullopt, {}, "PList representation: (null)"},
        {"entities not an array", plist("<string>/tmp/x</string>"), 0, std::nullopt, {},
         "PList representation: {\n    system-entities = /tmp/x;\n}"},
        {"list not a dictionary", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>", 0, std::nullopt, {},
         "PList representation: ()"},
        {"broken list", "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>a</key></plist>", 0, std::nullopt,
         "The answer of the disk-image tool could not be read: ", {}},
        {"exit status 2", oneMountPoint, 2, std::nullopt, notOpened, {}},
        {"missing tool", std::nullopt, 2, std::nullopt, notOpened, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        FakeDiskImageTool tool;
        if (row.output)
            tool.attachPrinting(*row.output, row.status);
        RecordingDelegate delegate;
        NVSUDMGUnarchiver unarchiver(Image, &delegate);
        unarchiver.start();
        EXPECT_TRUE(delegate.events.empty());
        ASSERT_TRUE(delegate.waitUntilFinished());
        const std::optional<NVError> error = delegate.outcome();
        EXPECT_EQ(unarchiver.unarchivedContentPath(), row.mountPoint);
        EXPECT_EQ(tool.recordedCalls(), row.output ? AttachCall + "\n" : std::string());
        EXPECT_EQ(TestSupport::readFile(tool.input()), row.output ? "yes\n" : "");

        if (row.error.isEmpty()) {
            EXPECT_EQ(error, std::nullopt) << error->description().toStdString();
        } else {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->domain(), NVSUUnarchiverErrorDomain);
            EXPECT_EQ(error->code(), 1);
            if (row.status) {
                EXPECT_EQ(error->localizedDescription(), row.error);
                EXPECT_EQ(error->underlyingError(), NVError::posix(row.status));
            } else {
                EXPECT_TRUE(error->localizedDescription().startsWith(row.error)) << error->localizedDescription().toStdString();
                EXPECT_GT(error->localizedDescription().size(), row.error.size()) << "the parser's reason is missing";
            }
        }

        const QStringList lines = log.matching("mount-point") + log.matching("PList representation");
        const QString expected = row.listLogLine.isEmpty()
            ? QString()
            : "Software Update: Cannot parse mount-point from hdiutil output: " + QString::fromUtf8(*row.output) + "\n"
                + "Software Update: " + row.listLogLine;
        EXPECT_EQ(lines.join('\n').toStdString(), expected.toStdString());
    }
}

// The output may end after the tool has exited (a child of it keeps the pipe
// open); the completion waits for it, with the event loop running meanwhile.
TEST(NVSUDMGUnarchiverTest, WaitsForOutputThatOutlivesTheTool)
{
    FakeDiskImageTool tool;
    const QString output = tool.write("late-output", oneMountPoint);
    tool.attachRunning(QString("(sleep 0.5; cat '%1') &\nexit 0").arg(output).toUtf8());
    RecordingDelegate delegate;
    NVSUDMGUnarchiver unarchiver(Image, &delegate);
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(100);
    QElapsedTimer clock;
    clock.start();
    unarchiver.start();
    ASSERT_TRUE(delegate.waitUntilFinished());
    EXPECT_GE(clock.elapsed(), 400);
    EXPECT_LE(clock.elapsed(), 1900);
    EXPECT_GE(ticks, 3) << "the event loop stood still while the output was awaited";
    EXPECT_EQ(delegate.outcome(), std::nullopt);
    EXPECT_EQ(unarchiver.unarchivedContentPath(), std::optional<QString>("/tmp/nvsu mount 1"));
}

// Detaching happens once, only with a known mount point, and waits for an
// attach that still runs; the delegate still hears how the attach ended, once.
TEST(NVSUDMGUnarchiverTest, InvalidateDetachesOnce)
{
    struct Row {
        const char *name;
        QByteArray attach;                  // the fake tool's attach body; %1 is a file with the list
        FakeDiskImageTool::Input input;
        int invalidateAfterMs;              // -1: once the delegate heard the outcome
        int minMs;                          // the least time until invalidate() returns
        std::optional<QString> mountPoint;
    };
    const Row rows[] = {
        {"after the outcome", "cat '%1'", FakeDiskImageTool::ReadsInput, -1, 0, "/tmp/nvsu mount 1"},
        {"after an outcome without mount point, from a tool that reads no input", "echo nothing useful # %1",
         FakeDiskImageTool::IgnoresInput, -1, 0, std::nullopt},
        {"while the output of an ended attach is on its way", "(sleep 1; cat '%1') &\nexit 0", FakeDiskImageTool::ReadsInput, 400, 0,
         "/tmp/nvsu mount 1"},
        {"while attach still runs", "sleep 1\ncat '%1'", FakeDiskImageTool::ReadsInput, 0, 900, "/tmp/nvsu mount 1"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        FakeDiskImageTool tool;
        const QString output = tool.write("output", oneMountPoint);
        tool.attachRunning(QString::fromUtf8(row.attach).arg(output).toUtf8(), row.input);
        RecordingDelegate delegate;
        NVSUDMGUnarchiver unarchiver(Image, &delegate);
        QElapsedTimer clock;
        clock.start();
        unarchiver.start();
        if (row.invalidateAfterMs < 0) {
            ASSERT_TRUE(delegate.waitUntilFinished());
        } else {
            TestSupport::waitFor([] { return false; }, std::chrono::milliseconds(row.invalidateAfterMs));
            ASSERT_TRUE(delegate.events.empty());
        }
        unarchiver.invalidate();
        EXPECT_GE(clock.elapsed(), row.minMs);
        if (row.minMs)
            EXPECT_TRUE(delegate.events.empty()) << "the outcome came from inside invalidate()";
        unarchiver.invalidate();
        EXPECT_EQ(tool.recordedCalls(), AttachCall + "\n" + (row.mountPoint ? DetachCall + "\n" : std::string()));
        ASSERT_TRUE(delegate.waitUntilFinished());
        EXPECT_EQ(delegate.outcome(), std::nullopt);
        QCoreApplication::processEvents();
        EXPECT_EQ(delegate.finishedCount(), 1);
        // The mount point stays recorded.
        EXPECT_EQ(unarchiver.unarchivedContentPath(), row.mountPoint);
    }
}
