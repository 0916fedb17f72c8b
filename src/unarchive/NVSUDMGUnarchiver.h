#pragma once

#include "foundation/NVError.h"
#include "unarchive/NVSUUnarchiver.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

// Attaches a disk image with our disk-image tool (nvsu-diskimage, beside the
// updater's executable) and uses its mount point as the content folder. The
// image stays attached until invalidate().
//
//   attach:  nvsu-diskimage attach -plist -noverify -nobrowse -noautoopen IMAGE
//   detach:  nvsu-diskimage detach -force MOUNTPOINT
//
// Both run in "/". The attach tool prints an XML property list whose
// "system-entities" array holds a dictionary with the "mount-point"; any
// lines it prints before the "<?xml" header are skipped. It is sent "yes\n"
// on its standard input, the answer to a licence prompt.
//
// Nothing here waits for a tool: attaching reports through the event loop,
// and detaching runs in the background, after the unarchiver if need be.
// Detaches still running are counted process-wide, so that quitting can give
// them a moment (whenOutstandingDetachesEnd). The unarchiver and everything
// static below belong to the main thread.
class NVSUDMGUnarchiver : public NVSUUnarchiver {
    Q_OBJECT
public:
    // Returns at once; nothing runs before start(). Main thread.
    NVSUDMGUnarchiver(const QString &packagePath, NVSUUnarchiverDelegate *delegate);
    // Returns at once. Unless invalidate() ran, does what it does, so an image
    // never stays attached behind a forgotten unarchiver: an attach that still
    // runs is left to end in the background, and the image it names is then
    // detached. The delegate hears nothing more.
    ~NVSUDMGUnarchiver() override;

    // Launches the attach tool and returns at once. When it has ended, the
    // delegate gets progress 1.0 and then the outcome:
    //  - exit status not 0: an error with the localized
    //    "_hdiutilErrorDescriptionFormat %d %@", status and the POSIX error of
    //    that number, which is also the underlying error (for a signal: 128 +
    //    signal, with a description that names the signal);
    //  - output that is not a property list after "<?xml": an error with the
    //    localized "_xmlParseErrorDescriptionFormat %@" and the parser's text;
    //  - no mount point in the output: two log lines and no error, but no
    //    content path either;
    //  - else success, with the mount point as content path.
    // A tool that cannot be launched gives the status error with the
    // launch's errno. The output may end after the tool has exited (a child
    // of the tool can hold the pipe): the outcome waits up to two seconds for
    // it, from the event loop. Call once, before invalidate().
    void start() override;

    // Returns at once; only the first call does anything. Detaches the image
    // in the background once its mount point is known: now, or when an
    // attach that still runs has ended (which the delegate hears of as
    // usual). The mount point stays recorded.
    void invalidate() override;

    // The mount point, once the attach tool has named one. Returns at once.
    std::optional<QString> unarchivedContentPath() const override { return m_contentPath; }

    // The disk-image tool: the one given to setDiskImageToolPath, else
    // Contents/MacOS/nvsu-diskimage in the main bundle. Any thread.
    static QString diskImageToolPath();
    // Makes later starts run `path` for their attach and detach (tests use
    // small scripts that print what the real tool would); empty restores the
    // default. Any thread.
    static void setDiskImageToolPath(const QString &path);

    // Detaches running in the background, counting an attach that outlived
    // its unarchiver as one: its image is detached when it ends. A tool that
    // runs longer than a minute is ended. Main thread; returns at once.
    static int outstandingDetachCount();

    // For the application's quit path. Main thread; returns at once. Calls
    // `done` on the main thread, from the event loop, once no detach is
    // outstanding or when `deadline` has passed, whichever comes first, with
    // the number still running then (0: all have ended); never when `context`
    // is gone. A detach still running at the deadline is not stopped: the
    // tool goes on after the process has quit, and the next attach removes
    // whatever an interrupted one leaves.
    static void whenOutstandingDetachesEnd(QDeadlineTimer deadline, QObject *context, std::function<void(int stillRunning)> done);

private:
    class AttachTask;
    class Detaches;
    struct Outcome;

    enum class State {
        Ready,                     // start() has not been called
        Attaching,                 // the attach tool runs, or its output is awaited
        Attached,                  // the outcome was reported; any image named is attached
        InvalidatedWhileAttaching, // as Attaching, and the image is detached once the outcome is in
        Invalidated,               // the image is detached or being detached; nothing more happens
    };

    void _taskDidTerminate(const Outcome &outcome);

    State m_state = State::Ready;
    QString m_toolPath; // the tool that attaches also detaches
    std::unique_ptr<AttachTask> m_hdiutilTask;
    std::optional<QString> m_contentPath;
};

namespace NVSUDMGUnarchiverDetail {

// What the attach tool printed: any messages, then an XML property list
// whose first "system-entities" dictionary with a string "mount-point"
// names where the image is. No list, or a list without a mount point, is not
// an error here; a list that does not parse is. Pure; any thread.
struct AttachOutput {
    std::optional<QVariant> list;
    std::optional<QString> mountPoint;
};
NVResult<AttachOutput> readAttachOutput(const QByteArray &bytes);

} // namespace NVSUDMGUnarchiverDetail

