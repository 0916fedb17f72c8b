#include "network/NVURLError.h"

#include "NetworkTestSupport.h"

#include <QTcpServer>

using Route = TestHTTPSServer::Route;

namespace {

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

} // namespace

// Each row of the error table, produced by a real failure: the code, the
// failing URL, a description from the string table (never a bare key), and
// for certificate failures the chain the server showed.
TEST_F(TransportTest, FailuresMapToTheirURLErrors)
{
    const TestTLS &tls = TestTLS::shared();
    server.setRoute("/feed", {.body = randomBytes(100 * 1024)});
    server.setRoute("/chunked-feed", {.body = randomBytes(100 * 1024), .framing = Route::Framing::Chunked});
    server.setRoute("/to-ftp", {.status = 302, .headers = {{"Location", "ftp://updates.velkin.test/feed"}}});
    server.setRoute("/cut", {.body = randomBytes(10 * 1024), .dropAfter = 1000, .faultCount = 1000});
    server.setRoute("/stall", {.body = randomBytes(1024), .stallAfter = 10});

    struct Row {
        const char *name;
        QString url;
        qint64 code;
        const TestHTTPSServer::Identity *identity = nullptr;  // what updates.velkin.test shows
        bool direct = false;                                 // without the proxy
        bool hostInDescription = true;
        // The bundle's server anchors instead ("": no file). Without the
        // test authority among them the system store alone decides, and it
        // does not know that authority.
        const char *anchors = nullptr;
    };
    const QString direct = QStringLiteral("https://127.0.0.1:%1/feed");
    const Row rows[] = {
        {"unsupported scheme", "ftp://updates.velkin.test/feed", NSURLErrorUnsupportedURL, nullptr, false, false},
        {"redirect to another scheme", "https://updates.velkin.test/to-ftp", NSURLErrorUnsupportedURL, nullptr, false, false},
        {"unknown host", "https://unknown.velkin.test/feed", NSURLErrorCannotFindHost},
        {"refused connection", direct.arg(closedPort()), NSURLErrorCannotConnectToHost, nullptr, true},
        {"connection lost", "https://updates.velkin.test/cut", NSURLErrorNetworkConnectionLost, nullptr, false, false},
        {"unreachable network", "https://255.255.255.255/feed", NSURLErrorNotConnectedToInternet, nullptr, true, false},
        {"stalled server", "https://updates.velkin.test/stall", NSURLErrorTimedOut},
        {"feed over the cap", "https://updates.velkin.test/feed", NSURLErrorDataLengthExceedsMaximum, nullptr, false, false},
        {"chunked feed over the cap", "https://updates.velkin.test/chunked-feed", NSURLErrorDataLengthExceedsMaximum, nullptr, false, false},
        {"server without TLS", direct.arg(server.proxyPort()), NSURLErrorSecureConnectionFailed, nullptr, true},
        {"expired certificate", "https://updates.velkin.test/feed", NSURLErrorServerCertificateHasBadDate, &tls.expired},
        {"another host's certificate", "https://updates.velkin.test/feed", NSURLErrorServerCertificateUntrusted, &tls.otherHost},
        {"unknown root", "https://updates.velkin.test/feed", NSURLErrorServerCertificateHasUnknownRoot, &tls.unknownRoot},
        {"certificate not yet valid", "https://updates.velkin.test/feed", NSURLErrorServerCertificateNotYetValid, &tls.notYetValid},
        {"no server anchors", "https://updates.velkin.test/feed", NSURLErrorServerCertificateHasUnknownRoot, nullptr, false, true, ""},
        {"anchors without certificates", "https://updates.velkin.test/feed", NSURLErrorServerCertificateHasUnknownRoot, nullptr, false, true,
         "not a certificate\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        delegate = RecordingDelegate();
        server.addHost("updates.velkin.test", row.identity ? std::optional(*row.identity) : std::nullopt);
        NVURLSessionConfiguration rowConfiguration = configuration;
        if (row.direct)
            rowConfiguration.environment = QProcessEnvironment();
        rowConfiguration.stallTimeout = std::chrono::milliseconds(row.code == NSURLErrorTimedOut ? 300 : 60000);
        rowConfiguration.maximumDataTaskLength = 64 * 1024;
        if (row.anchors) {
            rowConfiguration.serverTrustAnchorsPath = m_directory.path() + "/anchors.pem";
            if (*row.anchors)
                TestSupport::writeFile(rowConfiguration.serverTrustAnchorsPath, row.anchors);
        }
        NVURLSession session(rowConfiguration, &delegate);
        const QUrl url(row.url);
        const qsizetype requestsBefore = server.requests().size();
        session.dataTaskWithRequest(QNetworkRequest(url))->resume();
        ASSERT_TRUE(delegate.waitForCompletions());

        ASSERT_TRUE(delegate.error.has_value()) << qPrintable(delegate.events);
        const NVError &error = *delegate.error;
        EXPECT_EQ(error.domain(), NSURLErrorDomain);
        EXPECT_EQ(error.code(), row.code) << qPrintable(error.description());
        EXPECT_EQ(delegate.count(u'C'), 1);
        const QString description = error.localizedDescription();
        EXPECT_FALSE(description.isEmpty() || description.startsWith(u'_')) << qPrintable(description);
        if (row.hostInDescription) {
            EXPECT_TRUE(description.contains(url.host())) << qPrintable(description);
        }
        if (row.code == NSURLErrorUnsupportedURL) {
            EXPECT_EQ(error.failingURL().scheme(), "ftp");
            EXPECT_TRUE(description.contains(error.failingURL().toDisplayString()));
        } else {
            EXPECT_EQ(error.failingURL(), url);
        }
        if (row.url.startsWith("ftp:")) {
            EXPECT_EQ(server.requests().size(), requestsBefore) << "a request went out";
        }
        const QVariantList chain = error.userInfo().value(NSURLErrorFailingURLPeerTrustErrorKey).toList();
        EXPECT_EQ(error.userInfo().contains(NSURLErrorFailingURLPeerTrustErrorKey), NVURLError::isSecureConnectionFailure(row.code));
        if (row.identity) {
            EXPECT_EQ(chain.value(0).toByteArray(), row.identity->chain.first().toDer());
        }
    }
}
