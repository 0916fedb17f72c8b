#include "driver/NVSUDownloadFolder.h"
#include "foundation/NVPropertyList.h"
#include "support/TestSupport.h"
#include "unarchive/NVDiskImage.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

namespace {

void writeRecord(const QString &folder, qint64 pid, quint64 startTime)
{
    const QVariantMap record{{"owner-pid", pid}, {"owner-start-time", qint64(startTime)}};
    TestSupport::writeFile(folder + "/.owner", NVPropertyList::write(record, NVPropertyList::Format::XML).value());
}

} // namespace

// Only folders whose owner is gone are removed: a live process's folder
// stays, whoever made it; a pid that now belongs to another process (its
// start time differs) counts as gone; so do folders without a record.
TEST(NVSUDownloadFolderTest, LeftoversAreRemovedOnlyWhenTheirOwnerIsGone)
{
    QTemporaryDir temporary;
    QProcess other;
    other.start("sleep", {"60"});
    ASSERT_TRUE(other.waitForStarted());
    const pid_t otherPid = pid_t(other.processId());
    QProcess gone;
    gone.start("true", {});
    ASSERT_TRUE(gone.waitForFinished());
    const pid_t gonePid = pid_t(gone.processId());

    const NVResult<QString> own = NVSUDownloadFolder::create(temporary.path(), "Velkin-5.1-0001e240");
    ASSERT_TRUE(own) << own.error().description().toStdString();
    TestSupport::writeFile(*own + "/Velkin.tar.gz", "archive");
    struct Row {
        QString name;
        std::function<void(const QString &)> prepare;
        bool removed;
    };
    const Row rows[] = {
        {"Velkin-5.2-0001e241", [&](const QString &f) { writeRecord(f, otherPid, NVDiskImage::processStartTime(otherPid)); }, false},
        {"Velkin-5.2-0001e242", [&](const QString &f) { writeRecord(f, otherPid, NVDiskImage::processStartTime(otherPid) + 1); }, true},
        {"Velkin-5.2-0001e243", [&](const QString &f) { writeRecord(f, gonePid, 0); }, true},
        {"Velkin-5.2-0001e244", [](const QString &f) { TestSupport::writeFile(f + "/.owner", "not a record"); }, true},
        {"Velkin-5.2-0001e245", [](const QString &) {}, true},
        {".removing-0123", [](const QString &) {}, true},
        {"mounts", [](const QString &) {}, false},
        {"Velkin-5.2-beta", [](const QString &) {}, false},
    };
    for (const Row &row : rows) {
        QDir(temporary.path()).mkdir(row.name);
        row.prepare(temporary.path() + '/' + row.name);
    }

    NVSUDownloadFolder::removeLeftovers(temporary.path());
    EXPECT_TRUE(QFile::exists(*own + "/Velkin.tar.gz")) << "this process's own folder";
    for (const Row &row : rows)
        EXPECT_EQ(QFile::exists(temporary.path() + '/' + row.name), !row.removed) << row.name.toStdString();
    EXPECT_TRUE(QDir(temporary.path()).entryList({".removing-*"}, QDir::Dirs | QDir::Hidden).isEmpty());
    other.kill();
    other.waitForFinished();
}
