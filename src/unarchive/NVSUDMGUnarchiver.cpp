#include "unarchive/NVSUDMGUnarchiver.h"

#include "platform/NVBundle.h"
#include "foundation/NVPrecondition.h"
#include "foundation/NVPropertyList.h"
#include "localization/NVSoftwareUpdateStrings.h"
#include "logging/NVLog.h"
#include "platform/NVPipeOutputBuffer.h"

#include <QMetaObject>
#include <QPointer>
#include <QProcess>
#include <QTimer>

#include <mutex>

namespace {

std::mutex toolPathMutex;
QString toolPathOverride;

// How long invalidate() lets an attach or detach run before ending it: our
// tool mounts in well under a second, and even its unpacking fallback ends
// within this for any image we ship.
constexpr int toolGraceMs = 60'000;

void waitOrEnd(QProcess &process)
{
    if (process.waitForFinished(toolGraceMs))
        return;
    process.terminate();
    if (!process.waitForFinished(5'000)) {
        process.kill();
        process.waitForFinished(-1);
    }
}

// The first dictionary in "system-entities" with a string "mount-point".
std::optional<QString> mountPointIn(const QVariant &list)
{
    if (list.typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    const QVariant entities = list.toMap().value(QStringLiteral("system-entities"));
    if (entities.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    for (const QVariant &entity : entities.toList()) {
        if (entity.typeId() != QMetaType::QVariantMap)
            continue;
        const QVariant mountPoint = entity.toMap().value(QStringLiteral("mount-point"));
        if (mountPoint.typeId() == QMetaType::QString)
            return mountPoint.toString();
    }
    return std::nullopt;
}

} // namespace

QString NVSUDMGUnarchiver::diskImageToolPath()
{
    {
        std::lock_guard lock(toolPathMutex);
        if (!toolPathOverride.isEmpty())
            return toolPathOverride;
    }
    return NVBundle::mainBundle()->contentsPath() + QStringLiteral("/MacOS/nvsu-diskimage");
}

void NVSUDMGUnarchiver::setDiskImageToolPath(const QString &path)
{
    std::lock_guard lock(toolPathMutex);
    toolPathOverride = path;
}

NVSUDMGUnarchiver::NVSUDMGUnarchiver(const QString &packagePath, NVSUUnarchiverDelegate *delegate)
    : NVSUUnarchiver(packagePath, delegate)
{
}

NVSUDMGUnarchiver::~NVSUDMGUnarchiver()
{
    invalidate();
}

void NVSUDMGUnarchiver::start()
{
    NV_PRECONDITION(!m_started && !m_isInvalid,
                    QStringLiteral("NVSUDMGUnarchiver::start called twice or after invalidate for %1").arg(packagePath()));
    m_started = true;

    m_hdiutilOutput = std::make_unique<NVPipeOutputBuffer>();
    m_hdiutilTask = std::make_unique<QProcess>();
    m_hdiutilTask->setProgram(diskImageToolPath());
    m_hdiutilTask->setWorkingDirectory(QStringLiteral("/"));
    m_hdiutilTask->setArguments({QStringLiteral("attach"), QStringLiteral("-plist"), QStringLiteral("-noverify"),
                                 QStringLiteral("-nobrowse"), QStringLiteral("-noautoopen"), packagePath()});
    // Standard input stays a pipe of ours, standard error is inherited.
    m_hdiutilTask->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_hdiutilOutput->setAsStandardOutputOf(*m_hdiutilTask);
    connect(m_hdiutilTask.get(), &QProcess::finished, this, [this] {
        m_exited = true;
        m_termination = NVProcessTermination::of(*m_hdiutilTask);
        // Queued, so that the delegate never runs inside the process's
        // signal (invalidate() may wait for the process right here).
        QMetaObject::invokeMethod(this, &NVSUDMGUnarchiver::_taskDidTerminate, Qt::QueuedConnection);
    });

    m_hdiutilTask->start();
    if (!m_hdiutilTask->waitForStarted(-1)) {
        const int error = launchErrno(*m_hdiutilTask);
        _cleanupTask();
        m_resultCollected = true;
        m_delivered = true;
        finishLater(statusError(NVSoftwareUpdateStrings::_hdiutilErrorDescriptionFormat, error));
        return;
    }
    m_hdiutilTask->write("yes\n", 4);
    m_hdiutilTask->closeWriteChannel();
}

void NVSUDMGUnarchiver::_taskDidTerminate()
{
    if (m_inInvalidate || m_delivered)
        return; // invalidate() reads the result and reports it afterwards
    if (m_resultCollected || m_termination.status != 0 || !m_hdiutilOutput || m_hdiutilOutput->hasData()) {
        collectResult(0);
        deliver();
        return;
    }
    // The end of the output may come a little after the exit (a child of the
    // tool can hold the pipe open): wait for it, at most two seconds, while
    // the event loop goes on.
    connect(m_hdiutilOutput.get(), &NVPipeOutputBuffer::allDataArrived, this, &NVSUDMGUnarchiver::finishAfterOutput);
    m_outputDeadline = new QTimer(this);
    m_outputDeadline->setSingleShot(true);
    connect(m_outputDeadline, &QTimer::timeout, this, &NVSUDMGUnarchiver::finishAfterOutput);
    m_outputDeadline->start(2000);
}

void NVSUDMGUnarchiver::stopWaitingForOutput()
{
    if (m_outputDeadline) {
        // Possibly called from the timer's own signal: deleted later.
        m_outputDeadline->stop();
        m_outputDeadline->deleteLater();
        m_outputDeadline = nullptr;
    }
    if (m_hdiutilOutput)
        m_hdiutilOutput->disconnect(this);
}

void NVSUDMGUnarchiver::finishAfterOutput()
{
    stopWaitingForOutput();
    collectResult(0);
    deliver();
}

void NVSUDMGUnarchiver::deliver()
{
    if (m_delivered)
        return;
    m_delivered = true;
    QPointer<NVSUUnarchiver> alive(this);
    notifyProgress(1.0);
    if (alive)
        notifyFinished(m_result);
}

void NVSUDMGUnarchiver::collectResult(int waitMs)
{
    if (m_resultCollected || !m_exited || !m_hdiutilOutput)
        return;
    m_resultCollected = true;

    if (m_termination.status != 0) {
        m_result = statusError(NVSoftwareUpdateStrings::_hdiutilErrorDescriptionFormat, m_termination);
        return;
    }
    const std::optional<QByteArray> output = m_hdiutilOutput->data(waitMs);
    const QByteArray bytes = output.value_or(QByteArray());
    std::optional<QVariant> list;
    // The tool may print messages before the property list; they are not
    // part of it.
    if (const qsizetype header = bytes.indexOf("<?xml"); header >= 0) {
        NVResult<QVariant> parsed = NVPropertyList::readXML(bytes.mid(header));
        if (!parsed) {
            m_result = NVError::withDescription(
                NVSUUnarchiverErrorDomain, NVSUUnarchiverErrorCode,
                NVFormat::format(localizeString(NVSoftwareUpdateStrings::_xmlParseErrorDescriptionFormat), parsed.error().localizedDescription()));
            return;
        }
        list = parsed.value();
    }
    m_contentPath = list ? mountPointIn(*list) : std::nullopt;
    if (!m_contentPath) {
        // Not an error of its own: the caller finds no content and says so.
        NVSULog(QStringLiteral("Cannot parse mount-point from hdiutil output: %@"), output ? QVariant(QString::fromUtf8(bytes)) : QVariant());
        NVSULog(QStringLiteral("PList representation: %@"), list.value_or(QVariant()));
    }
}

void NVSUDMGUnarchiver::invalidate()
{
    if (m_isInvalid)
        return;
    m_isInvalid = true;
    stopWaitingForOutput();

    m_inInvalidate = true;
    if (m_hdiutilTask && m_hdiutilTask->state() != QProcess::NotRunning)
        waitOrEnd(*m_hdiutilTask);
    // The mount point is needed now, so the output is read here, turning the
    // event loop while it is on its way.
    collectResult(2000);
    m_inInvalidate = false;

    if (m_contentPath)
        _unmountImage();
    _cleanupTask();
    // The delegate still hears how the start ended.
    if (m_exited && !m_delivered)
        QMetaObject::invokeMethod(this, &NVSUDMGUnarchiver::deliver, Qt::QueuedConnection);
}

void NVSUDMGUnarchiver::_unmountImage()
{
    QProcess detach;
    detach.setProgram(diskImageToolPath());
    detach.setWorkingDirectory(QStringLiteral("/"));
    detach.setArguments({QStringLiteral("detach"), QStringLiteral("-force"), *m_contentPath});
    detach.setProcessChannelMode(QProcess::ForwardedChannels);
    detach.setStandardInputFile(QProcess::nullDevice());
    detach.start();
    // Whether it worked is not looked at: there is nothing left to do about
    // an image that stays attached.
    if (detach.waitForStarted(-1))
        waitOrEnd(detach);
}

void NVSUDMGUnarchiver::_cleanupTask()
{
    if (m_hdiutilTask) {
        m_hdiutilTask->disconnect(this);
        if (m_hdiutilTask->state() != QProcess::NotRunning) {
            m_hdiutilTask->kill();
            m_hdiutilTask->waitForFinished(-1);
        }
    }
    m_hdiutilTask.reset();
    m_hdiutilOutput.reset();
}
