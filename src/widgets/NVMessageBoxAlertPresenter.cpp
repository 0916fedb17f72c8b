#include "widgets/NVMessageBoxAlertPresenter.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>

#include <memory>

namespace {

const char *const ResponseProperty = "nvResponse";

QWidget *windowWidget(NVWindowHandle handle)
{
    auto *widget = qobject_cast<QWidget *>(handle);
    return widget ? widget->window() : nullptr;
}

} // namespace

QMessageBox *NVMessageBoxAlertPresenter::makeMessageBox(const NVAlert &alert, QWidget *parent)
{
    auto *box = new QMessageBox(parent);
    box->setText(alert.messageText);
    box->setInformativeText(alert.informativeText);
    box->setWindowTitle(QApplication::applicationDisplayName());
    box->setTextFormat(Qt::PlainText);

    QPixmap icon;
    if (!alert.iconPath.isEmpty())
        icon.load(alert.iconPath);
    if (icon.isNull() && !QApplication::windowIcon().isNull())
        icon = QApplication::windowIcon().pixmap(64, 64);
    if (!icon.isNull())
        box->setIconPixmap(icon.scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));

    if (alert.buttonTitles.isEmpty()) {
        QAbstractButton *ok = box->addButton(QMessageBox::Ok);
        ok->setProperty(ResponseProperty, NSAlertFirstButtonReturn);
        box->setDefaultButton(QMessageBox::Ok);
        return box;
    }

    // Buttons of one role keep the order in which they were added, from the
    // leading to the trailing end; adding the last first puts the default
    // button at the trailing end.
    QPushButton *first = nullptr;
    for (qsizetype i = alert.buttonTitles.size() - 1; i >= 0; --i) {
        QPushButton *button = box->addButton(alert.buttonTitles.at(i), QMessageBox::ActionRole);
        button->setProperty(ResponseProperty, NSAlertFirstButtonReturn + int(i));
        if (i == 0)
            first = button;
    }
    box->setDefaultButton(first);
    // With several action buttons QMessageBox has no escape button, so
    // neither Escape nor the close button can end the box without an answer.
    return box;
}

int NVMessageBoxAlertPresenter::responseOf(const QMessageBox *box)
{
    const QAbstractButton *clicked = box->clickedButton();
    if (!clicked)
        return NSAlertFirstButtonReturn; // closed by the window system: the default answer
    return clicked->property(ResponseProperty).toInt();
}

int NVMessageBoxAlertPresenter::runModal(const NVAlert &alert)
{
    std::unique_ptr<QMessageBox> box(makeMessageBox(alert, nullptr));
    box->setWindowModality(Qt::ApplicationModal);
    box->exec();
    return responseOf(box.get());
}

void NVMessageBoxAlertPresenter::beginSheetModalForWindow(const NVAlert &alert, NVWindowHandle window,
                                                          CompletionHandler completionHandler)
{
    QWidget *parent = windowWidget(window);
    QMessageBox *box = makeMessageBox(alert, parent);
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    QObject::connect(box, &QDialog::finished, box, [box, handler = std::move(completionHandler)](int) {
        const int response = responseOf(box);
        box->deleteLater();
        if (handler)
            handler(response);
    });
    box->open();
}
