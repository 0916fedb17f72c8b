// Downloads a file over loopback HTTPS through the updater's URL session and
// with curl, in the same run, from the same server (nvsu-test-server, a
// process of its own): reports the best time of each, the throughput ratio
// (session / curl), the CPU time and the peak resident memory of each
// client, for a 64 MiB and a 1 GiB file. The session must stream to disk:
// its peak memory should not grow with the file. When the server is the
// slower side, both clients wait for it and the CPU times tell more about
// the clients than the ratio does.
//
//   bench_download [--runs N] [--dir PATH]
//   bench_download --fetch URL --anchors PEM    (the session's side, run as a child)
//
// Each download runs in a child process so that its peak memory is its own
// (wait4 reports it); the two clients take turns to go first. Both write the
// body to a file on the same file system.

#include "BenchReport.h"
#include "network/NVSURequest.h"
#include "network/NVURLSession.h"
#include "BenchFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace {

// ---- The session's side -------------------------------------------------

class FetchDelegate : public NVURLSessionDelegate {
public:
    void downloadTaskDidFinishDownloadingToURL(NVURLSession *, const NVURLSessionDownloadTaskPtr &, const QUrl &location) override
    {
        size = QFileInfo(location.toLocalFile()).size();
    }
    void taskDidCompleteWithError(NVURLSession *, const NVURLSessionTaskPtr &, const std::optional<NVError> &failure) override
    {
        error = failure;
        QCoreApplication::quit();
    }
    qint64 size = -1;
    std::optional<NVError> error;
};

int fetch(const QUrl &url, const QString &anchors)
{
    FetchDelegate delegate;
    NVURLSessionConfiguration configuration;
    configuration.serverTrustAnchorsPath = anchors;
    configuration.environment = QProcessEnvironment();
    NVURLSession session(configuration, &delegate);
    session.downloadTaskWithRequest(NVSUExtensions::nvsuRequestWithURL(url))->resume();
    QCoreApplication::exec();
    if (delegate.error) {
        std::fprintf(stderr, "bench_download: %s\n", qPrintable(delegate.error->description()));
        return 1;
    }
    return delegate.size > 0 ? 0 : 1;
}

// ---- The driver of the comparison ---------------------------------------

struct Measurement {
    double seconds = 0;
    double cpuSeconds = 0;  // user and system time of the client
    long peakKiB = 0;
    bool ok = false;
};

Measurement runMeasured(const QStringList &arguments, const QByteArray &cacheHome)
{
    std::vector<QByteArray> storage;
    for (const QString &argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    qputenv("XDG_CACHE_HOME", cacheHome);

    Measurement measurement;
    QElapsedTimer timer;
    timer.start();
    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return measurement;
    int status = 0;
    struct rusage usage {};
    if (wait4(child, &status, 0, &usage) != child)
        return measurement;
    measurement.seconds = double(timer.nsecsElapsed()) / 1e9;
    measurement.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    measurement.peakKiB = usage.ru_maxrss;
    measurement.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return measurement;
}

int compare(int runs, const QString &base)
{
    QTemporaryDir work(base + QStringLiteral("/bench-download-XXXXXX"));
    const QDir directory(work.path());
    QDir().mkpath(directory.filePath("www"));
    if (!work.isValid() || !BenchFiles::makeCertificates(directory)) {
        std::fprintf(stderr, "bench_download: cannot prepare %s\n", qPrintable(work.path()));
        return 1;
    }
    const std::pair<const char *, qint64> sizes[] = {{"64 MiB", 64}, {"1 GiB", 1024}};
    for (const auto &[label, mebibytes] : sizes)
        if (!BenchFiles::writeRandomFile(directory.filePath(QStringLiteral("www/%1.bin").arg(mebibytes)), mebibytes)) {
            std::fprintf(stderr, "bench_download: cannot write the %s file\n", label);
            return 1;
        }

    QProcess server;
    server.start(QStringLiteral(NV_TEST_SERVER), {"--root", directory.filePath("www"), "--certificate", directory.filePath("server.pem"),
                                                  "--key", directory.filePath("server-key.pem")});
    if (!server.waitForReadyRead(30000)) {
        std::fprintf(stderr, "bench_download: the test server did not start\n");
        return 1;
    }
    const QByteArray port = server.readLine().trimmed().split(' ').value(1);
    const QString self = QCoreApplication::applicationFilePath();
    const QByteArray cacheHome = QFile::encodeName(directory.filePath("cache"));

    std::printf("%-7s %12s %10s %6s %12s %9s %13s %11s\n", "size", "session MB/s", "curl MB/s", "ratio", "session CPU s", "curl CPU s",
                "session peak", "curl peak");
    for (const auto &[label, mebibytes] : sizes) {
        const QString url = QStringLiteral("https://127.0.0.1:%1/%2.bin").arg(QString::fromLatin1(port)).arg(mebibytes);
        const QStringList sessionCommand = {self, "--fetch", url, "--anchors", directory.filePath("authority.pem")};
        const QStringList curlCommand = {"curl", "-sS", "--fail", "--cacert", directory.filePath("authority.pem"), "-o",
                                         directory.filePath("curl.out"), url};
        Measurement session{1e9, 1e9, 0, true}, curl{1e9, 1e9, 0, true};
        for (int run = 0; run < runs; ++run) {
            for (int turn = 0; turn < 2; ++turn) {
                const bool sessionTurn = (run + turn) % 2 == 0;
                const Measurement m = runMeasured(sessionTurn ? sessionCommand : curlCommand, cacheHome);
                Measurement &best = sessionTurn ? session : curl;
                best.ok = best.ok && m.ok;
                best.seconds = std::min(best.seconds, m.seconds);
                best.cpuSeconds = std::min(best.cpuSeconds, m.cpuSeconds);
                best.peakKiB = std::max(best.peakKiB, m.peakKiB);
                QFile::remove(directory.filePath("curl.out"));
            }
        }
        const double bytes = double(mebibytes) * 1024 * 1024;
        if (!session.ok || !curl.ok) {
            std::printf("%-7s failed (session %s, curl %s)\n", label, session.ok ? "ok" : "failed", curl.ok ? "ok" : "failed");
            continue;
        }
        std::printf("%-7s %12.0f %10.0f %6.2f %13.2f %10.2f %9ld KiB %7ld KiB\n", label, bytes / session.seconds / 1e6,
                    bytes / curl.seconds / 1e6, curl.seconds / session.seconds, session.cpuSeconds, curl.cpuSeconds, session.peakKiB,
                    curl.peakKiB);
        const double ratio = curl.seconds / session.seconds;
        BenchReport::row(std::string("download ") + label + " (throughput)", BenchReport::figure(bytes / session.seconds / 1e6, "MB/s"),
                         BenchReport::figure(bytes / curl.seconds / 1e6, "MB/s") + " curl", ratio, BenchReport::atLeast(0.9), ratio >= 0.9);
        BenchReport::row(std::string("download ") + label + " (peak memory)", BenchReport::figure(session.peakKiB / 1024.0, "MiB"),
                         BenchReport::figure(curl.peakKiB / 1024.0, "MiB") + " curl", 0, "", true);
    }
    server.terminate();
    server.waitForFinished(10000);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const qsizetype fetchAt = arguments.indexOf(QStringLiteral("--fetch"));
    const qsizetype anchorsAt = arguments.indexOf(QStringLiteral("--anchors"));
    if (fetchAt > 0 && anchorsAt > 0)
        return fetch(QUrl(arguments.value(fetchAt + 1)), arguments.value(anchorsAt + 1));
    const qsizetype runsAt = arguments.indexOf(QStringLiteral("--runs"));
    const qsizetype dirAt = arguments.indexOf(QStringLiteral("--dir"));
    const int runs = runsAt > 0 ? std::max(1, arguments.value(runsAt + 1).toInt()) : 2;
    return compare(runs, dirAt > 0 ? arguments.value(dirAt + 1) : QDir::tempPath());
}
