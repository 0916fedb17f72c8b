#include "support/TestSupport.h"

#include "foundation/NVPropertyList.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

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

QMap<QString, QString> treeSnapshot(const QString &root, unsigned modeMask)
{
    QMap<QString, QString> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QByteArray encoded = QFile::encodeName(path);
        struct stat status;
        ::lstat(encoded.constData(), &status);
        const QString mode = QString::number(status.st_mode & modeMask, 8);
        QString entry;
        if (S_ISLNK(status.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(encoded.constData(), target, sizeof target);
            entry = QStringLiteral("link -> ") + (n < 0 ? QString() : QString::fromUtf8(target, n));
        } else if (S_ISDIR(status.st_mode)) {
            entry = QStringLiteral("dir ") + mode;
        } else {
            entry = QStringLiteral("file %1 %2").arg(mode, QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256).toHex());
        }
        entries.insert(QDir(root).relativeFilePath(path), entry);
    }
    return entries;
}

QString makeSampleBundle(const QString &parent, const QString &bundleName, int binarySize)
{
    const QString bundle = parent + u'/' + bundleName;
    writeFile(bundle + "/Contents/Info.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>\n");
    QByteArray binary(binarySize, Qt::Uninitialized);
    quint32 x = 12345;
    for (int i = 0; i < binary.size(); ++i) {
        x = x * 1103515245u + 12345u;
        binary[i] = char(i % 3 ? x >> 24 : i >> 5);
    }
    writeFile(bundle + "/Contents/MacOS/velkin", binary);
    QFile::setPermissions(bundle + "/Contents/MacOS/velkin", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                               | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    writeFile(bundle + "/Contents/Resources/en.lproj/Main Menu.strings", "\"a\" = \"b\";\n");
    QFile::link(QStringLiteral("velkin"), bundle + "/Contents/MacOS/velkin link");
    QDir().mkpath(bundle + "/Contents/Empty Folder");
    return bundle;
}

} // namespace TestSupport
