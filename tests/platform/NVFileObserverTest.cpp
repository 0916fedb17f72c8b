#include "platform/NVFileObserver.h"

#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include <sys/stat.h>

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
    explicit Observed(const QString &path)
        : observer(NVFileObserver::create(QUrl::fromLocalFile(path), allEvents, [this](E events) { calls.push_back(events); }))
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

// A file that does not exist yet, in folders that do not exist yet, is
// awaited by the settings' observer: see the user defaults tests.

// Cancelled, an observer reports nothing more and is released.
TEST(NVFileObserver, CancellingStopsReportsAndReleasesTheObserver)
{
    QTemporaryDir directory;
    const QString path = directory.filePath("observed");
    ASSERT_TRUE(writeFile(path, "x"));
    int calls = 0;
    std::weak_ptr<NVFileObserver> weak;
    {
        auto observer = NVFileObserver::create(QUrl::fromLocalFile(path), allEvents, [&](E) { ++calls; });
        ASSERT_TRUE(observer->start().ok());
        weak = observer;
    }
    ASSERT_FALSE(weak.expired()) << "a started observer keeps itself alive";
    ASSERT_TRUE(append(path));
    ASSERT_TRUE(TestSupport::waitFor([&] { return calls > 0; }));
    weak.lock()->cancel();
    EXPECT_TRUE(weak.expired());

    // A second observer sees the next changes; the cancelled one does not.
    calls = 0;
    Observed sentinel(path);
    ASSERT_TRUE(append(path) && QFile::remove(path));
    sentinel.until(E::delete_);
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 0);
}

TEST(NVFileObserver, StartRefusesWhatItCannotObserve)
{
    const auto refusal = [](const QUrl &url) {
        const NVResult<void> status = NVFileObserver::create(url, allEvents, [](E) {})->start();
        return status.ok() ? 0 : status.error().code();
    };
    EXPECT_EQ(refusal(QUrl("https://example.org/file")), 262); // remote
    EXPECT_EQ(refusal(QUrl::fromLocalFile("relative/file")), 258);
    QTemporaryDir directory;
    auto observer = NVFileObserver::create(QUrl::fromLocalFile(directory.path()), allEvents, [](E) {});
    ASSERT_TRUE(observer->start().ok());
    EXPECT_EQ(observer->start().error(), NVError::posix(EALREADY));
    observer->cancel();
    EXPECT_EQ(observer->start().error(), NVError::posix(ECANCELED));
}

} // namespace
