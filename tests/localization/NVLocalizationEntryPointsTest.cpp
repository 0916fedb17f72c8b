#include "localization/NVLocalization.h"

#include "support/LocalizationTestSupport.h"

#include <gtest/gtest.h>

namespace {

class PlainObject : public NVLocalizable {};

class TableObject : public NVLocalizable {
public:
    NV_LOCALIZATION_TABLE("NVSoftwareUpdate")
};

class TableSubclass : public TableObject {};

TEST(NVLocalizationEntryPoints, ClassesUseTheirTableAndDictionariesTheUsersLanguage)
{
    TestBundle bundle;
    bundle.table("en", "NVSoftwareUpdate", "\"_k\" = \"from the class table\";\n")
        .table("en", "Localizable", "\"_k\" = \"from the default table\";\n")
        .table("de", "Localizable", "\"_k\" = \"aus der Standardtabelle\";\n")
        .table("en", "SettingsTerminology", EnglishTerminology);
    bundle.makeMain();
    NVBundle::setUserLanguagesForTesting({"en"});
    const TableSubclass subclassObject;
    const NVLocalizable &asBase = subclassObject;
    EXPECT_EQ(NVLocalization::localizeString<TableSubclass>("_k"), "from the class table");
    EXPECT_EQ(NVLocalization::localizeString<PlainObject>("_k"), "from the default table"); // a class without a table
    EXPECT_EQ(asBase.localizeString("_k"), "from the class table");

    // Dictionaries localize only their strings, in the user's language.
    NVBundle::setUserLanguagesForTesting({"fr", "de-AT"});
    EXPECT_TRUE(NVLocalization::preferredLocalizationIsGerman());
    QVariantMap dictionary = {{"title", "_k"}, {"list", QVariantList{"_k"}}};
    EXPECT_TRUE(NVLocalization::localizeStringForKey(dictionary, "title", QString(), nullptr));
    EXPECT_FALSE(NVLocalization::localizeStringForKey(dictionary, "list", QString(), nullptr));
    EXPECT_FALSE(NVLocalization::localizeStringForKey(dictionary, "absent", QString(), nullptr));
    const QVariantMap expected = {{"title", "aus der Standardtabelle"}, {"list", QVariantList{"_k"}}};
    EXPECT_EQ(dictionary, expected);
    // Nothing matches: the development localization.
    NVBundle::setUserLanguagesForTesting({"fr"});
    EXPECT_TRUE(NVLocalization::preferredLocalizationIsEnglish());
}

} // namespace
