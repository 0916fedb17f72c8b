#include "widgets/NVInterfaceFileLoader.h"

#include "support/LocalizationTestSupport.h"
#include "widgets/NVWidgetLocalization.h"

#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

// Texts of several kinds that a Qt interface file holds.
const QByteArray PanelInterface = R"(<ui version="4.0"><class>Panel</class>
<widget class="QMainWindow" name="Panel"><property name="windowTitle"><string>Panel</string></property>
 <widget class="QWidget" name="central">
  <widget class="QGroupBox" name="group"><property name="title"><string>Options</string></property>
   <widget class="QLineEdit" name="edit"><property name="placeholderText"><string>Name</string></property></widget>
  </widget>
  <widget class="QToolButton" name="iconOnly"><property name="text"><string>Options</string></property>
   <property name="toolButtonStyle"><enum>Qt::ToolButtonIconOnly</enum></property></widget>
  <widget class="QLabel" name="bound"><property name="binding" stdset="0"><string>size</string></property>
   <property name="bindingDisplayPattern" stdset="0"><string>Size: %@</string></property></widget>
  <widget class="QLabel" name="untranslated"><property name="text"><string>Not in the table</string></property></widget>
 </widget>
 <action name="openAction"><property name="toolTip"><string>Open a file</string></property></action>
</widget></ui>)";

// Every kind of text a Qt interface file holds comes out in German, except
// an icon-only button's and one the table does not have.
TEST(NVInterfaceFileLoader, EveryKindOfTextIsLocalizedWithTheTableNamedAfterTheFile)
{
    TestBundle bundle;
    bundle.table("de", "Panel",
                 "\"Panel\" = \"Tafel\"; \"Options\" = \"Optionen\"; \"Name\" = \"Bezeichnung\";\n"
                 "\"Open a file\" = \"Eine Datei öffnen\"; \"Size: %@\" = \"Größe: %@\";\n")
        .table("en", "Panel", "\"Panel\" = \"Panel\";\n");
    TestSupport::writeFile(bundle.resources() + "/Panel.ui", PanelInterface);
    NVBundle::setUserLanguagesForTesting({"de"});
    NVInterfaceFileLoader::enableAutomaticLocalization();

    auto loaded = NVInterfaceFileLoader::loadInterfaceFileAtPath(bundle.resources() + "/Panel.ui");
    ASSERT_TRUE(loaded) << loaded.error().localizedDescription().toStdString();
    QWidget *root = loaded.value().get();
    EXPECT_EQ(root->windowTitle(), "Tafel");
    EXPECT_EQ(root->findChild<QGroupBox *>("group")->title(), "Optionen");
    EXPECT_EQ(root->findChild<QLineEdit *>("edit")->placeholderText(), "Bezeichnung");
    EXPECT_EQ(root->findChild<QToolButton *>("iconOnly")->text(), "Options");
    EXPECT_EQ(root->findChild<QAction *>("openAction")->toolTip(), "Eine Datei öffnen");
    EXPECT_EQ(root->findChild<QLabel *>("bound")->property(NVWidgetLocalization::BindingDisplayPatternProperty), "Größe: %@");
    EXPECT_EQ(root->findChild<QLabel *>("untranslated")->text(), "Not in the table");

    // The bundle holding a file is the one in front of its resources folder.
    EXPECT_EQ(NVInterfaceFileLoader::bundleForFilePath(bundle.resources() + "/de.lproj/Panel.ui"), bundle.bundle());
    EXPECT_EQ(NVInterfaceFileLoader::bundleForFilePath("/tmp/Panel.ui"), NVBundle::mainBundle());

    auto missing = NVInterfaceFileLoader::loadInterfaceFile("Missing", bundle.bundle());
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().localizedDescription().contains("Missing.ui")) << missing.error().localizedDescription().toStdString();
    NVBundle::setUserLanguagesForTesting({});
}

} // namespace
