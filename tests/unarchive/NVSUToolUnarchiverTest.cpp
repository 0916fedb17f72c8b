#include "unarchive/NVSUToolUnarchiver.h"

#include "UnarchiveTestSupport.h"
#include "support/TestUser.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace UnarchiveTest;

namespace {

// Unpacks a package and waits for the delegate's last word. The callbacks
// never come before start() returns; invalidate() before start() changes
// nothing, and the delegate may drop the unarchiver from its last callback.
std::optional<NVError> unpack(const QString &packagePath, const std::function<void(NVSUUnarchiver &)> &afterStart = {})
{
    RecordingDelegate delegate;
    std::unique_ptr<NVSUUnarchiver> unarchiver = NVSUUnarchiver::unarchiverWithPackagePath(packagePath, &delegate);
    if (!unarchiver)
        return NVError(QStringLiteral("no unarchiver"), -1);
    delegate.onFinished = [&unarchiver](NVSUUnarchiver *finished) {
        EXPECT_EQ(finished, unarchiver.get());
        finished->invalidate();
        unarchiver.reset();
    };
    unarchiver->invalidate();
    unarchiver->start();
    EXPECT_TRUE(delegate.events.empty()) << "a callback came from inside start()";
    if (afterStart)
        afterStart(*unarchiver);
    EXPECT_TRUE(delegate.waitUntilFinished()) << "no answer for " << packagePath.toStdString();
    // Nothing more arrives afterwards.
    QCoreApplication::processEvents();
    EXPECT_EQ(unarchiver, nullptr);
    return delegate.outcome();
}

// Every format the factory takes, packed by the release tool, unpacks into
// the download folder as the very tree that was packed.
void roundTripEveryFormat()
{
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QString bundle = makeBundle(work.filePath("source"));
    for (const QString suffix : {"tar.gz", "tgz", "tar.bz2", "tbz", "zip"}) {
        SCOPED_TRACE(suffix.toStdString());
        const QString archive = work.filePath("downloads-" + suffix + "/Velkin 5.1." + suffix);
        QDir().mkpath(QFileInfo(archive).path());
        ASSERT_EQ(package(bundle, suffix, archive), QString());
        const std::optional<NVError> outcome = unpack(archive);
        EXPECT_EQ(outcome, std::nullopt) << outcome->description().toStdString();
        EXPECT_EQ(tree(QFileInfo(archive).path() + "/Velkin Test [beta].app"), tree(bundle));
        EXPECT_TRUE(QFileInfo::exists(archive));
    }
}

} // namespace

TEST(NVSUToolUnarchiverTest, RoundTripsEveryFormat)
{
    roundTripEveryFormat();
}

// The same as the unprivileged user, who cannot take ownership of anything
// and unpacks below its own folders.
TEST(NVSUToolUnarchiverTest, RoundTripsEveryFormatAsTheTestUser)
{
    NV_RUN_AS_TEST_USER();
    roundTripEveryFormat();
}

// A damaged archive, a tool that is missing, one that is killed and one that
// is told to stop all end in an error carrying the status.
TEST(NVSUToolUnarchiverTest, FailuresReportTheStatus)
{
    useShippedEnglishTables();
    QTemporaryDir work;
    const QString bundle = makeBundle(work.filePath("source"));
    const QString tool = work.filePath("fake-tool");
    struct Row {
        const char *name;
        const char *suffix;
        const char *fakeTool;        // a script used in place of the real tool, or nullptr
        int status;                  // the expected status, also the POSIX code
        const char *statusText = {}; // its text when not the POSIX error's
    };
    const Row rows[] = {
        {"truncated gzip tar", "tar.gz", nullptr, 2},
        {"truncated zip", "zip", nullptr, 9},
        {"missing tool", "tgz", "", ENOENT},
        // As a shell reports a command a signal ended.
        {"tool killed", "tar.gz", "kill -KILL $$", 128 + SIGKILL, "terminated by signal 9 (Killed)"},
        // Told to stop by invalidate() once it runs.
        {"tool told to stop", "tar.bz2", "touch \"$0.running\"; exec sleep 30", 128 + SIGTERM, "terminated by signal 15 (Terminated)"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString archive = work.filePath(QString(row.name).replace(' ', '-') + "/Velkin." + row.suffix);
        QDir().mkpath(QFileInfo(archive).path());
        ASSERT_EQ(package(bundle, row.suffix, archive), QString());
        QFile file(archive);
        ASSERT_TRUE(file.resize(file.size() / 2));

        QFile::remove(tool);
        if (row.fakeTool && *row.fakeTool) {
            TestSupport::writeFile(tool, QByteArray("#!/bin/sh\n") + row.fakeTool + "\n");
            QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        NVSUToolUnarchiver::setToolPathForTesting(row.fakeTool ? tool : QString());
        const std::optional<NVError> outcome = unpack(archive, [&](NVSUUnarchiver &unarchiver) {
            if (row.status == 128 + SIGTERM && TestSupport::waitFor([&] { return QFileInfo::exists(tool + ".running"); }))
                unarchiver.invalidate();
        });
        NVSUToolUnarchiver::setToolPathForTesting(QString());

        ASSERT_TRUE(outcome.has_value());
        EXPECT_EQ(outcome->domain(), "norvane.SoftwarUpdateUnarchiverErrorDomain");
        EXPECT_EQ(outcome->code(), 1);
        const QString statusText = row.statusText ? QString(row.statusText) : QString::fromLocal8Bit(strerror(row.status));
        const NVError underlying = outcome->underlyingError().value_or(NVError());
        EXPECT_EQ(underlying.domain(), NSPOSIXErrorDomain);
        EXPECT_EQ(underlying.code(), row.status);
        EXPECT_EQ(underlying.localizedDescription(), statusText);
        EXPECT_EQ(outcome->localizedDescription(), QString("The archive could not be unpacked (error %1: %2).").arg(row.status).arg(statusText));
    }
}

// Dropped while its tool runs, the unarchiver kills the tool and returns.
TEST(NVSUToolUnarchiverTest, DroppingKillsTheTool)
{
    QTemporaryDir work;
    const QString tool = work.filePath("tool");
    TestSupport::writeFile(tool, "#!/bin/sh\necho $$ > \"$0.pid\"\nexec sleep 600\n");
    QFile::setPermissions(tool, QFile::ReadOwner | QFile::ExeOwner);
    NVSUToolUnarchiver::setToolPathForTesting(tool);
    RecordingDelegate delegate;
    std::unique_ptr<NVSUUnarchiver> unarchiver = NVSUUnarchiver::unarchiverWithPackagePath(work.filePath("a.zip"), &delegate);
    NVSUToolUnarchiver::setToolPathForTesting(QString());
    unarchiver->start();
    ASSERT_TRUE(TestSupport::waitFor([&] { return TestSupport::readFile(tool + ".pid").toInt() > 0; }));
    const pid_t pid = TestSupport::readFile(tool + ".pid").trimmed().toInt();
    unarchiver.reset();
    EXPECT_TRUE(TestSupport::waitFor([pid] { return ::kill(pid, 0) != 0; })) << "the tool still runs, or was never reaped";
    EXPECT_TRUE(delegate.events.empty());
}
