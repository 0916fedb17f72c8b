// What the update driver adds to reading a feed: the time from the feed
// task's completion to the presented update, for a feed of 10,000 entries,
// beside reading and selecting the same bytes alone (NVSUFeed::readEntries
// and NVSUUpdateSelection, what the driver calls). Target: at most 1.2x.
//
//   bench_driver_feed [entries] [--runs N]
//
// The feed reaches the real NVSUDriver through its real URL session from the
// loopback test server (nvsu-test-server, a process of its own). A subclass
// of the driver notes the time when the session reports the feed task's
// completion and again when that report returns: the driver then waits with
// the update presented in a window that only records (no widgets), so the
// span is exactly the completion step, without the transfer. The whole run
// from the start to the presentation is printed beside it for orientation.
//
// Runs alternate with the reference in the same process, and the fastest of
// each is compared: on a loaded machine the fastest is the least disturbed.
// Each side starts with the allocator's free memory handed back to the
// system, as in a fresh updater process: otherwise a reference that follows
// another finds the pages of the tree just freed still mapped and skips
// some 30 MB of page faults that the driver, following the transfer, pays.
// The ratio of thread CPU times is printed too; it is the steadier figure
// when other processes compete for the cores. Never fails the build.

#include "BenchReport.h"
#include "DriverBench.h"
#include "FeedGenerator.h"

#include "driver/NVSUDriver.h"
#include "logging/NVLog.h"
#include "model/NVSUFeed.h"
#include "model/NVSUUpdateSelection.h"
#include "platform/NVUserDefaults.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

// The real driver, timed around the session's completion report.
class TimedDriver final : public NVSUDriver {
public:
    using NVSUDriver::NVSUDriver;

    double completionSeconds = -1;     // wall time inside the completion report
    double completionCPUSeconds = -1;  // this thread's CPU time inside it
    long completionFaults = 0;         // pages the step touched for the first time
    std::function<void()> completed;

protected:
    void taskDidCompleteWithError(NVURLSession *session, const NVURLSessionTaskPtr &task, const std::optional<NVError> &error) override
    {
        DriverBench::returnFreeMemory();
        const long faults = DriverBench::minorFaults();
        QElapsedTimer timer;
        timer.start();
        const double cpu = DriverBench::threadCPUSeconds();
        NVSUDriver::taskDidCompleteWithError(session, task, error);
        if (completionSeconds < 0) {
            completionSeconds = double(timer.nsecsElapsed()) / 1e9;
            completionCPUSeconds = DriverBench::threadCPUSeconds() - cpu;
            completionFaults = DriverBench::minorFaults() - faults;
        }
        if (completed)
            completed();
    }
};

class Host final : public NVSUDriverHost, public NVSUDriverDelegate {
public:
    void driverDidTerminate(NVSUDriver *, int termination) override { terminations << termination; }
    QList<int> terminations;
};

struct Best {
    double wall = std::numeric_limits<double>::infinity();
    double cpu = std::numeric_limits<double>::infinity();
    void add(double w, double c)
    {
        wall = std::min(wall, w);
        cpu = std::min(cpu, c);
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const qsizetype runsAt = arguments.indexOf(QStringLiteral("--runs"));
    const int runs = runsAt > 0 ? std::max(1, arguments.value(runsAt + 1).toInt()) : 15;
    const int count = argc > 1 && runsAt != 1 ? std::max(1, arguments.value(1).toInt()) : 10000;

    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/bench-driver-feed-XXXXXX"));
    const QDir directory(work.path());
    qputenv("XDG_CACHE_HOME", QFile::encodeName(directory.filePath("cache")));
    // The installed build sits in the middle of the feed, as in
    // bench_feed_selection: half of the entries are older, half compete.
    if (!work.isValid() || DriverBench::installProduct(directory.filePath("Applications"), QString::number(1000 + count / 2)).isEmpty()
        || !DriverBench::makeKeys(directory.filePath("keys"))) {
        std::fprintf(stderr, "bench_driver_feed: cannot prepare %s\n", qPrintable(work.path()));
        return 1;
    }
    const NVResult<QByteArray> feed = NVPropertyList::write(FeedGenerator::generate(count), NVPropertyList::Format::XML);
    if (!feed || !DriverBench::writeFile(directory.filePath("www/feed.plist"), *feed)) {
        std::fprintf(stderr, "bench_driver_feed: cannot write the feed\n");
        return 1;
    }
    QProcess server;
    const quint16 port = DriverBench::startServer(server, directory.filePath("www"), directory.filePath("keys"));
    if (port == 0) {
        std::fprintf(stderr, "bench_driver_feed: the test server did not start\n");
        return 1;
    }

    NVUserDefaults defaults(QStringLiteral("bench.velkin.SoftwareUpdate"), directory.filePath("config"));
    NVSUDriverConfiguration configuration;
    configuration.feedURL = QUrl(QStringLiteral("https://127.0.0.1:%1/feed.plist").arg(port));
    configuration.sessionConfiguration.serverTrustAnchorsPath = directory.filePath("keys/ServerTrustAnchors.pem");
    configuration.sessionConfiguration.environment = QProcessEnvironment();
    configuration.userDefaults = &defaults;
    configuration.codeSigningAnchorsPath = directory.filePath("keys/CodeSigningAnchors.pem");
    NVSUWindowControllers::setFactory([](const NVSUUpdate &, NVSUWindowControllerOwner *owner) {
        return std::make_unique<DriverBench::ScriptedWindow>(owner, DriverBench::ScriptedWindow::Script{});
    });
    // Both sides log the same lines (the selection's); they are formatted
    // and dropped, since the terminal's speed is not what is measured.
    NVSetConsoleSink([](const QString &) {});

    // A person asked: the run is interactive, and the reference selects as
    // for an interactive run.
    const NVSUSelectionState state{true, true};
    Best driverBest, referenceBest, wholeRunBest;
    QString driverChoice, referenceChoice;
    long driverFaults = 0, referenceFaults = 0; // of the last run of each
    bool ok = true;
    for (int run = 0; run < runs && ok; ++run) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((run + turn) % 2 == 0) {
                DriverBench::returnFreeMemory();
                const long faults = DriverBench::minorFaults();
                QElapsedTimer timer;
                timer.start();
                const double cpu = DriverBench::threadCPUSeconds();
                // The entries are released inside the measurement, as they
                // are when the driver's step returns.
                const std::optional<NVSUUpdate> update = [&] {
                    const NVResult<QVariantList> entries = NVSUFeed::readEntries(*feed);
                    return entries ? NVSUUpdateSelection::selectUpdateFromArray(*entries, state, defaults) : std::nullopt;
                }();
                referenceBest.add(double(timer.nsecsElapsed()) / 1e9, DriverBench::threadCPUSeconds() - cpu);
                referenceFaults = DriverBench::minorFaults() - faults;
                referenceChoice = update ? update->version().versionNumber() : QStringLiteral("nothing");
                continue;
            }
            Host host;
            QEventLoop loop;
            TimedDriver driver(&host, configuration);
            driver.setDelegate(&host);
            driver.completed = [&loop] { loop.quit(); };
            QTimer deadline;
            deadline.setSingleShot(true);
            QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
            deadline.start(120000);
            QElapsedTimer whole;
            whole.start();
            driver.checkForUpdateInteractively(true, nullptr);
            loop.exec();
            const double wholeSeconds = double(whole.nsecsElapsed()) / 1e9;
            if (driver.continueAtLine() != NVSUDriverStepAwaitUserChoice || driver.completionSeconds < 0) {
                std::fprintf(stderr, "bench_driver_feed: the run did not present an update (step %d, %lld terminations)\n",
                             driver.continueAtLine(), static_cast<long long>(host.terminations.size()));
                ok = false;
                break;
            }
            driverBest.add(driver.completionSeconds, driver.completionCPUSeconds);
            driverFaults = driver.completionFaults;
            wholeRunBest.add(wholeSeconds, 0);
            driverChoice = driver.selectedUpdate()->version().versionNumber();
        }
        // Objects the run released later go before the next run.
        QCoreApplication::processEvents();
    }
    NVSetConsoleSink({});
    NVSUWindowControllers::setFactory({});
    server.terminate();
    server.waitForFinished(10000);
    if (!ok)
        return 1;
    if (driverChoice != referenceChoice) {
        std::fprintf(stderr, "bench_driver_feed: the driver chose %s, the reference %s\n", qPrintable(driverChoice), qPrintable(referenceChoice));
        return 1;
    }

    const double ratio = driverBest.wall / referenceBest.wall;
    std::printf("driver feed (%d entries, %lld bytes, %d runs, fastest): ours %.1f ms, reference %.1f ms, ratio %.2fx (target <= 1.2x)%s, "
                "peak RSS %ld KiB\n",
                count, static_cast<long long>(feed->size()), runs, driverBest.wall * 1e3, referenceBest.wall * 1e3, ratio,
                ratio > 1.2 ? " ABOVE TARGET" : "", DriverBench::peakKiB());
    std::printf("  thread CPU: ours %.1f ms, reference %.1f ms, ratio %.2fx; minor page faults %ld vs %ld; "
                "whole run from the start to the presentation %.1f ms\n",
                driverBest.cpu * 1e3, referenceBest.cpu * 1e3, driverBest.cpu / referenceBest.cpu, driverFaults, referenceFaults,
                wholeRunBest.wall * 1e3);
    BenchReport::row("feed fetch, parse and select in a run", BenchReport::figure(driverBest.wall * 1e3, "ms"),
                     BenchReport::figure(referenceBest.wall * 1e3, "ms") + " same steps by hand", ratio, BenchReport::atMost(1.2), ratio <= 1.2);
    return 0;
}
