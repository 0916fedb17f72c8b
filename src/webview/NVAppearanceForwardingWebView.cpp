#include "webview/NVAppearanceForwardingWebView.h"

#include "foundation/NVFormat.h"

#include <QEvent>

NVAppearanceForwardingWebView::NVAppearanceForwardingWebView(QWebEnginePage *page, QWidget *parent)
    : QWebEngineView(parent)
{
    // Set before any change event can ask for the page: QWebEngineView
    // would make one of its own, with the default profile.
    setPage(page);
}

QString NVAppearanceForwardingWebView::effectiveAppearanceName() const
{
    // A theme is dark when its windows are darker than the text on them;
    // themes say no more than their palette.
    const QPalette &palette = window()->palette();
    return palette.color(QPalette::Window).lightness() < palette.color(QPalette::WindowText).lightness()
        ? QStringLiteral("dark-aqua")
        : QStringLiteral("aqua");
}

void NVAppearanceForwardingWebView::forwardAppearance()
{
    // A page without the function raises a reference error here, which
    // nobody waits for.
    page()->runJavaScript(
        NVFormat::format(QStringLiteral("if (didChangeEffectiveAppearance !== undefined) { didChangeEffectiveAppearance('%@'); }"),
                         effectiveAppearanceName()));
}

bool NVAppearanceForwardingWebView::changesAppearance(const QEvent *event)
{
    return event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange
        || event->type() == QEvent::ThemeChange;
}

void NVAppearanceForwardingWebView::changeEvent(QEvent *event)
{
    QWebEngineView::changeEvent(event);
    if (changesAppearance(event))
        forwardAppearance();
}

void NVAppearanceForwardingWebView::showEvent(QShowEvent *event)
{
    QWebEngineView::showEvent(event);
    // Views move between windows while they are hidden; shown, the view
    // knows its window.
    QWidget *window = this->window();
    if (window == m_watchedWindow || window == this)
        return;
    if (m_watchedWindow)
        m_watchedWindow->removeEventFilter(this);
    m_watchedWindow = window;
    window->installEventFilter(this);
}

bool NVAppearanceForwardingWebView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_watchedWindow && changesAppearance(event))
        forwardAppearance();
    return QWebEngineView::eventFilter(watched, event);
}
