#include "InstallTestSupport.h"

#include "foundation/NVPropertyList.h"
#include "support/TestSupport.h"
#include "support/TestUser.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

namespace InstallTest {

namespace {

// Notes its arguments next to its bundle's Contents, written whole through a
// rename so that a reader never sees half of it.
const QByteArray kRecorder = "#!/bin/sh\n"
                             "record=\"$(dirname \"$0\")/../launch-record\"\n"
                             "{ echo \"$#\"; printf '%s\\n' \"$@\"; } > \"$record.tmp\" && mv \"$record.tmp\" \"$record\"\n";

} // namespace

std::unique_ptr<QTemporaryDir> makeWorkDir()
{
    auto dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/nvsu install ") + kAwkward + QStringLiteral(" XXXXXX"));
    // Other accounts (the test user, root's copies) must be able to look in.
    QFile::setPermissions(dir->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                           QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                           QFileDevice::ExeOther);
    return dir;
}

void makeBundle(const QString &path, const QString &version, const QByteArray &marker, const QString &executableName)
{
    QVariantMap info{{QStringLiteral("CFBundleVersion"), version},
                     {QStringLiteral("CFBundleIdentifier"), QStringLiteral("example.nvsu.test")}};
    if (!executableName.isEmpty())
        info.insert(QStringLiteral("CFBundleExecutable"), executableName);
    TestSupport::writeInfoPlist(path, info);
    TestSupport::writeFile(path + QStringLiteral("/Contents/Resources/marker.txt"), marker);
    const QString executable = path + QStringLiteral("/Contents/MacOS/") + (executableName.isEmpty() ? QStringLiteral("none") : executableName);
    TestSupport::writeFile(executable, kRecorder);
    QFile::setPermissions(executable, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                          QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                          QFileDevice::ExeOther);
}

QByteArray launchRecord(const QString &bundlePath)
{
    return TestSupport::readFile(bundlePath + QStringLiteral("/Contents/launch-record"));
}

QByteArray waitForLaunchRecord(const QString &bundlePath, std::chrono::milliseconds timeout)
{
    TestSupport::waitFor([&] { return !launchRecord(bundlePath).isEmpty(); }, timeout);
    return launchRecord(bundlePath);
}

QByteArray markerOf(const QString &path)
{
    return TestSupport::readFile(path + QStringLiteral("/Contents/Resources/marker.txt"));
}

QStringList snapshot(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QString entry = QDir(folder).relativeFilePath(path);
        if (info.isSymLink())
            entry += QStringLiteral(" -> ") + info.symLinkTarget();
        else if (info.isFile())
            entry += QStringLiteral(" %1 %2").arg(info.size()).arg(QString::fromLatin1(
                         QCryptographicHash::hash(TestSupport::readFile(path), QCryptographicHash::Sha256).toHex().left(16)));
        entries << entry;
    }
    entries.sort();
    return entries;
}

NVSUBundleReplacementOptions quickOptions()
{
    NVSUBundleReplacementOptions options;
    options.termWait = std::chrono::milliseconds(50);
    options.killWait = std::chrono::milliseconds(10);
    // The record of staging paths stays inside the test's own files.
    static const QTemporaryDir records;
    options.stagingRecordPath = records.filePath(QStringLiteral("staging-paths"));
    return options;
}

bool installOnWorker(const QString &newPath, const QString &targetPath, bool replacingSelf,
                     NVSUBundleReplacementDelegate *delegate, const NVSUBundleReplacementOptions &options,
                     std::chrono::milliseconds settle)
{
    std::atomic<bool> done{false};
    bool result = false;
    std::thread worker([&] {
        result = NVSUInstallFile(newPath, targetPath, replacingSelf, delegate, options).ok();
        done = true;
    });
    TestSupport::waitFor([&] { return done.load(); }, std::chrono::minutes(4));
    worker.join();
    TestSupport::waitFor([] { return false; }, settle);
    return result;
}

QStringList failureLines(const QStringList &messages)
{
    QStringList lines;
    for (const QString &message : messages)
        if (message.startsWith(QLatin1String("Software Update: ")))
            lines << message.mid(17);
    return lines;
}

QString writeAskpass(const QString &folder, const QString &counterPath, bool cancel)
{
    const QString path = folder + QStringLiteral("/askpass");
    QString quoted = counterPath;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    const QString password = TestUser::account() ? TestUser::account()->password : QString();
    const QString answer = cancel ? QStringLiteral("touch \"$NVSU_ASKPASS_STATE/cancelled\"\nexit 1") : QStringLiteral("echo '%1'").arg(password);
    TestSupport::writeFile(path, QStringLiteral("#!/bin/sh\necho asked >> '%1'\n%2\n").arg(quoted, answer).toUtf8());
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

int askpassCount(const QString &counterPath)
{
    return int(TestSupport::readFile(counterPath).count('\n'));
}

std::shared_ptr<NVShell> rootShell()
{
    auto shell = NVShell::create();
    EXPECT_TRUE(shell->requestRootShell());
    EXPECT_TRUE(shell->isRootShell());
    return shell;
}

int sudo(const QStringList &command)
{
    QTemporaryDir folder;
    const QString askpass = writeAskpass(folder.path(), folder.filePath(QStringLiteral("count")));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("SUDO_ASKPASS"), askpass);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QStringLiteral("/usr/bin/sudo"), QStringList{QStringLiteral("-A"), QStringLiteral("--")} + command);
    if (!process.waitForFinished(60000))
        return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace InstallTest
