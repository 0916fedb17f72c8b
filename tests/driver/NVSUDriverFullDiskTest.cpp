#include "support/DriverTestSupport.h"

#include "support/LogCapture.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A small tmpfs over a folder for as long as the object lives; unmounted
// lazily, so that a file still open cannot keep it, however the test ends.
class SmallFileSystem {
public:
    explicit SmallFileSystem(QString path) : m_path(std::move(path))
    {
        QDir().mkpath(m_path);
        m_mounted = TestSupport::run("/usr/bin/mount", {"-t", "tmpfs", "-o", "size=4m,mode=0755", "nvsu-full-disk", m_path}).exitCode == 0;
    }
    ~SmallFileSystem()
    {
        if (m_mounted)
            TestSupport::run("/usr/bin/umount", {"-l", m_path});
    }
    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;

    bool mounted() const { return m_mounted; }
    // Writes a file "filler" until no more than `left` bytes are free.
    void fill(qint64 left)
    {
        struct statvfs status {};
        ::statvfs(QFile::encodeName(m_path).constData(), &status);
        qint64 toWrite = qint64(status.f_bavail) * qint64(status.f_frsize) - left;
        const int fd = ::open(QFile::encodeName(m_path + "/filler").constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const QByteArray block(4096, 'f');
        while (toWrite > 0) {
            const ssize_t written = ::write(fd, block.constData(), size_t(std::min<qint64>(toWrite, block.size())));
            if (written <= 0)
                break;
            toWrite -= written;
        }
        ::close(fd);
    }

private:
    QString m_path;
    bool m_mounted = false;
};

} // namespace

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
        SmallFileSystem disk(row.mountPoint);
        ASSERT_TRUE(disk.mounted());
        installProduct();
        const QMap<QString, QString> installed = TestSupport::treeSnapshot(product);
        disk.fill(row.left);
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
