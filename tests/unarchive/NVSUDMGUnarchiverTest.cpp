#include "unarchive/NVSUDMGUnarchiver.h"

#include "foundation/NVBundle.h"

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
    QStringList recordedCalls() const { return QString::fromUtf8(TestSupport::readFile(calls())).split('\n', Qt::SkipEmptyParts); }

private:
    QTemporaryDir m_dir;
};

void useShippedEnglishTables()
{
    NVBundle::setMainBundleForTesting(TestSupport::bundlePath());
    NVBundle::setUserLanguagesForTesting({"en"});
}

} // namespace

// The attach command line, its working folder, and the answer on its
// standard input; the mount point comes from the property list.
TEST(NVSUDMGUnarchiverTest, AttachesWithTheToolsCommandLine)
{
    FakeDiskImageTool real;
    real.attachPrinting(oneMountPoint);
    RecordingDelegate delegate;
    NVSUDMGUnarchiver unarchiver("/tmp/downloads/Velkin 5.1.dmg", &delegate);
    unarchiver.start();
    EXPECT_TRUE(delegate.events.empty());
    ASSERT_TRUE(delegate.waitUntilFinished());
    EXPECT_EQ(delegate.outcome(), std::nullopt);
    EXPECT_EQ(unarchiver.unarchivedContentPath(), std::optional<QString>("/tmp/nvsu mount 1"));
    EXPECT_EQ(real.recordedCalls(), QStringList{"/|attach -plist -noverify -nobrowse -noautoopen /tmp/downloads/Velkin 5.1.dmg"});
    EXPECT_EQ(TestSupport::readFile(real.input()), "yes\n");
}

// What the tool may print, and what comes of it.
TEST(NVSUDMGUnarchiverTest, ReadsTheMountPointFromTheToolsOutput)
{
    useShippedEnglishTables();
    struct Row {
        const char *name;
        QByteArray output;
        int status;
        std::optional<QString> mountPoint;
        QString error;       // the error's description; empty for none
        QString listLogLine; // the second log line when no mount point was found
    };
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
        {"exit status 2", oneMountPoint, 2, std::nullopt, "The disk image could not be opened (error 2: No such file or directory).", {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        FakeDiskImageTool printer;
        printer.attachPrinting(row.output, row.status);
        RecordingDelegate delegate;
        NVSUDMGUnarchiver unarchiver("/tmp/a.dmg", &delegate);
        unarchiver.start();
        ASSERT_TRUE(delegate.waitUntilFinished());
        const std::optional<NVError> error = delegate.outcome();
        EXPECT_EQ(unarchiver.unarchivedContentPath(), row.mountPoint);

        if (row.error.isEmpty()) {
            EXPECT_EQ(error, std::nullopt) << error->description().toStdString();
        } else {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->domain(), NVSUUnarchiverErrorDomain);
            EXPECT_EQ(error->code(), 1);
            EXPECT_TRUE(error->localizedDescription().startsWith(row.error)) << error->localizedDescription().toStdString();
            if (row.status) {
                EXPECT_EQ(error->underlyingError(), NVError::posix(row.status));
            } else {
                EXPECT_GT(error->localizedDescription().size(), row.error.size()) << "the parser's reason is missing";
            }
        }

        const QStringList lines = log.matching("mount-point") + log.matching("PList representation");
        const QString expected = row.listLogLine.isEmpty()
            ? QString()
            : "Software Update: Cannot parse mount-point from hdiutil output: " + QString::fromUtf8(row.output) + "\n"
                + "Software Update: " + row.listLogLine;
        EXPECT_EQ(lines.join('\n').toStdString(), expected.toStdString());
    }
}

// The output may end after the tool has exited (a child of it keeps the pipe
// open); the completion waits for it, up to two seconds, with the event loop
// running meanwhile.
TEST(NVSUDMGUnarchiverTest, WaitsForOutputThatOutlivesTheTool)
{
    struct Row {
        const char *name;
        const char *delay;
        std::optional<QString> mountPoint;
        int minMs, maxMs;
    };
    const Row rows[] = {
        {"output half a second late", "0.5", "/tmp/nvsu mount 1", 400, 1900},
        {"output too late", "4", std::nullopt, 1900, 3900},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        FakeDiskImageTool printer;
        const QString output = printer.write("late-output", oneMountPoint);
        printer.attachRunning(QString("(sleep %1; cat '%2') &\nexit 0").arg(row.delay, output).toUtf8());
        RecordingDelegate delegate;
        NVSUDMGUnarchiver unarchiver("/tmp/a.dmg", &delegate);
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(100);
        QElapsedTimer clock;
        clock.start();
        unarchiver.start();
        ASSERT_TRUE(delegate.waitUntilFinished());
        EXPECT_GE(clock.elapsed(), row.minMs);
        EXPECT_LE(clock.elapsed(), row.maxMs);
        EXPECT_GE(ticks, 3) << "the event loop stood still while the output was awaited";
        EXPECT_EQ(delegate.outcome(), std::nullopt);
        EXPECT_EQ(unarchiver.unarchivedContentPath(), row.mountPoint);
        EXPECT_EQ(log.matching("Cannot parse mount-point").size(), row.mountPoint ? 0 : 1);
    }
}

// Detaching happens once, only with a known mount point, and waits for an
// attach that still runs.
TEST(NVSUDMGUnarchiverTest, InvalidateDetachesOnce)
{
    const QString attach = "/|attach -plist -noverify -nobrowse -noautoopen /tmp/a.dmg";
    const QString detach = "/|detach -force /tmp/nvsu mount 1";
    {
        SCOPED_TRACE("invalidate twice");
        FakeDiskImageTool printer;
        printer.attachPrinting(oneMountPoint);
        RecordingDelegate delegate;
        NVSUDMGUnarchiver unarchiver("/tmp/a.dmg", &delegate);
        unarchiver.start();
        ASSERT_TRUE(delegate.waitUntilFinished());
        unarchiver.invalidate();
        unarchiver.invalidate();
        EXPECT_EQ(printer.recordedCalls(), (QStringList{attach, detach}));
        // The mount point stays recorded.
        EXPECT_EQ(unarchiver.unarchivedContentPath(), std::optional<QString>("/tmp/nvsu mount 1"));
    }
    {
        SCOPED_TRACE("no mount point, from a tool that reads no input");
        LogCapture log;
        FakeDiskImageTool printer;
        printer.attachRunning("echo nothing useful", FakeDiskImageTool::IgnoresInput);
        RecordingDelegate delegate;
        NVSUDMGUnarchiver unarchiver("/tmp/a.dmg", &delegate);
        unarchiver.start();
        ASSERT_TRUE(delegate.waitUntilFinished());
        unarchiver.invalidate();
        EXPECT_EQ(printer.recordedCalls(), QStringList{attach});
    }
    {
        SCOPED_TRACE("before start, and destroyed without invalidate");
        FakeDiskImageTool printer;
        printer.attachPrinting(oneMountPoint);
        {
            NVSUDMGUnarchiver never("/tmp/a.dmg", nullptr);
            never.invalidate();
        }
        {
            RecordingDelegate delegate;
            NVSUDMGUnarchiver forgotten("/tmp/a.dmg", &delegate);
            forgotten.start();
            ASSERT_TRUE(delegate.waitUntilFinished());
        }
        EXPECT_EQ(printer.recordedCalls(), (QStringList{attach, detach}));
    }
    {
        SCOPED_TRACE("while the output of an ended attach is on its way");
        FakeDiskImageTool printer;
        const QString output = printer.write("late-output", oneMountPoint);
        printer.attachRunning(QString("(sleep 1; cat '%1') &\nexit 0").arg(output).toUtf8());
        RecordingDelegate delegate;
        NVSUDMGUnarchiver unarchiver("/tmp/a.dmg", &delegate);
        unarchiver.start();
        TestSupport::waitFor([] { return false; }, std::chrono::milliseconds(400)); // the tool ends, its output does not
        ASSERT_TRUE(delegate.events.empty());
        unarchiver.invalidate();
        EXPECT_EQ(printer.recordedCalls(), (QStringList{attach, detach}));
        ASSERT_TRUE(delegate.waitUntilFinished());
        EXPECT_EQ(delegate.outcome(), std::nullopt);
        QCoreApplication::processEvents();
        EXPECT_EQ(delegate.finishedCount(), 1);
    }
    {
        SCOPED_TRACE("while attach still runs");
        FakeDiskImageTool printer;
        printer.attachPrinting(oneMountPoint, 0, "1");
        RecordingDelegate delegate;
        NVSUDMGUnarchiver unarchiver("/tmp/a.dmg", &delegate);
        QElapsedTimer clock;
        clock.start();
        unarchiver.start();
        unarchiver.invalidate();
        EXPECT_GE(clock.elapsed(), 900);
        EXPECT_EQ(printer.recordedCalls(), (QStringList{attach, detach}));
        // The delegate still hears how the attach ended, once, afterwards.
        EXPECT_TRUE(delegate.events.empty());
        ASSERT_TRUE(delegate.waitUntilFinished());
        EXPECT_EQ(delegate.outcome(), std::nullopt);
        QCoreApplication::processEvents();
        EXPECT_EQ(delegate.finishedCount(), 1);
    }
}

// A tool that cannot run is reported like any failure: later, through the
// delegate, with the reason as the underlying error.
TEST(NVSUDMGUnarchiverTest, MissingToolIsAnError)
{
    useShippedEnglishTables();
    QTemporaryDir dir;
    TestSupport::writeFile(dir.filePath("not-executable"), "#!/bin/sh\n");
    QFile::setPermissions(dir.filePath("not-executable"), QFile::ReadOwner | QFile::WriteOwner);
    const struct {
        QString tool;
        int code;
    } rows[] = {{dir.filePath("missing"), ENOENT}, {dir.filePath("not-executable"), EACCES}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.tool.toStdString());
        NVSUDMGUnarchiver::setDiskImageToolPath(row.tool);
        RecordingDelegate delegate;
        NVSUDMGUnarchiver unarchiver("/tmp/a.dmg", &delegate);
        unarchiver.start();
        EXPECT_TRUE(delegate.events.empty());
        ASSERT_TRUE(delegate.waitUntilFinished(std::chrono::seconds(5)));
        const std::optional<NVError> error = delegate.outcome();
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->underlyingError(), NVError::posix(row.code));
        EXPECT_EQ(error->localizedDescription(),
                  QString("The disk image could not be opened (error %1: %2).").arg(row.code).arg(QString::fromLocal8Bit(strerror(row.code))));
        unarchiver.invalidate();
    }
    NVSUDMGUnarchiver::setDiskImageToolPath(QString());
    // Without an override, the tool beside the main bundle's executable.
    NVBundle::setMainBundleForTesting(TestSupport::bundlePath());
    EXPECT_EQ(NVSUDMGUnarchiver::diskImageToolPath(), TestSupport::bundlePath() + "/Contents/MacOS/nvsu-diskimage");
}
