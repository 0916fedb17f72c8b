#include "widgets/NVMessageBoxAlertPresenter.h"

#include "support/TestSupport.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

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

// Runs check on the box once the event loop that the box itself turns is
// running (the box is then on screen), then clicks the button with the given
// title (an empty title: its only button).
void whenShownClick(const QString &title, std::function<void(QMessageBox *)> check = {})
{
    QTimer::singleShot(0, [title, check] {
        QMessageBox *box = visibleMessageBox();
        ASSERT_NE(box, nullptr);
        if (check)
            check(box);
        QAbstractButton *button = title.isEmpty() ? box->buttons().value(0) : buttonTitled(box, title);
        ASSERT_NE(button, nullptr) << title.toStdString();
        button->click();
    });
}

TEST(NVMessageBoxAlertPresenter, ModalAlertsAnswerByButtonOrderAndSheetsThroughTheirHandler)
{
    NVMessageBoxAlertPresenter presenter;
    bool checked = false;
    whenShownClick("Second", [&](QMessageBox *box) {
        checked = true;
        EXPECT_EQ(box->text(), "Headline");
        EXPECT_EQ(box->informativeText(), "Body");
        EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
        EXPECT_EQ(box->defaultButton(), buttonTitled(box, "First"));
        // The default button sits at the trailing end, the others follow
        // it towards the leading end.
        const auto x = [&](const char *title) { return buttonTitled(box, title)->mapToGlobal(QPoint()).x(); };
        EXPECT_GT(x("First"), x("Second"));
        EXPECT_GT(x("Second"), x("Third"));
        // With several buttons Escape gives no answer.
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(box, &escape);
        EXPECT_TRUE(box->isVisible());
    });
    EXPECT_EQ(presenter.runModal({"Headline", "Body", {"First", "Second", "Third"}, {}}), NSAlertSecondButtonReturn);
    EXPECT_TRUE(checked);
    whenShownClick(QString(), [](QMessageBox *box) {
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->standardButton(box->buttons().first()), QMessageBox::Ok);
    });
    EXPECT_EQ(presenter.runModal({"Only a headline", "", {}, {}}), NSAlertFirstButtonReturn);

    // A sheet is modal for its window and answers through the handler.
    QWidget window;
    window.resize(400, 300);
    window.show();
    QWidget inner(&window);

    QList<int> responses;
    presenter.beginSheetModalForWindow({"Sheet", "Over the window", {"Keep", "Drop"}, {}}, &inner,
                                       [&](int response) { responses << response; });
    QMessageBox *box = visibleMessageBox();
    ASSERT_NE(box, nullptr) << "the sheet is shown before the call returns";
    EXPECT_EQ(box->parentWidget(), &window);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_TRUE(responses.isEmpty());

    buttonTitled(box, "Drop")->click();
    EXPECT_TRUE(TestSupport::waitFor([&] { return visibleMessageBox() == nullptr; }));
    QApplication::processEvents();
    EXPECT_EQ(responses, QList<int>({NSAlertSecondButtonReturn}));
}

} // namespace
