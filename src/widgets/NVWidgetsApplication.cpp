#include "widgets/NVWidgetsApplication.h"

#include <QApplication>
#include <QWidget>

NVWidgetsApplication::NVWidgetsApplication(std::function<void()> terminate) : m_terminate(std::move(terminate)) {}

void NVWidgetsApplication::terminate()
{
    if (m_terminate)
        m_terminate();
    else
        QCoreApplication::quit();
}

void NVWidgetsApplication::activate()
{
    if (QWidget *modal = QApplication::activeModalWidget()) {
        modal->raise();
        modal->activateWindow();
        return;
    }
    QWidget *active = QApplication::activeWindow();
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && window != active)
            window->raise();
    }
    QWidget *target = active;
    if (!target) {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (window->isVisible())
                target = window;
        }
    }
    if (target) {
        target->raise();
        target->activateWindow();
    }
}

void NVWidgetsApplication::hide()
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible())
            window->hide();
    }
}

bool NVWidgetsApplication::isModalWindowUp() const { return QApplication::activeModalWidget() != nullptr; }

bool NVWidgetsApplication::isWindowVisible(NVWindowHandle window) const
{
    const QWidget *widget = qobject_cast<const QWidget *>(window);
    return widget ? widget->window()->isVisible() : window != nullptr;
}
