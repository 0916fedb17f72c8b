#include "ui/NVSUWindowController.h"

namespace {
NVSUWindowControllerFactory &installedFactory()
{
    static NVSUWindowControllerFactory factory;
    return factory;
}
} // namespace

const NVSUWindowControllerFactory &NVSUWindowControllers::factory()
{
    return installedFactory();
}

void NVSUWindowControllers::setFactory(NVSUWindowControllerFactory factory)
{
    installedFactory() = std::move(factory);
}
