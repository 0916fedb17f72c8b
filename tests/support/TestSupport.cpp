#include "support/TestSupport.h"

#include "foundation/NVPropertyList.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

namespace TestSupport {

QString bundlePath() { return QStringLiteral(NV_TEST_BUNDLE_DIR); }

QString bundleExecutable() { return bundlePath() + "/Contents/MacOS/velkin-software-update"; }

ProcessResult run(const QString &program, const QStringList &arguments, const QProcessEnvironment &extra)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(extra);
    process.setProcessEnvironment(environment);
    // Nothing is ever written to the program: it reads end of input, not a
    // pipe that stays open until the timeout.
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    ProcessResult result;
    if (!process.waitForStarted(10000) || !process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        result.err = "did not start or did not finish: " + process.errorString().toUtf8();
        return result;
    }
    result.exitCode = process.exitCode();
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeInfoPlist(const QString &bundlePath, const QVariantMap &info)
{
    writeFile(bundlePath + QStringLiteral("/Contents/Info.plist"), *NVPropertyList::write(info, NVPropertyList::Format::XML));
}

} // namespace TestSupport
