#pragma once

#include <QList>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QProcessEnvironment>
#include <QString>
#include <QUrl>

// Chooses proxies from the environment the way curl does, so the updater
// goes where the user's other command-line tools go. Qt reads the same
// variables with rules of its own, which differ in ways users notice (it
// takes upper-case HTTP_PROXY, and matches no_proxy entries differently),
// so the session installs this factory instead.
//
// - https URLs use https_proxy, else HTTPS_PROXY; http URLs use http_proxy
//   only (like curl, never HTTP_PROXY, which a web server's CGI environment
//   lets a client set); both fall back to all_proxy, else ALL_PROXY. An
//   empty value counts as unset.
// - A proxy is "[scheme://][user:password@]host[:port]": scheme http (the
//   default), socks5 or socks5h; the port defaults to 1080, as in curl.
//   Another scheme is reported once and ignored (the connection goes direct).
// - no_proxy, else NO_PROXY, lists entries separated by commas or blanks.
//   "*" alone disables proxies. A name matches that host and every host
//   below it, case-insensitively ("example.com" matches www.example.com but
//   not notexample.com); a leading or trailing dot is ignored. An entry with
//   ":port" matches only that port. IP addresses match exactly, or by prefix
//   in CIDR form ("10.0.0.0/8"); IPv6 addresses may be bracketed.
//
// The environment is read once, when the factory is made. queryProxy is
// called by Qt from any thread: the factory does not change after
// construction.
class NVProxyFactory : public QNetworkProxyFactory {
public:
    explicit NVProxyFactory(const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

    // The proxy for url: NoProxy when none applies. Any thread.
    QNetworkProxy proxyForURL(const QUrl &url) const;

    // Whether no_proxy text sends host:port directly. Any thread.
    static bool noProxyMatches(const QString &noProxy, const QString &host, int port);

    // Any thread.
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override;

private:
    QNetworkProxy m_httpsProxy;
    QNetworkProxy m_httpProxy;
    QString m_noProxy;
};
