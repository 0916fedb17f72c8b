#include "unarchive/NVSUDMGUnarchiver.h"

#include "UnarchiveTestSupport.h"
#include "support/LogCapture.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

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
// the test chose for the attach; a detach just succeeds.
class FakeDiskImageTool {
public:
    explicit FakeDiskImageTool(const QByteArray &attach)
    {
        write("list", oneMountPoint);
        write("tool", "#!/bin/sh\nD='" + QFile::encodeName(m_dir.path()) + "'\nprintf '%s|%s\\n' \"$(pwd)\" \"$*\" >> \"$D/calls\"\n"
                      "[ \"$1\" = detach ] && exit 0\ncat > \"$D/stdin\"\n" + attach + "\n");
        QFile::setPermissions(path("tool"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        NVSUDMGUnarchiver::setDiskImageToolPath(path("tool"));
    }
    // Outlives whatever the test started.
    ~FakeDiskImageTool()
    {
        EXPECT_TRUE(awaitDetaches());
        NVSUDMGUnarchiver::setDiskImageToolPath(QString());
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }
    void write(const QString &name, const QByteArray &bytes) const { TestSupport::writeFile(path(name), bytes); }
    std::string calls() const { return TestSupport::readFile(path("calls")).toStdString(); }

private:
    QTemporaryDir m_dir;
};

const QString Image = QStringLiteral("/tmp/downloads/Velkin 5.1.dmg");
const std::string AttachCall = "/|attach -plist -noverify -nobrowse -noautoopen " + Image.toStdString() + "\n";
const std::string DetachCall = "/|detach -force /tmp/nvsu mount 1\n";

} // namespace

// What the tool may print, and what comes of it: the mount point, or what
// the user or the log is told. Each run has the tool's command line, working
// folder and the answer on its standard input; the tool's absence is
// reported like any failure, later, through the delegate. Once dropped, a
// mounted image is detached exactly once, in the background.
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
        auto unarchiver = std::make_unique<NVSUDMGUnarchiver>(Image, &delegate);
        unarchiver->start();
        EXPECT_TRUE(delegate.events.empty());
        ASSERT_TRUE(delegate.waitUntilFinished());
        const std::optional<NVError> error = delegate.outcome();
        EXPECT_EQ(unarchiver->unarchivedContentPath(), row.mountPoint);
        EXPECT_EQ(tool.calls(), row.output ? AttachCall : std::string());
        EXPECT_EQ(TestSupport::readFile(tool.path("stdin")), row.output ? "yes\n" : "");
        EXPECT_EQ((error ? error->localizedDescription() : log.messages().join('\n')).toStdString(), row.told.toStdString());
        if (error) {
            EXPECT_EQ(error->domain(), NVSUUnarchiverErrorDomain);
            EXPECT_EQ(error->code(), 1);
            EXPECT_EQ(error->underlyingError(), row.status ? std::optional(NVError::posix(row.status)) : std::nullopt);
        }
        unarchiver.reset();
        ASSERT_TRUE(awaitDetaches());
        EXPECT_EQ(tool.calls(), row.output ? AttachCall + (row.mountPoint ? DetachCall : std::string()) : std::string());
    }
}

