#pragma once

#include "foundation/NVError.h"

#include <QString>
#include <QStringList>

// The private folders downloads are kept in, "<name>-<version>-<key>" in the
// user's temporary directory. Each holds an owner record (".owner": the pid
// and start time of the process that made it), so that a later process can
// tell the leftovers of a killed run from the live folder of another process
// running at the same time without a session bus. Folders are made, and
// leftovers judged, under a lock on ".downloads.lock" in the temporary
// directory, so that no folder is ever seen before its record exists.
namespace NVSUDownloadFolder {

inline const QString OwnerRecordName = QStringLiteral(".owner");

// Makes `temporaryDirectory`/`name` with this process's owner record.
// Blocks briefly on the lock and the file system; any thread.
NVResult<QString> create(const QString &temporaryDirectory, const QString &name);

// Removes the download folders in `temporaryDirectory` whose owner has gone
// (or that have no readable record) and answers their paths. Folders of
// running processes are kept. Blocks on the file system; call from a
// background thread.
QStringList removeLeftovers(const QString &temporaryDirectory);

} // namespace NVSUDownloadFolder
