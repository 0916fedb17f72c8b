#include "unarchive/NVSUToolUnarchiver.h"

#include "foundation/NVPrecondition.h"
#include "localization/NVSoftwareUpdateStrings.h"

#include <QFileInfo>
#include <QProcess>

#include <mutex>

namespace {

std::mutex toolOverrideMutex;
QString toolOverride;

QString toolOverrideForTesting()
{
    std::lock_guard lock(toolOverrideMutex);
    return toolOverride;
}

} // namespace

void NVSUToolUnarchiver::setToolPathForTesting(const QString &path)
{
    std::lock_guard lock(toolOverrideMutex);
    toolOverride = path;
}

std::unique_ptr<NVSUToolUnarchiver> NVSUToolUnarchiver::create(const QString &packagePath, NVSUUnarchiverDelegate *delegate)
{
    std::unique_ptr<NVSUToolUnarchiver> unarchiver(new NVSUToolUnarchiver(packagePath, delegate));
    if (unarchiver->m_toolPath.isEmpty())
        return nullptr;
    return unarchiver;
}

NVSUToolUnarchiver::NVSUToolUnarchiver(const QString &packagePath, NVSUUnarchiverDelegate *delegate)
    : NVSUUnarchiver(packagePath, delegate), m_destinationDirectory(QFileInfo(packagePath).path())
{
    const auto endsWith = [&packagePath](const char *suffix) { return packagePath.endsWith(QLatin1String(suffix)); };
    if (endsWith(".tar.gz") || endsWith(".tgz")) {
        m_toolPath = QStringLiteral("/usr/bin/tar");
        m_toolArguments = {QStringLiteral("-xzf"), packagePath};
    } else if (endsWith(".tar.bz2") || endsWith(".tbz")) {
        m_toolPath = QStringLiteral("/usr/bin/tar");
        m_toolArguments = {QStringLiteral("-xjf"), packagePath};
    } else if (endsWith(".zip")) {
        m_toolPath = QStringLiteral("/usr/bin/unzip");
        m_toolArguments = {QStringLiteral("-qq"), QStringLiteral("-o"), packagePath, QStringLiteral("-d"), m_destinationDirectory};
    } else {
        return;
    }
    if (const QString path = toolOverrideForTesting(); !path.isEmpty())
        m_toolPath = path;
}

NVSUToolUnarchiver::~NVSUToolUnarchiver()
{
    if (!m_toolTask || m_toolTask->state() == QProcess::NotRunning)
        return;
    // Killed, not waited for: the process object goes once the event loop
    // has seen the tool's end.
    QProcess *tool = m_toolTask.release();
    tool->disconnect(this);
    connect(tool, &QProcess::finished, tool, &QObject::deleteLater);
    tool->kill();
}

void NVSUToolUnarchiver::start()
{
    NV_PRECONDITION(!m_started, QStringLiteral("NVSUToolUnarchiver::start called twice for %1").arg(packagePath()));
    m_started = true;

    m_toolTask = std::make_unique<QProcess>();
    m_toolTask->setProgram(m_toolPath);
    m_toolTask->setArguments(m_toolArguments);
    m_toolTask->setWorkingDirectory(m_destinationDirectory);
    // The tools' messages go where the updater's own go.
    m_toolTask->setProcessChannelMode(QProcess::ForwardedChannels);
    if (packagePath().endsWith(QLatin1String(".zip")))
        m_toolTask->setStandardInputFile(QProcess::nullDevice());
    else
        m_toolTask->setInputChannelMode(QProcess::ForwardedInputChannel);
    connect(m_toolTask.get(), &QProcess::finished, this, [this] { _taskDidTerminate(); });
    connect(m_toolTask.get(), &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finishLater(statusError(NVSoftwareUpdateStrings::_unarchivingToolErrorDescriptionFormat, launchErrno(*m_toolTask)));
    });
    m_toolTask->start();
}

void NVSUToolUnarchiver::_taskDidTerminate()
{
    const NVProcessTermination termination = NVProcessTermination::of(*m_toolTask);
    if (termination.status == 0)
        finishLater(std::nullopt);
    else
        finishLater(statusError(NVSoftwareUpdateStrings::_unarchivingToolErrorDescriptionFormat, termination));
}

void NVSUToolUnarchiver::invalidate()
{
    if (m_toolTask && m_toolTask->state() != QProcess::NotRunning)
        m_toolTask->terminate();
}
