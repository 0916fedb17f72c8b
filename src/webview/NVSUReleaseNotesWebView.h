#pragma once

#include "foundation/NVError.h"
#include "webview/NVAppearanceForwardingWebView.h"
#include "widgets/NVSUReleaseNotesView.h"

#include <QJsonValue>
#include <QList>
#include <QPointer>
#include <QSslCertificate>

#include <functional>
#include <memory>
#include <optional>

class QAuthenticator;
class QNetworkAccessManager;
class QWebEngineCertificateError;
class QWebEngineLoadingInfo;
class QWebEngineProfile;

// The release notes of the update window, over Qt WebEngine.
//
// Each view has a private profile kept in memory only: no cache, no cookies
// or passwords on disk, and the update client's User-Agent on every
// request. The page may post messages to window.webkit.messageHandlers.bridge
// (over Qt WebChannel); "open-in-browser:<address>" opens a web or mail
// address in the user's browser. A script added when the page has loaded
// makes every link to another page do that, and a click on a link to
// another page that it missed is refused: only the page itself may be
// followed (its fragments). There is no context menu, and a page cannot open
// windows.
//
// The server is trusted as the update transport trusts it (the engine's
// store does not know the bundle's anchors, so a chain the engine refuses
// for its authority alone is checked again against ours). A failed load
// reports an error to the delegate, which asks for the error page; an HTTP
// error status counts as a failure, with the server's text in the error. A
// server that asks for a Basic log-in gets the delegate's answer: the
// engine must have its answer before its signal returns, and the log-in
// sheet must not spin a nested event loop, so the challenge is refused, the
// delegate asked, and the page loaded again with the credential, which the
// engine keeps for this view's life. Other log-in schemes fail the load.
//
// Main thread, every method; none blocks.
class NVSUReleaseNotesWebView final : public NVAppearanceForwardingWebView, public NVSUReleaseNotesView {
    Q_OBJECT
public:
    explicit NVSUReleaseNotesWebView(QWidget *parent = nullptr);
    ~NVSUReleaseNotesWebView() override;

    // Makes views filling the container, as the update window asks for
    // them. The first view of a process run by root starts the engine
    // without its sandbox, which cannot run as root.
    static NVSUReleaseNotesViewFactory factory();

    // The page that says message: escaped, so that it is only ever text,
    // with didChangeEffectiveAppearance colouring it.
    static QString errorPageHTML(const QString &message);

    QWidget *widget() override { return this; }
    void setDelegate(NVSUReleaseNotesViewDelegate *delegate) override;
    void loadReleaseNotes(const QUrl &url) override;
    void loadErrorPage(const QString &message) override;
    void forwardAppearance() override;

    // A message the page posted to its "bridge". Only a string
    // "open-in-browser:<address>" with an http, https or mailto address does
    // something; everything else is logged and ignored.
    void userContentControllerDidReceiveScriptMessage(const QJsonValue &body);

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    struct Credential {
        QString host;
        int port = 0;
        NVSUReleaseNotesViewDelegate::Credential credential;
    };

    NVSUReleaseNotesWebView(std::unique_ptr<QWebEngineProfile> profile, QWidget *parent);
    void installBridge();
    void loadingChanged(const QWebEngineLoadingInfo &info);
    void certificateError(QWebEngineCertificateError error);
    // The bundle's server anchors, read when first needed.
    const QList<QSslCertificate> &serverAnchors();
    void authenticationRequired(const QUrl &url, QAuthenticator *authenticator);
    void askForCredential(const QUrl &url, const QList<QByteArray> &challenges, const std::optional<NVError> &failure);
    void failWithHTTPStatus(const QUrl &url, int status);
    void finishLoading(const std::optional<NVError> &error);
    // Runs step now, or once the refused navigation has ended.
    void afterRefusedNavigation(std::function<void()> step);

    std::unique_ptr<QWebEngineProfile> m_profile;
    std::unique_ptr<QWebEnginePage> m_page;     // destroyed before the profile
    NVSUReleaseNotesViewDelegate *m_delegate = nullptr;
    QUrl m_releaseNotesURL;
    // Counts the loads asked for, so that an answer that comes back after
    // a newer load started is dropped.
    quint64 m_loadGeneration = 0;
    bool m_isLoading = false;
    bool m_isAwaitingCredential = false;
    // A navigation whose log-in was refused has not ended yet; what the
    // sheet's answer asks for waits for its end.
    bool m_isRefusedNavigationOpen = false;
    std::function<void()> m_afterRefusedNavigation;
    std::optional<Credential> m_credentialForNextChallenge;
    std::optional<QList<QSslCertificate>> m_anchors; // see serverAnchors()
    QNetworkAccessManager *m_challengeProbe = nullptr; // a child, made at the first challenge
};
