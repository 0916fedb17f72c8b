#include "widgets/NVAutoresizingBox.h"

#include "widgets/NVAutoresizing.h"
#include "widgets/NVDynamicAutoresizingButton.h"
#include "widgets/NVViewFrames.h"
#include "widgets/NVWidgetLocalization.h"

NVAutoresizingBox::NVAutoresizingBox(QWidget *parent) : QWidget(parent) {}

void NVAutoresizingBox::localizeWithTable(const QString &table, const NVBundle *bundle)
{
    transformAndAutoresizeSubviews(
        [&](QWidget *view) { NVWidgetLocalization::localizeObject(view, table, bundle); });
}

void NVAutoresizingBox::setTitleOfButton(const QString &title, QAbstractButton *button)
{
    transformAndAutoresizeSubviews([&](QWidget *view) {
        if (view != button)
            return;
        if (auto *dynamic = qobject_cast<NVDynamicAutoresizingButton *>(view))
            dynamic->setTitle(title);
        else
            button->setText(title);
    });
}

void NVAutoresizingBox::transformAndAutoresizeSubviews(const std::function<void(QWidget *)> &transform)
{
    QList<QWidget *> views;
    QList<NVBoxItem> items;
    for (QWidget *view : findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (view->isWindow())
            continue;
        NVBoxItem item{NVViewFrames::autoresizingMask(view), NVViewFrames::frame(view), {}, {}};
        if (NVAutoresizing::fitsContent(view))
            item.fittedWidthBefore = NVAutoresizing::fittedWidth(view);
        views << view;
        items << item;
    }
    for (qsizetype i = 0; i < views.size(); ++i) {
        transform(views[i]);
        if (items[i].fittedWidthBefore)
            items[i].fittedWidthAfter = NVAutoresizing::fittedWidth(views[i]);
    }
    // A button that fits itself while it is localized has moved already; the
    // row's frame replaces whatever it chose.
    const QList<NVRect> frames = NVViewGeometry::layoutBox(items);
    for (qsizetype i = 0; i < views.size(); ++i)
        NVViewFrames::setFrame(views[i], frames[i]);
}
