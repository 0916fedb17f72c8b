#pragma once

#include "foundation/NVError.h"
#include "network/NVHTTPURLResponse.h"
#include "network/NVURLError.h"
#include "network/NVURLSessionDelegate.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslError>

#include <functional>
#include <memory>
#include <optional>

class NVDownloadFile;
class QNetworkReply;
class QTimer;

// One transfer of a session: made suspended by the session, started with
// resume(), ended early with cancel(). A task is a shared pointer whose
// identity never changes, across redirects and resumed downloads alike, so
// the delegate can compare a task it is told about with the one it
// started. Every member is main thread only and returns at once.
class NVURLSessionTask : public std::enable_shared_from_this<NVURLSessionTask> {
public:
    // The platform's raw values.
    enum class State { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

    virtual ~NVURLSessionTask();
    NVURLSessionTask(const NVURLSessionTask &) = delete;
    NVURLSessionTask &operator=(const NVURLSessionTask &) = delete;

    // Unique within the session, in creation order.
    quint64 taskIdentifier() const { return m_taskIdentifier; }
    const QNetworkRequest &originalRequest() const { return m_originalRequest; }
    // The request being sent now: the first request with every followed
    // redirect applied.
    const QNetworkRequest &currentRequest() const { return m_currentRequest; }
    // The last response announced, if any.
    const std::optional<NVHTTPURLResponse> &response() const { return m_response; }
    State state() const { return m_state; }
    // Set when the task completed with an error.
    const std::optional<NVError> &error() const { return m_error; }
    qint64 countOfBytesReceived() const { return m_countOfBytesReceived; }
    // -1 while unknown.
    qint64 countOfBytesExpectedToReceive() const { return m_countOfBytesExpectedToReceive; }

    // Starts a suspended task. A URL whose scheme is not http or https fails
    // with NSURLErrorUnsupportedURL before any connection is made.
    void resume();
    // Ends the task: it completes once, later, with NSURLErrorCancelled.
    // Nothing happens when it has already completed or is completing.
    void cancel();

protected:
    NVURLSessionTask(NVURLSession *session, quint64 taskIdentifier, QNetworkRequest request);

    // What the two kinds of task do differently.
    virtual std::optional<NVError> prepareToStart() { return std::nullopt; }
    virtual void prepareRequest(QNetworkRequest &request) const {}
    // How much Qt may hold for us before it stops reading; 0: no limit.
    virtual qint64 readBufferSize() const { return 0; }
    virtual void responseDidArrive(const NVHTTPURLResponse &response) = 0;
    virtual void bytesDidArrive() = 0;
    virtual void transferDidSucceed() = 0;
    virtual void transferDidFail(const NVError &error) { complete(error); }
    virtual void releaseResources() {}

    NVURLSession *session() const;
    NVURLSessionDelegate *delegate() const;
    QNetworkReply *reply() const { return m_reply; }
    // Running and not ended since; callbacks check it after calling out.
    bool isActive() const { return m_state == State::Running && !m_completionQueued; }

    // Holds back the bytes and the end of the current response until the
    // delegate has answered; then handles what arrived meanwhile.
    void waitForDelegate();
    void continueAfterDelegate();
    // A handler for the delegate that acts at most once, later from the event
    // loop, and only while the transfer it was given for is still current.
    template <typename Argument>
    std::function<void(Argument)> deferredHandler(std::function<void(Argument)> body);

    // Sends the current request (again), replacing any reply.
    void startTransfer();
    // Reports the completion at once; only the first call counts.
    void complete(const std::optional<NVError> &error);
    NVError errorWithCode(qint64 code, const std::optional<NVError> &underlying = std::nullopt) const;

    std::optional<NVHTTPURLResponse> m_response;
    qint64 m_countOfBytesReceived = 0;
    qint64 m_countOfBytesExpectedToReceive = -1;
    bool m_completionQueued = false;

private:
    friend class NVURLSession;

    void onMetaDataChanged();
    void onReadyRead();
    void onFinished();
    void onStalled();
    void beginRedirect(const NVHTTPURLResponse &response, const QUrl &target);
    void followRedirect(const QNetworkRequest &request);
    void refuseRedirect(const NVHTTPURLResponse &response);
    std::optional<NVError> failureOfFinishedReply() const;
    void completeLater(const NVError &error);
    void dropReply();
    // The session is going away: stop, and report nothing more.
    void detachFromSession();
    void touch();

    const QPointer<NVURLSession> m_session;
    const quint64 m_taskIdentifier;
    const QNetworkRequest m_originalRequest;
    QNetworkRequest m_currentRequest;
    State m_state = State::Suspended;
    std::optional<NVError> m_error;

    QPointer<QNetworkReply> m_reply;
    // The receiving end of our connections to the reply, so that dropping a
    // reply cuts exactly those.
    std::unique_ptr<QObject> m_receiver;
    std::unique_ptr<QTimer> m_stallTimer;
    QElapsedTimer m_lastActivity;
    // Bumped whenever the transfer changes hands, so that late handlers and
    // queued calls meant for an earlier one do nothing.
    quint64 m_generation = 0;
    bool m_responseSeen = false;
    bool m_waitingForDelegate = false;
    bool m_finishedWhileWaiting = false;
    int m_redirectCount = 0;
    QList<QSslError> m_sslErrors;
    QList<QSslCertificate> m_peerChain;
};

// A transfer whose body is delivered to the delegate in memory: the feed.
// A body larger than the session's limit fails with
// NSURLErrorDataLengthExceedsMaximum, and reading stops.
class NVURLSessionDataTask final : public NVURLSessionTask {
public:
    NVURLSessionDataTask(NVURLSession *session, quint64 taskIdentifier, QNetworkRequest request);

private:
    void responseDidArrive(const NVHTTPURLResponse &response) override;
    void bytesDidArrive() override;
    void transferDidSucceed() override;
    NVURLSessionDataTaskPtr self() { return std::static_pointer_cast<NVURLSessionDataTask>(shared_from_this()); }
};

// A transfer whose body streams into a file in the private temporary
// directory: the update archive. It asks for the bytes exactly as stored
// (Accept-Encoding: identity). When the connection drops or stalls after
// bytes arrived and the server named a validator and accepts ranges, it
// asks for the rest with a Range request guarded by If-Range, up to the
// session's limit of attempts; the delegate sees one transfer. A file
// that cannot be created or written fails the task with the POSIX error as
// the underlying error, and no partial file stays behind.
class NVURLSessionDownloadTask final : public NVURLSessionTask {
public:
    NVURLSessionDownloadTask(NVURLSession *session, quint64 taskIdentifier, QNetworkRequest request);
    ~NVURLSessionDownloadTask() override;

private:
    std::optional<NVError> prepareToStart() override;
    void prepareRequest(QNetworkRequest &request) const override;
    qint64 readBufferSize() const override;
    void responseDidArrive(const NVHTTPURLResponse &response) override;
    void bytesDidArrive() override;
    void transferDidSucceed() override;
    void transferDidFail(const NVError &error) override;
    void releaseResources() override;
    bool canResume(const NVError &error) const;
    // Tells the delegate about bytes that have reached the file since last time.
    void reportWrittenBytes();
    void flushSoon();
    NVURLSessionDownloadTaskPtr self() { return std::static_pointer_cast<NVURLSessionDownloadTask>(shared_from_this()); }

    std::unique_ptr<NVDownloadFile> m_file;
    std::unique_ptr<QTimer> m_flushTimer;
    QByteArray m_validator;       // strong ETag, else Last-Modified
    bool m_acceptsRanges = false;
    int m_resumeAttempts = 0;
    qint64 m_resumeOffset = 0;    // where the current reply's bytes start
    qint64 m_reportedSize = 0;    // what the delegate has been told is written
    std::optional<NVError> m_lostError;
};
