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

TestBundle entryPointBundle()
{
    TestBundle bundle;
    bundle.table("en", "NVSoftwareUpdate", "\"_k\" = \"from the class table\";\n")
        .table("en", "Localizable", "\"_k\" = \"from the default table\";\n")
        .table("de", "Localizable", "\"_k\" = \"aus der Standardtabelle\";\n")
        .table("en", "SettingsTerminology", EnglishTerminology);
    bundle.makeMain();
    return bundle;
}

TEST(NVLocalizationEntryPoints, ClassesAndObjectsUseTheirClassTable)
{
    const TestBundle bundle = entryPointBundle();
    NVBundle::setUserLanguagesForTesting({"en"});
    const TableSubclass subclassObject;
    const NVLocalizable &asBase = subclassObject;
    struct Case { const char *what; QString result; QString expected; } cases[] = {
        {"subclass", NVLocalization::localizeString<TableSubclass>("_k"), "from the class table"},
        {"class without a table", NVLocalization::localizeString<PlainObject>("_k"), "from the default table"},
        {"object through its base", asBase.localizeString("_k"), "from the class table"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.result, c.expected) << c.what;
}

TEST(NVLocalizationEntryPoints, DictionariesLocalizeOnlyStringsAndTheMainBundlePrefersTheUsersLanguage)
{
    const TestBundle bundle = entryPointBundle();
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
