#include "widgets/NVAutoresizingPopUpButton.h"

#include "widgets/NVAutoresizing.h"

NVAutoresizingPopUpButton::NVAutoresizingPopUpButton(QWidget *parent) : QComboBox(parent)
{
    // The fitted width must follow the items, not the first ones ever seen.
    setSizeAdjustPolicy(QComboBox::AdjustToContents);
}

void NVAutoresizingPopUpButton::localizeWithTable(const QString &table, const NVBundle *bundle)
{
    NVAutoresizing::localizeAndAutoresize(this, table, bundle);
}
