// A whole update run, from the start to the installation offer, for a
// 100 MiB signed .tar.gz over loopback HTTPS, beside what a person would do
// by hand with the same files in the same run:
//   curl (the feed and the archive), nvsu-release verify, tar -xzf.
// Target: the run takes at most 1.2x the time of the three commands.
//
//   bench_update_run [--runs N] [--mebibytes N] [--dir PATH]
//   bench_update_run --run FEED-URL --dir WORK --result FILE   (the run, as a child)
//
// The archive is made and signed with the build's nvsu-release from a
// product whose payload is random (so the archive is as large as its
// contents), the keys come from "nvsu-release keys", and the files are
// served by nvsu-test-server, a process of its own. The run uses the real
// NVSUDriver with its URL session, signature check and unarchiver; the
// window only records, and clicks "update" as soon as the update is
// presented. The run happens in a child process so that its peak memory is
// its own (wait4 reports it); the child times itself from the start of the
// run to the offer, leaving out its own start-up and its clean-up. The
// commands are timed from outside, start-up included, and their peak is
// the largest of the three. Both sides take turns to go first; the fastest
// of each is compared. Never fails the build.

#include "BenchReport.h"
#include "DriverBench.h"

#include "driver/NVSUDriver.h"
#include "logging/NVLog.h"
#include "platform/NVUserDefaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

const QString ArchiveName = QStringLiteral("Velkin-2.0.tar.gz");

// ---- The run's side ---------------------------------------------------------

class Host final : public NVSUDriverHost, public NVSUDriverDelegate {
public:
    void driverDidTerminate(NVSUDriver *, int termination) override
    {
        problem = QStringLiteral("the run ended with code %1").arg(termination);
        QCoreApplication::quit();
    }
    QString problem;
};

int runUpdate(const QUrl &feedURL, const QString &work, const QString &resultPath)
{
    // The child's own product, settings and private folder (XDG_CACHE_HOME
    // is set by the parent).
    const QString keys = work + QStringLiteral("/keys");
    if (DriverBench::installProduct(work + QStringLiteral("/run/Applications"), QStringLiteral("1000")).isEmpty())
        return 1;
    NVUserDefaults defaults(QStringLiteral("bench.velkin.SoftwareUpdate"), work + QStringLiteral("/run/config"));
    NVSUDriverConfiguration configuration;
    configuration.feedURL = feedURL;
    configuration.sessionConfiguration.serverTrustAnchorsPath = keys + QStringLiteral("/ServerTrustAnchors.pem");
    configuration.sessionConfiguration.environment = QProcessEnvironment();
    configuration.userDefaults = &defaults;
    configuration.codeSigningAnchorsPath = keys + QStringLiteral("/CodeSigningAnchors.pem");
    configuration.verifierPath = DriverBench::bundleTool("nvsu-release");

    QElapsedTimer timer;
    double offeredAfter = -1;
    Host host;
    DriverBench::ScriptedWindow::Script script;
    // The person clicks "update" at once, after the presentation has returned.
    script.presented = [](NVSUWindowControllerOwner *owner) {
        QTimer::singleShot(0, QCoreApplication::instance(), [owner] { owner->dialogFinishedWithChoice(NVSUUserChoiceUpdate); });
    };
    // The times at which the download, the signature check and the
    // unpacking began, and the offer came.
    QList<double> marks;
    script.progressDescribed = [&] { marks << double(timer.nsecsElapsed()) / 1e9; };
    script.installationOffered = [&] {
        offeredAfter = double(timer.nsecsElapsed()) / 1e9;
        QCoreApplication::quit();
    };
    script.alert = [&host](const QString &name) {
        host.problem = QStringLiteral("the window showed the alert \"%1\"").arg(name);
        QCoreApplication::quit();
    };
    NVSUWindowControllers::setFactory([&script](const NVSUUpdate &, NVSUWindowControllerOwner *owner) {
        return std::make_unique<DriverBench::ScriptedWindow>(owner, script);
    });
    NVSetConsoleSink([](const QString &) {});

    int status = 1;
    {
        NVSUDriver driver(&host, configuration);
        driver.setDelegate(&host);
        QTimer deadline;
        QObject::connect(&deadline, &QTimer::timeout, [&host] {
            host.problem = QStringLiteral("no offer within ten minutes");
            QCoreApplication::quit();
        });
        deadline.start(600000);
        timer.start();
        driver.checkForUpdateInteractively(true, nullptr);
        QCoreApplication::exec();
        if (offeredAfter >= 0) {
            QByteArray result = QByteArray::number(offeredAfter, 'f', 6);
            for (const double mark : marks)
                result += ' ' + QByteArray::number(mark, 'f', 6);
            status = DriverBench::writeFile(resultPath, result) ? 0 : 1;
        } else {
            std::fprintf(stderr, "bench_update_run: %s\n", qPrintable(host.problem));
        }
        driver.setDelegate(nullptr);
    }
    NVSetConsoleSink({});
    NVSUWindowControllers::setFactory({});
    return status;
}

// ---- The comparison -----------------------------------------------------------

struct Measurement {
    double seconds = 0;
    double cpuSeconds = 0;  // user and system time of the process and its children
    long peakKiB = 0;
    bool ok = false;
};

Measurement runMeasured(const QStringList &arguments)
{
    std::vector<QByteArray> storage;
    for (const QString &argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    Measurement measurement;
    QElapsedTimer timer;
    timer.start();
    // What the tools print on success is not for this report; their
    // complaints (standard error) still show.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return measurement;
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child)
        return measurement;
    measurement.seconds = double(timer.nsecsElapsed()) / 1e9;
    measurement.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    measurement.peakKiB = usage.ru_maxrss;
    measurement.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!measurement.ok)
        std::fprintf(stderr, "bench_update_run: %s failed\n", argv[0]);
    return measurement;
}

// Packages and signs build 2000 of the product as www/<ArchiveName>.
bool publish(const QDir &directory, qint64 mebibytes)
{
    const QString product = directory.filePath("release/Velkin.app");
    if (!DriverBench::writeInfoPlist(product, {{"CFBundleIdentifier", "bench.velkin"}, {"CFBundleExecutable", "velkin"},
                                               {"CFBundleVersion", "2000"}, {"CFBundleShortVersionString", "2.0"}})
        || !DriverBench::writeFile(product + "/Contents/MacOS/velkin", "#!/bin/sh\nexit 0\n")
        || !BenchFiles::writeRandomFile(product + "/Contents/Resources/payload.bin", mebibytes))
        return false;
    const QString archive = directory.filePath("www/" + ArchiveName);
    QDir().mkpath(directory.filePath("www"));
    const QString keys = directory.filePath("keys");
    const QString tool = DriverBench::bundleTool("nvsu-release");
    return runMeasured({tool, "package", product, "--format", "tar.gz", "--output", archive}).ok
           && runMeasured({tool, "sign", archive, "--certificate", keys + "/code-signing-certificate.pem", "--key",
                           keys + "/code-signing-key.pem", "--chain", keys + "/code-signing-intermediate.pem"})
                  .ok;
}

int compare(int runs, qint64 mebibytes, const QString &base)
{
    QTemporaryDir work(base + QStringLiteral("/bench-update-run-XXXXXX"));
    const QDir directory(work.path());
    if (!work.isValid() || !DriverBench::makeKeys(directory.filePath("keys")) || !publish(directory, mebibytes)) {
        std::fprintf(stderr, "bench_update_run: cannot prepare %s\n", qPrintable(work.path()));
        return 1;
    }
    QProcess server;
    const quint16 port = DriverBench::startServer(server, directory.filePath("www"), directory.filePath("keys"));
    if (port == 0) {
        std::fprintf(stderr, "bench_update_run: the test server did not start\n");
        return 1;
    }
    const QString origin = QStringLiteral("https://127.0.0.1:%1/").arg(port);
    const QVariantList feed{QVariantMap{{"BundleVersion", "2000"},
                                        {"BundleShortVersionString", "2.0"},
                                        {"InstallationObject", "Velkin.app"},
                                        {"InstallationMechanism", "ReplaceBundle"},
                                        {"DownloadURL", origin + ArchiveName},
                                        {"DownloadPageURL", "https://www.velkin.test/download"}}};
    const NVResult<QByteArray> feedBytes = NVPropertyList::write(feed, NVPropertyList::Format::XML);
    if (!feedBytes || !DriverBench::writeFile(directory.filePath("www/feed.plist"), *feedBytes)) {
        std::fprintf(stderr, "bench_update_run: cannot write the feed\n");
        return 1;
    }
    const qint64 archiveBytes = QFileInfo(directory.filePath("www/" + ArchiveName)).size();

    // The run's private folder and the commands' output share one file system.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(directory.filePath("cache")));
    const QString reference = directory.filePath("by-hand");
    const QString archive = reference + '/' + ArchiveName;
    const QStringList curl = {"curl", "-sS", "--fail", "--cacert", directory.filePath("keys/ServerTrustAnchors.pem"),
                              "-o", reference + "/feed.plist", origin + "feed.plist", "-o", archive, origin + ArchiveName};
    const QStringList verify = {DriverBench::bundleTool("nvsu-release"), "verify", archive, "--anchors",
                                directory.filePath("keys/CodeSigningAnchors.pem")};
    const QStringList untar = {"tar", "-xzf", archive, "-C", reference};
    const QStringList ours = {QCoreApplication::applicationFilePath(), "--run", origin + "feed.plist", "--dir", directory.path(),
                              "--result", directory.filePath("result")};

    Measurement best{std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(), 0, true};
    Measurement byHand = best;
    // Of the fastest run: until the download starts (the feed and the
    // presentation), the download, the signature check, the unpacking; and
    // of the fastest commands: curl, verify, tar.
    double ourSteps[4] = {}, referenceSteps[3] = {};
    for (int run = 0; run < runs && best.ok && byHand.ok; ++run) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((run + turn) % 2 == 0) {
                QFile::remove(directory.filePath("result"));
                Measurement m = runMeasured(ours);
                QFile result(directory.filePath("result"));
                m.ok = m.ok && result.open(QIODevice::ReadOnly);
                const QList<QByteArray> times = m.ok ? result.readAll().split(' ') : QList<QByteArray>();
                m.ok = m.ok && times.size() == 5;
                if (m.ok) {
                    m.seconds = times[0].toDouble();
                    if (m.seconds < best.seconds)
                        for (int i = 0; i < 4; ++i)
                            ourSteps[i] = times[i + 1].toDouble() - (i == 0 ? 0 : times[i].toDouble());
                }
                best.ok = best.ok && m.ok;
                best.seconds = std::min(best.seconds, m.seconds);
                best.cpuSeconds = std::min(best.cpuSeconds, m.cpuSeconds);
                best.peakKiB = std::max(best.peakKiB, m.peakKiB);
                QDir(directory.filePath("run")).removeRecursively();
                continue;
            }
            QDir(reference).removeRecursively();
            QDir().mkpath(reference);
            Measurement sum{0, 0, 0, true};
            double steps[3] = {};
            int step = 0;
            for (const QStringList *command : {&curl, &verify, &untar}) {
                const Measurement m = runMeasured(*command);
                steps[step++] = m.seconds;
                sum.ok = sum.ok && m.ok;
                sum.seconds += m.seconds;
                sum.cpuSeconds += m.cpuSeconds;
                sum.peakKiB = std::max(sum.peakKiB, m.peakKiB);
            }
            if (sum.seconds < byHand.seconds)
                std::copy(std::begin(steps), std::end(steps), referenceSteps);
            byHand.ok = byHand.ok && sum.ok && QFile::exists(reference + "/Velkin.app/Contents/Resources/payload.bin");
            byHand.seconds = std::min(byHand.seconds, sum.seconds);
            byHand.cpuSeconds = std::min(byHand.cpuSeconds, sum.cpuSeconds);
            byHand.peakKiB = std::max(byHand.peakKiB, sum.peakKiB);
            QDir(reference).removeRecursively();
        }
    }
    server.terminate();
    server.waitForFinished(10000);
    if (!best.ok || !byHand.ok) {
        std::printf("update run failed (run %s, by hand %s)\n", best.ok ? "ok" : "failed", byHand.ok ? "ok" : "failed");
        return 1;
    }
    const double ratio = best.seconds / byHand.seconds;
    std::printf("update run (%.1f MiB signed tar.gz, %d runs, fastest): ours %.2f s, reference %.2f s, ratio %.2fx (target <= 1.2x)%s, "
                "CPU %.2f s vs %.2f s, peak RSS %ld KiB vs %ld KiB\n",
                double(archiveBytes) / 1048576.0, runs, best.seconds, byHand.seconds, ratio, ratio > 1.2 ? " ABOVE TARGET" : "",
                best.cpuSeconds, byHand.cpuSeconds, best.peakKiB, byHand.peakKiB);
    std::printf("  ours: feed and presentation %.2f s, download %.2f s, signature %.2f s, unpacking %.2f s; "
                "by hand: curl %.2f s, verify %.2f s, tar %.2f s\n",
                ourSteps[0], ourSteps[1], ourSteps[2], ourSteps[3], referenceSteps[0], referenceSteps[1], referenceSteps[2]);
    BenchReport::row("whole update run (fastest)", BenchReport::figure(best.seconds, "s"),
                     BenchReport::figure(byHand.seconds, "s") + " curl+verify+tar", ratio, BenchReport::atMost(1.2), ratio <= 1.2);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const auto value = [&arguments](const char *option) {
        const qsizetype at = arguments.indexOf(QLatin1String(option));
        return at > 0 ? arguments.value(at + 1) : QString();
    };
    if (!value("--run").isEmpty())
        return runUpdate(QUrl(value("--run")), value("--dir"), value("--result"));
    const int runs = value("--runs").isEmpty() ? 3 : std::max(1, value("--runs").toInt());
    const qint64 mebibytes = value("--mebibytes").isEmpty() ? 100 : std::max(1, value("--mebibytes").toInt());
    return compare(runs, mebibytes, value("--dir").isEmpty() ? QDir::tempPath() : value("--dir"));
}
