#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;

// The password prompt of the askpass program: a message naming the account
// whose password is wanted, a hidden password field, OK and Cancel. Its
// texts come from the string table "Askpass" of the main bundle.
class NVAskpassDialog : public QDialog {
    Q_OBJECT
public:
    // The string table of the prompt's texts.
    static inline const QString Table = QStringLiteral("Askpass");

    // userName: whose password is asked for (may be empty); retry: an
    // earlier password was not accepted. Main thread.
    NVAskpassDialog(const QString &userName, bool retry, QWidget *parent = nullptr);

    // What the user typed. Main thread.
    QString password() const;

    // The message above the field, in the user's language. Any thread.
    static QString message(const QString &userName, bool retry);

    QLineEdit *passwordField() const { return m_passwordField; }

private:
    QLabel *m_messageLabel = nullptr;
    QLineEdit *m_passwordField = nullptr;
};
