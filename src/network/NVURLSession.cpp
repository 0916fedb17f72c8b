#include "network/NVURLSession.h"

#include "foundation/NVPrecondition.h"
#include "network/NVProxyFactory.h"
#include "network/NVServerTrust.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <algorithm>

NVURLSession::NVURLSession(NVURLSessionConfiguration configuration, NVURLSessionDelegate *delegate, QObject *parent)
    : QObject(parent),
      m_configuration(std::move(configuration)),
      m_delegate(delegate),
      // Not a child: the destructor hands it to the event loop, after the
      // replies, so that a session destroyed inside a reply's signal does
      // not pull the manager out from under it.
      m_manager(new QNetworkAccessManager),
      m_sessionDescription(QStringLiteral("Software Update"))
{
    m_manager->setProxyFactory(new NVProxyFactory(m_configuration.environment));
    m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_manager->setAutoDeleteReplies(false);
    m_sslConfiguration = NVServerTrust::serverConfiguration();
    m_serverAnchors = NVServerTrust::anchorsAtPath(
        m_configuration.serverTrustAnchorsPath.isEmpty() ? NVServerTrust::bundleAnchorsPath() : m_configuration.serverTrustAnchorsPath);
}

NVURLSession::~NVURLSession()
{
    // The tasks may outlive the session in the delegate's hands; they stop
    // now and report nothing more.
    for (const NVURLSessionTaskPtr &task : m_tasks)
        task->detachFromSession();
    m_tasks.clear();
    // A reply may still be delivering a signal into us, so the manager goes
    // on the next turn of the loop. Once the application object is being
    // destroyed there is no next turn, and posting an event while it empties
    // its queue (a session held by an event it is dropping) would wait
    // forever on the queue's lock.
    if (QCoreApplication::closingDown() || !QCoreApplication::instance())
        delete m_manager;
    else
        m_manager->deleteLater();
}

NVURLSessionDataTaskPtr NVURLSession::dataTaskWithRequest(const QNetworkRequest &request)
{
    NV_PRECONDITION(!m_invalidated, QStringLiteral("Task created in a URL session that has been invalidated"));
    auto task = std::make_shared<NVURLSessionDataTask>(this, m_nextTaskIdentifier++, request);
    m_tasks.push_back(task);
    return task;
}

NVURLSessionDownloadTaskPtr NVURLSession::downloadTaskWithRequest(const QNetworkRequest &request)
{
    NV_PRECONDITION(!m_invalidated, QStringLiteral("Task created in a URL session that has been invalidated"));
    auto task = std::make_shared<NVURLSessionDownloadTask>(this, m_nextTaskIdentifier++, request);
    m_tasks.push_back(task);
    return task;
}

void NVURLSession::finishTasksAndInvalidate()
{
    m_invalidated = true;
    becomeInvalidWhenIdle();
}

void NVURLSession::invalidateAndCancel()
{
    m_invalidated = true;
    // cancel() only queues each completion, so the list stays as it is
    // while we walk it.
    const std::vector<NVURLSessionTaskPtr> tasks = m_tasks;
    for (const NVURLSessionTaskPtr &task : tasks)
        task->cancel();
    becomeInvalidWhenIdle();
}

void NVURLSession::taskDidComplete(const NVURLSessionTask *task)
{
    const auto found = std::find_if(m_tasks.begin(), m_tasks.end(), [task](const NVURLSessionTaskPtr &each) { return each.get() == task; });
    if (found != m_tasks.end())
        m_tasks.erase(found);
    becomeInvalidWhenIdle();
}

void NVURLSession::becomeInvalidWhenIdle()
{
    if (!m_invalidated || m_invalidationReported || !m_tasks.empty())
        return;
    m_invalidationReported = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            NVURLSessionDelegate *delegate = std::exchange(m_delegate, nullptr);
            if (delegate)
                delegate->URLSessionDidBecomeInvalidWithError(this, std::nullopt);
        },
        Qt::QueuedConnection);
}
