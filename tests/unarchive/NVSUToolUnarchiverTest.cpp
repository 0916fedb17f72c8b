#include "unarchive/NVSUToolUnarchiver.h"

#include "UnarchiveTestSupport.h"
#include "support/TestUser.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace UnarchiveTest;

namespace {

struct UnpackRun {
    std::optional<NVError> outcome;
    qint64 milliseconds = 0;
};

// Unpacks a package and waits for the delegate's last word. The callbacks
// never come before start() returns; invalidate() before start() changes
// nothing, and the delegate may drop the unarchiver from its last callback.
UnpackRun unpack(const QString &packagePath, const std::function<void(NVSUUnarchiver &)> &afterStart = {})
{
    RecordingDelegate delegate;
    std::unique_ptr<NVSUUnarchiver> unarchiver = NVSUUnarchiver::unarchiverWithPackagePath(packagePath, &delegate);
    EXPECT_NE(unarchiver, nullptr);
    if (!unarchiver)
        return {NVError(QStringLiteral("test"), -1), 0};
    delegate.onFinished = [&unarchiver](NVSUUnarchiver *finished) {
        EXPECT_EQ(finished, unarchiver.get());
        finished->invalidate();
        unarchiver.reset();
    };
    QElapsedTimer clock;
    clock.start();
    unarchiver->invalidate();
    unarchiver->start();
    EXPECT_TRUE(delegate.events.empty()) << "a callback came from inside start()";
    if (afterStart)
        afterStart(*unarchiver);
    EXPECT_TRUE(delegate.waitUntilFinished()) << "no answer for " << packagePath.toStdString();
    UnpackRun run{delegate.outcome(), clock.elapsed()};
    // Nothing more arrives afterwards.
    QCoreApplication::processEvents();
    EXPECT_EQ(delegate.finishedCount(), 1);
    EXPECT_EQ(unarchiver, nullptr);
    return run;
}

// Every format the factory takes, packed by the release tool, unpacks into
// the download folder as the very tree that was packed.
void roundTripEveryFormat()
{
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QString bundle = makeBundle(work.filePath("source"));
    const auto original = snapshot(bundle);
    ASSERT_GE(original.size(), 8);
    for (const QString suffix : {"tar.gz", "tgz", "tar.bz2", "tbz", "zip"}) {
        SCOPED_TRACE(suffix.toStdString());
        const QString downloads = work.filePath("downloads-" + suffix);
        QDir().mkpath(downloads);
        const QString archive = downloads + "/Velkin 5.1." + suffix;
        ASSERT_EQ(package(bundle, suffix, archive), QString());

        const UnpackRun run = unpack(archive);
        EXPECT_EQ(run.outcome, std::nullopt) << run.outcome->description().toStdString();
        EXPECT_EQ(listing(snapshot(downloads + "/Velkin Test [beta].app")), listing(original));
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
// is told to stop all end in an error carrying the status, and none hangs.
TEST(NVSUToolUnarchiverTest, FailuresReportTheStatus)
{
    useShippedEnglishTables();
    QTemporaryDir work;
    const QString bundle = makeBundle(work.filePath("source"));

    struct Row {
        const char *name;
        const char *suffix;
        const char *fakeTool;      // a script used in place of the real tool, or nullptr
        bool invalidateAfterStart; // invalidate() right after start()
        int status;                // the expected status, also the POSIX code
        const char *statusText = nullptr; // its text when not the POSIX error's
    };
    const Row rows[] = {
        {"truncated gzip tar", "tar.gz", nullptr, false, 2},
        {"truncated bzip2 tar", "tbz", nullptr, false, 2},
        {"truncated zip", "zip", nullptr, false, 9},
        {"missing tool", "tgz", "", false, ENOENT},
        {"tool ending with 2", "zip", "exit 2", false, 2},
        // As a shell reports a command a signal ended.
        {"tool killed", "tar.gz", "kill -KILL $$", false, 128 + SIGKILL, "terminated by signal 9 (Killed)"},
        {"tool told to stop", "tar.bz2", "exec sleep 30", true, 128 + SIGTERM, "terminated by signal 15 (Terminated)"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString downloads = work.filePath(QString(row.name).replace(' ', '-'));
        QDir().mkpath(downloads);
        const QString archive = downloads + "/Velkin." + row.suffix;
        ASSERT_EQ(package(bundle, row.suffix, archive), QString());
        QFile file(archive);
        ASSERT_TRUE(file.resize(file.size() / 2));

        if (row.fakeTool) {
            const QString tool = work.filePath("fake-tool");
            if (*row.fakeTool) {
                TestSupport::writeFile(tool, QByteArray("#!/bin/sh\n") + row.fakeTool + "\n");
                QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            } else {
                QFile::remove(tool);
            }
            NVSUToolUnarchiver::setToolPathForTesting(tool);
        }
        const UnpackRun run = unpack(archive, [&row](NVSUUnarchiver &unarchiver) {
            if (row.invalidateAfterStart) {
                QThread::msleep(200); // let the tool get going
                unarchiver.invalidate();
            }
        });
        NVSUToolUnarchiver::setToolPathForTesting(QString());

        ASSERT_TRUE(run.outcome.has_value());
        EXPECT_EQ(run.outcome->domain(), "norvane.SoftwarUpdateUnarchiverErrorDomain");
        EXPECT_EQ(run.outcome->code(), 1);
        const std::optional<NVError> underlying = run.outcome->underlyingError();
        ASSERT_TRUE(underlying.has_value());
        EXPECT_EQ(underlying->domain(), NSPOSIXErrorDomain);
        EXPECT_EQ(underlying->code(), row.status);
        const QString statusText = row.statusText ? QString(row.statusText) : QString::fromLocal8Bit(strerror(row.status));
        EXPECT_EQ(underlying->localizedDescription(), statusText);
        EXPECT_EQ(run.outcome->localizedDescription(), QString("The archive could not be unpacked (error %1: %2).").arg(row.status).arg(statusText));
        EXPECT_LT(run.milliseconds, 20000);
    }
}
