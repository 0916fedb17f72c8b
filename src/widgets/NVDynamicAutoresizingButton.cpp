#include "widgets/NVDynamicAutoresizingButton.h"

#include "widgets/NVAutoresizingBox.h"

#include <utility>

NVDynamicAutoresizingButton::NVDynamicAutoresizingButton(QWidget *parent) : NVAutoresizingButton(parent) {}

void NVDynamicAutoresizingButton::setTitle(const QString &title)
{
    if (m_performingSetTitle) {
        setText(title);
        return;
    }
    m_performingSetTitle = true;
    if (auto *box = qobject_cast<NVAutoresizingBox *>(parentWidget()))
        box->setTitleOfButton(title, this);
    else
        setTitleAndAutoresize(title);
    m_performingSetTitle = false;
}
