#pragma once

#include "foundation/NVError.h"
#include "network/NVHTTPURLResponse.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class NVURLSession;
class NVURLSessionTask;
class NVURLSessionDataTask;
class NVURLSessionDownloadTask;

using NVURLSessionTaskPtr = std::shared_ptr<NVURLSessionTask>;
using NVURLSessionDataTaskPtr = std::shared_ptr<NVURLSessionDataTask>;
using NVURLSessionDownloadTaskPtr = std::shared_ptr<NVURLSessionDownloadTask>;

// What a data task does with a response it has just announced.
enum class NVURLSessionResponseDisposition {
    Cancel = 0,  // end the task; it completes with NSURLErrorCancelled
    Allow = 1,   // go on and deliver the body
};

// The receiver of a session's callbacks: the update driver. Every method is
// called on the main thread, from the event loop (never from inside a call
// the delegate made), and each has a default, so a delegate implements only
// what it needs.
//
// The order per task: a data task announces each response
// (dataTaskDidReceiveResponse) before its bytes (dataTaskDidReceiveData),
// then completes; a download task reports bytes as they reach the disk
// (downloadTaskDidWriteData), then hands over the finished file
// (downloadTaskDidFinishDownloadingToURL), then completes. Redirects come
// before the response they lead to. Every task completes exactly once
// (taskDidCompleteWithError), also when it was cancelled or failed before
// it started.
//
// Tasks are shared pointers with a stable identity: compare them with ==
// to tell the current task from an earlier one whose completion arrives
// late.
class NVURLSessionDelegate {
public:
    virtual ~NVURLSessionDelegate() = default;

    // The session has been invalidated and every task has completed; it
    // makes no more calls. The error is empty after an ordinary invalidation.
    virtual void URLSessionDidBecomeInvalidWithError(NVURLSession *session, const std::optional<NVError> &error) {}

    // A response arrived on a data task. The body follows only once the
    // completion handler has been called with Allow; it may be called later,
    // from the event loop. The default allows.
    virtual void dataTaskDidReceiveResponse(NVURLSession *session, const NVURLSessionDataTaskPtr &dataTask,
                                            const NVHTTPURLResponse &response,
                                            std::function<void(NVURLSessionResponseDisposition)> completionHandler)
    {
        completionHandler(NVURLSessionResponseDisposition::Allow);
    }

    // The next bytes of a data task's body, in order.
    virtual void dataTaskDidReceiveData(NVURLSession *session, const NVURLSessionDataTaskPtr &dataTask, const QByteArray &data) {}

    // The task has ended: without an error it succeeded (a download has
    // already handed over its file); otherwise the error is in
    // "NSURLErrorDomain".
    virtual void taskDidCompleteWithError(NVURLSession *session, const NVURLSessionTaskPtr &task, const std::optional<NVError> &error) {}

    // Bytes of a download reached its file: this many now, so many in all,
    // of the expected total (-1 when the server did not say).
    virtual void downloadTaskDidWriteData(NVURLSession *session, const NVURLSessionDownloadTaskPtr &downloadTask, qint64 bytesWritten,
                                          qint64 totalBytesWritten, qint64 totalBytesExpectedToWrite)
    {
    }

    // A download is complete in the file at location (a file URL in the
    // private temporary directory). The file is deleted when this returns:
    // move it away here to keep it.
    virtual void downloadTaskDidFinishDownloadingToURL(NVURLSession *session, const NVURLSessionDownloadTaskPtr &downloadTask,
                                                       const QUrl &location)
    {
    }

    // The server redirected the task's request. Calling the completion
    // handler with a request follows it (usually the proposed newRequest);
    // with nothing, the redirect response itself becomes the task's
    // response. The handler may be called later, from the event loop. The
    // default follows.
    virtual void taskWillPerformHTTPRedirection(NVURLSession *session, const NVURLSessionTaskPtr &task, const NVHTTPURLResponse &response,
                                                const QNetworkRequest &newRequest,
                                                std::function<void(std::optional<QNetworkRequest>)> completionHandler)
    {
        completionHandler(newRequest);
    }
};
