#include "support/TestHTTPSServer.h"

#include "platform/NVCertificateMaker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>

#include <limits>

#include <sys/socket.h>

namespace {

using Identity = TestHTTPSServer::Identity;
using Route = TestHTTPSServer::Route;
using Request = TestHTTPSServer::Request;

constexpr qint64 kPieceSize = 1024 * 1024;
// How far the server writes ahead of the client; enough to keep loopback
// busy, small enough that a 1 GiB body never sits in memory.
constexpr qint64 kHighWater = 8 * 1024 * 1024;

// What the test thread sets and the server thread reads.
struct SharedState {
    mutable QMutex mutex;
    Identity defaultIdentity;
    QHash<QString, Route> routes;
    QHash<QString, int> faultsDone;
    QHash<QString, std::optional<Identity>> hosts;
    QString folder;
    QList<Request> requests;
};

QSslConfiguration serverConfiguration(const Identity &identity)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(identity.chain);
    configuration.setPrivateKey(identity.key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}

std::optional<Request> parseHead(const QByteArray &head)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3)
        return std::nullopt;
    Request request;
    request.method = requestLine[0];
    request.target = requestLine[1];
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    const QByteArray host = request.method == "CONNECT" ? request.target : request.header("Host");
    request.host = host.left(host.lastIndexOf(':') > host.lastIndexOf(']') ? host.lastIndexOf(':') : host.size());
    return request;
}

QString pathOf(const Request &request)
{
    const qsizetype query = request.target.indexOf('?');
    return QString::fromUtf8(query < 0 ? request.target : request.target.left(query));
}

// One client connection, on the server thread: reads requests, writes
// answers as the socket drains, and tunnels a CONNECT into TLS on the same
// socket.
class Connection : public QObject {
public:
    Connection(SharedState &state, QSslSocket *socket, QObject *parent) : QObject(parent), m_state(state), m_socket(socket)
    {
        socket->setParent(this);
        connect(socket, &QSslSocket::readyRead, this, &Connection::readInput);
        connect(socket, &QSslSocket::bytesWritten, this, &Connection::pump);
        connect(socket, &QSslSocket::encryptedBytesWritten, this, &Connection::pump);
        connect(socket, &QSslSocket::disconnected, this, &QObject::deleteLater);
        connect(socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            if (error != QAbstractSocket::RemoteHostClosedError)
                m_socket->abort();
        });
        readInput();
    }

private:
    void readInput()
    {
        m_input += m_socket->readAll();
        // A TLS client at the plain port gets a plain answer, as from a
        // server whose TLS is misconfigured.
        if (!m_socket->isEncrypted() && m_input.startsWith('\x16')) {
            m_socket->write("HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n");
            m_socket->disconnectFromHost();
            return;
        }
        while (!m_busy) {
            const qsizetype end = m_input.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QByteArray head = m_input.left(end);
            m_input.remove(0, end + 4);
            const std::optional<Request> request = parseHead(head);
            if (!request) {
                m_socket->disconnectFromHost();
                return;
            }
            {
                QMutexLocker lock(&m_state.mutex);
                m_state.requests.append(*request);
            }
            if (request->method == "CONNECT")
                beginTunnel(*request);
            else
                serve(*request);
        }
    }

    void beginTunnel(const Request &request)
    {
        QMutexLocker lock(&m_state.mutex);
        const QString host = QString::fromUtf8(request.host).toLower();
        if (!m_state.hosts.contains(host)) {
            lock.unlock();
            writeHead(404, {{"Content-Length", "0"}});
            return;
        }
        const Identity identity = m_state.hosts.value(host).value_or(m_state.defaultIdentity);
        m_socket->setSslConfiguration(serverConfiguration(identity));
        lock.unlock();
        m_socket->write("HTTP/1.1 200 Connection established\r\n\r\n");
        m_socket->startServerEncryption();
    }

    std::optional<Route> routeFor(const QString &path)
    {
        QMutexLocker lock(&m_state.mutex);
        if (m_state.routes.contains(path)) {
            Route route = m_state.routes.value(path);
            if (m_state.faultsDone[path]++ >= route.faultCount)
                route.dropAfter = route.stallAfter = -1;
            return route;
        }
        if (m_state.folder.isEmpty())
            return std::nullopt;
        const QFileInfo file(m_state.folder + path);
        const QString root = QFileInfo(m_state.folder).canonicalFilePath() + u'/';
        if (!file.isFile() || !file.canonicalFilePath().startsWith(root))
            return std::nullopt;
        return Route{.filePath = file.canonicalFilePath()};
    }

    void serve(const Request &request)
    {
        std::optional<Route> found = routeFor(pathOf(request));
        if (!found) {
            writeHead(404, {{"Content-Length", "9"}});
            m_socket->write("Not found");
            return;
        }
        Route &route = *found;
        const QByteArray credentials = "Basic " + route.basicCredentials.toBase64();
        if (!route.basicCredentials.isEmpty() && request.header("Authorization") != credentials) {
            writeHead(401, {{"WWW-Authenticate", "Basic realm=\"Updates\""}, {"Content-Length", "0"}});
            return;
        }
        m_body = route.body;
        m_file.close();
        m_file.setFileName(route.filePath);
        if (!route.filePath.isEmpty() && !m_file.open(QIODevice::ReadOnly)) {
            writeHead(404, {{"Content-Length", "0"}});
            return;
        }
        m_position = 0;
        m_end = m_file.isOpen() ? m_file.size() : m_body.size();
        m_status = route.status;
        QList<TestHTTPSServer::HeaderField> fields = route.headers;
        if (route.ranges) {
            fields.emplace_back("Accept-Ranges", "bytes");
            if (!route.etag.isEmpty())
                fields.emplace_back("ETag", route.etag);
            if (!route.lastModified.isEmpty())
                fields.emplace_back("Last-Modified", route.lastModified);
            applyRange(request, route, fields);
        }
        m_framing = route.framing;
        m_endless = route.endless && !route.body.isEmpty();
        if (m_endless)
            m_end = std::numeric_limits<qint64>::max();
        m_reset = route.reset;
        m_closeAfter = route.framing == Route::Framing::CloseDelimited;
        if (m_framing == Route::Framing::ContentLength)
            fields.emplace_back("Content-Length", QByteArray::number(m_end - m_position));
        else if (m_framing == Route::Framing::Chunked)
            fields.emplace_back("Transfer-Encoding", "chunked");
        if (m_closeAfter)
            fields.emplace_back("Connection", "close");
        writeHead(m_status, fields);
        m_stopAt = m_end;
        m_dropAtStop = route.dropAfter >= 0 && m_position + route.dropAfter < m_end;
        if (m_dropAtStop)
            m_stopAt = m_position + route.dropAfter;
        else if (route.stallAfter >= 0)
            m_stopAt = std::min(m_end, m_position + route.stallAfter);
        m_stallAtStop = !m_dropAtStop && route.stallAfter >= 0;
        m_busy = true;
        pump();
    }

    // "Range: bytes=FIRST-", honoured unless If-Range names another version
    // than the one served. Clients resume from what they hold, which is
    // always short of the end.
    void applyRange(const Request &request, const Route &route, QList<TestHTTPSServer::HeaderField> &fields)
    {
        const QByteArray range = request.header("Range");
        const QByteArray ifRange = request.header("If-Range");
        if (!range.startsWith("bytes=") || (!ifRange.isEmpty() && ifRange != route.etag && ifRange != route.lastModified))
            return;
        m_status = 206;
        m_position = range.mid(6).split('-').value(0).toLongLong();
        fields.emplace_back("Content-Range", "bytes " + QByteArray::number(m_position) + '-' + QByteArray::number(m_end - 1) + '/'
                                                 + QByteArray::number(m_end));
    }

    void writeHead(int status, const QList<TestHTTPSServer::HeaderField> &fields)
    {
        // Clients go by the code alone; the reason phrase is only for people.
        QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
        bool typed = false;
        for (const auto &[name, value] : fields) {
            head += name + ": " + value + "\r\n";
            typed = typed || name.compare("Content-Type", Qt::CaseInsensitive) == 0;
        }
        if (!typed)
            head += "Content-Type: application/octet-stream\r\n";
        m_socket->write(head + "\r\n");
    }

    QByteArray readBody(qint64 length)
    {
        if (m_endless)
            return m_body;
        if (!m_file.isOpen())
            return m_body.mid(m_position, length);
        m_file.seek(m_position);
        return m_file.read(length);
    }

    void pump()
    {
        if (!m_busy || m_stopped)
            return;
        while (m_position < m_stopAt && m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite() < kHighWater) {
            const QByteArray piece = readBody(std::min(kPieceSize, m_stopAt - m_position));
            if (piece.isEmpty()) {
                m_socket->abort();
                return;
            }
            if (m_framing == Route::Framing::Chunked)
                m_socket->write(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
            else
                m_socket->write(piece);
            m_position += piece.size();
        }
        if (m_position >= m_stopAt)
            finishBody();
    }

    void finishBody()
    {
        if (m_stallAtStop) {
            // Say nothing more, and keep the connection open.
            m_stopped = true;
            return;
        }
        if (m_dropAtStop) {
            m_stopped = true;
            if (!m_reset) {
                m_socket->disconnectFromHost();
                return;
            }
            // No linger: closing sends a reset, not the orderly end.
            m_socket->flush();
            const linger abortive{1, 0};
            ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            m_socket->abort();
            return;
        }
        if (m_framing == Route::Framing::Chunked)
            m_socket->write("0\r\n\r\n");
        m_file.close();
        m_busy = false;
        if (m_closeAfter) {
            m_stopped = true;
            m_socket->disconnectFromHost();
            return;
        }
        readInput();
    }

    SharedState &m_state;
    QSslSocket *m_socket;
    QByteArray m_input;
    bool m_busy = false;
    bool m_stopped = false;
    // The answer being written.
    int m_status = 200;
    QByteArray m_body;
    QFile m_file;
    qint64 m_position = 0;
    qint64 m_end = 0;
    qint64 m_stopAt = 0;
    bool m_dropAtStop = false;
    bool m_stallAtStop = false;
    bool m_closeAfter = false;
    bool m_endless = false;
    bool m_reset = false;
    Route::Framing m_framing = Route::Framing::ContentLength;
};

// The proxy port: plain TCP until a CONNECT turns the socket into TLS.
class ProxyListener : public QTcpServer {
public:
    ProxyListener(SharedState &state, QObject *parent) : QTcpServer(parent), m_state(state) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket;
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        new Connection(m_state, socket, this);
    }

private:
    SharedState &m_state;
};

} // namespace

class TestHTTPSServer::Core {
public:
    SharedState state;
    QThread thread;
    std::unique_ptr<QObject> home = std::make_unique<QObject>();
    // Set once by the constructor; 0 when listening failed.
    quint16 httpsPort = 0;
    quint16 proxyPort = 0;

    template <typename Function>
    void onServerThread(Function function)
    {
        QMetaObject::invokeMethod(home.get(), function, Qt::BlockingQueuedConnection);
    }
};

QByteArray TestHTTPSServer::Request::header(const QByteArray &name) const
{
    for (const auto &[field, value] : headers)
        if (field.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return QByteArray();
}

TestHTTPSServer::TestHTTPSServer(Identity defaultIdentity) : m_core(std::make_unique<Core>())
{
    m_core->state.defaultIdentity = std::move(defaultIdentity);
    m_core->thread.setObjectName(QStringLiteral("TestHTTPSServer"));
    m_core->home->moveToThread(&m_core->thread);
    m_core->thread.start();
    // Both on free ports of 127.0.0.1.
    m_core->onServerThread([core = m_core.get()] {
        auto *https = new QSslServer(core->home.get());
        https->setSslConfiguration(serverConfiguration(core->state.defaultIdentity));
        QObject::connect(https, &QSslServer::pendingConnectionAvailable, https, [core, https] {
            while (QTcpSocket *socket = https->nextPendingConnection())
                new Connection(core->state, static_cast<QSslSocket *>(socket), core->home.get());
        });
        auto *proxy = new ProxyListener(core->state, core->home.get());
        if (https->listen(QHostAddress::LocalHost) && proxy->listen(QHostAddress::LocalHost)) {
            core->httpsPort = https->serverPort();
            core->proxyPort = proxy->serverPort();
        }
    });
}

TestHTTPSServer::~TestHTTPSServer()
{
    m_core->onServerThread([core = m_core.get()] { qDeleteAll(core->home->children()); });
    m_core->thread.quit();
    m_core->thread.wait();
}

quint16 TestHTTPSServer::port() const { return m_core->httpsPort; }

quint16 TestHTTPSServer::proxyPort() const { return m_core->proxyPort; }

void TestHTTPSServer::addHost(const QString &name, std::optional<Identity> identity)
{
    QMutexLocker lock(&m_core->state.mutex);
    m_core->state.hosts.insert(name.toLower(), std::move(identity));
}

void TestHTTPSServer::setRoute(const QString &path, Route route)
{
    QMutexLocker lock(&m_core->state.mutex);
    m_core->state.routes.insert(path, std::move(route));
    m_core->state.faultsDone.remove(path);
}

void TestHTTPSServer::setFolder(const QString &root)
{
    QMutexLocker lock(&m_core->state.mutex);
    m_core->state.folder = QDir::cleanPath(root);
}

QList<TestHTTPSServer::Request> TestHTTPSServer::requests() const
{
    QMutexLocker lock(&m_core->state.mutex);
    return m_core->state.requests;
}

QList<TestHTTPSServer::Request> TestHTTPSServer::requestsFor(const QString &path) const
{
    QList<Request> matching;
    for (const Request &request : requests())
        if (request.method != "CONNECT" && pathOf(request) == path)
            matching << request;
    return matching;
}

QUrl TestHTTPSServer::url(const QString &host, const QString &path) const
{
    if (host.isEmpty())
        return QUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(port()).arg(path));
    return QUrl(QStringLiteral("https://%1%2").arg(host, path));
}

QString TestHTTPSServer::proxyURL() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(proxyPort());
}

// ---- Certificates ----------------------------------------------------------

namespace {

TestHTTPSServer::Identity identityOf(const NVIdentity &made, const NVIdentity *issuer)
{
    TestHTTPSServer::Identity identity;
    identity.chain << QSslCertificate(made.certificatePEM(), QSsl::Pem);
    if (issuer)
        identity.chain << QSslCertificate(issuer->certificatePEM(), QSsl::Pem);
    identity.key = QSslKey(made.privateKeyPEM(), QSsl::Ec, QSsl::Pem);
    return identity;
}

NVIdentity makeOrDie(const NVCertificateRequest &request, const NVIdentity *issuer)
{
    NVResult<NVIdentity> made = NVCertificateMaker::make(request, issuer);
    if (!made)
        qFatal("test certificate: %s", qPrintable(made.error().localizedDescription()));
    return std::move(made).value();
}

NVCertificateRequest serverRequest(const QStringList &names, QDateTime notBefore = {}, QDateTime notAfter = {})
{
    NVCertificateRequest request;
    request.role = NVCertificateRequest::Role::TLSServer;
    request.commonName = names.value(0);
    request.dnsNames = names;
    request.ipAddresses = {QStringLiteral("127.0.0.1")};
    request.notBefore = notBefore;
    request.notAfter = notAfter;
    return request;
}

} // namespace

const QStringList &TestTLS::hostNames()
{
    static const QStringList names = {
        QStringLiteral("updates.velkin.test"), QStringLiteral("downloads.velkin.test"), QStringLiteral("a.example.co.uk"),
        QStringLiteral("b.other.co.uk"), QStringLiteral("localhost"),
    };
    return names;
}

const TestTLS &TestTLS::shared()
{
    static const TestTLS tls = [] {
        NVCertificateRequest authorityRequest;
        authorityRequest.role = NVCertificateRequest::Role::Authority;
        authorityRequest.commonName = QStringLiteral("Velkin Test Server Authority");
        NVCertificateRequest strangerRequest = authorityRequest;
        strangerRequest.commonName = QStringLiteral("Unknown Test Authority");
        const NVIdentity authority = makeOrDie(authorityRequest, nullptr);
        const NVIdentity stranger = makeOrDie(strangerRequest, nullptr);
        const QDateTime now = QDateTime::currentDateTimeUtc();

        TestTLS made;
        made.authorityPEM = authority.certificatePEM();
        made.server = identityOf(makeOrDie(serverRequest(hostNames()), &authority), &authority);
        made.otherHost = identityOf(makeOrDie(serverRequest({QStringLiteral("other-host.example")}), &authority), &authority);
        made.unknownRoot = identityOf(makeOrDie(serverRequest(hostNames()), &stranger), &stranger);
        made.expired = identityOf(makeOrDie(serverRequest(hostNames(), now.addDays(-30), now.addDays(-1)), &authority), &authority);
        made.notYetValid = identityOf(makeOrDie(serverRequest(hostNames(), now.addDays(1), now.addDays(30)), &authority), &authority);
        return made;
    }();
    return tls;
}
