#include "unarchive/NVSUDMGUnarchiver.h"

#include "foundation/NVPrecondition.h"
#include "foundation/NVPropertyList.h"
#include "localization/NVSoftwareUpdateStrings.h"
#include "logging/NVLog.h"
#include "platform/NVBundle.h"
#include "platform/NVPipeOutputBuffer.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <mutex>
#include <vector>

namespace {

std::mutex toolPathMutex;
QString toolPathOverride;

// How long a tool that works in the background may run before it is ended:
// our tool mounts in well under a second, and even its unpacking fallback
// ends within this for any image we ship.
constexpr int toolTimeLimitMs = 60'000;
constexpr int terminationGraceMs = 5'000;
// How long the outcome waits for the end of the attach tool's output after
// the tool itself has exited.
constexpr int outputGraceMs = 2'000;

// Ends `process` (SIGTERM, then SIGKILL) should it run past the time limit.
void endWhenOverdue(QProcess &process)
{
    QTimer::singleShot(toolTimeLimitMs, &process, [&process] {
        process.terminate();
        QTimer::singleShot(terminationGraceMs, &process, [&process] { process.kill(); });
    });
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

NVResult<NVSUDMGUnarchiverDetail::AttachOutput> NVSUDMGUnarchiverDetail::readAttachOutput(const QByteArray &bytes)
{
    AttachOutput output;
    // The tool may print messages before the property list; they are not
    // part of it.
    const qsizetype header = bytes.indexOf("<?xml");
    if (header < 0)
        return output;
    NV_TRY_ASSIGN(output.list, NVPropertyList::readXML(bytes.mid(header)));
    output.mountPoint = mountPointIn(*output.list);
    return output;
}

struct NVSUDMGUnarchiver::Outcome {
    std::optional<NVError> error;
    std::optional<QString> mountPoint;
};

// One run of the attach tool, from its launch to the outcome read from its
// output. When its unarchiver goes first, the detaches take it over to learn
// which image to detach.
class NVSUDMGUnarchiver::AttachTask : public QObject {
public:
    using Handler = std::function<void(const Outcome &)>;

    AttachTask(const QString &tool, const QString &image, Handler handler) : m_handler(std::move(handler))
    {
        m_process.setProgram(tool);
        m_process.setWorkingDirectory(QStringLiteral("/"));
        m_process.setArguments({QStringLiteral("attach"), QStringLiteral("-plist"), QStringLiteral("-noverify"),
                                QStringLiteral("-nobrowse"), QStringLiteral("-noautoopen"), image});
        // Standard input stays a pipe of ours, standard error is inherited.
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_output.setAsStandardOutputOf(m_process);
        m_outputDeadline.setSingleShot(true);
        connect(&m_process, &QProcess::finished, this, &AttachTask::toolEnded);
        connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return;
            m_launchError = launchErrno(m_process);
            finishLater();
        });
    }

    // Launches the tool and returns at once; the handler hears the outcome
    // later, from the event loop, once.
    void start()
    {
        m_process.start();
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.write("yes\n", 4);
        m_process.closeWriteChannel();
    }

    void setHandler(Handler handler) { m_handler = std::move(handler); }
    QProcess &process() { return m_process; }

private:
    void toolEnded()
    {
        if (NVProcessTermination::of(m_process).status != 0 || m_output.hasData()) {
            finishLater();
            return;
        }
        // The end of the output may come a little after the exit (a child of
        // the tool can hold the pipe open).
        connect(&m_output, &NVPipeOutputBuffer::allDataArrived, this, &AttachTask::finish);
        connect(&m_outputDeadline, &QTimer::timeout, this, &AttachTask::finish);
        m_outputDeadline.start(outputGraceMs);
    }

    // Queued, so that the handler never runs inside a signal of the process.
    void finishLater() { QMetaObject::invokeMethod(this, &AttachTask::finish, Qt::QueuedConnection); }

    void finish()
    {
        m_outputDeadline.stop();
        m_output.disconnect(this);
        if (!m_handler)
            return; // told already
        const Handler handler = std::exchange(m_handler, nullptr);
        handler(outcome());
    }

    Outcome outcome()
    {
        if (m_launchError)
            return {statusError(NVSoftwareUpdateStrings::_hdiutilErrorDescriptionFormat, *m_launchError), std::nullopt};
        if (const NVProcessTermination termination = NVProcessTermination::of(m_process); termination.status != 0)
            return {statusError(NVSoftwareUpdateStrings::_hdiutilErrorDescriptionFormat, termination), std::nullopt};

        const std::optional<QByteArray> output = m_output.hasData() ? m_output.data(0) : std::nullopt;
        const QByteArray bytes = output.value_or(QByteArray());
        const NVResult<NVSUDMGUnarchiverDetail::AttachOutput> parsed = NVSUDMGUnarchiverDetail::readAttachOutput(bytes);
        if (!parsed) {
            const QString format = NVLocalization::localizeString<NVSUUnarchiver>(NVSoftwareUpdateStrings::_xmlParseErrorDescriptionFormat);
            return {NVError::withDescription(NVSUUnarchiverErrorDomain, NVSUUnarchiverErrorCode,
                                             NVFormat::format(format, parsed.error().localizedDescription())),
                    std::nullopt};
        }
        if (!parsed->mountPoint) {
            // Not an error of its own: the caller finds no content and says so.
            NVSULog(QStringLiteral("Cannot parse mount-point from hdiutil output: %@"), output ? QVariant(QString::fromUtf8(bytes)) : QVariant());
            NVSULog(QStringLiteral("PList representation: %@"), parsed->list.value_or(QVariant()));
        }
        return {std::nullopt, parsed->mountPoint};
    }

    // The buffer outlives the process, whose signals close its write end.
    NVPipeOutputBuffer m_output;
    QProcess m_process;
    QTimer m_outputDeadline;
    std::optional<int> m_launchError;
    Handler m_handler; // emptied once it has been called
};

// The detaches of the process, and the attaches awaited only to detach what
// they attached. Lives on the main thread and is never destroyed, so that a
// tool still running when the process ends is left to finish.
class NVSUDMGUnarchiver::Detaches : public QObject {
public:
    static Detaches &shared()
    {
        static Detaches *const detaches = [] {
            NV_PRECONDITION(QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread(),
                            QStringLiteral("disk images are attached and detached on the main thread"));
            return new Detaches;
        }();
        return *detaches;
    }

    int count() const { return m_running; }

    void detach(const QString &tool, const QString &mountPoint)
    {
        auto *process = new QProcess(this);
        process->setProgram(tool);
        process->setWorkingDirectory(QStringLiteral("/"));
        process->setArguments({QStringLiteral("detach"), QStringLiteral("-force"), mountPoint});
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->setStandardInputFile(QProcess::nullDevice());
        // Whether it worked is not looked at: there is nothing left to do
        // about an image that stays attached.
        connect(process, &QProcess::finished, this, [this, process] { ended(process); });
        connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                ended(process);
        });
        ++m_running;
        endWhenOverdue(*process);
        process->start();
    }

    void adopt(std::unique_ptr<AttachTask> task, const QString &tool)
    {
        AttachTask *attach = task.release();
        attach->setParent(this);
        ++m_running;
        endWhenOverdue(attach->process());
        attach->setHandler([this, attach, tool](const Outcome &outcome) {
            if (outcome.mountPoint)
                detach(tool, *outcome.mountPoint);
            ended(attach);
        });
    }

    void whenIdle(QDeadlineTimer deadline, QObject *context, std::function<void(int)> done)
    {
        auto waiter = std::make_shared<Waiter>(Waiter{context, std::move(done)});
        if (m_running == 0) {
            answer(*waiter, 0);
            return;
        }
        m_waiters.push_back(waiter);
        if (deadline.isForever())
            return;
        QTimer::singleShot(std::max<qint64>(deadline.remainingTime(), 0), this, [this, weak = std::weak_ptr(waiter)] {
            if (const std::shared_ptr<Waiter> expired = weak.lock()) {
                std::erase(m_waiters, expired);
                answer(*expired, m_running);
            }
        });
    }

private:
    struct Waiter {
        QPointer<QObject> context;
        std::function<void(int)> done;
    };

    static void answer(const Waiter &waiter, int stillRunning)
    {
        if (waiter.context)
            QMetaObject::invokeMethod(waiter.context, [done = waiter.done, stillRunning] { done(stillRunning); }, Qt::QueuedConnection);
    }

    void ended(QObject *tool)
    {
        tool->deleteLater();
        if (--m_running > 0)
            return;
        for (const std::shared_ptr<Waiter> &waiter : std::exchange(m_waiters, {}))
            answer(*waiter, 0);
    }

    int m_running = 0;
    std::vector<std::shared_ptr<Waiter>> m_waiters;
};

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

int NVSUDMGUnarchiver::outstandingDetachCount()
{
    return Detaches::shared().count();
}

void NVSUDMGUnarchiver::whenOutstandingDetachesEnd(QDeadlineTimer deadline, QObject *context, std::function<void(int)> done)
{
    Detaches::shared().whenIdle(deadline, context, std::move(done));
}

NVSUDMGUnarchiver::NVSUDMGUnarchiver(const QString &packagePath, NVSUUnarchiverDelegate *delegate)
    : NVSUUnarchiver(packagePath, delegate)
{
}

NVSUDMGUnarchiver::~NVSUDMGUnarchiver()
{
    switch (m_state) {
    case State::Attaching:
    case State::InvalidatedWhileAttaching:
        Detaches::shared().adopt(std::move(m_hdiutilTask), m_toolPath);
        break;
    case State::Attached:
        invalidate();
        break;
    case State::Ready:
    case State::Invalidated:
        break;
    }
}

void NVSUDMGUnarchiver::start()
{
    NV_PRECONDITION(m_state == State::Ready,
                    QStringLiteral("NVSUDMGUnarchiver::start called twice or after invalidate for %1").arg(packagePath()));
    m_state = State::Attaching;
    m_toolPath = diskImageToolPath();
    m_hdiutilTask = std::make_unique<AttachTask>(m_toolPath, packagePath(), [this](const Outcome &outcome) { _taskDidTerminate(outcome); });
    m_hdiutilTask->start();
}

void NVSUDMGUnarchiver::_taskDidTerminate(const Outcome &outcome)
{
    // Called by the task itself, which therefore goes later.
    m_hdiutilTask.release()->deleteLater();
    m_contentPath = outcome.mountPoint;
    if (m_state == State::InvalidatedWhileAttaching) {
        m_state = State::Invalidated;
        if (m_contentPath)
            Detaches::shared().detach(m_toolPath, *m_contentPath);
    } else {
        m_state = State::Attached;
    }
    // The delegate may delete this unarchiver from either callback.
    QPointer<NVSUUnarchiver> alive(this);
    notifyProgress(1.0);
    if (alive)
        notifyFinished(outcome.error);
}

void NVSUDMGUnarchiver::invalidate()
{
    switch (m_state) {
    case State::Ready:
        m_state = State::Invalidated;
        break;
    case State::Attaching:
        m_state = State::InvalidatedWhileAttaching;
        break;
    case State::Attached:
        m_state = State::Invalidated;
        if (m_contentPath)
            Detaches::shared().detach(m_toolPath, *m_contentPath);
        break;
    case State::InvalidatedWhileAttaching:
    case State::Invalidated:
        break;
    }
}
