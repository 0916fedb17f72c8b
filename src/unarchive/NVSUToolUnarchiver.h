#pragma once

#include "unarchive/NVSUUnarchiver.h"

#include <QStringList>

#include <memory>

class QProcess;

// Expands a compressed archive with the system's tools, in the folder that
// holds the archive:
//   ".tar.gz", ".tgz"   /usr/bin/tar -xzf PACKAGE
//   ".tar.bz2", ".tbz"  /usr/bin/tar -xjf PACKAGE
//   ".zip"              /usr/bin/unzip -qq -o PACKAGE -d DESTINATION
// run with the destination folder as working directory. unzip gets its
// standard input from /dev/null: it would otherwise stop to ask about a
// binary archive comment.
//
// The tools keep every member inside the destination themselves, so the
// command lines stay as plain as above: GNU tar refuses members with ".."
// and strips a leading "/", and it creates links that point upwards or to an
// absolute path only after everything else, as placeholders until then, so
// no later member is written through them; unzip drops "../" and a leading
// "/" and refuses to write below a link. Some such archives end with a
// non-zero status and so with an error; others unpack with the offending
// members dropped or kept inside, without complaint. Either way nothing lands
// outside the destination (tests/unarchive prove this for every format).
class NVSUToolUnarchiver : public NVSUUnarchiver {
    Q_OBJECT
public:
    // Null when the suffix names no format above. Returns at once.
    static std::unique_ptr<NVSUToolUnarchiver> create(const QString &packagePath, NVSUUnarchiverDelegate *delegate);
    // Ends a tool that still runs (SIGKILL) without waiting for it. Returns
    // at once.
    ~NVSUToolUnarchiver() override;

    // Launches the tool and returns at once. When it has ended, the delegate
    // gets progress 1.0 and then the outcome: nothing for exit status 0,
    // otherwise an error whose description is the localized
    // "_unarchivingToolErrorDescriptionFormat %d %@" with the status and the
    // POSIX error of that number, which is also the underlying error; a tool
    // a signal ended has the status 128 + signal, and the error's text names
    // the signal. A tool that cannot be
    // launched gives the same error with the launch's errno, also later from
    // the event loop. Call once.
    void start() override;

    // Sends SIGTERM to the tool while it runs (it then reports an error as
    // above); does nothing before start or after the tool has ended. Returns
    // at once.
    void invalidate() override;

    // The destination folder, from creation on. Returns at once.
    std::optional<QString> unarchivedContentPath() const override { return m_destinationDirectory; }

    // The folder holding the package, and the tool that unpacks into it.
    // Return at once.
    const QString &destinationDirectory() const { return m_destinationDirectory; }
    const QString &toolPath() const { return m_toolPath; }
    const QStringList &toolArguments() const { return m_toolArguments; }

    // Tests only: unarchivers created from now on run this program in place
    // of tar and unzip, with the same arguments; empty restores the tools.
    // Any thread, while no unarchiver is being created.
    static void setToolPathForTesting(const QString &path);

private:
    NVSUToolUnarchiver(const QString &packagePath, NVSUUnarchiverDelegate *delegate);
    void _taskDidTerminate();

    QString m_destinationDirectory;
    QString m_toolPath;
    QStringList m_toolArguments;
    std::unique_ptr<QProcess> m_toolTask;
    bool m_started = false;
};
