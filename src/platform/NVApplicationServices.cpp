#include "platform/NVApplicationServices.h"

#include <QCoreApplication>

#include <atomic>

namespace {
std::atomic<NVApplication *> g_application{nullptr};
std::atomic<NVWorkspace *> g_workspace{nullptr};
} // namespace

namespace NVApplicationServices {

NVApplication *application() { return g_application.load(); }
void setApplication(NVApplication *application) { g_application.store(application); }
NVWorkspace *workspace() { return g_workspace.load(); }
void setWorkspace(NVWorkspace *workspace) { g_workspace.store(workspace); }

void terminateApplication()
{
    if (NVApplication *app = application()) {
        app->terminate();
        return;
    }
    QCoreApplication::quit();
}

} // namespace NVApplicationServices
