#include "platform/NVFileObserver.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace {

using E = NVFileSystemEvents;

bool writeFile(const QString &path, const QByteArray &contents, QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile file(path);
    return file.open(mode) && file.write(contents) == contents.size();
}

bool append(const QString &path) { return writeFile(path, "more", QIODevice::Append); }

const E allEvents = E::delete_ | E::write | E::extend | E::attrib | E::link | E::rename | E::revoke | E::create
    | E::intermediateRename;

// A started observer of a path that gathers what its handler is told, and
// is cancelled when the row ends.
struct Observed {
    explicit Observed(const QString &path)
        : observer(NVFileObserver::create(QUrl::fromLocalFile(path), allEvents, [this](E events) { seen |= events; }))
    {
        EXPECT_TRUE(observer->start().ok());
    }
    ~Observed() { observer->cancel(); }
    Observed(const Observed &) = delete;

    // Waits until what was reported since the last call includes `expected`
    // and answers all of it. Events come in the order of the changes, so an
    // event that should not have come, for an earlier change, shows here.
    E until(E expected)
    {
        EXPECT_TRUE(TestSupport::waitFor([&] { return seen.contains(expected); })) << seen.description().toStdString();
        return std::exchange(seen, E());
    }

    E seen;
    std::shared_ptr<NVFileObserver> observer;
};

// What happens to an observed file (a/f in a folder), step by step, and what
// each step reports. A change that must not be reported shares a step with
// one that must: its events would come first and show.
TEST(NVFileObserver, ReportsWhatHappensToAFile)
{
    using Step = std::pair<std::function<bool(const QString &root)>, E>;
    const struct {
        const char *name;
        std::vector<Step> steps;
    } rows[] = {
        {"append", {{[](const QString &r) { return append(r + "/a/f"); }, E::write | E::extend}}},
        {"delete, then write again",
         {{[](const QString &r) { return QFile::remove(r + "/a/f"); }, E::delete_},
          {[](const QString &r) { return writeFile(r + "/a/f", "2"); }, E::create}}},
        // An atomic save; the new file is the one watched then.
        {"replace by renaming a new file over it, then chmod",
         {{[](const QString &r) { return writeFile(r + "/a/g", "3") && ::rename(QFile::encodeName(r + "/a/g"), QFile::encodeName(r + "/a/f")) == 0; },
           E::delete_ | E::create},
          {[](const QString &r) { return ::chmod(QFile::encodeName(r + "/a/f"), 0600) == 0; }, E::attrib}}},
        // The path no longer leads to the file that moved with its folder.
        {"rename its folder, change the file there, rename the folder back",
         {{[](const QString &r) { return QDir(r).rename("a", "b"); }, E::intermediateRename},
          {[](const QString &r) { return append(r + "/b/f") && QDir(r).rename("b", "a"); }, E::create}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir directory;
        ASSERT_TRUE(QDir(directory.path()).mkpath("a") && writeFile(directory.filePath("a/f"), "hello"));
        Observed observed(directory.filePath("a/f"));
        for (const auto &[action, expected] : row.steps) {
            ASSERT_TRUE(action(directory.path()));
            // Compared by name, so that a failure shows the events.
            EXPECT_EQ(observed.until(expected).description().toStdString(), expected.description().toStdString());
        }
    }
}

// A file that does not exist yet, in folders that do not exist yet, is
// awaited by the settings' observer: see the user defaults tests.

} // namespace
