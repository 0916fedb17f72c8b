#include "network/NVDownloadFile.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qsizetype kWriteSize = 256 * 1024;

NVError posixError(int code, const QString &path)
{
    return NVError::posix(code, {{NSFilePathErrorKey, path}});
}

} // namespace

NVResult<std::unique_ptr<NVDownloadFile>> NVDownloadFile::create(const QString &directory)
{
    QByteArray path = QFile::encodeName(directory + QStringLiteral("/download-XXXXXX.part"));
    // mkostemps creates the file exclusively with mode 0600, so no other
    // user can have prepared or opened it.
    const int descriptor = ::mkostemps(path.data(), 5, O_CLOEXEC);
    if (descriptor < 0)
        return posixError(errno, directory);
    std::unique_ptr<NVDownloadFile> file(new NVDownloadFile(QFile::decodeName(path), descriptor));
    file->m_pending.reserve(2 * kWriteSize);
    return file;
}

NVDownloadFile::~NVDownloadFile()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    if (!m_path.isEmpty())
        ::unlink(QFile::encodeName(m_path).constData());
}

NVResult<void> NVDownloadFile::append(const char *data, qint64 length)
{
    m_pending.append(data, length);
    return m_pending.size() >= kWriteSize ? flush() : NVResult<void>();
}

NVResult<void> NVDownloadFile::flush()
{
    const char *data = m_pending.constData();
    qint64 length = m_pending.size();
    while (length > 0) {
        const ssize_t written = ::write(m_descriptor, data, size_t(length));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return posixError(written < 0 ? errno : ENOSPC, m_path);
        data += written;
        length -= written;
        m_written += written;
    }
    m_pending.resize(0);
    return {};
}

NVResult<void> NVDownloadFile::truncate()
{
    m_pending.resize(0);
    if (::ftruncate(m_descriptor, 0) != 0 || ::lseek(m_descriptor, 0, SEEK_SET) < 0)
        return posixError(errno, m_path);
    m_written = 0;
    return {};
}

NVResult<void> NVDownloadFile::close()
{
    NV_TRY(flush());
    const int descriptor = m_descriptor;
    m_descriptor = -1;
    if (descriptor >= 0 && ::close(descriptor) != 0 && errno != EINTR)
        return posixError(errno, m_path);
    return {};
}
