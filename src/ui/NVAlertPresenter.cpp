#include "ui/NVAlertPresenter.h"

#include "logging/NVLog.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>

namespace {

std::atomic<NVAlertPresenter *> currentPresenter{nullptr};

void logUnpresentedAlert(const NVAlert &alert)
{
    NVLog(QStringLiteral("No window to show the alert \"%@\" (%@); answering with its first button"),
          alert.messageText, alert.informativeText);
}

} // namespace

NVAlertPresenter *NVAlertPresenter::current() { return currentPresenter.load(); }

void NVAlertPresenter::setCurrent(NVAlertPresenter *presenter) { currentPresenter.store(presenter); }

int NVRunAlertModal(const NVAlert &alert)
{
    if (NVAlertPresenter *presenter = NVAlertPresenter::current())
        return presenter->runModal(alert);
    logUnpresentedAlert(alert);
    return NSAlertFirstButtonReturn;
}

void NVBeginAlertSheet(const NVAlert &alert, NVWindowHandle window, NVAlertPresenter::CompletionHandler completionHandler)
{
    if (NVAlertPresenter *presenter = NVAlertPresenter::current()) {
        presenter->beginSheetModalForWindow(alert, window, std::move(completionHandler));
        return;
    }
    logUnpresentedAlert(alert);
    if (completionHandler && QCoreApplication::instance()) {
        // A sheet never answers before it returns; keep that order here too.
        QMetaObject::invokeMethod(QCoreApplication::instance(),
                                  [handler = std::move(completionHandler)] { handler(NSAlertFirstButtonReturn); },
                                  Qt::QueuedConnection);
    }
}
