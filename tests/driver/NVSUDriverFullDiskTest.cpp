#include "support/DriverTestSupport.h"

#include "support/LogCapture.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStorageInfo>

#include <unistd.h>

using namespace std::chrono_literals;

// The disk fills up while the archive downloads, or while the new version
// is staged beside the installed one: the window says why, the installed
// version stays as it was, and nothing half-written stays behind.
TEST_F(DriverTest, AFullDiskEndsTheUpdateAndLeavesTheProductAsItWas)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    publish("Velkin-5.1.tar.gz", "5.1", "5100");
    // A download that would never end on its own.
    QByteArray noise(256 * 1024, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
    server.setRoute("/endless.tar.gz", {.body = noise, .framing = TestHTTPSServer::Route::Framing::Chunked, .endless = true});
    struct Row {
        const char *name;
        QString mountPoint;
        qint64 left; // free bytes once filled
        QString archive;
        QString alert;
        QString logged; // a log line holding this names the cause
    };
    const Row rows[] = {
        {"downloading", directory.filePath("cache"), 1024 * 1024, "endless.tar.gz",
         "runAlertWithName errorAlert The download could not be written: No space left on device", {}},
        {"staging", directory.filePath("Applications"), 0, "Velkin-5.1.tar.gz", "runAlertWithName errorCopyingOverSelf ",
         "No space left on device"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        // A small tmpfs, unmounted lazily so that a file still open cannot
        // keep it, however the test ends.
        QDir().mkpath(row.mountPoint);
        ASSERT_EQ(TestSupport::run("/usr/bin/mount", {"-t", "tmpfs", "-o", "size=4m,mode=0755", "nvsu-full-disk", row.mountPoint}).exitCode, 0);
        const auto unmount = qScopeGuard([&] { TestSupport::run("/usr/bin/umount", {"-l", row.mountPoint}); });
        installProduct();
        const QMap<QString, QString> installed = TestSupport::treeSnapshot(product);
        TestSupport::writeFile(row.mountPoint + "/filler", QByteArray(QStorageInfo(row.mountPoint).bytesAvailable() - row.left, 'f'));
        terminations.clear();
        LogCapture log;
        const QStringList shown = updateUntilAlert(entry("5.1", "5100", row.archive));
        ASSERT_EQ(shown.size(), 1) << calls.join('\n').toStdString();
        EXPECT_TRUE(row.alert.endsWith(' ') ? shown[0].startsWith(row.alert) : shown[0] == row.alert) << shown[0].toStdString();
        EXPECT_TRUE(row.logged.isEmpty() || !log.matching(row.logged).isEmpty()) << log.messages().join('\n').toStdString();
        driver->updateWindowWillClose();
        EXPECT_EQ(terminations, QList<int>{NVSUDriverTerminationAfterError});
        EXPECT_EQ(TestSupport::treeSnapshot(product), installed);
        EXPECT_EQ(downloadFolders(), QStringList());
        QStringList beside = QDir(directory.filePath("Applications")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        beside.removeOne("filler");
        EXPECT_EQ(beside, QStringList{"Velkin.app"}) << "nothing staged stays beside the product";
    }
}
