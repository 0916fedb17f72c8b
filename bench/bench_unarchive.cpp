// Unpacks a ~200 MiB .tar.gz through NVSUToolUnarchiver and compares with
// running "tar -xzf" by hand on the same archive in the same run; then, when
// the bundle has the disk-image tool, attaches a squashfs image of the same
// tree through NVSUDMGUnarchiver and compares with squashfuse by hand.
//
//   bench_unarchive [--size-mib N] [--runs N] [--dir PATH]
//
// The tree is half random bytes and half text drawn from a small vocabulary,
// so gzip has real work but cannot skip through it. Every run unpacks into a
// fresh folder, the two sides taking turns to go first; the best and the
// median of the runs are reported for each side, and the fixed cost of the
// unarchiver from many runs on a one-file archive.

#include "BenchReport.h"
#include "unarchive/NVSUDMGUnarchiver.h"
#include "unarchive/NVSUToolUnarchiver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <unistd.h>

namespace {

class WaitingDelegate : public NVSUUnarchiverDelegate {
public:
    void unarchiverFinishedWithError(NVSUUnarchiver *, const std::optional<NVError> &error) override
    {
        outcome = error;
        done = true;
        loop.quit();
    }
    bool done = false;
    std::optional<NVError> outcome;
    QEventLoop loop;
};

bool writeTree(const QString &root, qint64 sizeMiB)
{
    static const char *const words[] = {"update", "velkin", "bundle", "archive", "signature", "download", "install", "version",
                                        "release", "feed", "window", "progress", "mount", "image", "folder", "relaunch",
                                        "the", "a", "of", "to", "and", "is", "in", "for", "with", "on", "when", "after"};
    quint64 state = 0x9E3779B97F4A7C15ULL;
    const auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (qint64 i = 0; i < sizeMiB; ++i) {
        const QString folder = root + QStringLiteral("/Bench.app/Contents/Resources/part-%1").arg(i / 16);
        QDir().mkpath(folder);
        QFile file(folder + QStringLiteral("/file-%1.%2").arg(i).arg(i % 2 ? QStringLiteral("txt") : QStringLiteral("bin")));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        QByteArray block;
        block.reserve(1 << 20);
        if (i % 2 == 0) {
            while (block.size() < (1 << 20)) {
                const quint64 word = next();
                block.append(reinterpret_cast<const char *>(&word), sizeof word);
            }
        } else {
            while (block.size() < (1 << 20)) {
                const quint64 r = next();
                block.append(words[r % std::size(words)]);
                block.append(r % 11 == 0 ? '\n' : ' ');
                if (r % 97 == 0)
                    block.append(QByteArray::number(r % 100000));
            }
        }
        block.truncate(1 << 20);
        if (file.write(block) != block.size())
            return false;
    }
    return true;
}

// Runs a command to its end; the wall time in seconds, or -1 on failure.
double timeCommand(const QString &program, const QStringList &arguments, const QString &workingDirectory = QString())
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return -1;
    return timer.nsecsElapsed() / 1e9;
}

void removeTree(const QString &path) { QDir(path).removeRecursively(); }

struct Times {
    std::vector<double> ours, reference;
    double best(const std::vector<double> &v) const { return *std::min_element(v.begin(), v.end()); }
    double median(std::vector<double> v) const
    {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
};

// One unpacking through the unarchiver, into the folder that holds the
// package; the wall time from start() to the delegate's last word, or -1.
double unpackThroughUnarchiver(const QString &package)
{
    WaitingDelegate delegate;
    auto unarchiver = NVSUUnarchiver::unarchiverWithPackagePath(package, &delegate);
    QElapsedTimer timer;
    timer.start();
    unarchiver->start();
    if (!delegate.done)
        delegate.loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (delegate.outcome) {
        std::fprintf(stderr, "unarchiver failed: %s\n", qPrintable(delegate.outcome->description()));
        return -1;
    }
    return seconds;
}

// Both sides once, in the given order, each into a fresh folder.
bool measurePair(const QString &work, const QString &archive, const QString &tag, bool oursFirst, int settleMs, double &byHand, double &ours)
{
    const QString hand = work + QStringLiteral("/hand-") + tag;
    const QString folder = work + QStringLiteral("/tool-") + tag;
    QDir().mkpath(hand);
    QDir().mkpath(folder);
    // The unarchiver unpacks beside the package, so a hard link puts the
    // package there without copying.
    const QString package = folder + QStringLiteral("/Bench.tar.gz");
    if (::link(QFile::encodeName(archive).constData(), QFile::encodeName(package).constData()) != 0)
        QFile::copy(archive, package);
    for (int side = 0; side < 2; ++side) {
        // Whatever the file system still owes from the side before (written
        // and deleted trees) is paid here, outside the measurement.
        ::sync();
        QThread::msleep(settleMs);
        if ((side == 0) == oursFirst) {
            ours = unpackThroughUnarchiver(package);
            removeTree(folder + QStringLiteral("/Bench.app"));
        } else {
            byHand = timeCommand(QStringLiteral("/usr/bin/tar"), {QStringLiteral("-xzf"), archive}, hand);
            removeTree(hand);
        }
    }
    removeTree(folder);
    return byHand >= 0 && ours >= 0;
}

int benchToolUnarchiver(const QString &work, const QString &archive, const QString &smallArchive, int runs)
{
    Times times;
    for (int run = 0; run < runs; ++run) {
        double byHand = -1, ours = -1;
        if (!measurePair(work, archive, QString::number(run), run % 2, 1000, byHand, ours))
            return 1;
        times.reference.push_back(byHand);
        times.ours.push_back(ours);
        std::printf("  run %d: tar -xzf %.3f s, NVSUToolUnarchiver %.3f s\n", run + 1, byHand, ours);
    }
    std::printf("  best:   tar -xzf %.3f s, NVSUToolUnarchiver %.3f s, ratio %.3fx\n", times.best(times.reference), times.best(times.ours),
                times.best(times.ours) / times.best(times.reference));
    std::printf("  median: tar -xzf %.3f s, NVSUToolUnarchiver %.3f s, ratio %.3fx (target <= 1.05x)\n", times.median(times.reference),
                times.median(times.ours), times.median(times.ours) / times.median(times.reference));
    const double unpackRatio = times.median(times.ours) / times.median(times.reference);
    BenchReport::row("unpacking a .tar.gz (median)", BenchReport::figure(times.median(times.ours), "s"),
                     BenchReport::figure(times.median(times.reference), "s") + " tar -xzf", unpackRatio, BenchReport::atMost(1.05),
                     unpackRatio <= 1.05);

    // What the unarchiver adds of its own, free of the noise of a long
    // unpacking: a one-file archive, many times.
    Times small;
    for (int run = 0; run < 25; ++run) {
        double byHand = -1, ours = -1;
        if (!measurePair(work, smallArchive, QStringLiteral("small-%1").arg(run), run % 2, 0, byHand, ours))
            return 1;
        small.reference.push_back(byHand);
        small.ours.push_back(ours);
    }
    std::printf("  fixed cost (one-file archive, median of 25): tar -xzf %.1f ms, NVSUToolUnarchiver %.1f ms, +%.1f ms\n",
                small.median(small.reference) * 1e3, small.median(small.ours) * 1e3,
                (small.median(small.ours) - small.median(small.reference)) * 1e3);
    return 0;
}

int benchDiskImage(const QString &work, const QString &tree, int runs)
{
    const QString tool = QStringLiteral(NV_BENCH_BUNDLE_DIR "/Contents/MacOS/nvsu-diskimage");
    if (!QFileInfo(tool).isExecutable()) {
        std::printf("\nattach: the bundle has no disk-image tool yet; skipped\n");
        return 0;
    }
    NVSUDMGUnarchiver::setDiskImageToolPath(tool);
    const QString image = work + QStringLiteral("/Bench.dmg");
    if (timeCommand(QStringLiteral("/usr/bin/mksquashfs"), {tree + QStringLiteral("/Bench.app"), image, QStringLiteral("-keep-as-directory"),
                                                            QStringLiteral("-noappend"), QStringLiteral("-no-progress"), QStringLiteral("-quiet")})
        < 0) {
        std::fprintf(stderr, "mksquashfs failed\n");
        return 1;
    }
    std::printf("\nattach of a %.0f MiB squashfs image (%s)\n", QFileInfo(image).size() / double(1 << 20),
                ::geteuid() == 0 ? "as root" : "unprivileged");
    Times attach, detach;
    for (int run = 0; run < runs; ++run) {
        const QString mountPoint = work + QStringLiteral("/squashfuse-%1").arg(run);
        QDir().mkpath(mountPoint);
        const double byHand = timeCommand(QStringLiteral("/usr/bin/squashfuse"), {image, mountPoint});
        const double byHandDetach = timeCommand(QStringLiteral("/usr/bin/fusermount3"), {QStringLiteral("-u"), mountPoint});

        WaitingDelegate delegate;
        NVSUDMGUnarchiver unarchiver(image, &delegate);
        QElapsedTimer timer;
        timer.start();
        unarchiver.start();
        if (!delegate.done)
            delegate.loop.exec();
        const double ours = timer.nsecsElapsed() / 1e9;
        const bool mounted = unarchiver.unarchivedContentPath()
            && QFileInfo::exists(*unarchiver.unarchivedContentPath() + QStringLiteral("/Bench.app/Contents/Resources/part-0/file-0.bin"));
        timer.restart();
        unarchiver.invalidate();
        const double oursDetach = timer.nsecsElapsed() / 1e9;
        if (byHand < 0 || byHandDetach < 0 || delegate.outcome || !mounted) {
            std::fprintf(stderr, "attach failed: squashfuse %s, unarchiver %s\n", byHand < 0 ? "failed" : "ok",
                         delegate.outcome ? qPrintable(delegate.outcome->description()) : mounted ? "ok" : "no content");
            return 1;
        }
        attach.reference.push_back(byHand);
        attach.ours.push_back(ours);
        detach.reference.push_back(byHandDetach);
        detach.ours.push_back(oursDetach);
        std::printf("  run %d: squashfuse %.3f s + fusermount3 -u %.3f s; NVSUDMGUnarchiver attach %.3f s + detach %.3f s\n", run + 1,
                    byHand, byHandDetach, ours, oursDetach);
    }
    std::printf("  best attach: squashfuse %.3f s, NVSUDMGUnarchiver %.3f s, ratio %.2fx\n", attach.best(attach.reference),
                attach.best(attach.ours), attach.best(attach.ours) / attach.best(attach.reference));
    std::printf("  best detach: fusermount3 -u %.3f s, NVSUDMGUnarchiver %.3f s\n", detach.best(detach.reference), detach.best(detach.ours));
    BenchReport::row("attaching a disk image (best)", BenchReport::figure(attach.best(attach.ours) * 1e3, "ms"),
                     BenchReport::figure(attach.best(attach.reference) * 1e3, "ms") + " squashfuse",
                     attach.best(attach.ours) / attach.best(attach.reference), "", true);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qint64 sizeMiB = 200;
    int runs = 6;
    QString base = QDir::tempPath();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (qstrcmp(argv[i], "--size-mib") == 0)
            sizeMiB = QByteArray(argv[i + 1]).toLongLong();
        else if (qstrcmp(argv[i], "--runs") == 0)
            runs = std::max(1, QByteArray(argv[i + 1]).toInt());
        else if (qstrcmp(argv[i], "--dir") == 0)
            base = QString::fromLocal8Bit(argv[i + 1]);
    }

    QTemporaryDir work(base + QStringLiteral("/bench_unarchive-XXXXXX"));
    const QString tree = work.filePath(QStringLiteral("tree"));
    const QString archive = work.filePath(QStringLiteral("Bench.tar.gz"));
    if (!work.isValid() || !writeTree(tree, sizeMiB)
        || timeCommand(QStringLiteral("/usr/bin/tar"), {QStringLiteral("-czf"), archive, QStringLiteral("-C"), tree, QStringLiteral("Bench.app")}) < 0) {
        std::fprintf(stderr, "cannot make the test archive in %s\n", qPrintable(work.path()));
        return 1;
    }
    const QString smallArchive = work.filePath(QStringLiteral("Small.tar.gz"));
    if (timeCommand(QStringLiteral("/usr/bin/tar"), {QStringLiteral("-czf"), smallArchive, QStringLiteral("-C"), tree,
                                                     QStringLiteral("Bench.app/Contents/Resources/part-0/file-1.txt")})
        < 0) {
        std::fprintf(stderr, "cannot make the small archive\n");
        return 1;
    }
    std::printf("unpacking a %.0f MiB .tar.gz (%lld MiB unpacked), %d runs, fresh folder each time, order alternating\n",
                QFileInfo(archive).size() / double(1 << 20), static_cast<long long>(sizeMiB), runs);
    if (const int failed = benchToolUnarchiver(work.path(), archive, smallArchive, runs))
        return failed;
    return benchDiskImage(work.path(), tree, runs);
}
