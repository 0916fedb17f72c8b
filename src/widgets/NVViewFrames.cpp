#include "widgets/NVViewFrames.h"

#include <QGuiApplication>
#include <QRectF>
#include <QScreen>
#include <QVariant>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace NVViewFrames {

namespace {

const char *const ExactGeometryProperty = "nvExactGeometry";

QRect rounded(const QRectF &rect)
{
    return QRect(qRound(rect.x()), qRound(rect.y()), std::max(0, qRound(rect.width())),
                 std::max(0, qRound(rect.height())));
}

// The geometry we last gave the view, unless something else has moved it
// since; sizes may be negative here (a collapsed area), never on screen.
QRectF exactGeometry(const QWidget *view)
{
    const QVariant stored = view->property(ExactGeometryProperty);
    if (stored.isValid()) {
        const QRectF exact = stored.toRectF();
        if (rounded(exact) == view->geometry())
            return exact;
    }
    return QRectF(view->geometry());
}

void setExactGeometry(QWidget *view, const QRectF &geometry)
{
    view->setProperty(ExactGeometryProperty, geometry);
    view->setGeometry(rounded(geometry));
}

// The reflection between screen coordinates: any fixed line works, as long as
// reading and writing use the same one.
double screenReferenceHeight()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? double(screen->virtualGeometry().bottom() + 1) : 0.0;
}

} // namespace

bool takesPartInAutoresizing(const QWidget *view)
{
    return view->property(AutoresizingMaskProperty).isValid() && !view->isWindow();
}

unsigned autoresizingMask(const QWidget *view)
{
    return view->property(AutoresizingMaskProperty).toUInt();
}

NVRect frame(const QWidget *view, double superviewHeight)
{
    const QRectF g = exactGeometry(view);
    return {g.x(), superviewHeight - (g.y() + g.height()), g.width(), g.height()};
}

NVRect frame(const QWidget *view)
{
    const QWidget *superview = view->parentWidget();
    const double height = superview && !view->isWindow() ? exactGeometry(superview).height() : exactGeometry(view).height();
    return frame(view, height);
}

void setFrame(QWidget *view, const NVRect &frame)
{
    const QWidget *superview = view->parentWidget();
    const double height = superview && !view->isWindow() ? exactGeometry(superview).height() : frame.height;
    setExactGeometry(view, QRectF(frame.x, height - (frame.y + frame.height), frame.width, frame.height));
}

NVSize size(const QWidget *view)
{
    const QRectF g = exactGeometry(view);
    return {g.width(), g.height()};
}

void setFrameSize(QWidget *view, const NVSize &size)
{
    const QRectF old = exactGeometry(view);
    setExactGeometry(view, QRectF(old.topLeft(), QSizeF(size.width, size.height)));
}

void resizeSubviews(QWidget *view, const NVSize &oldSize)
{
    const NVSize newSize = size(view);
    if (newSize == oldSize)
        return;
    for (QWidget *subview : view->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (!takesPartInAutoresizing(subview))
            continue;
        const NVRect old = frame(subview, oldSize.height);
        const NVRect resized = NVViewGeometry::autoresizedFrame(old, autoresizingMask(subview), oldSize, newSize);
        setExactGeometry(subview, QRectF(resized.x, newSize.height - (resized.y + resized.height), resized.width,
                                         resized.height));
        resizeSubviews(subview, old.size());
    }
}

NVRect windowFrame(const QWidget *window)
{
    const QRect g = window->frameGeometry();
    return {double(g.x()), screenReferenceHeight() - double(g.y() + g.height()), double(g.width()), double(g.height())};
}

NVEdgeInsets windowDecoration(const QWidget *window)
{
    // Before the window manager has framed the window, Qt reports no
    // decoration; the frame then is the content.
    const QRect outer = window->frameGeometry();
    const QRect inner = window->geometry();
    return {double(inner.left() - outer.left()), double(inner.top() - outer.top()),
            double(outer.right() - inner.right()), double(outer.bottom() - inner.bottom())};
}

void setWindowFrame(QWidget *window, const NVRect &frame)
{
    const NVRect content = NVViewGeometry::contentRectForFrameRect(frame, windowDecoration(window));
    const double top = screenReferenceHeight() - (content.y + content.height);
    window->setGeometry(rounded(QRectF(content.x, top, content.width, content.height)));
}

} // namespace NVViewFrames
