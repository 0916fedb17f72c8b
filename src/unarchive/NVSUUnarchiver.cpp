#include "unarchive/NVSUUnarchiver.h"

#include "foundation/NVFormat.h"
#include "unarchive/NVSUDMGUnarchiver.h"
#include "unarchive/NVSUToolUnarchiver.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QPointer>
#include <QProcess>

#include <cerrno>
#include <unistd.h>

std::unique_ptr<NVSUUnarchiver> NVSUUnarchiver::unarchiverWithPackagePath(const QString &packagePath,
                                                                          NVSUUnarchiverDelegate *delegate)
{
    if (packagePath.endsWith(QLatin1String(".dmg")))
        return std::make_unique<NVSUDMGUnarchiver>(packagePath, delegate);
    // The tool unarchiver knows its suffixes and declines the rest.
    return NVSUToolUnarchiver::create(packagePath, delegate);
}

NVSUUnarchiver::NVSUUnarchiver(const QString &packagePath, NVSUUnarchiverDelegate *delegate)
    : m_packagePath(packagePath), m_delegate(delegate)
{
    if (delegate)
        m_delegateLifetime = delegate->m_lifetime;
}

NVSUUnarchiver::~NVSUUnarchiver() = default;

void NVSUUnarchiver::start()
{
    notifyFinished(std::nullopt);
}

void NVSUUnarchiver::invalidate() {}

std::optional<QString> NVSUUnarchiver::unarchivedContentPath() const
{
    return std::nullopt;
}

NVSUUnarchiverDelegate *NVSUUnarchiver::delegate() const
{
    return m_delegateLifetime.expired() ? nullptr : m_delegate;
}

void NVSUUnarchiver::notifyProgress(double progress)
{
    if (NVSUUnarchiverDelegate *target = delegate())
        target->unarchiverProgress(this, progress);
}

void NVSUUnarchiver::notifyFinished(const std::optional<NVError> &error)
{
    if (NVSUUnarchiverDelegate *target = delegate())
        target->unarchiverFinishedWithError(this, error);
}

void NVSUUnarchiver::finishLater(const std::optional<NVError> &error)
{
    // Queued, so the delegate never runs inside a process object's signal
    // and may delete this unarchiver from its callbacks. A queued call to an
    // object that is deleted first is dropped by Qt.
    QMetaObject::invokeMethod(
        this,
        [this, error] {
            QPointer<NVSUUnarchiver> alive(this);
            notifyProgress(1.0);
            if (alive)
                notifyFinished(error);
        },
        Qt::QueuedConnection);
}

NVError NVSUUnarchiver::statusError(const QString &formatKey, int status)
{
    return statusError(formatKey, NVError::posix(status));
}

NVError NVSUUnarchiver::statusError(const QString &formatKey, const NVProcessTermination &termination)
{
    if (termination.signal == 0)
        return statusError(formatKey, termination.status);
    return statusError(formatKey, NVError::posix(termination.status, {{NSLocalizedDescriptionKey, termination.description()}}));
}

NVError NVSUUnarchiver::statusError(const QString &formatKey, const NVError &posixError)
{
    const QString description = NVFormat::format(NVLocalization::localizeString<NVSUUnarchiver>(formatKey), posixError.code(),
                                                 posixError.localizedDescription());
    return NVError(NVSUUnarchiverErrorDomain, NVSUUnarchiverErrorCode,
                   {{NSLocalizedDescriptionKey, description}, {NSUnderlyingErrorKey, QVariant::fromValue(posixError)}});
}

int NVSUUnarchiver::launchErrno(const QProcess &process)
{
    if (!process.workingDirectory().isEmpty() && !QFileInfo(process.workingDirectory()).isDir())
        return ENOENT;
    const QByteArray program = QFile::encodeName(process.program());
    if (::access(program.constData(), X_OK) != 0)
        return errno;
    return QFileInfo(process.program()).isDir() ? EACCES : ENOEXEC;
}
