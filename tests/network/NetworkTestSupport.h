#pragma once

#include "platform/NVBundle.h"
#include "network/NVSURequest.h"
#include "network/NVURLSession.h"
#include "support/TestHTTPSServer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>


// Records the callbacks a test looks at as letters in events() (W written,
// F finished download, C completed) with what came with them.
class RecordingDelegate : public NVURLSessionDelegate {
public:
    QString events;
    QByteArray downloadedBytes;      // the file's contents at F
    bool downloadedFileGone = false; // checked at C: the file at F is no more
    QList<qint64> totals;            // totalBytesWritten at each W
    qint64 expected = -2;            // the last totalBytesExpectedToWrite
    std::optional<NVError> error;
    bool offMainThread = false;

    int count(QChar event) const { return int(events.count(event)); }
    // Where the finished download was handed over.
    const QString &location() const { return m_location; }
    bool waitForCompletions(int count = 1) const
    {
        return TestSupport::waitFor([&] { return this->count(u'C') >= count; }, std::chrono::seconds(120));
    }

    void taskDidCompleteWithError(NVURLSession *, const NVURLSessionTaskPtr &, const std::optional<NVError> &failure) override
    {
        error = failure;
        downloadedFileGone = !m_location.isEmpty() && !QFile::exists(m_location);
        note(u'C');
    }
    void downloadTaskDidWriteData(NVURLSession *, const NVURLSessionDownloadTaskPtr &, qint64, qint64 total, qint64 expectedTotal) override
    {
        totals << total;
        expected = expectedTotal;
        note(u'W');
    }
    void downloadTaskDidFinishDownloadingToURL(NVURLSession *, const NVURLSessionDownloadTaskPtr &, const QUrl &location) override
    {
        m_location = location.toLocalFile();
        downloadedBytes = TestSupport::readFile(m_location);
        note(u'F');
    }

private:
    void note(QChar event)
    {
        offMainThread = offMainThread || QThread::currentThread() != QCoreApplication::instance()->thread();
        events += event;
    }
    QString m_location;
};

// A test bundle that trusts the test authority, a private cache folder, the
// loopback server with every test name, and a session configuration that
// reaches the names through the server's proxy.
class TransportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString bundle = m_directory.path() + "/Test.app";
        const QString resources = bundle + "/Contents/Resources";
        TestSupport::writeInfoPlist(bundle, {{"CFBundleIdentifier", "test.velkin.Transport"}, {"CFBundleName", "Velkin Test"}});
        TestSupport::writeFile(resources + "/ServerTrustAnchors.pem", TestTLS::shared().authorityPEM);
        for (const char *language : {"en", "de"})
            QFile::link(TestSupport::bundlePath() + "/Contents/Resources/" + language + ".lproj",
                        resources + '/' + language + ".lproj");
        NVBundle::setMainBundle(bundle);
        qputenv("XDG_CACHE_HOME", QFile::encodeName(m_directory.path() + "/cache"));
        for (const QString &name : TestTLS::hostNames())
            server.addHost(name);
        configuration.environment = QProcessEnvironment();
        configuration.environment.insert("https_proxy", server.proxyURL());
        configuration.stallTimeout = std::chrono::seconds(60);
    }
    void TearDown() override { qunsetenv("XDG_CACHE_HOME"); }

    QString downloadFolder() const { return m_directory.path() + "/cache/test.velkin.Transport/tmp"; }
    QStringList leftoverDownloads() const { return QDir(downloadFolder()).entryList(QDir::Files); }

    std::unique_ptr<NVURLSession> makeSession() { return std::make_unique<NVURLSession>(configuration, &delegate); }

    // Runs one task, as the updater asks for it, to its completion.
    NVURLSessionTaskPtr run(NVURLSession &session, const QUrl &url, bool download)
    {
        const QNetworkRequest request = NVSUExtensions::nvsuRequestWithURL(url);
        NVURLSessionTaskPtr task = download ? NVURLSessionTaskPtr(session.downloadTaskWithRequest(request))
                                            : NVURLSessionTaskPtr(session.dataTaskWithRequest(request));
        task->resume();
        EXPECT_TRUE(delegate.waitForCompletions()) << "events: " << qPrintable(delegate.events);
        return task;
    }

    static QByteArray randomBytes(qsizetype size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
        return bytes;
    }

    QTemporaryDir m_directory;
    TestHTTPSServer server{TestTLS::shared().server};
    NVURLSessionConfiguration configuration;
    RecordingDelegate delegate;
};
