#include "logging/NVFileObserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using E = NVFileSystemEvents;

TEST(NVFileSystemEvents, TheObserversOwnBitsSitAboveThePlatformBits)
{
    EXPECT_EQ(E::create.rawValue, 0x200u);
    EXPECT_EQ(E::intermediateRename.rawValue, 0x400u);
    EXPECT_EQ(E::funlock.rawValue, 0x100u);
}

TEST(NVFileSystemEvents, DescriptionsNameSingleEventsAndListSets)
{
    const std::pair<E, const char *> cases[] = {
        {E::write, "write"},
        {E::delete_ | E::write, "[delete, write]"},
        {E::write | E::create, "[write, create]"},
        {E::intermediateRename, "intermediateRename"},
        {E(0x80), "<unknown rawValue: 128>"},
        {E::write | E(0x80), "[write, <unknown rawValue: 128>]"},
        {E(), "[]"},
        {E::funlock, "funlock"},
        {E::delete_, "delete"},
        {E::rename | E::revoke | E::funlock | E::intermediateRename, "[rename, revoke, funlock, intermediateRename]"},
        {E(0x80000000u), "<unknown rawValue: 2147483648>"},
    };
    for (const auto &[events, expected] : cases)
        EXPECT_EQ(events.description(), QString::fromLatin1(expected)) << expected;
}

// Runs the event loop until the condition holds or the time is up.
bool runUntil(const std::function<bool()> &condition, int milliseconds = 5000)
{
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

// Runs the event loop for a while, for events that should not come.
void runFor(int milliseconds)
{
    runUntil([] { return false; }, milliseconds);
}

struct Recorder {
    std::vector<E> calls;
    E all() const
    {
        E result;
        for (E e : calls)
            result |= e;
        return result;
    }
    NVFileObserver::Handler handler()
    {
        return [this](E events) { calls.push_back(events); };
    }
};

bool writeFile(const QString &path, const QByteArray &contents, QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile file(path);
    return file.open(mode) && file.write(contents) == contents.size();
}

const E allEvents = E::delete_ | E::write | E::extend | E::attrib | E::link | E::rename | E::revoke | E::create
    | E::intermediateRename;

struct ActionCase {
    const char *what;
    std::function<bool(const QString &path)> action;
    E expected;
};

TEST(NVFileObserver, ReportsWhatHappensToAFile)
{
    const ActionCase cases[] = {
        {"append", [](const QString &p) { return writeFile(p, "more", QIODevice::Append); }, E::write | E::extend},
        {"overwrite in place",
         [](const QString &p) { return writeFile(p, "HELLO", QIODevice::ReadWrite); }, E::write},
        {"chmod", [](const QString &p) { return ::chmod(QFile::encodeName(p), 0600) == 0; }, E::attrib},
        {"hard link", [](const QString &p) { return ::link(QFile::encodeName(p), QFile::encodeName(p + ".2")) == 0; }, E::link},
        {"delete", [](const QString &p) { return QFile::remove(p); }, E::delete_},
        {"rename away", [](const QString &p) { return QFile::rename(p, p + ".old"); }, E::rename},
    };
    for (const ActionCase &c : cases) {
        QTemporaryDir directory;
        const QString path = directory.filePath("observed.log");
        ASSERT_TRUE(writeFile(path, "hello"));
        Recorder recorder;
        auto observer = NVFileObserver::create(QUrl::fromLocalFile(path), allEvents, recorder.handler());
        ASSERT_EQ(observer->start(), std::nullopt) << c.what;
        EXPECT_FALSE(observer->isObservingAnIntermediateDirectory());

        ASSERT_TRUE(c.action(path)) << c.what;
        EXPECT_TRUE(runUntil([&] { return !recorder.calls.empty(); })) << c.what;
        runFor(100);
        EXPECT_EQ(recorder.all(), c.expected) << c.what << ": " << qPrintable(recorder.all().description());
        observer->cancel();
    }
}

TEST(NVFileObserver, AMissingFileIsAwaitedInTheNearestExistingDirectory)
{
    QTemporaryDir directory;
    const QString root = directory.path();
    const QString path = root + "/a/b/observed.log";
    Recorder recorder;
    auto observer = NVFileObserver::create(QUrl::fromLocalFile(path), allEvents, recorder.handler());
    ASSERT_EQ(observer->start(), std::nullopt);

    // The chain: the file's observer, then one intermediate observer for each
    // existing directory, nearest first.
    auto nearest = observer->childObserver();
    ASSERT_TRUE(nearest);
    EXPECT_TRUE(nearest->isObservingAnIntermediateDirectory());
    EXPECT_EQ(nearest->fileURL(), QUrl::fromLocalFile(root));
    EXPECT_EQ(nearest->parentObserver(), observer);
    ASSERT_TRUE(nearest->childObserver());
    EXPECT_EQ(nearest->childObserver()->fileURL(), QUrl::fromLocalFile(QFileInfo(root).path()));

    // Directories on the way appear: nothing to report yet.
    ASSERT_TRUE(QDir(root).mkpath("a/b"));
    ASSERT_TRUE(writeFile(root + "/a/unrelated", "x"));
    runFor(200);
    EXPECT_TRUE(recorder.calls.empty()) << qPrintable(recorder.all().description());
    EXPECT_EQ(observer->childObserver()->fileURL(), QUrl::fromLocalFile(root + "/a/b"));

    ASSERT_TRUE(writeFile(path, "first line\n"));
    ASSERT_TRUE(runUntil([&] { return !recorder.calls.empty(); }));
    runFor(100);
    EXPECT_TRUE(recorder.all().contains(E::create)) << qPrintable(recorder.all().description());
    EXPECT_FALSE(recorder.all().intersects(E::delete_ | E::rename | E::intermediateRename));

    // From now on the file itself is watched.
    recorder.calls.clear();
    ASSERT_TRUE(writeFile(path, "second line\n", QIODevice::Append));
    ASSERT_TRUE(runUntil([&] { return !recorder.calls.empty(); }));
    runFor(100);
    EXPECT_EQ(recorder.all(), E::write | E::extend);
    observer->cancel();
}

TEST(NVFileObserver, RenamingADirectoryOnTheWayIsReported)
{
    QTemporaryDir directory;
    const QString root = directory.path();
    ASSERT_TRUE(QDir(root).mkpath("a"));
    const QString path = root + "/a/observed.log";
    ASSERT_TRUE(writeFile(path, "hello"));
    Recorder recorder;
    auto observer = NVFileObserver::create(QUrl::fromLocalFile(path), allEvents, recorder.handler());
    ASSERT_EQ(observer->start(), std::nullopt);

    ASSERT_TRUE(QDir(root).rename("a", "moved"));
    ASSERT_TRUE(runUntil([&] { return !recorder.calls.empty(); }));
    runFor(100);
    EXPECT_EQ(recorder.all(), E::intermediateRename);

    // The file moved with its directory; the path no longer leads to it.
    recorder.calls.clear();
    ASSERT_TRUE(writeFile(root + "/moved/observed.log", "more", QIODevice::Append));
    runFor(200);
    EXPECT_TRUE(recorder.calls.empty()) << qPrintable(recorder.all().description());

    // Renamed back, the path leads to a file again.
    ASSERT_TRUE(QDir(root).rename("moved", "a"));
    ASSERT_TRUE(runUntil([&] { return !recorder.calls.empty(); }));
    runFor(100);
    EXPECT_EQ(recorder.all(), E::create);
    observer->cancel();
}

TEST(NVFileObserver, RenamingTheDirectoryAwaitedIsReported)
{
    QTemporaryDir directory;
    const QString root = directory.path();
    ASSERT_TRUE(QDir(root).mkpath("a"));
    Recorder recorder;
    auto observer = NVFileObserver::create(QUrl::fromLocalFile(root + "/a/b/observed.log"), allEvents, recorder.handler());
    ASSERT_EQ(observer->start(), std::nullopt);
    ASSERT_TRUE(QDir(root).rename("a", "c"));
    ASSERT_TRUE(runUntil([&] { return !recorder.calls.empty(); }));
    runFor(100);
    EXPECT_EQ(recorder.all(), E::intermediateRename);
    EXPECT_EQ(observer->childObserver()->fileURL(), QUrl::fromLocalFile(root));
    observer->cancel();
}

TEST(NVFileObserver, AFileDeletedAndWrittenAgainOrReplacedIsCreatedAgain)
{
    QTemporaryDir directory;
    const QString path = directory.filePath("settings.plist");
    ASSERT_TRUE(writeFile(path, "one"));
    Recorder recorder;
    auto observer = NVFileObserver::create(QUrl::fromLocalFile(path), allEvents, recorder.handler());
    ASSERT_EQ(observer->start(), std::nullopt);

    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(runUntil([&] { return recorder.all().contains(E::delete_); }));
    ASSERT_TRUE(writeFile(path, "two"));
    ASSERT_TRUE(runUntil([&] { return recorder.all().contains(E::create); }));

    // An atomic save: a new file is renamed over the observed one.
    recorder.calls.clear();
    ASSERT_TRUE(writeFile(path + ".tmp", "three"));
    ASSERT_EQ(::rename(QFile::encodeName(path + ".tmp"), QFile::encodeName(path)), 0);
    ASSERT_TRUE(runUntil([&] { return recorder.all().contains(E::create); }));
    runFor(100);
    EXPECT_FALSE(recorder.all().intersects(E::rename | E::intermediateRename)) << qPrintable(recorder.all().description());

    // And the new file is the one watched now.
    recorder.calls.clear();
    ASSERT_EQ(::chmod(QFile::encodeName(path), 0640), 0);
    ASSERT_TRUE(runUntil([&] { return !recorder.calls.empty(); }));
    EXPECT_EQ(recorder.all(), E::attrib);
    observer->cancel();
}

TEST(NVFileObserver, OnlyTheEventsAskedForAreReported)
{
    QTemporaryDir directory;
    const QString path = directory.filePath("observed");
    ASSERT_TRUE(writeFile(path, "x"));
    Recorder recorder;
    auto observer = NVFileObserver::create(QUrl::fromLocalFile(path), E::delete_, recorder.handler());
    ASSERT_EQ(observer->start(), std::nullopt);
    ASSERT_EQ(::chmod(QFile::encodeName(path), 0600), 0);
    ASSERT_TRUE(writeFile(path, "y", QIODevice::Append));
    runFor(200);
    EXPECT_TRUE(recorder.calls.empty());
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(runUntil([&] { return !recorder.calls.empty(); }));
    runFor(100);
    EXPECT_EQ(recorder.calls, std::vector<E>{E::delete_});
    observer->cancel();
}

TEST(NVFileObserver, ADirectoryReportsChangesOfItsEntriesAsWrites)
{
    QTemporaryDir directory;
    Recorder recorder;
    auto observer = NVFileObserver::create(QUrl::fromLocalFile(directory.path()), allEvents, recorder.handler());
    ASSERT_EQ(observer->start(), std::nullopt);
    ASSERT_TRUE(writeFile(directory.filePath("new"), "x"));
    ASSERT_TRUE(runUntil([&] { return !recorder.calls.empty(); }));
    EXPECT_TRUE(recorder.all().contains(E::write));
    EXPECT_FALSE(recorder.all().intersects(E::extend | E::create | E::delete_));
    observer->cancel();
}

TEST(NVFileObserver, CancellingStopsReportsAndReleasesTheObserver)
{
    QTemporaryDir directory;
    const QString path = directory.filePath("observed");
    ASSERT_TRUE(writeFile(path, "x"));
    Recorder recorder;
    std::weak_ptr<NVFileObserver> weak;
    {
        auto observer = NVFileObserver::create(QUrl::fromLocalFile(path), allEvents, recorder.handler());
        ASSERT_EQ(observer->start(), std::nullopt);
        weak = observer;
    }
    // Started, it keeps itself alive without an owner.
    ASSERT_FALSE(weak.expired());
    ASSERT_TRUE(writeFile(path, "y", QIODevice::Append));
    ASSERT_TRUE(runUntil([&] { return !recorder.calls.empty(); }));

    weak.lock()->cancel();
    EXPECT_TRUE(weak.expired());
    recorder.calls.clear();
    ASSERT_TRUE(writeFile(path, "z", QIODevice::Append));
    ASSERT_TRUE(QFile::remove(path));
    runFor(200);
    EXPECT_TRUE(recorder.calls.empty());
}

TEST(NVFileObserver, TheHandlerMayCancelItsObserver)
{
    QTemporaryDir directory;
    const QString path = directory.filePath("observed");
    ASSERT_TRUE(writeFile(path, "x"));
    int calls = 0;
    std::shared_ptr<NVFileObserver> observer;
    observer = NVFileObserver::create(QUrl::fromLocalFile(path), allEvents, [&](E) {
        ++calls;
        observer->cancel();
        observer.reset(); // the last reference goes while the handler runs
    });
    std::weak_ptr<NVFileObserver> weak = observer;
    ASSERT_EQ(observer->start(), std::nullopt);
    ASSERT_TRUE(writeFile(path, "y", QIODevice::Append));
    ASSERT_TRUE(runUntil([&] { return calls > 0; }));
    ASSERT_TRUE(writeFile(path, "z", QIODevice::Append));
    runFor(200);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(weak.expired());
}

TEST(NVFileObserver, StartRefusesWhatItCannotObserve)
{
    QTemporaryDir directory;
    struct Case {
        const char *what;
        QUrl url;
        QString domain;
        qint64 code;
    };
    const Case cases[] = {
        {"remote URL", QUrl("https://example.org/file"), NSCocoaErrorDomain, 262},
        {"relative path", QUrl::fromLocalFile("relative/file"), NSCocoaErrorDomain, 258},
    };
    for (const Case &c : cases) {
        auto observer = NVFileObserver::create(c.url, allEvents, [](E) {});
        const NVStatus status = observer->start();
        ASSERT_TRUE(status.has_value()) << c.what;
        EXPECT_EQ(status->domain(), c.domain) << c.what;
        EXPECT_EQ(status->code(), c.code) << c.what;
    }

    auto observer = NVFileObserver::create(QUrl::fromLocalFile(directory.path()), allEvents, [](E) {});
    ASSERT_EQ(observer->start(), std::nullopt);
    EXPECT_EQ(observer->start(), NVError::posix(EALREADY));
    observer->cancel();
    EXPECT_TRUE(observer->isCanceled());
    EXPECT_EQ(observer->start(), NVError::posix(ECANCELED));
}

} // namespace
