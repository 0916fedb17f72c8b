#include "network/NVURLSession.h"

#include "network/NVSURequest.h"
#include "network/NVURLError.h"
#include "NetworkTestSupport.h"

#include <QRegularExpression>

#include <csignal>
#include <cstring>
#include <sys/resource.h>

using Route = TestHTTPSServer::Route;
using Framing = Route::Framing;

TEST_F(TransportTest, CallbacksArriveInOrderForEachKindOfTransfer)
{
    const QByteArray body = randomBytes(3 * 1024 * 1024 + 17);
    Route page{.status = 404, .body = "<html>no such file</html>"};
    server.setRoute("/length", {.body = body});
    server.setRoute("/chunked", {.body = body, .framing = Framing::Chunked});
    server.setRoute("/close", {.body = body, .framing = Framing::CloseDelimited});
    server.setRoute("/missing", page);
    // Three hops, across hosts and across the last-two-label domain.
    server.setRoute("/hop1", {.status = 301, .body = "moved", .headers = {{"Location", "https://downloads.velkin.test/hop2"}}});
    server.setRoute("/hop2", {.status = 302, .headers = {{"Location", "https://a.example.co.uk/hop3"}}});
    server.setRoute("/hop3", {.status = 307, .headers = {{"Location", "/length"}}});

    struct Case {
        const char *path;
        bool download;
        bool followRedirects;
        const char *events;
        QByteArray expectedBody;
        qint64 expectedTotal;
        const char *finalURL;
    };
    const Case cases[] = {
        {"/length", false, true, "^HD+C$", body, qint64(body.size()), "https://updates.velkin.test/length"},
        {"/chunked", false, true, "^HD+C$", body, -1, "https://updates.velkin.test/chunked"},
        {"/close", false, true, "^HD+C$", body, -1, "https://updates.velkin.test/close"},
        {"/missing", false, true, "^HD+C$", page.body, page.body.size(), "https://updates.velkin.test/missing"},
        {"/hop1", false, true, "^RRRHD+C$", body, qint64(body.size()), "https://a.example.co.uk/length"},
        // A refused redirect makes the redirect response the answer, announced before its bytes.
        {"/hop1", false, false, "^RHD+C$", "moved", 5, "https://updates.velkin.test/hop1"},
        {"/length", true, true, "^W+FC$", body, qint64(body.size()), "https://updates.velkin.test/length"},
        {"/hop1", true, true, "^RRRW+FC$", body, qint64(body.size()), "https://a.example.co.uk/length"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.path) + (c.download ? " download" : " data") + (c.followRedirects ? "" : " refused"));
        delegate = RecordingDelegate();
        delegate.followRedirects = c.followRedirects;
        auto session = makeSession();
        QNetworkRequest request = NVSUExtensions::nvsuRequestWithURL(server.url("updates.velkin.test", c.path));
        NVURLSessionTaskPtr task = c.download ? NVURLSessionTaskPtr(session->downloadTaskWithRequest(request))
                                              : NVURLSessionTaskPtr(session->dataTaskWithRequest(request));
        task->resume();
        ASSERT_TRUE(delegate.waitForCompletions()) << qPrintable(delegate.events);

        EXPECT_TRUE(QRegularExpression(c.events).match(delegate.events).hasMatch()) << qPrintable(delegate.events);
        EXPECT_FALSE(delegate.error.has_value()) << qPrintable(delegate.error->description());
        EXPECT_FALSE(delegate.offMainThread);
        EXPECT_EQ(c.download ? delegate.downloadedBytes : delegate.data, c.expectedBody);
        EXPECT_EQ(task->currentRequest().url().toString(), c.finalURL);
        EXPECT_EQ(task->state(), NVURLSessionTask::State::Completed);
        if (c.download) {
            EXPECT_EQ(delegate.expected, c.expectedTotal);
            EXPECT_TRUE(std::is_sorted(delegate.totals.begin(), delegate.totals.end()));
            EXPECT_TRUE(delegate.downloadedFileGone);
            EXPECT_EQ(QFileInfo(delegate.location()).absolutePath(), downloadFolder());
        } else {
            EXPECT_EQ(delegate.responses.last().expectedContentLength(), c.expectedTotal);
        }
        const TestHTTPSServer::Request sent = server.requests().last();
        EXPECT_EQ(sent.header("User-Agent"), NVSUExtensions::defaultUserAgentStringIncludingModelIdentifier().toUtf8());
        EXPECT_EQ(sent.header("Accept-Encoding") == "identity", c.download);
    }
    EXPECT_EQ(leftoverDownloads(), QStringList());
}

// The driver tells a late completion of an old task from the current one by
// identity, so a cancelled task must report exactly once, whenever the
// cancel comes.
TEST_F(TransportTest, CancelGivesExactlyOneCancelledCompletion)
{
    server.setRoute("/big", {.body = randomBytes(8 * 1024 * 1024)});
    server.setRoute("/stall", {.body = randomBytes(1024), .stallAfter = 100});
    server.setRoute("/small", {.body = "feed"});
    struct Case {
        const char *name;
        const char *path;
        bool download;
        QChar cancelAt;  // the event in whose callback the task is cancelled; '-' before resume
        qint64 code;
    };
    const Case cases[] = {
        {"before resume", "/big", false, u'-', NSURLErrorCancelled},
        {"at the response", "/big", false, u'H', NSURLErrorCancelled},
        {"at the first write", "/big", true, u'W', NSURLErrorCancelled},
        {"while stalled", "/stall", false, u'D', NSURLErrorCancelled},
        {"when finished", "/small", true, u'F', 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        delegate = RecordingDelegate();
        auto session = makeSession();
        const QNetworkRequest request(server.url("updates.velkin.test", c.path));
        NVURLSessionTaskPtr task = c.download ? NVURLSessionTaskPtr(session->downloadTaskWithRequest(request))
                                              : NVURLSessionTaskPtr(session->dataTaskWithRequest(request));
        delegate.hook = [&](QChar event) {
            if (event == c.cancelAt) {
                task->cancel();
                task->cancel();
            }
        };
        if (c.cancelAt == u'-')
            task->cancel();
        task->resume();
        ASSERT_TRUE(delegate.waitForCompletions());
        // A second transfer through the same event loop flushes anything
        // the first might still report.
        RecordingDelegate first = delegate;
        delegate = RecordingDelegate();
        run(*session, server.url("updates.velkin.test", "/small"), false);
        EXPECT_EQ(first.count(u'C'), 1) << qPrintable(first.events);
        EXPECT_EQ(first.error ? first.error->code() : 0, c.code);
        // Nothing but the completion follows the cancel.
        const qsizetype at = first.events.indexOf(c.cancelAt);
        EXPECT_EQ(first.events.mid(at + 1), "C") << qPrintable(first.events);
        EXPECT_EQ(leftoverDownloads(), QStringList());
    }
}

TEST_F(TransportTest, BrokenDownloadsResumeOnlyWithAValidatorAndRanges)
{
    const QByteArray body = randomBytes(2 * 1024 * 1024 + 5);
    struct Case {
        const char *name;
        Route route;
        qint64 code;
        int requests;
        QByteArray ifRange;
    };
    const Case cases[] = {
        {"entity tag, cut twice", {.body = body, .dropAfter = 700000, .faultCount = 2, .ranges = true, .etag = "\"v5\""}, 0, 3, "\"v5\""},
        {"weak tag and date", {.body = body, .dropAfter = 9000, .ranges = true, .etag = "W/\"v5\"", .lastModified = "Tue, 01 Dec 2026 10:00:00 GMT"},
         0, 2, "Tue, 01 Dec 2026 10:00:00 GMT"},
        {"entity tag, stalled once", {.body = body, .stallAfter = 500000, .ranges = true, .etag = "\"v6\""}, 0, 2, "\"v6\""},
        {"no validator", {.body = body, .dropAfter = 5000, .ranges = true}, NSURLErrorNetworkConnectionLost, 1, ""},
        {"cut four times", {.body = body, .dropAfter = 300000, .faultCount = 4, .ranges = true, .etag = "\"v5\""},
         NSURLErrorNetworkConnectionLost, 4, "\"v5\""},
    };
    // A connection that goes quiet counts as lost once this passes.
    configuration.stallTimeout = std::chrono::seconds(3);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        delegate = RecordingDelegate();
        const QString path = QStringLiteral("/archive-%1.tar.gz").arg(&c - cases);
        server.setRoute(path, c.route);
        auto session = makeSession();
        run(*session, server.url("downloads.velkin.test", path), true);

        const QList<TestHTTPSServer::Request> sent = server.requestsFor(path);
        EXPECT_EQ(sent.size(), c.requests);
        EXPECT_EQ(delegate.error ? delegate.error->code() : 0, c.code);
        EXPECT_EQ(delegate.count(u'C'), 1);
        if (c.code == 0) {
            EXPECT_TRUE(delegate.downloadedBytes == body) << "got " << delegate.downloadedBytes.size() << " bytes";
            EXPECT_TRUE(std::is_sorted(delegate.totals.begin(), delegate.totals.end()));
            EXPECT_EQ(delegate.expected, body.size());
        }
        for (qsizetype i = 1; i < sent.size(); ++i) {
            EXPECT_TRUE(sent[i].header("Range").startsWith("bytes=")) << sent[i].header("Range").constData();
            EXPECT_EQ(sent[i].header("If-Range"), c.ifRange);
        }
        EXPECT_EQ(leftoverDownloads(), QStringList());
    }
}

TEST_F(TransportTest, InvalidationComesAfterTheLastCompletion)
{
    server.setRoute("/big", {.body = randomBytes(4 * 1024 * 1024), .stallAfter = 1024});
    server.setRoute("/small", {.body = "feed"});
    for (const bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "invalidate and cancel" : "finish and invalidate");
        delegate = RecordingDelegate();
        auto session = makeSession();
        NVURLSessionTaskPtr task = session->dataTaskWithRequest(QNetworkRequest(server.url("updates.velkin.test", cancel ? "/big" : "/small")));
        task->resume();
        if (cancel)
            session->invalidateAndCancel();
        else
            session->finishTasksAndInvalidate();
        ASSERT_TRUE(TestSupport::waitFor([&] { return delegate.count(u'I') > 0; }, std::chrono::seconds(60)));
        EXPECT_TRUE(delegate.events.endsWith("CI")) << qPrintable(delegate.events);
        EXPECT_EQ(delegate.error.has_value(), cancel);
        EXPECT_EQ(session->tasks().size(), 0u);
    }
}

// A download that cannot be written stops with the cause as the underlying
// POSIX error, and leaves no partial file. A limit on file size stands in for
// a full disk: the write fails part-way in the same way.
TEST_F(TransportTest, AFailedWriteNamesTheCauseAndLeavesNoFile)
{
    server.setRoute("/big", {.body = randomBytes(4 * 1024 * 1024)});
    struct rlimit original {};
    ::getrlimit(RLIMIT_FSIZE, &original);
    const sighandler_t handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = original;
    limited.rlim_cur = 1024 * 1024;
    ::setrlimit(RLIMIT_FSIZE, &limited);
    auto session = makeSession();
    run(*session, server.url("updates.velkin.test", "/big"), true);
    ::setrlimit(RLIMIT_FSIZE, &original);
    std::signal(SIGXFSZ, handler);
    ASSERT_TRUE(delegate.error.has_value());
    EXPECT_EQ(delegate.error->code(), NSURLErrorCannotWriteToFile);
    EXPECT_EQ(delegate.error->underlyingError()->code(), EFBIG);
    EXPECT_TRUE(delegate.error->localizedDescription().contains(QString::fromLocal8Bit(strerror(EFBIG))));
    EXPECT_EQ(leftoverDownloads(), QStringList());
}

// The environment's proxy carries every request except those no_proxy
// names, which go straight to the server.
TEST_F(TransportTest, NoProxyHostsGoDirect)
{
    server.setRoute("/small", {.body = "feed"});
    server.addHost("127.0.0.1");
    for (const char *noProxy : {"", "localhost,127.0.0.1"}) {
        SCOPED_TRACE(noProxy);
        delegate = RecordingDelegate();
        configuration.environment.insert("no_proxy", noProxy);
        const qsizetype before = server.requests().size();
        auto session = makeSession();
        run(*session, server.url(QString(), "/small"), false);
        EXPECT_EQ(delegate.data, "feed");
        const QList<TestHTTPSServer::Request> sent = server.requests().mid(before);
        EXPECT_EQ(sent.first().method == "CONNECT", *noProxy == '\0');
    }
}
