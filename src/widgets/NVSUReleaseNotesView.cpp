#include "widgets/NVSUReleaseNotesView.h"

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
