// The driver as the delegate of its URL session: the feed's bytes, the
// completions that resume the run, the download's progress and its move into
// a private folder, and the rule that keeps redirects within the feed's
// domain.

#include "driver/NVSUDriver.h"

#include "foundation/NVFormat.h"
#include "localization/NVSoftwareUpdateStrings.h"
#include "logging/NVLog.h"
#include "network/NVURLError.h"
#include "network/NVURLSessionTask.h"
#include "platform/NVTemporaryDirectory.h"
#include "ui/NVLocalizedAlert.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <sys/time.h>

namespace S = NVSoftwareUpdateStrings;

QString NVSUDriver::downloadFolderName(const QString &bundleName, const QString &version, quint64 key)
{
    QString name = NVFormat::format("%@-%@-%08lx", bundleName, version, key);
    name.replace(QLatin1Char(' '), QLatin1Char('_'));
    // The version comes from the feed; it names one folder, never a path.
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return name;
}

std::optional<QString> NVSUDriver::domainOfURL(const QUrl &url)
{
    const QStringList labels = url.host().split(QLatin1Char('.'));
    if (url.host().isEmpty() || labels.size() < 2)
        return std::nullopt;
    return NVFormat::format("%@.%@", labels[labels.size() - 2], labels[labels.size() - 1]);
}

bool NVSUDriver::isCurrentTask(const NVURLSessionTaskPtr &task) const
{
    return task && (task == m_feedDataTask || task == m_downloadTask);
}

void NVSUDriver::URLSessionDidBecomeInvalidWithError(NVURLSession *, const std::optional<NVError> &error)
{
    if (error)
        NVSULog(QStringLiteral("URL session error occurred: %@"), QVariant::fromValue(*error));
}

void NVSUDriver::dataTaskDidReceiveResponse(NVURLSession *, const NVURLSessionDataTaskPtr &dataTask, const NVHTTPURLResponse &,
                                            std::function<void(NVURLSessionResponseDisposition)> completionHandler)
{
    // A new response (after an internal retry) starts the body again. The
    // status is not examined: an error page fails as an unreadable feed.
    if (dataTask == m_feedDataTask)
        m_feedData.clear();
    completionHandler(NVURLSessionResponseDisposition::Allow);
}

void NVSUDriver::dataTaskDidReceiveData(NVURLSession *, const NVURLSessionDataTaskPtr &dataTask, const QByteArray &data)
{
    if (dataTask == m_feedDataTask)
        m_feedData.append(data);
}

void NVSUDriver::taskDidCompleteWithError(NVURLSession *, const NVURLSessionTaskPtr &task, const std::optional<NVError> &error)
{
    // A task the driver has let go of (it cancelled it, or a newer run
    // started) reports late; it must never move the run, also not while an
    // alert is up. A download that succeeded went on when its file arrived.
    if (!isCurrentTask(task))
        return;
    if (!error && task != m_feedDataTask)
        return;
    internalCheckForUpdate(error ? std::optional(NVSUDriverResume{.downloadError = error}) : std::nullopt);
}

void NVSUDriver::downloadTaskDidWriteData(NVURLSession *, const NVURLSessionDownloadTaskPtr &downloadTask, qint64,
                                          qint64 totalBytesWritten, qint64 totalBytesExpectedToWrite)
{
    if (downloadTask == m_downloadTask && m_windowController)
        m_windowController->downloadProgress(totalBytesWritten, totalBytesExpectedToWrite);
}

void NVSUDriver::downloadTaskDidFinishDownloadingToURL(NVURLSession *, const NVURLSessionDownloadTaskPtr &downloadTask,
                                                       const QUrl &location)
{
    if (downloadTask != m_downloadTask || !m_selectedUpdate)
        return;
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const quint64 key = quint64(now.tv_sec) ^ quint64(qint64(now.tv_usec));
    const NVResult<QString> temporary = NVTemporaryDirectory::privateTemporaryDirectory();
    const QString folder = (temporary ? temporary.value() : QDir::tempPath()) + QLatin1Char('/')
                           + downloadFolderName(bundleName(), m_selectedUpdate->version().versionNumber(), key);
    NVSUDebugLog(QStringLiteral("Moving downloaded file to directory %@"), folder);
    if (!temporary || !QDir().mkpath(folder)) {
        // The run waits in the download view until the user cancels or
        // closes the window.
        NVLocalizedAlert::runLocalizedAlertWithName(*this, S::errorCreatingDir, m_windowController ? m_windowController->window() : nullptr,
                                                    {}, {folder});
        return;
    }
    QString name = downloadTask->currentRequest().url().fileName();
    if (name.isEmpty())
        name = QStringLiteral("download");
    const QString destination = folder + QLatin1Char('/') + name;
    if (::rename(QFile::encodeName(location.toLocalFile()).constData(), QFile::encodeName(destination).constData()) == 0) {
        m_downloadedFileURL = QUrl::fromLocalFile(destination);
        // The run goes on now; the task's own completion is then ignored.
        m_downloadTask.reset();
        internalCheckForUpdate(std::nullopt);
        return;
    }
    const int error = errno;
    QDir(folder).removeRecursively();
    m_downloadTask.reset();
    internalCheckForUpdate(NVSUDriverResume{.downloadError = NVError::posix(error, {{NSFilePathErrorKey, destination}})});
}

void NVSUDriver::taskWillPerformHTTPRedirection(NVURLSession *, const NVURLSessionTaskPtr &task, const NVHTTPURLResponse &,
                                                const QNetworkRequest &newRequest,
                                                std::function<void(std::optional<QNetworkRequest>)> completionHandler)
{
    const QUrl target = newRequest.url();
    const std::optional<QString> newDomain = domainOfURL(target);
    // A redirect may stay within the feed's domain, and never downgrades to
    // plain HTTP.
    if (newDomain && newDomain == domainOfURL(m_feedURL) && target.scheme() == QLatin1String("https")) {
        completionHandler(newRequest);
        return;
    }
    completionHandler(std::nullopt);
    refuseRedirect(task, target);
}

void NVSUDriver::refuseRedirect(const NVURLSessionTaskPtr &task, const QUrl &target)
{
    const bool current = isCurrentTask(task);
    task->cancel();
    if (!current)
        return;
    // The driver lets go of the task first, so that its cancellation, which
    // reports later, cannot resume the run a second time.
    if (task == m_feedDataTask)
        m_feedDataTask.reset();
    else
        m_downloadTask.reset();

    QStringList options{localizeString(S::_badDomainNameAlertCancelButtonTitle)};
    if (!m_websiteURL.isEmpty())
        options << localizeString(S::_badDomainNameAlertVisitWebsiteButtonTitle);
    const NVError error(NSURLErrorDomain, NSURLErrorUnsupportedURL,
                        {{NSLocalizedDescriptionKey, NVFormat::format(localizeString(S::_badDomainNameAlertMessageFormat), target.host())},
                         {NSLocalizedRecoverySuggestionErrorKey,
                          NVFormat::format(localizeString(S::_badDomainNameAlertInfoFormat), bundleName(), domainOfURL(m_feedURL).value_or(QString()))},
                         {NSLocalizedRecoveryOptionsErrorKey, options},
                         {NSErrorFailingURLKey, target}});
    NVSUDriverResume resume{.downloadError = error};
    resume.errorAlertCompletionHandler = [driver = QPointer<NVSUDriver>(this)](int response) {
        if (driver && response == NSAlertSecondButtonReturn)
            driver->openWebsiteURL();
    };
    internalCheckForUpdate(resume);
}
