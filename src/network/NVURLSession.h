#pragma once

#include "network/NVURLSessionDelegate.h"
#include "network/NVURLSessionTask.h"

#include <QObject>
#include <QProcessEnvironment>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>

#include <chrono>
#include <memory>
#include <vector>

class QNetworkAccessManager;

// How a session behaves. The defaults are what the updater uses; tests
// shorten the stall time-out rather than wait two minutes.
struct NVURLSessionConfiguration {
    // A transfer that receives nothing for this long fails with
    // NSURLErrorTimedOut, so a stalled server cannot hold a run forever (a
    // download that can resume tries again first).
    std::chrono::milliseconds stallTimeout{std::chrono::minutes(2)};
    // A data task whose body passes this many bytes fails with
    // NSURLErrorDataLengthExceedsMaximum: a feed is small, and it is held in
    // memory.
    qint64 maximumDataTaskLength = 16 * 1024 * 1024;
    // How often a dropped download is resumed with a Range request.
    int maximumResumeAttempts = 3;
    // Extra trusted authorities (PEM); empty: the updater bundle's
    // Resources/ServerTrustAnchors.pem.
    QString serverTrustAnchorsPath;
    // Where downloads are written; empty: the private temporary directory.
    QString downloadDirectory;
    // The proxy variables are read from here once, when the session is made.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
};

// The updater's URL session: one QNetworkAccessManager on the main thread,
// creating data tasks (the feed, delivered in memory) and download tasks
// (the archive, streamed to a file), and reporting every event of theirs to
// one delegate on the main thread. It trusts the system's authorities plus
// the bundle's anchors (NVServerTrust.h), takes proxies from the
// environment as curl does (NVProxyFactory.h), never uses a cache, follows
// redirects only when the delegate agrees, and never examines the HTTP
// status: an error page is delivered like any body.
//
// The delegate must outlive the session; the driver owns both. A session
// may be destroyed inside one of its callbacks (the transfers are torn down
// later, from the event loop), but it calls nothing after its destructor.
// Every member is main thread only and returns at once, except the
// constructor, which reads the system's certificate store (milliseconds).
class NVURLSession : public QObject {
    Q_OBJECT
public:
    NVURLSession(NVURLSessionConfiguration configuration, NVURLSessionDelegate *delegate, QObject *parent = nullptr);
    ~NVURLSession() override;

    NVURLSessionDelegate *delegate() const { return m_delegate; }
    const NVURLSessionConfiguration &configuration() const { return m_configuration; }
    // "Software Update" unless set otherwise; it names the session in logs.
    const QString &sessionDescription() const { return m_sessionDescription; }
    void setSessionDescription(const QString &description) { m_sessionDescription = description; }

    // New suspended tasks for request. Calling these after invalidation is a
    // programming error.
    NVURLSessionDataTaskPtr dataTaskWithRequest(const QNetworkRequest &request);
    NVURLSessionDownloadTaskPtr downloadTaskWithRequest(const QNetworkRequest &request);

    // Tasks that have not completed yet, in creation order.
    const std::vector<NVURLSessionTaskPtr> &tasks() const { return m_tasks; }

    // Let running tasks finish, then tell the delegate the session is invalid.
    void finishTasksAndInvalidate();
    // Cancel every task, then tell the delegate the session is invalid once
    // their completions have been reported.
    void invalidateAndCancel();

private:
    friend class NVURLSessionTask;

    QNetworkAccessManager *networkAccessManager() const { return m_manager; }
    const QSslConfiguration &sslConfiguration() const { return m_sslConfiguration; }
    // The authorities trusted besides the system's (NVServerTrust.h).
    const QList<QSslCertificate> &serverAnchors() const { return m_serverAnchors; }
    void taskDidComplete(const NVURLSessionTask *task);
    void becomeInvalidWhenIdle();

    const NVURLSessionConfiguration m_configuration;
    NVURLSessionDelegate *m_delegate;
    QNetworkAccessManager *m_manager;
    QSslConfiguration m_sslConfiguration;
    QList<QSslCertificate> m_serverAnchors;
    QString m_sessionDescription;
    std::vector<NVURLSessionTaskPtr> m_tasks;
    quint64 m_nextTaskIdentifier = 1;
    bool m_invalidated = false;
    bool m_invalidationReported = false;
};
