#pragma once

#include "foundation/NVError.h"

#include <QByteArray>
#include <QString>

#include <memory>

// The file a download streams into: a new file with a unique name in a
// folder of the caller's choice (the private temporary directory), opened
// for writing only by this user. Bytes are gathered into writes of 256 KiB
// (the network hands them over in pieces of a few kilobytes, and a system
// call per piece costs more than the copy), so the process holds no more of
// the download than that and one read buffer. The file is
// removed when the object goes: after a failure, and after the delegate had
// its chance to move the finished file away. Main thread (like the task
// that owns it).
class NVDownloadFile {
public:
    // Creates "<directory>/download-XXXXXX.part" exclusively, mode 0600.
    // The error is POSIX-domain and names the cause (no such folder,
    // permission denied, no space). Blocks briefly on the file system.
    static NVResult<std::unique_ptr<NVDownloadFile>> create(const QString &directory);
    ~NVDownloadFile();
    NVDownloadFile(const NVDownloadFile &) = delete;
    NVDownloadFile &operator=(const NVDownloadFile &) = delete;

    const QString &path() const { return m_path; }
    // Every byte appended so far, and those of them that are in the file.
    qint64 size() const { return m_written + m_pending.size(); }
    qint64 writtenSize() const { return m_written; }

    // Appends all bytes, writing when enough have gathered; a failed write
    // (a full disk, a file-size limit) is an error naming the cause.
    NVResult<void> append(const char *data, qint64 length);
    // Writes what has gathered.
    NVResult<void> flush();
    // Empties the file, for a transfer that starts over.
    NVResult<void> truncate();
    // Writes what has gathered and closes the file so that someone else may
    // move it; errors that only a close reports come out here.
    NVResult<void> close();

private:
    NVDownloadFile(QString path, int descriptor) : m_path(std::move(path)), m_descriptor(descriptor) {}

    QString m_path;
    int m_descriptor = -1;
    qint64 m_written = 0;
    QByteArray m_pending;
};
