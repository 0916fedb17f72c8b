#include "widgets/NVAskpassDialog.h"

#include "platform/NVBundle.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <gtest/gtest.h>

// In the user's language, after a wrong password: Enter answers what was
// typed, Escape cancels.
TEST(NVAskpassDialog, EnterAnswersThePasswordAndEscapeCancels)
{
    NVBundle::setMainBundle(TestSupport::bundlePath());
    NVBundle::setUserLanguagesForTesting({QStringLiteral("de")});
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        NVAskpassDialog dialog(QStringLiteral("anna"), true);
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Administratorrechte erforderlich"));
        const QString message = dialog.findChild<QLabel *>()->text();
        EXPECT_TRUE(message.startsWith(QStringLiteral("Das Passwort wurde nicht angenommen"))) << message.toStdString();
        EXPECT_TRUE(message.contains(QStringLiteral("Passwort für „anna“"))) << message.toStdString();
        QTimer::singleShot(0, &dialog, [&] {
            EXPECT_EQ(dialog.passwordField()->echoMode(), QLineEdit::Password);
            dialog.passwordField()->setText(QStringLiteral("pässword with blanks"));
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QApplication::sendEvent(dialog.passwordField(), &press);
        });
        EXPECT_EQ(dialog.exec(), key == Qt::Key_Return ? QDialog::Accepted : QDialog::Rejected);
        EXPECT_EQ(dialog.password(), QStringLiteral("pässword with blanks"));
    }
}
