#include "network/NVURLSession.h"

#include "network/NVSURequest.h"
#include "network/NVURLError.h"
#include "NetworkTestSupport.h"

#include <csignal>
#include <cstring>
#include <sys/resource.h>

using Route = TestHTTPSServer::Route;
using Framing = Route::Framing;

// A download arrives whole in the private download folder, whatever the
// framing and however many hosts it was redirected across, and the file is
// gone once the completion has been reported. A broken transfer resumes only
// when the server names a validator and takes ranges, and only so often;
// a failed one leaves nothing behind.
TEST_F(TransportTest, DownloadsArriveWholeAndResumeOnlyWithAValidatorAndRanges)
{
    const QByteArray body = randomBytes(2 * 1024 * 1024 + 5);
    struct Case {
        const char *name;
        Route route;
        bool redirected; // asked for on another host, three hops away
        qint64 code;
        int requests;
        QByteArray ifRange;
    };
    const Case cases[] = {
        {"chunked", {.body = body, .framing = Framing::Chunked}, false, 0, 1, ""},
        {"close-delimited", {.body = body, .framing = Framing::CloseDelimited}, false, 0, 1, ""},
        {"length, redirected across hosts", {.body = body}, true, 0, 1, ""},
        {"entity tag, cut twice", {.body = body, .dropAfter = 700000, .faultCount = 2, .ranges = true, .etag = "\"v5\""}, false, 0, 3, "\"v5\""},
        {"weak tag and date", {.body = body, .dropAfter = 9000, .ranges = true, .etag = "W/\"v5\"", .lastModified = "Tue, 01 Dec 2026 10:00:00 GMT"},
         false, 0, 2, "Tue, 01 Dec 2026 10:00:00 GMT"},
        {"entity tag, stalled once", {.body = body, .stallAfter = 500000, .ranges = true, .etag = "\"v6\""}, false, 0, 2, "\"v6\""},
        {"no validator", {.body = body, .dropAfter = 5000, .ranges = true}, false, NSURLErrorNetworkConnectionLost, 1, ""},
        {"cut four times", {.body = body, .dropAfter = 300000, .faultCount = 4, .ranges = true, .etag = "\"v5\""}, false,
         NSURLErrorNetworkConnectionLost, 4, "\"v5\""},
    };
    // Across hosts and across the last-two-label domain, the last hop relative.
    server.setRoute("/hop1", {.status = 301, .body = "moved", .headers = {{"Location", "https://downloads.velkin.test/hop2"}}});
    server.setRoute("/hop2", {.status = 302, .headers = {{"Location", "https://a.example.co.uk/hop3"}}});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // A connection that goes quiet counts as lost once this passes.
        configuration.stallTimeout = std::chrono::seconds(c.route.stallAfter >= 0 ? 3 : 60);
        delegate = RecordingDelegate();
        const QString path = QStringLiteral("/archive-%1.tar.gz").arg(&c - cases);
        server.setRoute(path, c.route);
        server.setRoute("/hop3", {.status = 307, .headers = {{"Location", path.toUtf8()}}});
        auto session = makeSession();
        const NVURLSessionTaskPtr task = run(*session, c.redirected ? server.url("updates.velkin.test", "/hop1") : server.url("downloads.velkin.test", path), true);

        const QList<TestHTTPSServer::Request> sent = server.requestsFor(path);
        EXPECT_EQ(sent.size(), c.requests);
        EXPECT_EQ(delegate.error ? delegate.error->code() : 0, c.code);
        EXPECT_EQ(delegate.count(u'C'), 1);
        EXPECT_FALSE(delegate.offMainThread);
        EXPECT_EQ(task->currentRequest().url().host(), c.redirected ? "a.example.co.uk" : "downloads.velkin.test");
        if (c.code == 0) {
            EXPECT_TRUE(delegate.downloadedBytes == body) << "got " << delegate.downloadedBytes.size() << " bytes";
            EXPECT_TRUE(std::is_sorted(delegate.totals.begin(), delegate.totals.end()));
            EXPECT_EQ(delegate.expected, c.route.framing == Framing::ContentLength ? body.size() : -1);
            EXPECT_EQ(QFileInfo(delegate.location()).absolutePath(), downloadFolder());
            EXPECT_TRUE(delegate.downloadedFileGone);
        }
        for (qsizetype i = 0; i < sent.size(); ++i) {
            // An archive must arrive as the bytes that were signed.
            EXPECT_EQ(sent[i].header("Accept-Encoding"), "identity");
            EXPECT_EQ(sent[i].header("User-Agent"), NVSUExtensions::defaultUserAgentStringIncludingModelIdentifier().toUtf8());
            EXPECT_TRUE(sent[i].header("User-Agent").contains(QStringLiteral(" QtNetwork/%1 Linux/").arg(qVersion()).toUtf8()));
            if (i > 0) {
                EXPECT_TRUE(sent[i].header("Range").startsWith("bytes=")) << sent[i].header("Range").constData();
                EXPECT_EQ(sent[i].header("If-Range"), c.ifRange);
            }
        }
        EXPECT_EQ(leftoverDownloads(), QStringList());
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
