#include "network/NVProxyFactory.h"

#include "logging/NVLog.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace {

QString firstSet(const QProcessEnvironment &environment, std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        const QString value = environment.value(QString::fromLatin1(name)).trimmed();
        if (!value.isEmpty())
            return value;
    }
    return QString();
}

QNetworkProxy parseProxy(const QString &text, const char *variable)
{
    if (text.isEmpty())
        return QNetworkProxy(QNetworkProxy::NoProxy);
    const QUrl url = QUrl(text.contains(QStringLiteral("://")) ? text : QStringLiteral("http://") + text);
    const QString scheme = url.scheme().toLower();
    QNetworkProxy proxy;
    if (scheme == QLatin1String("http")) {
        proxy.setType(QNetworkProxy::HttpProxy);
    } else if (scheme == QLatin1String("socks5") || scheme == QLatin1String("socks5h")) {
        proxy.setType(QNetworkProxy::Socks5Proxy);
        // "socks5" resolves names here; "socks5h" lets the proxy resolve them.
        if (scheme == QLatin1String("socks5"))
            proxy.setCapabilities(proxy.capabilities() & ~QNetworkProxy::HostNameLookupCapability);
    } else {
        NVLog(QStringLiteral("Ignoring the proxy \"%@\" in %s: only http, socks5 and socks5h proxies are supported"), url.host(),
              variable);
        return QNetworkProxy(QNetworkProxy::NoProxy);
    }
    if (!url.isValid() || url.host().isEmpty()) {
        NVLog(QStringLiteral("Ignoring the proxy in %s: \"%@\" names no host"), variable, text);
        return QNetworkProxy(QNetworkProxy::NoProxy);
    }
    proxy.setHostName(url.host());
    proxy.setPort(quint16(url.port(1080)));
    proxy.setUser(url.userName(QUrl::FullyDecoded));
    proxy.setPassword(url.password(QUrl::FullyDecoded));
    return proxy;
}

// An entry that is an address, with an optional prefix length.
bool addressEntryMatches(const QString &entry, const QString &host)
{
    const QHostAddress hostAddress(host);
    if (hostAddress.isNull())
        return false;
    if (entry.contains(QLatin1Char('/'))) {
        const auto subnet = QHostAddress::parseSubnet(entry);
        return subnet.second >= 0 && hostAddress.isInSubnet(subnet);
    }
    return QHostAddress(entry).isEqual(hostAddress);
}

bool nameEntryMatches(QString entry, const QString &host)
{
    if (entry.startsWith(QLatin1Char('.')))
        entry.remove(0, 1);
    if (entry.endsWith(QLatin1Char('.')))
        entry.chop(1);
    if (entry.isEmpty())
        return false;
    if (host.compare(entry, Qt::CaseInsensitive) == 0)
        return true;
    return host.size() > entry.size() && host.endsWith(entry, Qt::CaseInsensitive)
        && host.at(host.size() - entry.size() - 1) == QLatin1Char('.');
}

// Splits "name:port", "[v6]:port", "[v6]" and a bare IPv6 address (which has
// colons of its own but no port) into the name and the port, -1 for none.
std::pair<QString, int> splitPort(const QString &entry)
{
    if (entry.startsWith(QLatin1Char('['))) {
        const qsizetype close = entry.indexOf(QLatin1Char(']'));
        const QString name = entry.mid(1, close - 1);
        const QString rest = close < 0 ? QString() : entry.mid(close + 1);
        bool ok = false;
        const int port = rest.startsWith(QLatin1Char(':')) ? rest.mid(1).toInt(&ok) : -1;
        return {name, ok ? port : -1};
    }
    if (entry.count(QLatin1Char(':')) != 1)
        return {entry, -1};
    const qsizetype colon = entry.indexOf(QLatin1Char(':'));
    bool ok = false;
    const int port = entry.mid(colon + 1).toInt(&ok);
    return {entry.left(colon), ok ? port : -1};
}

} // namespace

NVProxyFactory::NVProxyFactory(const QProcessEnvironment &environment)
{
    const QString all = firstSet(environment, {"all_proxy", "ALL_PROXY"});
    const QString https = firstSet(environment, {"https_proxy", "HTTPS_PROXY"});
    const QString http = firstSet(environment, {"http_proxy"});
    m_httpsProxy = parseProxy(https.isEmpty() ? all : https, https.isEmpty() ? "all_proxy" : "https_proxy");
    m_httpProxy = parseProxy(http.isEmpty() ? all : http, http.isEmpty() ? "all_proxy" : "http_proxy");
    m_noProxy = firstSet(environment, {"no_proxy", "NO_PROXY"});
}

bool NVProxyFactory::noProxyMatches(const QString &noProxy, const QString &host, int port)
{
    const QString trimmed = noProxy.trimmed();
    if (trimmed == QLatin1String("*"))
        return true;
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    QString bareHost = host;
    if (bareHost.startsWith(QLatin1Char('[')) && bareHost.endsWith(QLatin1Char(']')))
        bareHost = bareHost.mid(1, bareHost.size() - 2);
    for (const QString &entry : trimmed.split(separators, Qt::SkipEmptyParts)) {
        const auto [name, entryPort] = splitPort(entry);
        if (entryPort >= 0 && entryPort != port)
            continue;
        const bool isAddress = !QHostAddress(name.section(QLatin1Char('/'), 0, 0)).isNull();
        if (isAddress ? addressEntryMatches(name, bareHost) : nameEntryMatches(name, bareHost))
            return true;
    }
    return false;
}

QNetworkProxy NVProxyFactory::proxyForURL(const QUrl &url) const
{
    const QString scheme = url.scheme().toLower();
    const QNetworkProxy &proxy = scheme == QLatin1String("https") ? m_httpsProxy : m_httpProxy;
    if (proxy.type() == QNetworkProxy::NoProxy || (scheme != QLatin1String("https") && scheme != QLatin1String("http")))
        return QNetworkProxy(QNetworkProxy::NoProxy);
    const int port = url.port(scheme == QLatin1String("https") ? 443 : 80);
    if (noProxyMatches(m_noProxy, url.host(), port))
        return QNetworkProxy(QNetworkProxy::NoProxy);
    return proxy;
}

QList<QNetworkProxy> NVProxyFactory::queryProxy(const QNetworkProxyQuery &query)
{
    QUrl url = query.url();
    if (!url.isValid() || url.host().isEmpty()) {
        url = QUrl();
        url.setScheme(query.protocolTag().toLower());
        url.setHost(query.peerHostName());
        url.setPort(query.peerPort());
    }
    return {proxyForURL(url)};
}
