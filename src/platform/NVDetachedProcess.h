#pragma once

#include "foundation/NVError.h"

#include <QString>
#include <QStringList>

#include <optional>

#include <sys/types.h>

// Starting programs that must outlive this process: the updated application,
// the relaunch watcher, whatever the launcher opens.
namespace NVDetachedProcess {

struct Options {
    // The working directory of the new process.
    QString workingDirectory = QStringLiteral("/");
    // The complete environment ("NAME=value" entries); nothing inherits this
    // process's environment as it is at the moment of the call.
    std::optional<QStringList> environment;
};

// Starts `program` (an absolute path; no search of PATH) with `arguments`,
// detached: in a session of its own, so that neither the end of this process
// nor a hang-up of its terminal reaches it, and as a grandchild that the
// system reaps, so that it never lingers as a zombie of ours. Its standard
// input is /dev/null, standard output and error are this process's, no other
// descriptor of ours is passed on, and every signal has its default action
// and is unblocked.
//
// Answers the new process's id once the program has been executed, or the
// POSIX error that kept it from starting (a missing or non-executable
// program reports what execve reported). Any thread; blocks only for the
// fork and exec.
NVResult<pid_t> start(const QString &program, const QStringList &arguments, const Options &options = {});

} // namespace NVDetachedProcess
