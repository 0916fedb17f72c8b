#include "ui/widgets/NVAskpassDialog.h"

#include "foundation/NVBundle.h"
#include "foundation/NVFormat.h"
#include "foundation/NVPropertyList.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

void useTheUpdatersTables(const QString &language)
{
    NVBundle::setMainBundleForTesting(TestSupport::bundlePath());
    NVBundle::setUserLanguagesForTesting({language});
}

void pressKey(QWidget *widget, Qt::Key key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
}

} // namespace

TEST(NVAskpassDialog, EnterAnswersThePasswordAndEscapeCancels)
{
    useTheUpdatersTables(QStringLiteral("en"));
    struct Case {
        Qt::Key key;
        int result;
    } cases[] = {{Qt::Key_Return, QDialog::Accepted}, {Qt::Key_Escape, QDialog::Rejected}};
    for (const Case &c : cases) {
        NVAskpassDialog dialog(QStringLiteral("nvsutest"), false);
        QTimer::singleShot(0, &dialog, [&] {
            EXPECT_EQ(dialog.passwordField()->echoMode(), QLineEdit::Password);
            dialog.passwordField()->setText(QStringLiteral("pässword with blanks"));
            pressKey(dialog.passwordField(), c.key);
        });
        EXPECT_EQ(dialog.exec(), c.result);
        EXPECT_EQ(dialog.password(), QStringLiteral("pässword with blanks"));
    }
}

TEST(NVAskpassDialog, TextsComeFromTheUsersLanguage)
{
    useTheUpdatersTables(QStringLiteral("de"));
    NVAskpassDialog dialog(QStringLiteral("anna"), true);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Administratorrechte erforderlich"));
    const QString message = dialog.findChild<QLabel *>()->text();
    EXPECT_TRUE(message.startsWith(QStringLiteral("Das Passwort wurde nicht angenommen"))) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("Passwort für „anna“"))) << message.toStdString();
    QStringList buttons;
    for (QPushButton *button : dialog.findChildren<QPushButton *>())
        buttons << button->text();
    buttons.sort();
    EXPECT_EQ(buttons, QStringList({QStringLiteral("Abbrechen"), QStringLiteral("OK")}));

    // Without a name the prompt still makes sense.
    EXPECT_FALSE(NVAskpassDialog::message(QString(), false).contains(u'%'));
}

TEST(NVAskpassDialog, EveryLanguageHasEveryTextWithItsSpecifiers)
{
    const QString resources = TestSupport::bundlePath() + QStringLiteral("/Contents/Resources/");
    const NVPropertyList::StringsTable english =
        NVPropertyList::readStringsTable(TestSupport::readFile(resources + QStringLiteral("en.lproj/Askpass.strings")));
    ASSERT_FALSE(english.firstError.has_value());
    ASSERT_GE(english.entries.size(), 7);
    for (const QString &language : QStringList{QStringLiteral("de")}) {
        const NVPropertyList::StringsTable table = NVPropertyList::readStringsTable(
            TestSupport::readFile(resources + language + QStringLiteral(".lproj/Askpass.strings")));
        ASSERT_FALSE(table.firstError.has_value());
        EXPECT_EQ(table.entries.keys(), english.entries.keys());
        for (auto it = table.entries.cbegin(); it != table.entries.cend(); ++it)
            EXPECT_EQ(NVFormat::specifierSignature(it.value().toString()), NVFormat::specifierSignature(it.key()))
                << it.key().toStdString();
    }
}
