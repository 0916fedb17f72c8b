#include "widgets/NVMessageBoxAlertPresenter.h"

#include "support/TestSupport.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

QMessageBox *visibleMessageBox()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible())
            return box;
    return nullptr;
}

QAbstractButton *buttonTitled(QMessageBox *box, const QString &title)
{
    for (QAbstractButton *button : box->buttons())
        if (button->text() == title)
            return button;
    return nullptr;
}

// The box shows the alert's texts and buttons in order, the default one
// (the first) at the trailing end; with several, Escape gives no answer. A
// sheet is shown before the call returns, modal for its window, and answers
// through the handler. (A modal alert is the same box, run by exec().)
TEST(NVMessageBoxAlertPresenter, AlertsAnswerByButtonOrderAndSheetsThroughTheirHandler)
{
    NVMessageBoxAlertPresenter presenter;
    QWidget window;
    window.show();
    QWidget inner(&window);

    QList<int> responses;
    presenter.beginSheetModalForWindow({"Headline", "Body", {"First", "Second", "Third"}, {}}, &inner,
                                       [&](int response) { responses << response; });
    QMessageBox *box = visibleMessageBox();
    ASSERT_NE(box, nullptr) << "the sheet is shown before the call returns";
    EXPECT_EQ(box->text(), "Headline");
    EXPECT_EQ(box->informativeText(), "Body");
    EXPECT_EQ(box->parentWidget(), &window);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->defaultButton(), buttonTitled(box, "First"));
    const auto x = [&](const char *title) { return buttonTitled(box, title)->mapToGlobal(QPoint()).x(); };
    EXPECT_GT(x("First"), x("Second"));
    EXPECT_GT(x("Second"), x("Third"));
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(box, &escape);
    EXPECT_TRUE(box->isVisible());
    EXPECT_TRUE(responses.isEmpty());
    buttonTitled(box, "Second")->click();
    EXPECT_TRUE(TestSupport::waitFor([&] { return visibleMessageBox() == nullptr; }));
    QApplication::processEvents();
    EXPECT_EQ(responses, QList<int>({NSAlertSecondButtonReturn}));
}

} // namespace
