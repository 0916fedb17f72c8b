#pragma once

#include "localization/NVLocalization.h"

#include <QPushButton>

// A push button that fits its width to its title when it is localized or
// retitled through setTitleAndAutoresize (NVAutoresizing.h).
//
// Main thread, every method.
class NVAutoresizingButton : public QPushButton, public NVLocalizable {
    Q_OBJECT
public:
    explicit NVAutoresizingButton(QWidget *parent = nullptr);

    void localizeWithTable(const QString &table, const NVBundle *bundle) override;
    void setTitleAndAutoresize(const QString &title);
};
