#include "widgets/NVAskpassDialog.h"

#include "foundation/NVFormat.h"
#include "localization/NVLocalization.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QString text(const QString &key)
{
    return NVLocalization::localizedStringFromTable(key, NVAskpassDialog::Table);
}

} // namespace

QString NVAskpassDialog::message(const QString &userName, bool retry)
{
    QString message = userName.isEmpty()
        ? text(QStringLiteral("_askpassMessage"))
        : NVFormat::format(text(QStringLiteral("_askpassMessageForUser %@")), userName);
    if (retry)
        message = text(QStringLiteral("_askpassRetryMessage")) + u'\n' + message;
    return message;
}

NVAskpassDialog::NVAskpassDialog(const QString &userName, bool retry, QWidget *parent) : QDialog(parent)
{
    setWindowTitle(text(QStringLiteral("_askpassWindowTitle")));

    m_messageLabel = new QLabel(message(userName, retry), this);
    m_messageLabel->setWordWrap(true);

    m_passwordField = new QLineEdit(this);
    m_passwordField->setEchoMode(QLineEdit::Password);
    m_passwordField->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(text(QStringLiteral("_askpassOKButtonTitle")));
    buttons->button(QDialogButtonBox::Cancel)->setText(text(QStringLiteral("_askpassCancelButtonTitle")));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *form = new QFormLayout;
    form->addRow(text(QStringLiteral("_askpassPasswordLabel")), m_passwordField);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_messageLabel);
    layout->addLayout(form);
    layout->addWidget(buttons);

    m_passwordField->setFocus();
}

QString NVAskpassDialog::password() const
{
    return m_passwordField->text();
}
