#include "platform/NVFileObserver.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using E = NVFileSystemEvents;
using namespace std::chrono_literals;

TEST(NVFileSystemEvents, DescriptionsNameSingleEventsAndListSets)
{
    const std::pair<E, const char *> cases[] = {
        {E::write, "write"}, {E::delete_ | E::write, "[delete, write]"}, {E::write | E::create, "[write, create]"},
        {E::intermediateRename, "intermediateRename"}, {E(0x80), "<unknown rawValue: 128>"},
        {E::write | E(0x80), "[write, <unknown rawValue: 128>]"}, {E(), "[]"},
        {E::rename | E::revoke | E::funlock | E::intermediateRename, "[rename, revoke, funlock, intermediateRename]"},
        {E(0x80000000u), "<unknown rawValue: 2147483648>"},
    };
    for (const auto &[events, expected] : cases)
        EXPECT_EQ(events.description(), QString::fromLatin1(expected)) << expected;
}

// Runs the event loop for a while, for events that should not come.
void runFor(std::chrono::milliseconds time)
{
    TestSupport::waitFor([] { return false; }, time);
}

bool writeFile(const QString &path, const QByteArray &contents, QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile file(path);
    return file.open(mode) && file.write(contents) == contents.size();
}

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
    // Waits for the first report and a little longer for the rest of its
    // burst; answers everything reported since the last call.
    E settle()
    {
        EXPECT_TRUE(TestSupport::waitFor([&] { return !calls.empty(); }));
        runFor(100ms);
        const E result = all();
        calls.clear();
        return result;
    }

    std::vector<E> calls;
    std::shared_ptr<NVFileObserver> observer;
};

TEST(NVFileObserver, ReportsWhatHappensToAFile)
{
    const std::tuple<const char *, std::function<bool(const QString &path)>, E> cases[] = {
        {"append", [](const QString &p) { return writeFile(p, "more", QIODevice::Append); }, E::write | E::extend},
        {"overwrite in place", [](const QString &p) { return writeFile(p, "HELLO", QIODevice::ReadWrite); }, E::write},
        {"chmod", [](const QString &p) { return ::chmod(QFile::encodeName(p), 0600) == 0; }, E::attrib},
        {"hard link", [](const QString &p) { return ::link(QFile::encodeName(p), QFile::encodeName(p + ".2")) == 0; }, E::link},
        {"delete", [](const QString &p) { return QFile::remove(p); }, E::delete_},
        {"rename away", [](const QString &p) { return QFile::rename(p, p + ".old"); }, E::rename},
    };
    for (const auto &[what, action, expected] : cases) {
        SCOPED_TRACE(what);
        QTemporaryDir directory;
        const QString path = directory.filePath("observed.log");
        ASSERT_TRUE(writeFile(path, "hello"));
        Observed observed(path);
        EXPECT_FALSE(observed.observer->isObservingAnIntermediateDirectory());
        ASSERT_TRUE(action(path));
        const E events = observed.settle();
        EXPECT_EQ(events, expected) << qPrintable(events.description());
    }
}

TEST(NVFileObserver, AMissingFileIsAwaitedInTheNearestExistingDirectory)
{
    QTemporaryDir directory;
    const QString root = directory.path();
    const QString path = root + "/a/b/observed.log";
    Observed observed(path);

    // The chain: the file's observer, then one intermediate observer for each
    // existing directory, nearest first.
    auto nearest = observed.observer->childObserver();
    ASSERT_TRUE(nearest);
    EXPECT_TRUE(nearest->isObservingAnIntermediateDirectory());
    EXPECT_EQ(nearest->fileURL(), QUrl::fromLocalFile(root));
    EXPECT_EQ(nearest->parentObserver(), observed.observer);
    ASSERT_TRUE(nearest->childObserver());
    EXPECT_EQ(nearest->childObserver()->fileURL(), QUrl::fromLocalFile(QFileInfo(root).path()));

    // Directories on the way appear: nothing to report yet.
    ASSERT_TRUE(QDir(root).mkpath("a/b"));
    ASSERT_TRUE(writeFile(root + "/a/unrelated", "x"));
    runFor(200ms);
    EXPECT_TRUE(observed.calls.empty()) << qPrintable(observed.all().description());
    EXPECT_EQ(observed.observer->childObserver()->fileURL(), QUrl::fromLocalFile(root + "/a/b"));

    ASSERT_TRUE(writeFile(path, "first line\n"));
    const E created = observed.settle();
    EXPECT_TRUE(created.contains(E::create)) << qPrintable(created.description());
    EXPECT_FALSE(created.intersects(E::delete_ | E::rename | E::intermediateRename));

    // From now on the file itself is watched.
    ASSERT_TRUE(writeFile(path, "second line\n", QIODevice::Append));
    EXPECT_EQ(observed.settle(), E::write | E::extend);
}

TEST(NVFileObserver, RenamingADirectoryOnTheWayIsReported)
{
    QTemporaryDir directory;
    const QString root = directory.path();
    ASSERT_TRUE(QDir(root).mkpath("a"));
    ASSERT_TRUE(writeFile(root + "/a/observed.log", "hello"));
    Observed observed(root + "/a/observed.log");

    ASSERT_TRUE(QDir(root).rename("a", "moved"));
    EXPECT_EQ(observed.settle(), E::intermediateRename);

    // The file moved with its directory; the path no longer leads to it.
    ASSERT_TRUE(writeFile(root + "/moved/observed.log", "more", QIODevice::Append));
    runFor(200ms);
    EXPECT_TRUE(observed.calls.empty()) << qPrintable(observed.all().description());

    // Renamed back, the path leads to a file again.
    ASSERT_TRUE(QDir(root).rename("moved", "a"));
    EXPECT_EQ(observed.settle(), E::create);

    // Renaming a directory while the file is awaited in it is reported too.
    Observed awaiting(root + "/a/b/observed.log");
    ASSERT_TRUE(QDir(root).rename("a", "c"));
    EXPECT_EQ(awaiting.settle(), E::intermediateRename);
    EXPECT_EQ(awaiting.observer->childObserver()->fileURL(), QUrl::fromLocalFile(root));
}

// An existing file to observe, in a folder of its own.
class NVFileObserverTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(writeFile(path, "x")); }
    QTemporaryDir directory;
    const QString path = directory.filePath("observed");
};

TEST_F(NVFileObserverTest, AFileDeletedAndWrittenAgainOrReplacedIsCreatedAgain)
{
    Observed observed(path);
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(TestSupport::waitFor([&] { return observed.all().contains(E::delete_); }));
    ASSERT_TRUE(writeFile(path, "two"));
    ASSERT_TRUE(TestSupport::waitFor([&] { return observed.all().contains(E::create); }));

    // An atomic save: a new file is renamed over the observed one.
    observed.calls.clear();
    ASSERT_TRUE(writeFile(path + ".tmp", "three"));
    ASSERT_EQ(::rename(QFile::encodeName(path + ".tmp"), QFile::encodeName(path)), 0);
    const E replaced = observed.settle();
    EXPECT_TRUE(replaced.contains(E::create)) << qPrintable(replaced.description());
    EXPECT_FALSE(replaced.intersects(E::rename | E::intermediateRename)) << qPrintable(replaced.description());

    // And the new file is the one watched now.
    ASSERT_EQ(::chmod(QFile::encodeName(path), 0640), 0);
    EXPECT_EQ(observed.settle(), E::attrib);
}

TEST_F(NVFileObserverTest, OnlyTheEventsAskedForAreReported)
{
    Observed observed(path, E::delete_);
    ASSERT_EQ(::chmod(QFile::encodeName(path), 0600), 0);
    ASSERT_TRUE(writeFile(path, "y", QIODevice::Append));
    runFor(200ms);
    EXPECT_TRUE(observed.calls.empty());
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(TestSupport::waitFor([&] { return !observed.calls.empty(); }));
    runFor(100ms);
    EXPECT_EQ(observed.calls, std::vector<E>{E::delete_});
}

TEST_F(NVFileObserverTest, ADirectoryReportsChangesOfItsEntriesAsWrites)
{
    Observed observed(directory.path());
    ASSERT_TRUE(writeFile(directory.filePath("new"), "x"));
    const E events = observed.settle();
    EXPECT_TRUE(events.contains(E::write));
    EXPECT_FALSE(events.intersects(E::extend | E::create | E::delete_));
}

TEST_F(NVFileObserverTest, CancellingStopsReportsAndReleasesTheObserver)
{
    std::vector<E> calls;
    std::weak_ptr<NVFileObserver> weak;
    {
        auto observer = NVFileObserver::create(QUrl::fromLocalFile(path), allEvents, [&](E events) { calls.push_back(events); });
        ASSERT_TRUE(observer->start().ok());
        weak = observer;
    }
    // Started, it keeps itself alive without an owner.
    ASSERT_FALSE(weak.expired());
    ASSERT_TRUE(writeFile(path, "y", QIODevice::Append));
    ASSERT_TRUE(TestSupport::waitFor([&] { return !calls.empty(); }));

    weak.lock()->cancel();
    EXPECT_TRUE(weak.expired());
    calls.clear();
    ASSERT_TRUE(writeFile(path, "z", QIODevice::Append));
    ASSERT_TRUE(QFile::remove(path));
    runFor(200ms);
    EXPECT_TRUE(calls.empty());
}

TEST_F(NVFileObserverTest, TheHandlerMayCancelItsObserver)
{
    int calls = 0;
    std::shared_ptr<NVFileObserver> observer;
    observer = NVFileObserver::create(QUrl::fromLocalFile(path), allEvents, [&](E) {
        ++calls;
        observer->cancel();
        observer.reset(); // the last reference goes while the handler runs
    });
    std::weak_ptr<NVFileObserver> weak = observer;
    ASSERT_TRUE(observer->start().ok());
    ASSERT_TRUE(writeFile(path, "y", QIODevice::Append));
    ASSERT_TRUE(TestSupport::waitFor([&] { return calls > 0; }));
    ASSERT_TRUE(writeFile(path, "z", QIODevice::Append));
    runFor(200ms);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(weak.expired());
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
