// Replacing a large bundle costs the same as replacing a small one when the
// download and the installation share a file system: staging is a rename and
// the swap is two renames. This program replaces bundles of 50 MB and 500 MB
// and sets each phase beside /bin/mv of the same tree, measured in the same
// run on the same file system.
//
//   bench_bundle_replacement [SIZE_MB...]      (default: 50 500)

#include "BenchReport.h"
#include "foundation/NVPropertyList.h"
#include "install/NVSUBundleReplacement.h"
#include "install/NVShell.h"
#include "platform/NVApplicationServices.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

// Launching is not what is measured.
class NoWorkspace : public NVWorkspace {
public:
    bool openURL(const QString &) override { return true; }
    void openApplication(const QString &bundlePath, const QStringList &, LaunchCompletion completion) override
    {
        if (completion)
            completion(bundlePath, QString());
    }
};

class Stopwatch : public NVSUBundleReplacementDelegate {
public:
    QElapsedTimer clock;
    qint64 staged = 0;
    void willReplaceApplication(const QString &, const QString &) override { staged = clock.nsecsElapsed(); }
};

void writeBundle(const QString &path, const QString &version, int megabytes)
{
    QDir().mkpath(path + QStringLiteral("/Contents/MacOS"));
    QDir().mkpath(path + QStringLiteral("/Contents/Resources"));
    (void)NVPropertyList::writeFile(path + QStringLiteral("/Contents/Info.plist"),
                                    QVariantMap{{QStringLiteral("CFBundleVersion"), version}}, NVPropertyList::Format::XML);
    // One-megabyte files in folders of 50, like the resources of a real application.
    const QByteArray block(1024 * 1024, 'v');
    for (int i = 0; i < megabytes; ++i) {
        const QString folder = path + QStringLiteral("/Contents/Resources/part%1").arg(i / 50);
        QDir().mkpath(folder);
        QFile file(folder + QStringLiteral("/data%1.bin").arg(i));
        if (file.open(QIODevice::WriteOnly))
            file.write(block);
    }
}

double milliseconds(qint64 nanoseconds) { return double(nanoseconds) / 1e6; }

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Figures {
    double mv = 0, command = 0, staging = 0, swap = 0, total = 0;
};

Figures measure(const QString &root, int megabytes, int rounds)
{
    std::vector<double> mv, command, staging, swap, total;
    NoWorkspace workspace;
    for (int round = 0; round < rounds; ++round) {
        const QString base = root + QStringLiteral("/%1MB-%2").arg(megabytes).arg(round);
        const QString download = base + QStringLiteral("/download/Big App.app");
        const QString target = base + QStringLiteral("/Applications/Big App.app");
        writeBundle(download, QStringLiteral("2.0"), megabytes);
        writeBundle(target, QStringLiteral("1.0"), 1);
        ::sync();

        // The reference: the same tree moved with mv, there and back.
        QElapsedTimer clock;
        clock.start();
        QProcess::execute(QStringLiteral("/bin/mv"), {download, download + QStringLiteral(".moved")});
        mv.push_back(milliseconds(clock.nsecsElapsed()));
        QProcess::execute(QStringLiteral("/bin/mv"), {download + QStringLiteral(".moved"), download});
        // What one shell command costs before it does anything: the swap runs three.
        clock.restart();
        NVShell::create()->executeCommand(QStringLiteral("true"));
        command.push_back(milliseconds(clock.nsecsElapsed()));

        NVSUBundleReplacementOptions options;
        options.termWait = std::chrono::milliseconds(0);
        options.killWait = std::chrono::milliseconds(0);
        options.workspace = &workspace;
        Stopwatch stopwatch;
        stopwatch.clock.start();
        if (!NVSUInstallFile(download, target, false, &stopwatch, options)) {
            std::fprintf(stderr, "replacement failed\n");
            std::exit(1);
        }
        const qint64 end = stopwatch.clock.nsecsElapsed();
        total.push_back(milliseconds(end));
        staging.push_back(milliseconds(stopwatch.staged));
        swap.push_back(milliseconds(end - stopwatch.staged));
        QDir(base).removeRecursively();
    }
    return {median(mv), median(command), median(staging), median(swap), median(total)};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QList<int> sizes;
    for (const QString &argument : QCoreApplication::arguments().mid(1))
        sizes << argument.toInt();
    if (sizes.isEmpty())
        sizes = {50, 500};

    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/nvsu bench ü XXXXXX"));
    std::printf("bundle replacement on one file system (%s), median of 5 rounds, times in ms\n", qPrintable(root.path()));
    std::printf("%8s %9s %9s %9s %9s %9s %11s %13s\n", "size", "mv (ref)", "1 command", "staging", "swap", "total", "swap / mv", "total / mv");
    for (const int megabytes : sizes) {
        const Figures f = measure(root.path(), megabytes, 5);
        std::printf("%6d MB %9.2f %9.2f %9.2f %9.2f %9.2f %11.2f %13.2f\n", megabytes, f.mv, f.command, f.staging, f.swap, f.total,
                    f.swap / f.mv, f.total / f.mv);
        BenchReport::row("bundle swap, " + std::to_string(megabytes) + " MB (median)", BenchReport::figure(f.swap, "ms"),
                         BenchReport::figure(f.mv, "ms") + " mv", f.swap / f.mv, "", true);
    }
    std::printf("staging = start to the announcement (checks, the move-or-copy script); swap = announcement to the end\n"
                "(old aside, new in place, old deleted); mv = /bin/mv of the same new tree to another name;\n"
                "1 command = one shell command that does nothing (bash start-up).\n");
    return 0;
}
