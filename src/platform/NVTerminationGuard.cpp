#include "platform/NVTerminationGuard.h"

#include <QCoreApplication>

#include <mutex>
#include <vector>

namespace {

struct GuardState {
    std::mutex mutex;
    int held = 0;
    std::vector<std::function<void()>> waiting;
};

GuardState &state()
{
    static GuardState shared;
    return shared;
}

} // namespace

NVTerminationGuard::NVTerminationGuard()
{
    std::lock_guard lock(state().mutex);
    ++state().held;
}

NVTerminationGuard::~NVTerminationGuard()
{
    std::vector<std::function<void()>> released;
    {
        std::lock_guard lock(state().mutex);
        if (--state().held == 0)
            released.swap(state().waiting);
    }
    QCoreApplication *application = QCoreApplication::instance();
    for (std::function<void()> &termination : released) {
        if (application)
            QMetaObject::invokeMethod(application, std::move(termination), Qt::QueuedConnection);
    }
}

bool NVTerminationGuard::isHeld()
{
    std::lock_guard lock(state().mutex);
    return state().held > 0;
}

void NVTerminationGuard::whenReleased(std::function<void()> termination)
{
    {
        std::lock_guard lock(state().mutex);
        if (state().held > 0) {
            state().waiting.push_back(std::move(termination));
            return;
        }
    }
    termination();
}
