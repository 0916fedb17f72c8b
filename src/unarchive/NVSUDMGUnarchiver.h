#pragma once

#include "unarchive/NVSUUnarchiver.h"

#include <QByteArray>

#include <memory>
#include <optional>

class NVPipeOutputBuffer;
class QProcess;
class QTimer;

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
class NVSUDMGUnarchiver : public NVSUUnarchiver {
    Q_OBJECT
public:
    // Returns at once; nothing runs before start().
    NVSUDMGUnarchiver(const QString &packagePath, NVSUUnarchiverDelegate *delegate);
    // Invalidates (waiting for the tool and detaching) unless done already,
    // so an image never stays attached behind a forgotten unarchiver. Blocks.
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
    // launch's errno, also later from the event loop. The completion waits
    // up to two seconds for the end of the tool's output, which may follow
    // its exit; the event loop keeps running meanwhile. Call once.
    void start() override;

    // Once only: waits for an attach tool that still runs (a minute, then
    // ends it), detaches the image if a mount point is known, and drops the
    // tool and its output. A start still waiting for its completion reports
    // it as usual afterwards, from the event loop. Blocks for as long as the
    // tools take, and turns the event loop for up to two seconds when the
    // attach tool's output is still on its way (do not delete the unarchiver
    // from an event handler meanwhile).
    void invalidate() override;

    // The mount point, once the attach tool has named one. Returns at once.
    std::optional<QString> unarchivedContentPath() const override { return m_contentPath; }

    // The disk-image tool: the one given to setDiskImageToolPath, else
    // Contents/MacOS/nvsu-diskimage in the main bundle. Any thread.
    static QString diskImageToolPath();
    // Makes later attaches and detaches run `path` (tests use small scripts
    // that print what the real tool would); empty restores the default. Any
    // thread, while no unarchiver runs.
    static void setDiskImageToolPath(const QString &path);

private:
    void _taskDidTerminate();
    // Reads the attach tool's output (waiting at most waitMs for its end)
    // into m_contentPath or m_result, once per start.
    void collectResult(int waitMs);
    void finishAfterOutput();
    void stopWaitingForOutput();
    void deliver();
    void _unmountImage();
    void _cleanupTask();

    std::unique_ptr<QProcess> m_hdiutilTask;
    std::unique_ptr<NVPipeOutputBuffer> m_hdiutilOutput;
    std::optional<QString> m_contentPath;
    bool m_isInvalid = false;

    bool m_started = false;
    bool m_exited = false;          // the attach tool has ended; m_termination says how
    NVProcessTermination m_termination;
    bool m_resultCollected = false;
    bool m_delivered = false;       // the delegate has had its callbacks for this start
    bool m_inInvalidate = false;
    std::optional<NVError> m_result;
    QTimer *m_outputDeadline = nullptr;
};
