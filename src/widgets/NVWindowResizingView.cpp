#include "widgets/NVWindowResizingView.h"

#include "widgets/NVSUWindow.h"
#include "widgets/NVViewFrames.h"

NVWindowResizingView::NVWindowResizingView(QWidget *parent) : QWidget(parent) {}

void NVWindowResizingView::adoptDesignedSize()
{
    m_minSize = NVViewFrames::size(this);
    m_laidOutSize = m_minSize;
    m_hasLaidOutSize = true;
    m_home = parentWidget();
}

void NVWindowResizingView::setMinSize(const NVSize &minSize)
{
    m_minSize = minSize;
    const NVSize size = NVViewFrames::size(this);
    if (size.width < minSize.width || size.height < minSize.height)
        setFrameSize(NVViewGeometry::sizeForMinSize(size, minSize));
}

void NVWindowResizingView::setFrameSize(const NVSize &size)
{
    NVViewFrames::setFrameSize(this, size);
    layOutSubviews();
}

void NVWindowResizingView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layOutSubviews();
}

void NVWindowResizingView::layOutSubviews()
{
    const NVSize size = NVViewFrames::size(this);
    if (m_hasLaidOutSize && !(size == m_laidOutSize))
        NVViewFrames::resizeSubviews(this, m_laidOutSize);
    m_laidOutSize = size;
    m_hasLaidOutSize = true;
}

bool NVWindowResizingView::isMainViewOfWindow() const
{
    return parentWidget() && parentWidget()->isWindow() && parentWidget() != m_home.data() && !isHidden();
}

void NVWindowResizingView::returnHome()
{
    hide();
    setParent(m_home);
}

void NVWindowResizingView::makeMainViewOfWindow(QWidget *window, bool animate)
{
    Q_UNUSED(animate); // resized at once; see the class comment
    auto *updateWindow = qobject_cast<NVSUWindow *>(window);
    Q_ASSERT(updateWindow);
    const NVMainViewPlacement placement = NVViewGeometry::placeMainView(
        updateWindow->frame(), NVViewFrames::size(this), m_minSize, NVViewFrames::windowDecoration(window));
    updateWindow->setMinFrameSize(placement.minFrameSize);
    updateWindow->setMaxFrameSize(placement.maxFrameSize);

    for (QWidget *child : window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (child->isWindow())
            continue;
        if (auto *view = qobject_cast<NVWindowResizingView *>(child))
            view->returnHome();
        else
            child->hide();
    }
    updateWindow->setFrame(placement.windowFrame);

    setParent(window);
    move(0, 0);
    show();
    setFrameSize({double(window->width()), double(window->height())});
}

void NVWindowResizingView::makeSubviewCollapsed(QWidget *subview, bool collapsed)
{
    if (subview->isHidden() == collapsed)
        return;
    const double height = NVViewFrames::size(subview).height;
    const double delta = collapsed ? -height : height;
    m_minSize.height += delta;
    if (collapsed)
        subview->hide();

    if (isMainViewOfWindow()) {
        auto *window = static_cast<NVSUWindow *>(parentWidget());
        const NVSize min = window->minFrameSize();
        const NVSize max = window->maxFrameSize();
        window->setMinFrameSize({min.width, NVViewGeometry::limitForHeightChange(min.height, delta)});
        window->setMaxFrameSize({max.width, NVViewGeometry::limitForHeightChange(max.height, delta)});
        window->setFrame(NVViewGeometry::windowFrameForHeightChange(window->frame(), delta));
    } else {
        NVViewFrames::setFrame(this, NVViewGeometry::viewFrameForHeightChange(NVViewFrames::frame(this), delta));
        layOutSubviews();
    }

    if (!collapsed)
        subview->show();
}
