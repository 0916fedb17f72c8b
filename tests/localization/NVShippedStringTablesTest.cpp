#include "localization/NVSoftwareUpdateStrings.h"

#include "foundation/NVFormat.h"
#include "foundation/NVPropertyList.h"
#include "localization/NVLocalization.h"
#include "localization/NVSettingsTerminology.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

namespace {

namespace Strings = NVSoftwareUpdateStrings;

QString resourcesOfTheUpdater() { return TestSupport::bundlePath() + "/Contents/Resources"; }

QVariantMap readShippedTable(const QString &localization, const QString &table)
{
    const QString path = resourcesOfTheUpdater() + u'/' + localization + ".lproj/" + table + ".strings";
    const QByteArray data = TestSupport::readFile(path);
    EXPECT_FALSE(data.isEmpty()) << path.toStdString() << " is missing";
    const NVPropertyList::StringsTable parsed = NVPropertyList::readStringsTable(data);
    EXPECT_FALSE(parsed.firstError.has_value())
        << path.toStdString() << ": " << parsed.firstError.value_or(NVError()).localizedDescription().toStdString();
    return parsed.entries;
}

// The texts of the shipped interface file, which are keys of the table named
// after it; texts the program sets itself are marked notr="true".
QStringList interfaceFileKeys()
{
    const QByteArray data = TestSupport::readFile(resourcesOfTheUpdater() + u'/' + Strings::Table + ".ui");
    EXPECT_FALSE(data.isEmpty());
    QStringList keys;
    QXmlStreamReader reader(data);
    while (!reader.atEnd())
        if (reader.readNext() == QXmlStreamReader::StartElement && reader.name() == u"string"
            && reader.attributes().value("notr") != u"true")
            keys << reader.readElementText();
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    return keys;
}

// Sample arguments of the kinds a signature names, for formatting a text the
// way its caller will.
QVariantList sampleArguments(const QString &signature)
{
    QVariantList arguments;
    for (QChar kind : signature)
        arguments << (kind == u'd' ? QVariant(qint64(-42)) : QVariant("sample"));
    return arguments;
}

TEST(NVShippedStringTables, EveryLanguageHasEveryKeyWithItsSpecifiers)
{
    const QStringList localizations = QDir(resourcesOfTheUpdater()).entryList({"*.lproj"}, QDir::Dirs).replaceInStrings(".lproj", "");
    ASSERT_TRUE(localizations.contains("en")) << "the English fallback needs en.lproj";
    ASSERT_TRUE(localizations.contains("de"));

    const QStringList interfaceKeys = interfaceFileKeys();
    EXPECT_GE(interfaceKeys.size(), 10);
    QStringList required = Strings::keys();
    required += interfaceKeys;

    for (const QString &localization : localizations) {
        SCOPED_TRACE(localization.toStdString());
        const QVariantMap table = readShippedTable(localization, Strings::Table);
        for (const QString &key : required) {
            ASSERT_TRUE(table.contains(key)) << "missing " << key.toStdString();
            const QString text = table.value(key).toString();
            EXPECT_FALSE(text.isEmpty()) << key.toStdString();
            EXPECT_NE(text, NVNotYetLocalizedMarker) << key.toStdString();
            EXPECT_EQ(NVFormat::specifierSignature(text), NVFormat::specifierSignature(key))
                << key.toStdString() << " = " << text.toStdString();
        }
        for (const Strings::Alert &alert : Strings::alerts()) {
            for (const QString &key : alert.requiredKeys())
                EXPECT_TRUE(table.contains(key) && !table.value(key).toString().isEmpty()) << "missing " << key.toStdString();
            // Every text of an alert is filled from the same arguments, so
            // each may use any prefix of them, but no more and no other kind.
            for (const QString &key : alert.possibleKeys()) {
                if (!table.contains(key))
                    continue;
                const NVFormat::Result formatted = NVFormat::formatChecked(table.value(key).toString(), sampleArguments(alert.argumentSignature));
                EXPECT_TRUE(formatted.problems.isEmpty()) << key.toStdString() << ": " << formatted.problems.join("; ").toStdString();
            }
        }

        // The password prompt's table has the English keys and their specifiers.
        const QVariantMap englishPrompt = readShippedTable("en", "Askpass");
        const QVariantMap prompt = readShippedTable(localization, "Askpass");
        EXPECT_EQ(prompt.keys(), englishPrompt.keys());
        for (auto it = prompt.cbegin(); it != prompt.cend(); ++it)
            EXPECT_EQ(NVFormat::specifierSignature(it.value().toString()), NVFormat::specifierSignature(it.key())) << it.key().toStdString();

        // Every settings word is there, plain: no placeholder, no format.
        const QVariantMap terminology = readShippedTable(localization, NVSettingsTerminologyTable);
        QStringList terminologyKeys = NVSettingsTerminologyStrings::keys();
        terminologyKeys.sort();
        EXPECT_EQ(QStringList(terminology.keys()), terminologyKeys);
        for (const QVariant &text : terminology)
            EXPECT_FALSE(text.toString().isEmpty() || text.toString().contains("@@") || text.toString().contains(u'%')) << text.toString().toStdString();
    }
}

} // namespace
