#include "widgets/NVSUReleaseNotesView.h"

#include "platform/NVBundle.h"

#include <QLibrary>

#include <memory>

namespace {
NVSUReleaseNotesViewFactory &installedFactory()
{
    static NVSUReleaseNotesViewFactory factory;
    return factory;
}
} // namespace

const NVSUReleaseNotesViewFactory &NVSUReleaseNotesViews::factory()
{
    return installedFactory();
}

void NVSUReleaseNotesViews::setFactory(NVSUReleaseNotesViewFactory factory)
{
    installedFactory() = std::move(factory);
}

NVSUReleaseNotesViewFactory NVSUReleaseNotesViews::libraryFactory(const QString &libraryPath)
{
    // Shared by the copies of the returned factory, so the library is opened
    // once however often the factory is copied.
    auto loaded = std::make_shared<std::optional<NVSUReleaseNotesViewFactory>>();
    return [libraryPath, loaded](QWidget *container) -> NVSUReleaseNotesView * {
        if (!loaded->has_value()) {
            NVSUReleaseNotesViewFactory factory;
            QLibrary library(libraryPath);
            // The library stays loaded: its views and their engine live as
            // long as the process.
            // Every symbol is bound at once, so that a library that does not
            // fit this build fails here rather than in the middle of a window.
            library.setLoadHints(QLibrary::PreventUnloadHint | QLibrary::ResolveAllSymbolsHint);
            const LibraryHost host{&NVCurrentLogEnvironment(), NVApplicationServices::workspace(), NVBundle::mainBundle()->bundlePath()};
            if (const auto entry = reinterpret_cast<LibraryEntryPoint>(library.resolve(LibraryEntryPointName)))
                entry(&host, &factory);
            else
                NVSULog(QStringLiteral("Release notes cannot be shown: %@"), library.errorString());
            *loaded = std::move(factory);
        }
        return **loaded ? (**loaded)(container) : nullptr;
    };
}
