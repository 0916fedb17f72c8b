#pragma once

#include "localization/NVLocalization.h"

#include <QComboBox>

// A pop-up button (a combo box) that fits its width to its localized title,
// the current item; its other items are not translated.
//
// Main thread, every method.
class NVAutoresizingPopUpButton : public QComboBox, public NVLocalizable {
    Q_OBJECT
public:
    explicit NVAutoresizingPopUpButton(QWidget *parent = nullptr);

    void localizeWithTable(const QString &table, const NVBundle *bundle) override;
};
