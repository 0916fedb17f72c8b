#pragma once

#include "widgets/NVAutoresizingButton.h"

// A button whose title the program sets (it is not translated from the
// interface file) and that fits every new title: inside an NVAutoresizingBox
// the whole row makes room, elsewhere only the button changes. Bindings set
// its "title" property.
//
// Main thread, every method.
class NVDynamicAutoresizingButton : public NVAutoresizingButton {
    Q_OBJECT
    Q_PROPERTY(QString title READ text WRITE setTitle)
public:
    explicit NVDynamicAutoresizingButton(QWidget *parent = nullptr);

    // Its titles come from the program, so there is nothing to translate.
    void localizeWithTable(const QString &table, const NVBundle *bundle) override {}
    void setTitle(const QString &title);

private:
    // Set while the row or the button itself is fitting the new title, which
    // sets the title once more, plainly.
    bool m_performingSetTitle = false;
};
