#include "widgets/NVAutoresizing.h"

#include "widgets/NVViewFrames.h"
#include "widgets/NVWidgetLocalization.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>

namespace NVAutoresizing {

bool fitsContent(const QWidget *view)
{
    return qobject_cast<const QAbstractButton *>(view) || qobject_cast<const QLabel *>(view)
        || qobject_cast<const QComboBox *>(view);
}

double fittedWidth(const QWidget *view)
{
    return double(view->sizeHint().width());
}

Frames initialAndOptimalFrames(const QWidget *button)
{
    const NVRect initial = NVViewFrames::frame(button);
    return {initial, {initial.x, initial.y, fittedWidth(button), initial.height}};
}

void autoresize(QWidget *button, const Frames &frames)
{
    const NVRect fitted{frames.initial.x, frames.initial.y, fittedWidth(button), frames.initial.height};
    NVViewFrames::setFrame(button, NVViewGeometry::autoresizedButtonFrame(frames.initial, frames.optimal, fitted,
                                                                           NVViewFrames::autoresizingMask(button)));
}

void localizeAndAutoresize(QWidget *button, const QString &table, const NVBundle *bundle)
{
    const Frames frames = initialAndOptimalFrames(button);
    NVWidgetLocalization::localizeControl(button, table, bundle);
    autoresize(button, frames);
}

} // namespace NVAutoresizing
