#include "widgets/NVAutoresizingButton.h"

#include "widgets/NVAutoresizing.h"

NVAutoresizingButton::NVAutoresizingButton(QWidget *parent) : QPushButton(parent) {}

void NVAutoresizingButton::localizeWithTable(const QString &table, const NVBundle *bundle)
{
    NVAutoresizing::localizeAndAutoresize(this, table, bundle);
}

void NVAutoresizingButton::setTitleAndAutoresize(const QString &title)
{
    const NVAutoresizing::Frames frames = NVAutoresizing::initialAndOptimalFrames(this);
    setText(title);
    NVAutoresizing::autoresize(this, frames);
}
