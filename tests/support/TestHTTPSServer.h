#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>
#include <utility>

// A real HTTPS server on loopback, running on a thread of its own so that a
// test can turn the main event loop while it serves (and a large download
// is not starved by the client).
//
// It listens on two ports of 127.0.0.1: HTTPS (QSslServer, the default
// certificate) and an HTTP proxy port that tunnels CONNECT requests for
// the host names added with addHost() to itself, showing the certificate
// chosen for that name. Through the proxy, clients use names such as
// updates.velkin.test without any change to the system's name resolution;
// CONNECT to any other name is answered 404, which clients take for an
// unknown host. A TLS client at the proxy port gets a plain 400.
//
// What each path answers is set by the test (setRoute); a folder can serve
// the rest (setFolder). Every member may be called from any thread.
class TestHTTPSServer {
public:
    struct Identity {
        QList<QSslCertificate> chain;  // the server's certificate first
        QSslKey key;
    };

    using HeaderField = std::pair<QByteArray, QByteArray>;

    struct Route {
        enum class Framing {
            ContentLength,   // Content-Length and the body
            Chunked,         // Transfer-Encoding: chunked
            CloseDelimited,  // no length: the end of the connection ends the body
        };
        int status = 200;
        QByteArray body{};
        QString filePath{};               // instead of body: a file streamed from disk
        QList<HeaderField> headers{};     // extra fields, such as Location
        Framing framing = Framing::ContentLength;
        qint64 dropAfter = -1;            // close the connection after this many body bytes,
        qint64 stallAfter = -1;           // or send this many, then nothing more,
        int faultCount = 1;               // in the first faultCount answers
        bool reset = false;               // with dropAfter: abort the connection (TCP reset), not close it
        bool endless = false;             // send body over and over, never ending (not with ContentLength)
        bool ranges = false;              // Accept-Ranges, and Range/If-Range honoured
        QByteArray etag{};
        QByteArray lastModified{};
        QByteArray basicCredentials{};    // "user:password": 401 until a request carries them
    };

    struct Request {
        QByteArray method;
        QByteArray target;   // as sent: a path, or host:port in a CONNECT
        QByteArray host;     // the Host field, else the CONNECT target
        QList<HeaderField> headers;
        QByteArray header(const QByteArray &name) const;
    };

    explicit TestHTTPSServer(Identity defaultIdentity);
    ~TestHTTPSServer();
    TestHTTPSServer(const TestHTTPSServer &) = delete;
    TestHTTPSServer &operator=(const TestHTTPSServer &) = delete;

    // Free ports of 127.0.0.1, chosen by the constructor; port() is 0 when
    // the server could not listen.
    quint16 port() const;
    quint16 proxyPort() const;

    // A name the proxy tunnels to this server, with the certificate it shows
    // for that name (the default one unless given).
    void addHost(const QString &name, std::optional<Identity> identity = std::nullopt);
    void setRoute(const QString &path, Route route);
    // Serves the files below root for paths without a route.
    void setFolder(const QString &root);

    // Everything received so far, CONNECT requests included, in order.
    QList<Request> requests() const;
    // Requests for a path (the path part of the target), CONNECTs excluded.
    QList<Request> requestsFor(const QString &path) const;

    // "https://host/path" (the proxy's way in), or the direct address when
    // host is empty.
    QUrl url(const QString &host, const QString &path) const;
    // The proxy's address for the https_proxy and http_proxy variables.
    QString proxyURL() const;

    class Core;

private:
    std::unique_ptr<Core> m_core;
};

// The certificates the transport tests use, made once per process with the
// project's own certificate maker: an authority the tests trust (written to
// a test bundle's ServerTrustAnchors.pem) and server certificates good and
// bad in each way a client must notice.
struct TestTLS {
    QByteArray authorityPEM;
    TestHTTPSServer::Identity server;        // the test names and 127.0.0.1
    TestHTTPSServer::Identity otherHost;     // only for other-host.example
    TestHTTPSServer::Identity unknownRoot;   // the test names, from an untrusted authority
    TestHTTPSServer::Identity expired;
    TestHTTPSServer::Identity notYetValid;

    // The names server carries, which tests reach through the proxy.
    static const QStringList &hostNames();
    static const TestTLS &shared();
};
