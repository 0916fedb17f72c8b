// nvsu-open: the launcher. Starts an application bundle's executable,
// detached in a session of its own, with the arguments that follow "--args",
// and returns at once. The relaunch watcher uses it to open the updated
// application after the updater has exited.
//
//   nvsu-open BUNDLE [--args ARG...]

#include "platform/NVDetachedProcess.h"
#include "platform/NVProcessWorkspace.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace {

enum ExitCode { Success = 0, Failure = 1, UsageError = 2 };

int complain(int code, const QString &message)
{
    std::fprintf(stderr, "nvsu-open: %s\n", message.toLocal8Bit().constData());
    if (code == UsageError)
        std::fprintf(stderr, "usage: nvsu-open BUNDLE [--args ARG...]\n");
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
    // No QCoreApplication: the launcher reads one file and starts one
    // process, and must work without a display or a session bus.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QFile::decodeName(argv[i]));

    if (arguments.isEmpty())
        return complain(UsageError, QStringLiteral("no bundle given"));
    const QString bundle = arguments.takeFirst();
    if (bundle == QLatin1String("-h") || bundle == QLatin1String("--help")) {
        std::printf("usage: nvsu-open BUNDLE [--args ARG...]\n"
                    "Starts BUNDLE/Contents/MacOS/<CFBundleExecutable> detached, with the arguments after --args.\n");
        return Success;
    }
    if (!arguments.isEmpty()) {
        if (arguments.constFirst() != QLatin1String("--args"))
            return complain(UsageError, QStringLiteral("unexpected argument \"%1\" (arguments for the application follow --args)").arg(arguments.constFirst()));
        arguments.removeFirst();
    }

    const QString bundlePath = QFileInfo(bundle).absoluteFilePath();
    const NVResult<QString> executable = NVBundleExecutableForLaunch(bundlePath);
    if (!executable)
        return complain(Failure, executable.error().localizedDescription());
    const NVResult<pid_t> started = NVDetachedProcess::start(executable.value(), arguments);
    if (!started)
        return complain(Failure, QStringLiteral("cannot start \"%1\": %2").arg(executable.value(), started.error().localizedDescription()));
    return Success;
}
