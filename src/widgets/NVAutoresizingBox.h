#pragma once

#include "localization/NVLocalization.h"

#include <QWidget>

#include <functional>

class QAbstractButton;

// A row of buttons laid out as a unit: when titles change (through
// localization or setTitleOfButton), each button fits its title and the
// others make room (NVViewGeometry::layoutBox). Subviews with a flexible left
// margin form the right group, those with a flexible width stretch, all
// others form the left group.
//
// Main thread, every method.
class NVAutoresizingBox : public QWidget, public NVLocalizable {
    Q_OBJECT
public:
    explicit NVAutoresizingBox(QWidget *parent = nullptr);

    // Localizes each subview, its own way, and lays the row out again.
    void localizeWithTable(const QString &table, const NVBundle *bundle) override;
    // Gives button a new title and lays the row out again.
    void setTitleOfButton(const QString &title, QAbstractButton *button);

private:
    void transformAndAutoresizeSubviews(const std::function<void(QWidget *)> &transform);
};
