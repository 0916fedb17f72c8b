#pragma once

#include "foundation/NVError.h"
#include "logging/NVLog.h"
#include "platform/NVApplicationServices.h"

#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QWidget;

// The release notes inside the update window are a web page. The web view
// lives in a library of its own (webview/, over Qt WebEngine) that the
// application installs, so that the Widgets code, the password prompt and
// their tests never load a browser engine. The window knows it only through
// these two interfaces.

// What the release-notes view asks of the window that shows it.
class NVSUReleaseNotesViewDelegate {
public:
    struct Credential {
        QString user;
        QString password;
    };
    // Called once: with a credential to log in, or with nothing to cancel.
    using CredentialCompletion = std::function<void(std::optional<Credential>)>;

    virtual ~NVSUReleaseNotesViewDelegate() = default;

    // The common end of every load, the release notes' or the error page's:
    // no error when the page is there. Main thread.
    virtual void releaseNotesViewDidFinishLoading(const std::optional<NVError> &error) = 0;
    // The server wants a user name and a password (HTTP Basic) for host and
    // port. The load waits until completion is called, which may be later,
    // from the event loop; nothing cancels the load. Main thread.
    virtual void releaseNotesViewDidReceiveAuthenticationChallenge(const QString &host, int port,
                                                                   CredentialCompletion completion) = 0;
};

// The web view. Links to other pages open in the user's browser; the page
// hears the light or dark appearance through didChangeEffectiveAppearance.
// Main thread, every method; none blocks.
class NVSUReleaseNotesView {
public:
    virtual ~NVSUReleaseNotesView() = default;

    // The view's widget, a child of the container it was made in.
    virtual QWidget *widget() = 0;
    // Who hears about loads and challenges; nullptr: nobody (and no
    // challenge is answered).
    virtual void setDelegate(NVSUReleaseNotesViewDelegate *delegate) = 0;
    // Loads the page at url as the update client asks for everything: past
    // every cache, with its User-Agent, trusting the servers it trusts.
    virtual void loadReleaseNotes(const QUrl &url) = 0;
    // Shows a page that says message (plain text, shown as text), coloured
    // for the current appearance. Its end is reported like any load's.
    virtual void loadErrorPage(const QString &message) = 0;
    // Tells the page whether the window is light or dark.
    virtual void forwardAppearance() = 0;
};

// Makes a hidden release-notes view filling container, as its child (the
// container owns it).
using NVSUReleaseNotesViewFactory = std::function<NVSUReleaseNotesView *(QWidget *container)>;

namespace NVSUReleaseNotesViews {
// The installed factory; empty when none is: the window then shows its
// spinner where the notes would be. Install on the main thread before the
// first window; read on the main thread.
const NVSUReleaseNotesViewFactory &factory();
void setFactory(NVSUReleaseNotesViewFactory factory);

// What a release-notes library shares with the updater that opens it. The
// library holds copies of the layers below it, whose process-wide settings
// are their own, so it takes the updater's: where logs go and whether debug
// logs are on, its bundle (whose anchors the view trusts), and the
// workspace that opens links in the browser.
struct LibraryHost {
    const NVLogEnvironment *logEnvironment = nullptr;
    NVWorkspace *workspace = nullptr;
    QString mainBundlePath;
};
// The name of the function a release-notes library exports, of type
// LibraryEntryPoint: it takes the host's settings and writes the library's
// factory into the NVSUReleaseNotesViewFactory it is given.
inline constexpr char LibraryEntryPointName[] = "nvsuReleaseNotesViewFactory";
using LibraryEntryPoint = void (*)(const LibraryHost *host, NVSUReleaseNotesViewFactory *factory);

// A factory that opens the library at libraryPath on its first call and then
// makes the library's views. The browser engine is a large set of libraries
// that a check finding nothing new never needs: linked into the updater, they
// would be loaded, relocated and resident in every run. A library that does
// not open or lacks the entry point is logged once, and every call then
// makes no view (the window keeps its spinner). Main thread.
NVSUReleaseNotesViewFactory libraryFactory(const QString &libraryPath);
} // namespace NVSUReleaseNotesViews
