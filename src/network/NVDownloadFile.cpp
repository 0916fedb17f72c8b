#include "network/NVDownloadFile.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

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
    return std::unique_ptr<NVDownloadFile>(new NVDownloadFile(QFile::decodeName(path), descriptor));
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
    while (length > 0) {
        const ssize_t written = ::write(m_descriptor, data, size_t(length));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return posixError(errno, m_path);
        if (written == 0)
            return posixError(ENOSPC, m_path);
        data += written;
        length -= written;
        m_size += written;
    }
    return {};
}

NVResult<void> NVDownloadFile::truncate()
{
    if (::ftruncate(m_descriptor, 0) != 0 || ::lseek(m_descriptor, 0, SEEK_SET) < 0)
        return posixError(errno, m_path);
    m_size = 0;
    return {};
}

NVResult<void> NVDownloadFile::close()
{
    const int descriptor = m_descriptor;
    m_descriptor = -1;
    if (descriptor >= 0 && ::close(descriptor) != 0 && errno != EINTR)
        return posixError(errno, m_path);
    return {};
}
