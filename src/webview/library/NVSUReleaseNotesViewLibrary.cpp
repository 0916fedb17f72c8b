// The entry point of the release notes' library, which the updater opens
// when a window first shows notes (NVSUReleaseNotesViews::libraryFactory).

#include "platform/NVApplicationServices.h"
#include "platform/NVBundle.h"
#include "webview/NVSUReleaseNotesWebView.h"

extern "C" Q_DECL_EXPORT void nvsuReleaseNotesViewFactory(const NVSUReleaseNotesViews::LibraryHost *host, NVSUReleaseNotesViewFactory *factory)
{
    // Both checks at compile time: the name and the type the updater looks
    // for are this function's.
    static_assert(std::is_same_v<decltype(&nvsuReleaseNotesViewFactory), NVSUReleaseNotesViews::LibraryEntryPoint>);
    NVSetLogEnvironment(host->logEnvironment);
    NVApplicationServices::setWorkspace(host->workspace);
    NVBundle::setMainBundle(host->mainBundlePath);
    *factory = NVSUReleaseNotesWebView::factory();
}
