#pragma once

#include <QString>

class QProcess;

// How a child process ended, as the one number a POSIX shell gives for it:
// the exit status, or 128 + the signal's number when a signal ended it.
// Everything that turns a child's end into a number or a message goes
// through here, so that a killed tool reads the same in every log and error.
struct NVProcessTermination {
    int status = 0; // the exit status, or 128 + signal
    int signal = 0; // the signal that ended the process; 0 when it exited

    // From a process that has finished. Thread of the process object.
    static NVProcessTermination of(const QProcess &process);

    // "exit status 2", or "terminated by signal 9 (Killed)". Any thread.
    QString description() const;
};
