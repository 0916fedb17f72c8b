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

// Runs check on the box once it is on screen, then clicks the button with
// the given title (an empty title: its only button). Runs from the event loop that the box itself turns.
void whenShownClick(const QString &title, std::function<void(QMessageBox *)> check = {})
{
    auto *timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, title, check] {
        QMessageBox *box = visibleMessageBox();
        if (!box)
            return;
        timer->stop();
        timer->deleteLater();
        if (check)
            check(box);
        QAbstractButton *button = title.isEmpty() ? box->buttons().value(0) : buttonTitled(box, title);
        if (button)
            button->click();
        else
            ADD_FAILURE() << "no button " << title.toStdString();
    });
    timer->start();
}

TEST(NVMessageBoxAlertPresenter, ModalAlertsAnswerByButtonOrderAndWithoutButtonsGetOneOk)
{
    NVMessageBoxAlertPresenter presenter;
    const NVAlert alert{"Headline", "Body", {"First", "Second", "Third"}, {}};
    struct Case {
        QString click;
        int response;
    } cases[] = {{"Third", NSAlertThirdButtonReturn}, {"Second", NSAlertSecondButtonReturn}};
    for (const Case &c : cases) {
        bool checked = false;
        whenShownClick(c.click, [&](QMessageBox *box) {
            checked = true;
            EXPECT_EQ(box->text(), "Headline");
            EXPECT_EQ(box->informativeText(), "Body");
            EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
            EXPECT_EQ(box->defaultButton(), buttonTitled(box, "First"));
            // The default button sits at the trailing end, the others follow
            // it towards the leading end.
            const int first = buttonTitled(box, "First")->mapToGlobal(QPoint()).x();
            const int second = buttonTitled(box, "Second")->mapToGlobal(QPoint()).x();
            const int third = buttonTitled(box, "Third")->mapToGlobal(QPoint()).x();
            EXPECT_GT(first, second);
            EXPECT_GT(second, third);
            // With several buttons Escape gives no answer.
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(box, &escape);
            EXPECT_TRUE(box->isVisible());
        });
        EXPECT_EQ(presenter.runModal(alert), c.response);
        EXPECT_TRUE(checked);
    }
    // An alert without buttons gets one OK.
    whenShownClick(QString(), [](QMessageBox *box) {
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->standardButton(box->buttons().first()), QMessageBox::Ok);
    });
    EXPECT_EQ(presenter.runModal({"Only a headline", "", {}, {}}), NSAlertFirstButtonReturn);
}

TEST(NVMessageBoxAlertPresenter, SheetsAreModalForTheirWindowAndAnswerThroughTheHandler)
{
    NVMessageBoxAlertPresenter presenter;
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
