#include "unarchive/NVSUDMGUnarchiver.h"

#include "UnarchiveTestSupport.h"
#include "support/LogCapture.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace UnarchiveTest;

namespace {

QByteArray plist(const QByteArray &entities)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n<key>system-entities</key>\n" + entities
        + "\n</dict>\n</plist>\n";
}

const QByteArray oneMountPoint = plist("<array><dict><key>dev-entry</key><string>/dev/loop7</string>"
                                       "<key>mount-point</key><string>/tmp/nvsu mount 1</string></dict></array>");

// A stand-in for the disk-image tool, in $D: it records each call (working
// folder and arguments) and the attach's standard input, then runs the body
// the test chose for the command. A body may wait for the test's go
// (waitForGo).
class FakeDiskImageTool {
public:
    enum Input { ReadsInput, ClosesInput };
    explicit FakeDiskImageTool(const QByteArray &attach, Input input = ReadsInput, const QByteArray &detach = "exit 0")
    {
        write("list", oneMountPoint);
        write("tool", "#!/bin/sh\nD='" + QFile::encodeName(m_dir.path()) + "'\nprintf '%s|%s\\n' \"$(pwd)\" \"$*\" >> \"$D/calls\"\n"
                      "if [ \"$1\" = detach ]; then\n" + detach + "\nexit 0\nfi\n"
                      + (input == ReadsInput ? "cat > \"$D/stdin\"\n" : "exec 0<&-\n") + attach + "\n");
        QFile::setPermissions(path("tool"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        NVSUDMGUnarchiver::setDiskImageToolPath(path("tool"));
    }
    // Lets waiting bodies end, and outlives whatever they started.
    ~FakeDiskImageTool()
    {
        go();
        EXPECT_TRUE(TestSupport::waitFor([] { return NVSUDMGUnarchiver::outstandingDetachCount() == 0; }, std::chrono::seconds(60)));
        NVSUDMGUnarchiver::setDiskImageToolPath(QString());
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }
    void write(const QString &name, const QByteArray &bytes) const { TestSupport::writeFile(path(name), bytes); }
    void go() const { write("go", {}); }
    std::string calls() const { return TestSupport::readFile(path("calls")).toStdString(); }

private:
    QTemporaryDir m_dir;
};

const QByteArray waitForGo = "until [ -e \"$D/go\" ]; do sleep 0.02; done";
const QString Image = QStringLiteral("/tmp/downloads/Velkin 5.1.dmg");
const std::string AttachCall = "/|attach -plist -noverify -nobrowse -noautoopen " + Image.toStdString() + "\n";
const std::string DetachCall = "/|detach -force /tmp/nvsu mount 1\n";

// Whether a process still exists (a zombie counts until it is reaped).
bool exists(pid_t pid) { return ::kill(pid, 0) == 0; }

} // namespace

// What the tool may print, and what comes of it: the mount point, or what
// the user or the log is told. Each run has the tool's command line, working
// folder and the answer on its standard input; the tool's absence is
// reported like any failure, later, through the delegate.
TEST(NVSUDMGUnarchiverTest, ReadsTheMountPointFromTheToolsOutput)
{
    useShippedEnglishTables();
    const QString notOpened = QStringLiteral("The disk image could not be opened (error 2: No such file or directory).");
    const struct {
        const char *name;
        std::optional<QByteArray> output; // none: there is no tool
        int status;
        std::optional<QString> mountPoint;
        QString told; // the error's description, else the log lines
    } rows[] = {
        {"warning line before the list", "squashfuse: warning: something odd\n" + oneMountPoint, 0, "/tmp/nvsu mount 1", {}},
        {"no list at all", "attached somewhere\n", 0, {},
         "Software Update: Cannot parse mount-point from hdiutil output: attached somewhere\n\nSoftware Update: PList representation: (null)"},
        {"broken list", "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>a</key></plist>", 0, {},
         "The answer of the disk-image tool could not be read: Property list error at line 2, column 48: opening and ending tag mismatch"},
        {"exit status 2", oneMountPoint, 2, {}, notOpened},
        {"missing tool", {}, 2, {}, notOpened},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        FakeDiskImageTool tool("cat \"$D/output\"\nexit " + QByteArray::number(row.status));
        tool.write("output", row.output.value_or(QByteArray()));
        if (!row.output)
            NVSUDMGUnarchiver::setDiskImageToolPath(tool.path("missing"));
        RecordingDelegate delegate;
        NVSUDMGUnarchiver unarchiver(Image, &delegate);
        unarchiver.start();
        EXPECT_TRUE(delegate.events.empty());
        ASSERT_TRUE(delegate.waitUntilFinished());
        const std::optional<NVError> error = delegate.outcome();
        EXPECT_EQ(unarchiver.unarchivedContentPath(), row.mountPoint);
        EXPECT_EQ(tool.calls(), row.output ? AttachCall : std::string());
        EXPECT_EQ(TestSupport::readFile(tool.path("stdin")), row.output ? "yes\n" : "");
        EXPECT_EQ((error ? error->localizedDescription() : log.messages().join('\n')).toStdString(), row.told.toStdString());
        if (error) {
            EXPECT_EQ(error->domain(), NVSUUnarchiverErrorDomain);
            EXPECT_EQ(error->code(), 1);
            EXPECT_EQ(error->underlyingError(), row.status ? std::optional(NVError::posix(row.status)) : std::nullopt);
        }
    }
}

// However the unarchiver ends (invalidated once or twice, or dropped) and
// whenever (after the outcome, while the tool runs, while its output is
// still on its way), nothing waits for the tool, the delegate hears the
// outcome once unless the unarchiver was dropped first, and the image is
// detached exactly once, in the background.
TEST(NVSUDMGUnarchiverTest, DetachesOnceInTheBackground)
{
    enum class Moment { AfterOutcome, WhileToolRuns, WhileOutputIsOnItsWay };
    enum class End { Invalidate, Drop, Neither };
    struct Row {
        const char *name;
        Moment moment;
        End end;
        QByteArray attach = "cat \"$D/list\"";
        FakeDiskImageTool::Input input = FakeDiskImageTool::ReadsInput;
    };
    const QByteArray lateOutput = "echo $$ > \"$D/pid\"\n(" + waitForGo + "; cat \"$D/list\") &";
    const Row rows[] = {
        {"invalidated after the outcome", Moment::AfterOutcome, End::Invalidate},
        {"invalidated after an outcome without mount point, from a tool that closes its input", Moment::AfterOutcome,
         End::Invalidate, "echo nothing useful", FakeDiskImageTool::ClosesInput},
        {"dropped after the outcome", Moment::AfterOutcome, End::Drop},
        {"invalidated while the tool runs", Moment::WhileToolRuns, End::Invalidate, waitForGo + "\ncat \"$D/list\""},
        {"dropped while the tool runs", Moment::WhileToolRuns, End::Drop, waitForGo + "\ncat \"$D/list\""},
        {"output that outlives the tool", Moment::WhileOutputIsOnItsWay, End::Neither, lateOutput},
        {"invalidated while the output is on its way", Moment::WhileOutputIsOnItsWay, End::Invalidate, lateOutput},
        {"dropped while the output is on its way", Moment::WhileOutputIsOnItsWay, End::Drop, lateOutput},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        FakeDiskImageTool tool(row.attach, row.input);
        RecordingDelegate delegate;
        auto unarchiver = std::make_unique<NVSUDMGUnarchiver>(Image, &delegate);
        unarchiver->start();
        switch (row.moment) {
        case Moment::AfterOutcome:
            ASSERT_TRUE(delegate.waitUntilFinished());
            break;
        case Moment::WhileToolRuns:
            ASSERT_TRUE(TestSupport::waitFor([&] { return !tool.calls().empty(); }));
            break;
        case Moment::WhileOutputIsOnItsWay:
            // Once the tool is reaped, the unarchiver knows it has ended.
            ASSERT_TRUE(TestSupport::waitFor([&] {
                const pid_t pid = TestSupport::readFile(tool.path("pid")).trimmed().toInt();
                return pid > 0 && !exists(pid);
            }));
            QCoreApplication::processEvents();
            EXPECT_TRUE(delegate.events.empty()) << "the outcome came before the output";
            break;
        }
        const bool reported = !delegate.events.empty();
        if (row.end == End::Invalidate) {
            unarchiver->invalidate();
            unarchiver->invalidate();
        } else if (row.end == End::Drop) {
            unarchiver.reset();
        }
        EXPECT_EQ(!delegate.events.empty(), reported) << "a callback came from inside invalidate() or the destructor";
        tool.go(); // a tool waiting for it has been running all along

        if (unarchiver) {
            ASSERT_TRUE(delegate.waitUntilFinished());
            EXPECT_EQ(delegate.outcome(), std::nullopt);
        }
        const std::string detach = row.attach.contains("$D/list") ? DetachCall : std::string();
        ASSERT_TRUE(awaitDetaches());
        EXPECT_EQ(tool.calls(), AttachCall + (row.end == End::Neither ? std::string() : detach));
        unarchiver.reset();
        ASSERT_TRUE(awaitDetaches());
        EXPECT_EQ(tool.calls(), AttachCall + detach);
        EXPECT_EQ(delegate.finishedCount(), reported || row.end != End::Drop ? 1 : 0);
    }
}

// Quitting waits for a detach that hangs only until its deadline, and the
// tool is left running rather than killed half-way.
TEST(NVSUDMGUnarchiverTest, QuitWaitEndsAtTheDeadlineWhenADetachHangs)
{
    FakeDiskImageTool tool("cat \"$D/list\"", FakeDiskImageTool::ReadsInput, "echo $$ > \"$D/pid\"\nexec sleep 600");
    RecordingDelegate delegate;
    {
        NVSUDMGUnarchiver unarchiver(Image, &delegate);
        unarchiver.start();
        ASSERT_TRUE(delegate.waitUntilFinished());
    }
    ASSERT_TRUE(TestSupport::waitFor([&] { return TestSupport::readFile(tool.path("pid")).toInt() > 0; }));
    const pid_t detach = TestSupport::readFile(tool.path("pid")).trimmed().toInt();
    EXPECT_EQ(NVSUDMGUnarchiver::outstandingDetachCount(), 1);

    std::optional<int> stillRunning;
    auto gone = std::make_unique<QObject>();
    QObject context;
    NVSUDMGUnarchiver::whenOutstandingDetachesEnd(QDeadlineTimer(0), gone.get(), [](int) { ADD_FAILURE() << "its context is gone"; });
    gone.reset();
    NVSUDMGUnarchiver::whenOutstandingDetachesEnd(QDeadlineTimer(std::chrono::milliseconds(100)), &context,
                                                  [&](int n) { stillRunning = n; });
    ASSERT_TRUE(TestSupport::waitFor([&] { return stillRunning.has_value(); }));
    EXPECT_EQ(stillRunning, 1);
    EXPECT_TRUE(exists(detach));

    ::kill(detach, SIGKILL);
    EXPECT_TRUE(TestSupport::waitFor([] { return NVSUDMGUnarchiver::outstandingDetachCount() == 0; }));
    EXPECT_EQ(tool.calls(), AttachCall + DetachCall);
}
