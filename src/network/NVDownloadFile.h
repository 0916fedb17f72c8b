#pragma once

#include "foundation/NVError.h"

#include <QString>

#include <memory>

// The file a download streams into: a new file with a unique name in a
// folder of the caller's choice (the private temporary directory), opened
// for writing only by this user. Writes go straight to the file, so the
// process holds no more of the download than one read buffer. The file is
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
    qint64 size() const { return m_size; }

    // Appends all bytes; a short write (a full disk, a file-size limit) is
    // an error naming the cause.
    NVResult<void> append(const char *data, qint64 length);
    // Empties the file, for a transfer that starts over.
    NVResult<void> truncate();
    // Closes the file so that someone else may move it; errors that only a
    // close reports (delayed write errors) come out here.
    NVResult<void> close();

private:
    NVDownloadFile(QString path, int descriptor) : m_path(std::move(path)), m_descriptor(descriptor) {}

    QString m_path;
    int m_descriptor = -1;
    qint64 m_size = 0;
};
