#include "webview/NVSUReleaseNotesWebView.h"

#include "foundation/NVExtensions.h"
#include "foundation/NVFormat.h"
#include "localization/NVLocalization.h"
#include "localization/NVSoftwareUpdateStrings.h"
#include "logging/NVLog.h"
#include "network/NVProxyFactory.h"
#include "network/NVServerTrust.h"
#include "network/NVSURequest.h"
#include "network/NVURLError.h"
#include "platform/NVApplicationServices.h"
#include "webview/NVAuthenticationChallenge.h"
#include "webview/NVWebEngineError.h"
#include "widgets/NVViewFrames.h"

#include <QAuthenticator>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QWebChannel>
#include <QWebEngineCertificateError>
#include <QWebEngineHttpRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>

#include <unistd.h>

namespace Strings = NVSoftwareUpdateStrings;

namespace {

// Run when the document has been parsed, in the page's own world: when the
// page has loaded, every link to another page posts its address to the
// bridge instead of navigating. The text is part of the contract with the
// release-notes pages and stays as it is.
const char *const LinksScript =
    "        (function () {"
    "            window.onload = function(e) {"
    "                var location = document.location;"
    "                var strippedLocation = location.toString().replace(location.hash, '');"
    "                var links = document.querySelectorAll('a');"
    "                links.forEach(function(link) {"
    "                    var hash = (new URL(link.href)).hash;"
    "                    var strippedURL = link.href.replace(hash, '');"
    "                    if (strippedURL !== strippedLocation) {"
    "                        link.onclick = function(event) {"
    "                            event.preventDefault();"
    "                            window.webkit.messageHandlers.bridge.postMessage('open-in-browser:'+link.href);"
    "                        };"
    "                    }                });"
    "            };"
    "        })();"
    "    ";

// Run before the page's own scripts, in the page's world: the
// window.webkit.messageHandlers.bridge.postMessage the pages call. The
// channel connects asynchronously, so messages posted before it is there
// wait for it.
const char *const BridgeScript = R"(
(function () {
    var pending = [];
    var bridge = null;
    window.webkit = window.webkit || {};
    window.webkit.messageHandlers = window.webkit.messageHandlers || {};
    window.webkit.messageHandlers.bridge = {
        postMessage: function (body) {
            if (bridge) { bridge.postMessage(body); } else { pending.push(body); }
        }
    };
    new QWebChannel(qt.webChannelTransport, function (channel) {
        bridge = channel.objects.bridge;
        pending.splice(0).forEach(function (body) { bridge.postMessage(body); });
    });
})();
)";

// The error page's colours are the text colours of the light and the dark
// window: text just off black on white, white on dark grey.
const char *const ErrorPageScript =
    "function didChangeEffectiveAppearance(appearance) { var background, color; "
    "if (appearance === 'aqua') { background = '#FFFFFF'; color = '#000100'; } "
    "else if (appearance === 'dark-aqua') { background = '#1E1E1E'; color = '#FFFFFF'; } "
    "if (background !== undefined) { document.body.style.backgroundColor = background; document.body.style.color = color; } }";

const QString OpenInBrowserVerb = QStringLiteral("open-in-browser");
// Messages and server texts are quoted in logs and errors up to this length.
constexpr qsizetype MaximumQuotedLength = 300;
// The probe that reads which log-in a server wants gives up after this long.
constexpr int ChallengeProbeTimeoutMilliseconds = 60'000;
// Width and height follow the container.
constexpr unsigned WidthAndHeightSizable = 2 | 16;

QString quoted(const QString &text)
{
    const QString simplified = text.simplified();
    return simplified.size() > MaximumQuotedLength ? simplified.left(MaximumQuotedLength) + u'…' : simplified;
}

int portOf(const QUrl &url)
{
    return url.port(url.scheme() == QLatin1String("http") ? 80 : 443);
}

std::unique_ptr<QWebEngineProfile> makeProfile()
{
    // No storage name: the profile lives in memory and leaves nothing on disk.
    auto profile = std::make_unique<QWebEngineProfile>();
    profile->setHttpCacheType(QWebEngineProfile::NoCache);
    profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    profile->setHttpUserAgent(NVSUExtensions::defaultUserAgentStringIncludingModelIdentifier());
    QWebEngineSettings *settings = profile->settings();
    // Failures show our page, not the engine's.
    settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    settings->setAttribute(QWebEngineSettings::FocusOnNavigationEnabled, false);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    return profile;
}

// Decides where the release notes may go.
class Page : public QWebEnginePage {
public:
    explicit Page(QWebEngineProfile *profile)
        : QWebEnginePage(profile)
    {
    }

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool) override
    {
        // A click may only move within the page. Links to other pages go to
        // the browser through the links script; one it did not see (added
        // later by the page) does nothing. Loads we start, redirects, the
        // error page and reloads pass.
        if (type != NavigationTypeLinkClicked || NVExtensions::isEqualIgnoringFragmentToURL(this->url(), url))
            return true;
        NVSUDebugLog(QStringLiteral("Not following a link to another page: %@"), url);
        return false;
    }

    // The page's console (and the reference error of a page that has no
    // appearance function) is for debugging, not for standard error.
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString &message, int line, const QString &source) override
    {
        NVSUDebugLog(QStringLiteral("Release notes console: %@ (%@:%@)"), message, source, line);
    }
};

// The object behind the page's "bridge".
class Bridge : public QObject {
    Q_OBJECT
public:
    Bridge(NVSUReleaseNotesWebView *view, QObject *parent)
        : QObject(parent)
        , m_view(view)
    {
    }

    // Takes any JSON value, so that a number or an object is not turned into
    // a string on the way.
    Q_INVOKABLE void postMessage(const QJsonValue &body)
    {
        if (m_view)
            m_view->userContentControllerDidReceiveScriptMessage(body);
    }

private:
    QPointer<NVSUReleaseNotesWebView> m_view;
};

} // namespace

NVSUReleaseNotesWebView::NVSUReleaseNotesWebView(QWidget *parent)
    : NVSUReleaseNotesWebView(makeProfile(), parent)
{
}

NVSUReleaseNotesWebView::NVSUReleaseNotesWebView(std::unique_ptr<QWebEngineProfile> profile, QWidget *parent)
    : NVAppearanceForwardingWebView(new Page(profile.get()), parent)
    , m_profile(std::move(profile))
    , m_page(page())
{
    installBridge();
    connect(m_page.get(), &QWebEnginePage::loadingChanged, this, &NVSUReleaseNotesWebView::loadingChanged);
    connect(m_page.get(), &QWebEnginePage::certificateError, this, &NVSUReleaseNotesWebView::certificateError);
    connect(m_page.get(), &QWebEnginePage::authenticationRequired, this, &NVSUReleaseNotesWebView::authenticationRequired);
}

NVSUReleaseNotesWebView::~NVSUReleaseNotesWebView() = default;

NVSUReleaseNotesViewFactory NVSUReleaseNotesWebView::factory()
{
    return [](QWidget *container) -> NVSUReleaseNotesView * {
        // The engine's sandbox refuses to run as root (as in CI); it reads
        // this when the first view starts it.
        if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        auto *view = new NVSUReleaseNotesWebView(container);
        view->setGeometry(container->rect());
        view->setProperty(NVViewFrames::AutoresizingMaskProperty, WidthAndHeightSizable);
        return view;
    };
}

void NVSUReleaseNotesWebView::installBridge()
{
    auto *channel = new QWebChannel(this);
    channel->registerObject(QStringLiteral("bridge"), new Bridge(this, channel));
    m_page->setWebChannel(channel, QWebEngineScript::MainWorld);

    QFile channelScript(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    if (!channelScript.open(QIODevice::ReadOnly))
        NVSULog(QStringLiteral("The release notes get no bridge: Qt WebChannel's script is missing"));
    QWebEngineScript bridge;
    bridge.setName(QStringLiteral("bridge"));
    bridge.setSourceCode(QString::fromUtf8(channelScript.readAll()) + QString::fromUtf8(BridgeScript));
    bridge.setInjectionPoint(QWebEngineScript::DocumentCreation);
    bridge.setWorldId(QWebEngineScript::MainWorld);
    bridge.setRunsOnSubFrames(false);
    m_page->scripts().insert(bridge);

    QWebEngineScript links;
    links.setName(QStringLiteral("links"));
    links.setSourceCode(QString::fromUtf8(LinksScript));
    links.setInjectionPoint(QWebEngineScript::DocumentReady);
    links.setWorldId(QWebEngineScript::MainWorld);
    links.setRunsOnSubFrames(false);
    m_page->scripts().insert(links);
}

QString NVSUReleaseNotesWebView::errorPageHTML(const QString &message)
{
    // The message carries a host name and whatever the server answered.
    // Escaped, neither can add markup or script to a page that has the
    // bridge to the browser opener.
    return QStringLiteral("<html><head></head><body><script>") + QString::fromUtf8(ErrorPageScript)
        + QStringLiteral("</script>") + message.toHtmlEscaped() + QStringLiteral("</body></html>");
}

void NVSUReleaseNotesWebView::setDelegate(NVSUReleaseNotesViewDelegate *delegate)
{
    m_delegate = delegate;
}

void NVSUReleaseNotesWebView::loadReleaseNotes(const QUrl &url)
{
    m_releaseNotesURL = url;
    ++m_loadGeneration;
    m_isLoading = true;
    m_isAwaitingCredential = false;
    // A new load replaces the refused one, whose end no longer matters.
    m_isRefusedNavigationOpen = false;
    m_afterRefusedNavigation = nullptr;
    // The update client's request, with its User-Agent. The profile has no
    // cache to bypass; the fields tell proxies the same.
    QWebEngineHttpRequest request(url);
    const QNetworkRequest client = NVSUExtensions::nvsuRequestWithURL(url);
    for (const QByteArray &name : client.rawHeaderList())
        request.setHeader(name, client.rawHeader(name));
    request.setHeader(QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-cache"));
    request.setHeader(QByteArrayLiteral("Pragma"), QByteArrayLiteral("no-cache"));
    // The view stays hidden until the notes are there, and the engine
    // loads a hidden page at background priority: on a busy machine that
    // doubles the wait. The page counts as visible while it loads.
    m_page->setVisible(true);
    m_page->load(request);
}

void NVSUReleaseNotesWebView::loadErrorPage(const QString &message)
{
    ++m_loadGeneration;
    m_isLoading = true;
    m_isAwaitingCredential = false;
    // A new load replaces the refused one, whose end no longer matters.
    m_isRefusedNavigationOpen = false;
    m_afterRefusedNavigation = nullptr;
    m_page->setHtml(errorPageHTML(message), QUrl());
}

void NVSUReleaseNotesWebView::forwardAppearance()
{
    NVAppearanceForwardingWebView::forwardAppearance();
}

void NVSUReleaseNotesWebView::contextMenuEvent(QContextMenuEvent *event)
{
    // No menu: reloading, going back or inspecting the notes has no place here.
    event->accept();
}

void NVSUReleaseNotesWebView::userContentControllerDidReceiveScriptMessage(const QJsonValue &body)
{
    if (!body.isString()) {
        NVSULog(QStringLiteral("Release notes: ignoring a message that is not a text"));
        return;
    }
    const QString message = body.toString();
    const qsizetype colon = message.indexOf(u':');
    if (colon < 0) {
        NVSULog(QStringLiteral("Release notes: ignoring the message \"%@\", which has no verb"), quoted(message));
        return;
    }
    const QString verb = message.left(colon);
    if (verb != OpenInBrowserVerb) {
        NVSULog(QStringLiteral("Release notes: ignoring the message \"%@\" with the unknown verb \"%@\""), quoted(message),
                quoted(verb));
        return;
    }
    const QUrl url(message.mid(colon + 1), QUrl::StrictMode);
    // Only what a browser or a mail program shows: a file, a script or
    // another program's scheme is not the page's to open.
    static const QStringList openable = {QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("mailto")};
    if (!url.isValid() || !openable.contains(url.scheme())) {
        NVSULog(QStringLiteral("Release notes: not opening \"%@\": only web and mail addresses are opened"),
                quoted(message.mid(colon + 1)));
        return;
    }
    NVSUDebugLog(QStringLiteral("Opening in the browser: %@"), url);
    if (NVWorkspace *workspace = NVApplicationServices::workspace())
        workspace->openURL(url.toString(QUrl::FullyEncoded));
    else
        QDesktopServices::openUrl(url);
}

void NVSUReleaseNotesWebView::loadingChanged(const QWebEngineLoadingInfo &info)
{
    if (m_isRefusedNavigationOpen && info.status() != QWebEngineLoadingInfo::LoadStartedStatus) {
        // The navigation whose log-in was refused ends, with the server's
        // empty answer, often after the sheet has been answered. What the
        // answer asks for runs only now, so that this end is not taken for
        // the end of the next load.
        m_isRefusedNavigationOpen = false;
        if (const std::function<void()> step = std::exchange(m_afterRefusedNavigation, nullptr))
            step();
        return;
    }
    if (!m_isLoading || m_isAwaitingCredential)
        return;
    switch (info.status()) {
    case QWebEngineLoadingInfo::LoadSucceededStatus:
        finishLoading(std::nullopt);
        break;
    case QWebEngineLoadingInfo::LoadFailedStatus:
        if (info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain)
            failWithHTTPStatus(info.url(), info.errorCode());
        else {
            NVSUDebugLog(QStringLiteral("Release notes: the engine failed the load with %@: %@"), info.errorCode(), info.errorString());
            finishLoading(NVWebEngineError::errorForFailedLoad(info));
        }
        break;
    case QWebEngineLoadingInfo::LoadStartedStatus:
    case QWebEngineLoadingInfo::LoadStoppedStatus:
        // Stopped: a newer load took over, and it will end.
        break;
    }
}

void NVSUReleaseNotesWebView::failWithHTTPStatus(const QUrl &url, int status)
{
    // The engine shows the server's answer; its text goes into the error,
    // where it is only text.
    m_page->toPlainText([view = QPointer(this), generation = m_loadGeneration, url, status](const QString &text) {
        if (!view || generation != view->m_loadGeneration)
            return;
        const QString description =
            NVFormat::format(NVLocalization::localizedStringFromTable(Strings::_releaseNotesHTTPErrorDescription, Strings::Table),
                             url.host(), status, quoted(text));
        view->finishLoading(NVError(NSURLErrorDomain, NSURLErrorBadServerResponse,
                                    {{NSLocalizedDescriptionKey, description}, {NSErrorFailingURLKey, url}}));
    });
}

void NVSUReleaseNotesWebView::finishLoading(const std::optional<NVError> &error)
{
    m_isLoading = false;
    if (error)
        NVSULog(QStringLiteral("The release notes could not be loaded: %@"), error->localizedDescription());
    if (m_delegate)
        m_delegate->releaseNotesViewDidFinishLoading(error);
}

const QList<QSslCertificate> &NVSUReleaseNotesWebView::serverAnchors()
{
    if (!m_anchors)
        m_anchors = NVServerTrust::anchorsAtPath(NVServerTrust::bundleAnchorsPath());
    return *m_anchors;
}

void NVSUReleaseNotesWebView::certificateError(QWebEngineCertificateError error)
{
    // The engine checks against its own store, which lacks the bundle's
    // anchors: a chain refused only for its authority is checked again
    // against the transport's trust, host name included. Nothing else is
    // overlooked.
    const QString host = error.url().host();
    if (error.type() == QWebEngineCertificateError::CertificateAuthorityInvalid && error.isOverridable()) {
        const NVResult<void> trusted = NVServerTrust::evaluateServerChain(error.certificateChain(), host, serverAnchors());
        if (trusted) {
            error.acceptCertificate();
            return;
        }
        NVSULog(QStringLiteral("Release notes: %@"), trusted.error().localizedDescription());
    } else {
        NVSULog(QStringLiteral("Release notes: the certificate of %@ is refused: %@"), host, error.description());
    }
    error.rejectCertificate();
}

void NVSUReleaseNotesWebView::authenticationRequired(const QUrl &url, QAuthenticator *authenticator)
{
    const std::optional<Credential> &answer = m_credentialForNextChallenge;
    if (answer && answer->host == url.host() && answer->port == portOf(url)) {
        authenticator->setUser(answer->credential.user);
        authenticator->setPassword(answer->credential.password);
        m_credentialForNextChallenge.reset();
        return;
    }
    // Only a null authenticator refuses; one left as it came sends an empty
    // user name and password.
    *authenticator = QAuthenticator();
    if (!m_isLoading || m_isAwaitingCredential || !m_delegate)
        return;
    m_isAwaitingCredential = true;
    m_isRefusedNavigationOpen = true;

    // The engine does not say which scheme the server asked for, so the
    // same request asks again, past the engine.
    if (!m_challengeProbe) {
        m_challengeProbe = new QNetworkAccessManager(this);
        m_challengeProbe->setProxyFactory(new NVProxyFactory());
    }
    QNetworkRequest request = NVSUExtensions::nvsuRequestWithURL(url);
    request.setSslConfiguration(NVServerTrust::serverConfiguration());
    request.setTransferTimeout(ChallengeProbeTimeoutMilliseconds);
    QNetworkReply *reply = m_challengeProbe->get(request);
    connect(reply, &QNetworkReply::sslErrors, this, [this, reply](const QList<QSslError> &errors) {
        NVServerTrust::applyAnchors(*reply, errors, serverAnchors());
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, url, generation = m_loadGeneration] {
        reply->deleteLater();
        if (generation != m_loadGeneration)
            return;
        QList<QByteArray> challenges;
        for (const QNetworkReply::RawHeaderPair &field : reply->rawHeaderPairs()) {
            if (field.first.compare("WWW-Authenticate", Qt::CaseInsensitive) == 0)
                challenges << field.second;
        }
        std::optional<NVError> failure;
        if (challenges.isEmpty() && reply->error() != QNetworkReply::NoError
            && reply->error() != QNetworkReply::AuthenticationRequiredError) {
            NVSULog(QStringLiteral("Release notes: asking %@ which log-in it wants failed: %@"), url.host(), reply->errorString());
            failure = NVURLError::errorWithCode(NVURLError::codeForFailure({reply->error(), {}, reply->errorString()}), url);
        }
        askForCredential(url, challenges, failure);
    });
}

void NVSUReleaseNotesWebView::askForCredential(const QUrl &url, const QList<QByteArray> &challenges,
                                               const std::optional<NVError> &failure)
{
    if (failure || !NVAuthenticationChallenge::offersOnlyBasic(challenges) || !m_delegate) {
        afterRefusedNavigation([this, error = failure ? *failure : NVURLError::errorWithCode(NSURLErrorUserAuthenticationRequired, url)] {
            m_isAwaitingCredential = false;
            finishLoading(error);
        });
        return;
    }
    const QString host = url.host();
    const int port = portOf(url);
    m_delegate->releaseNotesViewDidReceiveAuthenticationChallenge(
        host, port, [view = QPointer(this), generation = m_loadGeneration, url, host, port](std::optional<NVSUReleaseNotesViewDelegate::Credential> credential) {
            if (!view || generation != view->m_loadGeneration)
                return;
            view->afterRefusedNavigation([view = view.data(), url, host, port, credential = std::move(credential)] {
                view->m_isAwaitingCredential = false;
                if (!credential) {
                    view->finishLoading(NVURLError::errorWithCode(NSURLErrorUserCancelledAuthentication, url));
                    return;
                }
                // The engine keeps what it was given for this profile, in memory.
                view->m_credentialForNextChallenge = Credential{host, port, *credential};
                view->loadReleaseNotes(view->m_releaseNotesURL);
            });
        });
}

void NVSUReleaseNotesWebView::afterRefusedNavigation(std::function<void()> step)
{
    if (m_isRefusedNavigationOpen)
        m_afterRefusedNavigation = std::move(step);
    else
        step();
}

#include "NVSUReleaseNotesWebView.moc"
