#include "widgets/NVSUWindow.h"

#include "widgets/NVViewFrames.h"
#include "widgets/NVWindowResizingView.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMouseEvent>
#include <QWindow>

#include <algorithm>

namespace {

Qt::WindowFlags flagsForStyle(NVSUWindow::Style style)
{
    Qt::WindowFlags flags = Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint
        | Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint;
    if (style == NVSUWindow::Style::Resizable)
        flags |= Qt::WindowMaximizeButtonHint;
    return flags;
}

int clampedSize(double size)
{
    return int(std::clamp(size, 0.0, double(QWIDGETSIZE_MAX)));
}

bool isLeftMouseDown(const QEvent *event)
{
    return (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)
        && static_cast<const QMouseEvent *>(event)->button() == Qt::LeftButton;
}

} // namespace

NVSUWindow::NVSUWindow(Style style, NVClock clock)
    : QWidget(nullptr, flagsForStyle(style))
    , m_clock(clock ? std::move(clock) : NVClock([] { return QDateTime::currentDateTimeUtc(); }))
{
    // Clicks and key presses reach the native window before Qt hands them to
    // the widget under the mouse or with the focus, so that is where they
    // are refused.
    create();
    watchNativeWindow();
}

void NVSUWindow::watchNativeWindow()
{
    if (QWindow *window = windowHandle()) {
        window->removeEventFilter(this);
        window->installEventFilter(this);
    }
}

bool NVSUWindow::event(QEvent *event)
{
    if (event->type() == QEvent::WinIdChange)
        watchNativeWindow();
    return QWidget::event(event);
}

bool NVSUWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != windowHandle())
        return false;
    const bool leftMouseDown = isLeftMouseDown(event);
    if (m_refuseEventsBeforeDate && (leftMouseDown || event->type() == QEvent::KeyPress)) {
        if (m_clock() < *m_refuseEventsBeforeDate) {
            QApplication::beep();
            return true;
        }
        m_refuseEventsBeforeDate.reset();
    }
    if (leftMouseDown)
        setLevel(Level::Normal);
    return false;
}

NVSUWindow::Level NVSUWindow::level() const
{
    return windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? Level::Floating : Level::Normal;
}

void NVSUWindow::setLevel(Level level)
{
    Qt::WindowFlags flags = windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, level == Level::Floating);
    if (flags == windowFlags())
        return;
    // QWidget::setWindowFlags would re-create the native window, hiding it
    // and losing its place; the native window can change its level in place.
    overrideWindowFlags(flags);
    if (QWindow *window = windowHandle())
        window->setFlags(flags);
}

NVRect NVSUWindow::frame() const
{
    return NVViewFrames::windowFrame(this);
}

void NVSUWindow::setFrame(const NVRect &frame)
{
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    NVViewFrames::setWindowFrame(this, frame);
    applySizeLimits();
    fitContentViews();
    m_reportedSize = size();
}

void NVSUWindow::setMinFrameSize(const NVSize &size)
{
    m_minFrameSize = size;
    applySizeLimits();
}

void NVSUWindow::setMaxFrameSize(const NVSize &size)
{
    m_maxFrameSize = size;
    applySizeLimits();
}

void NVSUWindow::setResizable(bool resizable)
{
    m_resizable = resizable;
    applySizeLimits();
}

void NVSUWindow::applySizeLimits()
{
    // Qt's limits apply to the content; ours include the decoration. Window
    // managers offer no resizing for a window whose minimum equals its maximum.
    if (!m_resizable) {
        setFixedSize(size());
        return;
    }
    const NVEdgeInsets decoration = NVViewFrames::windowDecoration(this);
    const double horizontal = decoration.left + decoration.right;
    const double vertical = decoration.top + decoration.bottom;
    setMinimumSize(clampedSize(m_minFrameSize.width - horizontal), clampedSize(m_minFrameSize.height - vertical));
    setMaximumSize(clampedSize(m_maxFrameSize.width - horizontal), clampedSize(m_maxFrameSize.height - vertical));
}

void NVSUWindow::fitContentViews()
{
    for (auto *view : findChildren<NVWindowResizingView *>(Qt::FindDirectChildrenOnly))
        if (!view->isHidden())
            view->setFrameSize({double(width()), double(height())});
}

void NVSUWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    fitContentViews();
    if (size() == m_reportedSize)
        return;
    m_reportedSize = size();
    Q_EMIT didResize();
}

void NVSUWindow::closeEvent(QCloseEvent *event)
{
    Q_EMIT willClose();
    event->accept();
}
