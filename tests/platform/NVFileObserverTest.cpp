#include "platform/NVFileObserver.h"

#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

// Failed comparisons show event sets by name.
void PrintTo(const NVFileSystemEvents &events, std::ostream *out)
{
    *out << events.description().toStdString();
}

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

// A started observer of a path that records every call of its handler, and
// is cancelled when the test ends.
struct Observed {
    explicit Observed(const QString &path, E mask = allEvents)
        : observer(NVFileObserver::create(QUrl::fromLocalFile(path), mask, [this](E events) { calls.push_back(events); }))
    {
        EXPECT_TRUE(observer->start().ok());
    }
    ~Observed() { observer->cancel(); }
    Observed(const Observed &) = delete;

    E all() const
    {
        E result;
        for (E e : calls)
            result |= e;
        return result;
    }
    // Waits until what was reported since the last call includes `expected`
    // and answers all of it. Events come in the order of the changes, so an
    // event that should not have come, for an earlier change, shows here.
    E until(E expected)
    {
        EXPECT_TRUE(TestSupport::waitFor([&] { return all().contains(expected); })) << ::testing::PrintToString(all());
        const E result = all();
        calls.clear();
        return result;
    }

    std::vector<E> calls;
    std::shared_ptr<NVFileObserver> observer;
};

// What happens to an observed file (a/f in a folder), step by step, and what
// each step reports. A change that must not be reported shares a step with
// one that must: its events would come first and show.
TEST(NVFileObserver, ReportsWhatHappensToAFile)
{
    using Step = std::pair<std::function<bool(const QString &root)>, E>;
    const auto chmod = [](const QString &path) { return ::chmod(QFile::encodeName(path), 0600) == 0; };
    const struct {
        const char *name;
        std::vector<Step> steps;
    } rows[] = {
        {"append", {{[](const QString &r) { return append(r + "/a/f"); }, E::write | E::extend}}},
        {"overwrite in place", {{[](const QString &r) { return writeFile(r + "/a/f", "HELLO", QIODevice::ReadWrite); }, E::write}}},
        {"chmod", {{[&](const QString &r) { return chmod(r + "/a/f"); }, E::attrib}}},
        {"hard link", {{[](const QString &r) { return ::link(QFile::encodeName(r + "/a/f"), QFile::encodeName(r + "/a/g")) == 0; }, E::link}}},
        {"delete, then write again",
         {{[](const QString &r) { return QFile::remove(r + "/a/f"); }, E::delete_},
          {[](const QString &r) { return writeFile(r + "/a/f", "2"); }, E::create}}},
        {"rename away", {{[](const QString &r) { return QFile::rename(r + "/a/f", r + "/a/g"); }, E::rename}}},
        // An atomic save; the new file is the one watched then.
        {"replace by renaming a new file over it, then chmod",
         {{[](const QString &r) { return writeFile(r + "/a/g", "3") && ::rename(QFile::encodeName(r + "/a/g"), QFile::encodeName(r + "/a/f")) == 0; },
           E::delete_ | E::create},
          {[&](const QString &r) { return chmod(r + "/a/f"); }, E::attrib}}},
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
            EXPECT_EQ(observed.until(expected), expected);
        }
    }
}

TEST(NVFileObserver, AMissingFileIsAwaitedInTheNearestExistingDirectory)
{
    QTemporaryDir directory;
    const QString root = directory.path();
    const QString path = root + "/a/b/observed.log";
    Observed observed(path);

    // The nearest existing directory is watched, by an intermediate observer.
    const auto nearest = [&] { return observed.observer->childObserver()->fileURL(); };
    EXPECT_TRUE(observed.observer->childObserver()->isObservingAnIntermediateDirectory());
    EXPECT_EQ(nearest(), QUrl::fromLocalFile(root));
    // Directories on the way appear: the watch follows, with nothing to report yet.
    ASSERT_TRUE(QDir(root).mkpath("a/b"));
    ASSERT_TRUE(writeFile(root + "/a/unrelated", "x"));
    EXPECT_TRUE(TestSupport::waitFor([&] { return nearest() == QUrl::fromLocalFile(root + "/a/b"); }));

    ASSERT_TRUE(writeFile(path, "first line\n"));
    EXPECT_EQ(observed.until(E::create), E::create);
    // From now on the file itself is watched.
    ASSERT_TRUE(append(path));
    EXPECT_EQ(observed.until(E::write | E::extend), E::write | E::extend);
}

// Renaming a directory on the way to a file that is awaited is reported too.
TEST(NVFileObserver, RenamingADirectoryOnTheWayToAMissingFileIsReported)
{
    QTemporaryDir directory;
    const QString root = directory.path();
    ASSERT_TRUE(QDir(root).mkpath("a"));
    Observed awaiting(root + "/a/b/observed.log");
    ASSERT_TRUE(QDir(root).rename("a", "c"));
    EXPECT_EQ(awaiting.until(E::intermediateRename), E::intermediateRename);
    EXPECT_EQ(awaiting.observer->childObserver()->fileURL(), QUrl::fromLocalFile(root));
}

// An existing file to observe, in a folder of its own.
class NVFileObserverTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(writeFile(path, "x")); }
    QTemporaryDir directory;
    const QString path = directory.filePath("observed");
};

TEST_F(NVFileObserverTest, OnlyTheEventsAskedForAreReported)
{
    Observed observed(path, E::delete_);
    ASSERT_EQ(::chmod(QFile::encodeName(path), 0600), 0);
    ASSERT_TRUE(append(path));
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(TestSupport::waitFor([&] { return !observed.calls.empty(); }));
    EXPECT_EQ(observed.calls, std::vector<E>{E::delete_});
    Observed directoryObserved(directory.path());
    ASSERT_TRUE(writeFile(directory.filePath("new"), "x"));
    const E entries = directoryObserved.until(E::write);
    EXPECT_FALSE(entries.intersects(E::extend | E::create | E::delete_)) << "a directory reports new entries as writes";
}

// Cancelled from outside, or by its own handler while the last reference
// to it goes, an observer reports nothing more and is released.
TEST_F(NVFileObserverTest, CancellingStopsReportsAndReleasesTheObserver)
{
    int outsideCalls = 0, selfCalls = 0;
    std::weak_ptr<NVFileObserver> outside, self;
    {
        auto observer = NVFileObserver::create(QUrl::fromLocalFile(path), allEvents, [&](E) { ++outsideCalls; });
        ASSERT_TRUE(observer->start().ok());
        outside = observer;
    }
    ASSERT_FALSE(outside.expired()) << "a started observer keeps itself alive";
    std::shared_ptr<NVFileObserver> observer = NVFileObserver::create(QUrl::fromLocalFile(path), allEvents, [&](E) {
        ++selfCalls;
        observer->cancel();
        observer.reset();
    });
    self = observer;
    ASSERT_TRUE(observer->start().ok());
    ASSERT_TRUE(append(path));
    ASSERT_TRUE(TestSupport::waitFor([&] { return outsideCalls > 0 && selfCalls > 0; }));
    outside.lock()->cancel();
    EXPECT_TRUE(outside.expired() && self.expired());

    // A third observer sees the next changes; the cancelled ones do not.
    outsideCalls = selfCalls = 0;
    Observed sentinel(path);
    ASSERT_TRUE(append(path) && QFile::remove(path));
    sentinel.until(E::delete_);
    QCoreApplication::processEvents();
    EXPECT_EQ(outsideCalls + selfCalls, 0);
}

TEST(NVFileObserver, StartRefusesWhatItCannotObserve)
{
    const std::pair<QUrl, qint64> cases[] = {
        {QUrl("https://example.org/file"), 262}, // remote
        {QUrl::fromLocalFile("relative/file"), 258},
    };
    for (const auto &[url, code] : cases) {
        const NVResult<void> status = NVFileObserver::create(url, allEvents, [](E) {})->start();
        ASSERT_FALSE(status.ok()) << qPrintable(url.toString());
        EXPECT_EQ(status.error().domain(), NSCocoaErrorDomain);
        EXPECT_EQ(status.error().code(), code);
    }

    QTemporaryDir directory;
    auto observer = NVFileObserver::create(QUrl::fromLocalFile(directory.path()), allEvents, [](E) {});
    ASSERT_TRUE(observer->start().ok());
    EXPECT_EQ(observer->start().error(), NVError::posix(EALREADY));
    observer->cancel();
    EXPECT_TRUE(observer->isCanceled());
    EXPECT_EQ(observer->start().error(), NVError::posix(ECANCELED));
}

} // namespace
