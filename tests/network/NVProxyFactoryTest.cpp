#include "network/NVProxyFactory.h"

#include <gtest/gtest.h>

namespace {

QString proxyFor(const QList<std::pair<const char *, const char *>> &variables, const char *url)
{
    QProcessEnvironment environment;
    for (const auto &[name, value] : variables)
        environment.insert(name, value);
    const QNetworkProxy proxy = NVProxyFactory(environment).proxyForURL(QUrl(url));
    if (proxy.type() == QNetworkProxy::NoProxy)
        return QStringLiteral("direct");
    const char *type = proxy.type() == QNetworkProxy::Socks5Proxy ? "socks5 " : "";
    return type + proxy.hostName() + u':' + QString::number(proxy.port());
}

} // namespace

TEST(NVProxyFactoryTest, VariablesAreReadAsCurlReadsThem)
{
    struct Case {
        QList<std::pair<const char *, const char *>> variables;
        const char *url;
        const char *proxy;
    };
    const Case cases[] = {
        {{{"https_proxy", "http://proxy.lan:3128"}}, "https://updates.velkin.test/feed", "proxy.lan:3128"},
        {{{"https_proxy", "lower:1"}, {"HTTPS_PROXY", "upper:2"}}, "https://updates.velkin.test/", "lower:1"},
        {{{"https_proxy", ""}, {"HTTPS_PROXY", "upper:2"}}, "https://updates.velkin.test/", "upper:2"},
        {{{"http_proxy", "proxy.lan:8080"}}, "http://updates.velkin.test/feed", "proxy.lan:8080"},
        // Upper-case HTTP_PROXY is what a CGI client could set: never read.
        {{{"HTTP_PROXY", "proxy.lan:8080"}}, "http://updates.velkin.test/feed", "direct"},
        {{{"ALL_PROXY", "socks5h://gate:9050"}}, "https://updates.velkin.test/", "socks5 gate:9050"},
        {{{"https_proxy", "ftp://proxy.lan:21"}}, "https://updates.velkin.test/", "direct"},
        {{{"https_proxy", "proxy.lan:3128"}}, "ftp://updates.velkin.test/", "direct"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(proxyFor(c.variables, c.url), c.proxy) << c.variables.first().first << '=' << c.variables.first().second;
    }
}

TEST(NVProxyFactoryTest, NoProxyMatchesHostsAndTheirSubdomains)
{
    struct Case {
        const char *noProxy;
        const char *host;
        int port;
        bool direct;
    };
    const Case cases[] = {
        {"velkin.test", "updates.velkin.test", 443, true},
        {"velkin.test", "notvelkin.test", 443, false},
        {"velkin.test", "velkin.test.evil", 443, false},
        {".velkin.test", "a.b.velkin.test", 443, true},
        {"VELKIN.test.", "Updates.Velkin.Test", 443, true},
        {"*", "anything.example", 443, true},
        {"*.velkin.test", "updates.velkin.test", 443, false},
        {"other.test, velkin.test", "updates.velkin.test", 443, true},
        {"velkin.test:8443", "updates.velkin.test", 443, false},
        {"127.0.0.0/8", "127.9.9.9", 443, true},
        {"10.0.0.0/8", "127.0.0.1", 443, false},
        {"[::1]:8443", "[::1]", 8443, true},
        {"127.0.0.1", "one27.0.0.1", 443, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(NVProxyFactory::noProxyMatches(c.noProxy, c.host, c.port), c.direct) << c.noProxy << " / " << c.host << ':' << c.port;

    // Either spelling of the variable, lower case first.
    EXPECT_EQ(proxyFor({{"https_proxy", "p:1"}, {"NO_PROXY", "velkin.test"}}, "https://updates.velkin.test/"), "direct");
    EXPECT_EQ(proxyFor({{"https_proxy", "p:1"}, {"no_proxy", "other.test"}, {"NO_PROXY", "velkin.test"}}, "https://updates.velkin.test/"),
              "p:1");
}
