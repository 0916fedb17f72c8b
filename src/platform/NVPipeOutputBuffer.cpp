#include "platform/NVPipeOutputBuffer.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QPointer>
#include <QProcess>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

NVPipeOutputBuffer::NVPipeOutputBuffer(QObject *parent)
    : QObject(parent)
{
    int fds[2];
    // Close-on-exec keeps the write end out of every other child this
    // process starts, so only the child it is handed to can hold the pipe
    // open and delay the end of file.
    if (::pipe2(fds, O_CLOEXEC) == 0) {
        m_readFd = fds[0];
        m_writeFd = fds[1];
    }
    m_stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (m_readFd >= 0 && m_stopFd >= 0)
        m_reader = std::thread([this] { readToEndOfFile(); });
}

NVPipeOutputBuffer::~NVPipeOutputBuffer()
{
    if (m_reader.joinable()) {
        const quint64 one = 1;
        (void)!::write(m_stopFd, &one, sizeof one);
        m_reader.join();
    }
    for (int fd : {m_readFd, m_writeFd, m_stopFd}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void NVPipeOutputBuffer::readToEndOfFile()
{
    QByteArray bytes;
    char chunk[65536];
    for (;;) {
        pollfd fds[2] = {{m_readFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            return; // the buffer is going away; nobody is left to receive the bytes
        if (!fds[0].revents)
            continue;
        const ssize_t n = ::read(m_readFd, chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        break; // end of file, or an error that ends the stream just the same
    }
    // Queued to the owner's thread: the destructor joins this thread before
    // the object dies, and Qt drops events posted to a deleted receiver.
    QMetaObject::invokeMethod(this, [this, bytes] { _allDataArrived(bytes); }, Qt::QueuedConnection);
}

void NVPipeOutputBuffer::_allDataArrived(const QByteArray &bytes)
{
    if (m_data)
        return;
    m_data = bytes;
    Q_EMIT allDataArrived();
}

void NVPipeOutputBuffer::closeWriteEnd()
{
    if (m_writeFd >= 0) {
        ::close(m_writeFd);
        m_writeFd = -1;
    }
}

void NVPipeOutputBuffer::setAsStandardOutputOf(QProcess &process)
{
    const int fd = m_writeFd;
    // QProcess opens no channel of its own for a redirected output; the
    // modifier then puts our pipe in its place just before exec.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setChildProcessModifier([fd] {
        if (fd >= 0)
            ::dup2(fd, STDOUT_FILENO);
    });
    QPointer<NVPipeOutputBuffer> self(this);
    auto closeOnce = [self] {
        if (self)
            self->closeWriteEnd();
    };
    connect(&process, &QProcess::started, this, closeOnce);
    connect(&process, &QProcess::errorOccurred, this, [closeOnce](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            closeOnce();
    });
}

std::optional<QByteArray> NVPipeOutputBuffer::data(int timeoutMs)
{
    if (m_data)
        return m_data;
    QDeadlineTimer deadline(timeoutMs);
    // The end-of-file delivery is an event for this thread: run its loop
    // until the bytes are stored or the time is up.
    while (!m_data && !deadline.hasExpired()) {
        QEventLoop loop;
        connect(this, &NVPipeOutputBuffer::allDataArrived, &loop, &QEventLoop::quit);
        QTimer::singleShot(std::max<qint64>(deadline.remainingTime(), 0), &loop, &QEventLoop::quit);
        loop.exec();
    }
    return m_data;
}
