#include "widgets/NVInterfaceFileLoader.h"

#include "support/LocalizationTestSupport.h"
#include "widgets/NVWidgetLocalization.h"

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace {

// One of each kind of text a Qt interface file holds.
const QByteArray PanelInterface = R"(<ui version="4.0"><class>Panel</class>
<widget class="QMainWindow" name="Panel"><property name="windowTitle"><string>Panel</string></property>
 <widget class="QWidget" name="central">
  <widget class="QGroupBox" name="group"><property name="title"><string>Options</string></property>
   <widget class="QLineEdit" name="edit"><property name="placeholderText"><string>Name</string></property></widget>
   <widget class="QComboBox" name="combo"><item><property name="text"><string>Red</string></property></item>
    <item><property name="text"><string>Green</string></property></item></widget>
  </widget>
  <widget class="QTabWidget" name="tabs"><widget class="QWidget" name="tab"><attribute name="title"><string>General</string></attribute></widget></widget>
  <widget class="QToolButton" name="iconOnly"><property name="text"><string>Options</string></property>
   <property name="toolButtonStyle"><enum>Qt::ToolButtonIconOnly</enum></property></widget>
  <widget class="QTreeWidget" name="tree"><column><property name="text"><string>Name</string></property></column></widget>
  <widget class="QLabel" name="bound"><property name="binding" stdset="0"><string>size</string></property>
   <property name="bindingDisplayPattern" stdset="0"><string>Size: %@</string></property></widget>
  <widget class="QLabel" name="untranslated"><property name="text"><string>Not in the table</string></property></widget>
 </widget>
 <widget class="QMenuBar" name="menubar"><addaction name="fileMenu"/>
  <widget class="QMenu" name="fileMenu"><property name="title"><string>File</string></property><addaction name="openAction"/></widget>
 </widget>
 <action name="openAction"><property name="text"><string>Open</string></property>
  <property name="toolTip"><string>Open a file</string></property></action>
</widget></ui>)";

// Every kind of text a Qt interface file holds comes out in German, except
// an icon-only button's and one the table does not have.
TEST(NVInterfaceFileLoader, EveryKindOfTextIsLocalizedWithTheTableNamedAfterTheFile)
{
    TestBundle bundle;
    bundle.table("de", "Panel",
                 "\"Panel\" = \"Tafel\"; \"Options\" = \"Optionen\"; \"Name\" = \"Bezeichnung\"; \"Red\" = \"Rot\";\n"
                 "\"Green\" = \"Grün\"; \"General\" = \"Allgemein\"; \"File\" = \"Ablage\"; \"Open\" = \"Öffnen\";\n"
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
    auto *combo = root->findChild<QComboBox *>("combo");
    EXPECT_EQ(QStringList({combo->itemText(0), combo->itemText(1)}), QStringList({"Rot", "Grün"}));
    EXPECT_EQ(root->findChild<QTabWidget *>("tabs")->tabText(0), "Allgemein");
    EXPECT_EQ(root->findChild<QToolButton *>("iconOnly")->text(), "Options");
    EXPECT_EQ(root->findChild<QTreeWidget *>("tree")->headerItem()->text(0), "Bezeichnung");
    EXPECT_EQ(root->findChild<QMenu *>("fileMenu")->title(), "Ablage");
    auto *open = root->findChild<QAction *>("openAction");
    EXPECT_EQ(open->text(), "Öffnen");
    EXPECT_EQ(open->toolTip(), "Eine Datei öffnen");
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
