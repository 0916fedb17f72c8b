#include "network/NVURLSessionTask.h"

#include "logging/NVLog.h"
#include "network/NVDownloadFile.h"
#include "network/NVServerTrust.h"
#include "network/NVURLSession.h"
#include "platform/NVTemporaryDirectory.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace {

// How much Qt may buffer for a download before it stops reading the socket:
// a download never sits in memory beyond this, however slow the disk. Qt
// 6.4 has a flaw in this mode: a connection that closes while the buffer is
// full can leave the last bytes unread and the reply unfinished, so the
// transfer goes quiet instead of ending. Much less than 1 MiB makes that
// likely; the stall time-out, and resuming where the server allows it,
// catch the rest. A feed is small and capped by us, so data tasks leave the
// buffer unlimited and never meet the flaw.
constexpr qint64 kDownloadReadBufferSize = 1 << 20;
constexpr int kMaximumRedirects = 16;

bool isFetchable(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return (scheme == QLatin1String("https") || scheme == QLatin1String("http")) && !url.host().isEmpty();
}

bool isRedirectStatus(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Qt turns HTTP error statuses into errors of the reply, but the body has
// been delivered all the same: the status is the delegate's business.
bool isHTTPStatusError(QNetworkReply::NetworkError error)
{
    return (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
        || error == QNetworkReply::ProtocolInvalidOperationError
        || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}

// If-Range needs a strong entity tag; a weak one cannot say that the bytes
// are the same, so Last-Modified stands in.
QByteArray validatorOf(const NVHTTPURLResponse &response)
{
    const QByteArray tag = response.valueForHTTPHeaderField("ETag").trimmed();
    if (!tag.isEmpty() && !tag.startsWith("W/"))
        return tag;
    return response.valueForHTTPHeaderField("Last-Modified").trimmed();
}

// The first byte of "Content-Range: bytes FIRST-LAST/TOTAL"; -1 when absent.
qint64 contentRangeStart(const NVHTTPURLResponse &response)
{
    const QByteArray range = response.valueForHTTPHeaderField("Content-Range").trimmed();
    if (!range.startsWith("bytes "))
        return -1;
    bool ok = false;
    const qint64 first = range.mid(6, range.indexOf('-') - 6).trimmed().toLongLong(&ok);
    return ok ? first : -1;
}

} // namespace

// ---- The task's life: start, redirects, end ------------------------------

NVURLSessionTask::NVURLSessionTask(NVURLSession *session, quint64 taskIdentifier, QNetworkRequest request)
    : m_session(session), m_taskIdentifier(taskIdentifier), m_originalRequest(request), m_currentRequest(std::move(request))
{
}

NVURLSessionTask::~NVURLSessionTask()
{
    dropReply();
}

NVURLSession *NVURLSessionTask::session() const
{
    return m_session.data();
}

NVURLSessionDelegate *NVURLSessionTask::delegate() const
{
    return m_session ? m_session->delegate() : nullptr;
}

void NVURLSessionTask::resume()
{
    if (m_state != State::Suspended || m_completionQueued || !m_session)
        return;
    m_state = State::Running;
    if (!isFetchable(m_currentRequest.url())) {
        completeLater(errorWithCode(NSURLErrorUnsupportedURL));
        return;
    }
    if (std::optional<NVError> problem = prepareToStart()) {
        completeLater(*problem);
        return;
    }
    startTransfer();
}

void NVURLSessionTask::cancel()
{
    if (m_state == State::Completed || m_completionQueued)
        return;
    m_state = State::Canceling;
    dropReply();
    releaseResources();
    completeLater(errorWithCode(NSURLErrorCancelled));
}

template <typename Argument>
std::function<void(Argument)> NVURLSessionTask::deferredHandler(std::function<void(Argument)> body)
{
    std::weak_ptr<NVURLSessionTask> weak = weak_from_this();
    const quint64 generation = m_generation;
    QPointer<NVURLSession> session = m_session;
    auto used = std::make_shared<bool>(false);
    return [weak, generation, session, used, body](Argument argument) {
        if (*used || !session)
            return;
        *used = true;
        QMetaObject::invokeMethod(
            session.data(),
            [weak, generation, body, argument] {
                const std::shared_ptr<NVURLSessionTask> self = weak.lock();
                if (self && self->m_generation == generation && self->isActive())
                    body(argument);
            },
            Qt::QueuedConnection);
    };
}

void NVURLSessionTask::startTransfer()
{
    dropReply();
    ++m_generation;
    m_responseSeen = false;
    m_waitingForDelegate = false;
    m_finishedWhileWaiting = false;
    m_sslErrors.clear();
    m_peerChain.clear();

    QNetworkRequest request = m_currentRequest;
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setSslConfiguration(m_session->sslConfiguration());
    prepareRequest(request);
    QNetworkReply *reply = m_session->networkAccessManager()->get(request);
    reply->setReadBufferSize(readBufferSize());
    m_reply = reply;

    if (!m_receiver)
        m_receiver = std::make_unique<QObject>();
    std::weak_ptr<NVURLSessionTask> weak = weak_from_this();
    const auto forward = [weak](void (NVURLSessionTask::*handler)()) {
        return [weak, handler] {
            if (const std::shared_ptr<NVURLSessionTask> self = weak.lock())
                (self.get()->*handler)();
        };
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, m_receiver.get(), forward(&NVURLSessionTask::onMetaDataChanged));
    QObject::connect(reply, &QNetworkReply::readyRead, m_receiver.get(), forward(&NVURLSessionTask::onReadyRead));
    QObject::connect(reply, &QNetworkReply::finished, m_receiver.get(), forward(&NVURLSessionTask::onFinished));
    QObject::connect(reply, &QNetworkReply::sslErrors, m_receiver.get(), [weak, reply](const QList<QSslError> &errors) {
        const std::shared_ptr<NVURLSessionTask> self = weak.lock();
        if (!self)
            return;
        const QList<QSslError> remaining = self->m_session ? NVServerTrust::applyAnchors(*reply, errors, self->m_session->serverAnchors()) : errors;
        if (remaining.isEmpty())
            return;
        // The chain goes into the error, for the certificate button of the
        // alert.
        self->m_sslErrors = remaining;
        self->m_peerChain = reply->sslConfiguration().peerCertificateChain();
        for (const QSslError &error : remaining)
            if (self->m_peerChain.isEmpty() && !error.certificate().isNull())
                self->m_peerChain << error.certificate();
    });
    touch();
}

void NVURLSessionTask::onMetaDataChanged()
{
    if (!isActive() || !m_reply || m_responseSeen)
        return;
    m_responseSeen = true;
    touch();
    const NVHTTPURLResponse response = NVHTTPURLResponse::fromReply(*m_reply);
    const QByteArray location = m_reply->rawHeader("Location");
    if (isRedirectStatus(response.statusCode()) && !location.isEmpty()) {
        beginRedirect(response, m_reply->url().resolved(QUrl::fromEncoded(location.trimmed())));
        return;
    }
    responseDidArrive(response);
}

void NVURLSessionTask::beginRedirect(const NVHTTPURLResponse &response, const QUrl &target)
{
    if (++m_redirectCount > kMaximumRedirects) {
        complete(errorWithCode(NSURLErrorHTTPTooManyRedirects));
        return;
    }
    if (!isFetchable(target)) {
        complete(NVURLError::errorWithCode(NSURLErrorUnsupportedURL, target));
        return;
    }
    QNetworkRequest proposed = m_currentRequest;
    proposed.setUrl(target);
    waitForDelegate();
    auto handler = deferredHandler<std::optional<QNetworkRequest>>([this, response](std::optional<QNetworkRequest> request) {
        if (request)
            followRedirect(*request);
        else
            refuseRedirect(response);
    });
    if (NVURLSessionDelegate *receiver = delegate())
        receiver->taskWillPerformHTTPRedirection(session(), shared_from_this(), response, proposed, handler);
    else
        handler(proposed);
}

void NVURLSessionTask::followRedirect(const QNetworkRequest &request)
{
    if (!isFetchable(request.url())) {
        complete(NVURLError::errorWithCode(NSURLErrorUnsupportedURL, request.url()));
        return;
    }
    NVSUDebugLog(QStringLiteral("Following the redirect from %@ to %@"), m_currentRequest.url(), request.url());
    m_currentRequest = request;
    startTransfer();
}

void NVURLSessionTask::refuseRedirect(const NVHTTPURLResponse &response)
{
    // The redirect response is the answer now, body and all.
    m_waitingForDelegate = false;
    responseDidArrive(response);
    if (isActive() && !m_waitingForDelegate)
        continueAfterDelegate();
}

void NVURLSessionTask::waitForDelegate()
{
    m_waitingForDelegate = true;
    // Waiting for our own delegate is not the server stalling.
    if (m_stallTimer)
        m_stallTimer->stop();
}

void NVURLSessionTask::continueAfterDelegate()
{
    m_waitingForDelegate = false;
    if (!isActive())
        return;
    touch();
    onReadyRead();
    if (isActive() && m_finishedWhileWaiting)
        onFinished();
}

void NVURLSessionTask::onReadyRead()
{
    if (!isActive() || !m_reply || m_waitingForDelegate || !m_responseSeen)
        return;
    touch();
    bytesDidArrive();
}

void NVURLSessionTask::onFinished()
{
    if (!isActive() || !m_reply)
        return;
    if (!m_responseSeen && m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        onMetaDataChanged();
    if (m_waitingForDelegate) {
        m_finishedWhileWaiting = true;
        return;
    }
    if (!isActive())
        return;
    if (m_stallTimer)
        m_stallTimer->stop();
    if (m_responseSeen && m_reply->bytesAvailable() > 0)
        bytesDidArrive();
    if (!isActive())
        return;
    if (std::optional<NVError> failure = failureOfFinishedReply())
        transferDidFail(*failure);
    else
        transferDidSucceed();
}

void NVURLSessionTask::onStalled()
{
    if (!isActive())
        return;
    // The timer runs from the first byte of a quiet spell; bytes since then
    // move the deadline on.
    const qint64 remaining = m_session->configuration().stallTimeout.count() - m_lastActivity.elapsed();
    if (remaining > 0) {
        m_stallTimer->start(std::chrono::milliseconds(remaining));
        return;
    }
    NVSUDebugLog(QStringLiteral("No data from %@ for %lld ms"), m_currentRequest.url(),
                 qint64(m_session->configuration().stallTimeout.count()));
    dropReply();
    transferDidFail(errorWithCode(NSURLErrorTimedOut));
}

std::optional<NVError> NVURLSessionTask::failureOfFinishedReply() const
{
    const QNetworkReply::NetworkError error = m_reply->error();
    if (error == QNetworkReply::NoError)
        return std::nullopt;
    if (m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() && isHTTPStatusError(error))
        return std::nullopt;
    const NVURLError::NetworkFailure failure{error, m_sslErrors, m_reply->errorString()};
    NVSUDebugLog(QStringLiteral("Transfer of %@ failed: %@"), m_currentRequest.url(), failure.errorString);
    return NVURLError::errorWithCode(NVURLError::codeForFailure(failure), m_currentRequest.url(), m_peerChain, std::nullopt,
                                     failure.errorString);
}

void NVURLSessionTask::completeLater(const NVError &error)
{
    m_completionQueued = true;
    ++m_generation;
    if (!m_session)
        return;
    std::weak_ptr<NVURLSessionTask> weak = weak_from_this();
    QMetaObject::invokeMethod(
        m_session.data(),
        [weak, error] {
            if (const std::shared_ptr<NVURLSessionTask> self = weak.lock())
                self->complete(error);
        },
        Qt::QueuedConnection);
}

void NVURLSessionTask::complete(const std::optional<NVError> &error)
{
    if (m_state == State::Completed)
        return;
    // The session lets go of the task below, and the delegate may too.
    const std::shared_ptr<NVURLSessionTask> self = shared_from_this();
    m_state = State::Completed;
    m_error = error;
    m_completionQueued = true;
    ++m_generation;
    dropReply();
    releaseResources();
    if (NVURLSessionDelegate *receiver = delegate())
        receiver->taskDidCompleteWithError(session(), self, error);
    if (m_session)
        m_session->taskDidComplete(this);
}

NVError NVURLSessionTask::errorWithCode(qint64 code, const std::optional<NVError> &underlying) const
{
    return NVURLError::errorWithCode(code, m_currentRequest.url(), m_peerChain, underlying);
}

void NVURLSessionTask::dropReply()
{
    if (m_stallTimer)
        m_stallTimer->stop();
    QNetworkReply *reply = m_reply.data();
    m_reply = nullptr;
    if (!reply)
        return;
    // Only our own connections go: the manager keeps its bookkeeping, and
    // the abort below reports nothing to us.
    if (m_receiver)
        QObject::disconnect(reply, nullptr, m_receiver.get(), nullptr);
    if (reply->isRunning())
        reply->abort();
    reply->deleteLater();
}

void NVURLSessionTask::detachFromSession()
{
    m_completionQueued = true;
    ++m_generation;
    dropReply();
    releaseResources();
}

void NVURLSessionTask::touch()
{
    if (!m_session)
        return;
    if (!m_stallTimer) {
        m_stallTimer = std::make_unique<QTimer>();
        m_stallTimer->setSingleShot(true);
        std::weak_ptr<NVURLSessionTask> weak = weak_from_this();
        QObject::connect(m_stallTimer.get(), &QTimer::timeout, m_stallTimer.get(), [weak] {
            if (const std::shared_ptr<NVURLSessionTask> self = weak.lock())
                self->onStalled();
        });
    }
    // Restarting a timer for every chunk of a fast download costs more than
    // the chunk itself: note the time, and let onStalled look at it.
    m_lastActivity.start();
    if (!m_stallTimer->isActive())
        m_stallTimer->start(m_session->configuration().stallTimeout);
}

// ---- Data tasks: the body in memory --------------------------------------

NVURLSessionDataTask::NVURLSessionDataTask(NVURLSession *session, quint64 taskIdentifier, QNetworkRequest request)
    : NVURLSessionTask(session, taskIdentifier, std::move(request))
{
}

void NVURLSessionDataTask::responseDidArrive(const NVHTTPURLResponse &response)
{
    if (response.expectedContentLength() > session()->configuration().maximumDataTaskLength) {
        complete(errorWithCode(NSURLErrorDataLengthExceedsMaximum));
        return;
    }
    m_response = response;
    m_countOfBytesReceived = 0;
    m_countOfBytesExpectedToReceive = response.expectedContentLength();
    waitForDelegate();
    auto handler = deferredHandler<NVURLSessionResponseDisposition>([this](NVURLSessionResponseDisposition disposition) {
        if (disposition == NVURLSessionResponseDisposition::Allow)
            continueAfterDelegate();
        else
            cancel();
    });
    if (NVURLSessionDelegate *receiver = delegate())
        receiver->dataTaskDidReceiveResponse(session(), self(), response, handler);
    else
        handler(NVURLSessionResponseDisposition::Allow);
}

void NVURLSessionDataTask::bytesDidArrive()
{
    const QByteArray bytes = reply()->readAll();
    if (bytes.isEmpty())
        return;
    if (m_countOfBytesReceived + bytes.size() > session()->configuration().maximumDataTaskLength) {
        complete(errorWithCode(NSURLErrorDataLengthExceedsMaximum));
        return;
    }
    m_countOfBytesReceived += bytes.size();
    if (NVURLSessionDelegate *receiver = delegate())
        receiver->dataTaskDidReceiveData(session(), self(), bytes);
}

void NVURLSessionDataTask::transferDidSucceed()
{
    complete(std::nullopt);
}

// ---- Download tasks: the body on disk ------------------------------------

NVURLSessionDownloadTask::NVURLSessionDownloadTask(NVURLSession *session, quint64 taskIdentifier, QNetworkRequest request)
    : NVURLSessionTask(session, taskIdentifier, std::move(request))
{
}

NVURLSessionDownloadTask::~NVURLSessionDownloadTask() = default;

std::optional<NVError> NVURLSessionDownloadTask::prepareToStart()
{
    QString directory = session()->configuration().downloadDirectory;
    if (directory.isEmpty()) {
        NVResult<QString> temporary = NVTemporaryDirectory::privateTemporaryDirectory();
        if (!temporary)
            return errorWithCode(NSURLErrorCannotCreateFile, temporary.error());
        directory = temporary.value();
    }
    NVResult<std::unique_ptr<NVDownloadFile>> file = NVDownloadFile::create(directory);
    if (!file)
        return errorWithCode(NSURLErrorCannotCreateFile, file.error());
    m_file = std::move(file).value();
    return std::nullopt;
}

qint64 NVURLSessionDownloadTask::readBufferSize() const
{
    return kDownloadReadBufferSize;
}

void NVURLSessionDownloadTask::prepareRequest(QNetworkRequest &request) const
{
    // The archive must arrive byte for byte as it was signed, and byte
    // offsets must mean the same thing when a download resumes.
    request.setRawHeader("Accept-Encoding", "identity");
    if (m_resumeOffset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_resumeOffset) + '-');
        request.setRawHeader("If-Range", m_validator);
    }
}

void NVURLSessionDownloadTask::responseDidArrive(const NVHTTPURLResponse &response)
{
    if (m_resumeOffset > 0) {
        if (response.statusCode() == 206 && contentRangeStart(response) == m_resumeOffset)
            return;
        if (response.statusCode() != 200) {
            complete(m_lostError.value_or(errorWithCode(NSURLErrorNetworkConnectionLost)));
            return;
        }
        // The server sends the whole file again: it changed since the first
        // response, so the bytes we have are worthless.
        if (NVResult<void> emptied = m_file->truncate(); !emptied) {
            complete(errorWithCode(NSURLErrorCannotWriteToFile, emptied.error()));
            return;
        }
        m_resumeOffset = 0;
        m_countOfBytesReceived = 0;
        m_reportedSize = 0;
    }
    m_response = response;
    m_countOfBytesExpectedToReceive = response.expectedContentLength();
    m_acceptsRanges = response.valueForHTTPHeaderField("Accept-Ranges").trimmed().toLower() == "bytes";
    m_validator = validatorOf(response);
}

void NVURLSessionDownloadTask::bytesDidArrive()
{
    while (reply()->bytesAvailable() > 0) {
        // readAll hands over the reply's buffered chunk without copying it.
        const QByteArray bytes = reply()->readAll();
        if (bytes.isEmpty())
            break;
        if (NVResult<void> written = m_file->append(bytes.constData(), bytes.size()); !written) {
            complete(errorWithCode(NSURLErrorCannotWriteToFile, written.error()));
            return;
        }
    }
    m_countOfBytesReceived = m_file->size();
    reportWrittenBytes();
    // The delegate may have cancelled the task, which let go of the file.
    if (isActive() && m_file && m_file->size() > m_file->writtenSize())
        flushSoon();
}

void NVURLSessionDownloadTask::flushSoon()
{
    // Bytes wait for a full write only briefly: on a slow or stalled
    // connection the progress bar would otherwise stand still for seconds
    // while the bytes sit in memory.
    if (!m_flushTimer) {
        m_flushTimer = std::make_unique<QTimer>();
        m_flushTimer->setSingleShot(true);
        std::weak_ptr<NVURLSessionTask> weak = weak_from_this();
        QObject::connect(m_flushTimer.get(), &QTimer::timeout, m_flushTimer.get(), [weak] {
            const auto self = std::static_pointer_cast<NVURLSessionDownloadTask>(weak.lock());
            if (!self || !self->m_file || !self->isActive())
                return;
            if (NVResult<void> written = self->m_file->flush(); !written) {
                self->complete(self->errorWithCode(NSURLErrorCannotWriteToFile, written.error()));
                return;
            }
            self->reportWrittenBytes();
        });
    }
    if (!m_flushTimer->isActive())
        m_flushTimer->start(std::chrono::milliseconds(100));
}

void NVURLSessionDownloadTask::reportWrittenBytes()
{
    const qint64 written = m_file->writtenSize();
    if (written == m_reportedSize)
        return;
    const qint64 increment = written - m_reportedSize;
    m_reportedSize = written;
    if (NVURLSessionDelegate *receiver = delegate())
        receiver->downloadTaskDidWriteData(session(), self(), increment, written, m_countOfBytesExpectedToReceive);
}

void NVURLSessionDownloadTask::transferDidSucceed()
{
    if (NVResult<void> closed = m_file->close(); !closed) {
        complete(errorWithCode(NSURLErrorCannotWriteToFile, closed.error()));
        return;
    }
    reportWrittenBytes();
    if (!isActive())
        return;
    // From here on the task is done whatever the delegate does: a cancel
    // inside the callback below changes nothing.
    m_completionQueued = true;
    if (NVURLSessionDelegate *receiver = delegate())
        receiver->downloadTaskDidFinishDownloadingToURL(session(), self(), QUrl::fromLocalFile(m_file->path()));
    m_file.reset();
    complete(std::nullopt);
}

bool NVURLSessionDownloadTask::canResume(const NVError &error) const
{
    // A connection that went quiet is as good as lost (a dead route sends
    // neither data nor an end), so it resumes like a dropped one.
    const bool lost = error.code() == NSURLErrorNetworkConnectionLost || error.code() == NSURLErrorTimedOut;
    return lost && m_file && m_file->size() > 0 && m_acceptsRanges
        && !m_validator.isEmpty() && session() && m_resumeAttempts < session()->configuration().maximumResumeAttempts;
}

void NVURLSessionDownloadTask::transferDidFail(const NVError &error)
{
    if (!canResume(error)) {
        complete(error);
        return;
    }
    ++m_resumeAttempts;
    m_resumeOffset = m_file->size();
    m_lostError = error;
    NVSUDebugLog(QStringLiteral("Resuming the download of %@ at byte %lld (attempt %d)"), currentRequest().url(), m_resumeOffset,
                 m_resumeAttempts);
    startTransfer();
}

void NVURLSessionDownloadTask::releaseResources()
{
    if (m_flushTimer)
        m_flushTimer->stop();
    m_file.reset();
}
