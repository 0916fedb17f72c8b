#pragma once

#include <QByteArray>
#include <QObject>

#include <optional>
#include <thread>

class QProcess;

// Collects everything a child process writes to a pipe. Reading starts at
// construction, on a thread of its own, so a child that writes more than the
// pipe holds never blocks while its parent waits for it to exit. The bytes
// arrive on the thread that created the buffer, through its event loop, once
// the writer has closed the pipe.
class NVPipeOutputBuffer : public QObject {
    Q_OBJECT
public:
    // Any thread with a Qt event dispatcher; starts reading at once.
    explicit NVPipeOutputBuffer(QObject *parent = nullptr);
    // Stops the reader and closes both ends of the pipe.
    ~NVPipeOutputBuffer() override;

    // The write end of the pipe (a file descriptor), or -1 once closed in
    // this process. Any thread.
    int pipeForWriting() const { return m_writeFd; }

    // Makes the pipe the standard output of `process`, which must not have
    // been started yet; this process's copy of the write end is closed as
    // soon as the child has started (or failed to), so the end of file
    // arrives when the child and its own children are done. Owner thread.
    void setAsStandardOutputOf(QProcess &process);

    // Closes this process's copy of the write end; idempotent. Owner thread.
    void closeWriteEnd();

    // Everything read up to the end of file. When it has not arrived yet,
    // runs the current thread's event loop for at most `timeoutMs` waiting
    // for it, and returns nothing if it still has not. Owner thread.
    std::optional<QByteArray> data(int timeoutMs = 2000);

    // Whether the end of file has been seen and the bytes stored. Owner thread.
    bool hasData() const { return m_data.has_value(); }

    // Delivery of the bytes read to the end of file. Stores them unless
    // bytes are stored already: a second delivery never replaces the first.
    // Owner thread.
    void _allDataArrived(const QByteArray &bytes);

Q_SIGNALS:
    // Emitted once, when the bytes have been stored.
    void allDataArrived();

private:
    void readToEndOfFile();

    int m_readFd = -1;
    int m_writeFd = -1;
    int m_stopFd = -1; // an eventfd that wakes the reader when the buffer goes away
    std::optional<QByteArray> m_data;
    std::thread m_reader;
};
