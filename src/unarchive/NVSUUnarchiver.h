#pragma once

#include "foundation/NVError.h"
#include "localization/NVLocalization.h"
#include "platform/NVProcessTermination.h"
#include "unarchive/NVSUUnarchiverDelegate.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class QProcess;

// Every failure an unarchiver reports has this domain and the code
// NVSUUnarchiverErrorCode. Where a tool's exit status is involved, the
// error's NSUnderlyingErrorKey holds a POSIX-domain error whose code is that
// status.
inline const QString NVSUUnarchiverErrorDomain = QStringLiteral("norvane.SoftwarUpdateUnarchiverErrorDomain");
inline constexpr qint64 NVSUUnarchiverErrorCode = 1;

// Turns a downloaded file into a folder that holds its content. The factory
// picks the concrete unarchiver from the file name; each one runs its tool
// in the background and tells its delegate when it is done.
//
// Use: create it with unarchiverWithPackagePath, call start() once, wait for
// unarchiverFinishedWithError, read unarchivedContentPath(), and call
// invalidate() once the content is no longer needed (after installing, or
// when the run is cancelled or failed).
//
// A tool that cannot be launched is reported like any other failure: through
// unarchiverFinishedWithError, later, from the event loop. Nothing here
// throws.
//
// An unarchiver lives on one thread, the one that creates it; every member
// function below is called there, and its callbacks arrive there.
class NVSUUnarchiver : public QObject, public NVLocalizable {
    Q_OBJECT
public:
    NV_LOCALIZATION_TABLE("NVSoftwareUpdate")

    // The unarchiver for the file's suffix, tested case-sensitively in this
    // order: ".dmg" mounts a disk image; ".tar.gz", ".tgz", ".tar.bz2", ".tbz"
    // and ".zip" are expanded by an archive tool beside the file. Anything
    // else (".DMG", ".tar.xz") gets none. The delegate is held weakly and may
    // be null. Returns at once.
    static std::unique_ptr<NVSUUnarchiver> unarchiverWithPackagePath(const QString &packagePath,
                                                                     NVSUUnarchiverDelegate *delegate);

    // Stores the path and the delegate (weakly). Returns at once.
    NVSUUnarchiver(const QString &packagePath, NVSUUnarchiverDelegate *delegate);
    ~NVSUUnarchiver() override;

    // Begins unpacking; returns at once. The concrete unarchivers send
    // unarchiverProgress(1.0) and then unarchiverFinishedWithError later,
    // from the event loop. This base version, which has nothing to unpack,
    // reports success before it returns. Call once.
    virtual void start();

    // Lets go of the content (for a disk image: detaches it, in the
    // background). Base version: nothing. Returns at once.
    virtual void invalidate();

    // The folder that holds the unpacked content; nothing when there is none
    // (the base version, or a disk image whose mount point is unknown).
    // Returns at once.
    virtual std::optional<QString> unarchivedContentPath() const;

    // The downloaded file. Returns at once.
    const QString &packagePath() const { return m_packagePath; }

    // The delegate while it lives, else null. Returns at once.
    NVSUUnarchiverDelegate *delegate() const;

protected:
    // Sends unarchiverProgress to the delegate if it still lives.
    void notifyProgress(double progress);
    // Sends unarchiverFinishedWithError to the delegate if it still lives.
    void notifyFinished(const std::optional<NVError> &error);
    // From the event loop: progress 1.0, then finished with `error`. The
    // unarchiver may be deleted by the delegate in between or at the end.
    void finishLater(const std::optional<NVError> &error);

    // An error of the unarchiver domain whose description is the localized
    // `formatKey` filled with `status` and the description of the POSIX error
    // `status`, which becomes the underlying error.
    static NVError statusError(const QString &formatKey, int status);
    // The same for a tool that has ended with a status other than 0. For a
    // tool a signal ended, the status is 128 + signal, and the underlying
    // error's description names the signal instead of an errno text.
    static NVError statusError(const QString &formatKey, const NVProcessTermination &termination);
    // Why a process could not be started (an errno value), judged from its
    // program and working directory after the start has failed.
    static int launchErrno(const QProcess &process);

private:
    QString m_packagePath;
    NVSUUnarchiverDelegate *m_delegate = nullptr;
    std::weak_ptr<const int> m_delegateLifetime;

    static NVError statusError(const QString &formatKey, const NVError &posixError);
};
