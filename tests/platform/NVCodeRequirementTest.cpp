#include "platform/NVCodeRequirement.h"

#include "platform/NVCodeSigningStatus.h"

#include <gtest/gtest.h>

namespace {

const QString updateRequirement = QStringLiteral("anchor apple generic and certificate leaf[subject.OU] = \"Q4XW8N2JTD\" and "
    "certificate leaf[field.1.2.840.113635.100.6.1.13] exists");
const QString marker = "1.2.840.113635.100.6.1.13";

class FakeSubject : public NVCodeRequirement::Subject {
public:
    bool anchored = false;
    QStringList units;
    QStringList extensions;
    bool chainsToAnchor() const override { return anchored; }
    QStringList leafOrganizationalUnits() const override { return units; }
    bool leafHasExtension(const QString &oid) const override { return extensions.contains(oid); }
};

TEST(NVCodeRequirement, ParsesIntoItsCanonicalText)
{
    // No canonical text given: the text is canonical already.
    const std::pair<QString, QString> cases[] = {
        {updateRequirement, {}}, {"  anchor\tapple\ngeneric  ", "anchor apple generic"},
        {"certificate leaf [ subject.OU ] = \"say \\\"hi\\\" \\\\ \"", "certificate leaf[subject.OU] = \"say \\\"hi\\\" \\\\ \""},
        // "and" binds tighter than "or"; "!" tighter than both.
        {"anchor apple generic or certificate leaf[field.1.2] exists and !anchor apple generic",
         "anchor apple generic or (certificate leaf[field.1.2] exists and !anchor apple generic)"},
        {"!(anchor apple generic and anchor apple generic)", {}}, {"((((anchor apple generic))))", "anchor apple generic"},
    };
    for (const auto &[text, given] : cases) {
        const QString canonical = given.isEmpty() ? text : given;
        const auto requirement = NVCodeRequirement::create(text);
        ASSERT_TRUE(requirement.ok()) << text.toStdString() << ": " << requirement.error().localizedDescription().toStdString();
        EXPECT_EQ(requirement->text(), canonical);
        // The canonical text reads back as the same requirement.
        const auto again = NVCodeRequirement::create(canonical);
        EXPECT_TRUE(again.ok() && again->text() == canonical) << canonical.toStdString();
    }
}

TEST(NVCodeRequirement, RefusesTextOutsideTheGrammar)
{
    const struct { QString text; int character; const char *reason; } cases[] = {
        {QString(), 1, "expected a clause"}, {"anchor apple", 13, "expected \"generic\""},
        {"Anchor apple generic", 1, "expected a clause"}, // keywords are case-sensitive
        {"anchor apple generic anchor apple generic", 22, "expected \"and\", \"or\" or the end"},
        {"(anchor apple generic", 22, "expected \")\""}, {"certificate root[subject.OU] = \"x\"", 13, "expected \"leaf\""},
        {"certificate leaf[subject.CN] = \"x\"", 18, "unknown certificate field"},
        {"certificate leaf[subject.OU] = Q4XW8N2JTD", 32, "expected a quoted string"},
        {"certificate leaf[subject.OU] = \"open", 32, "not closed"},
        {"certificate leaf[subject.OU] = \"a\\n\"", 34, "may be escaped"},
        {"certificate leaf[field.1.2] = \"x\"", 29, "expected \"exists\""},
        {"certificate leaf[field.1.40] exists", 24, "not an object identifier"},
        {"certificate leaf[field.1.2.1234567890123456789] exists", 24, "not an object identifier"},
        {"anchor apple generic && anchor apple generic", 22, "unexpected character '&'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        const auto requirement = NVCodeRequirement::create(c.text);
        ASSERT_FALSE(requirement.ok()) << requirement->text().toStdString();
        EXPECT_EQ(requirement.error().code(), errSecCSReqInvalid);
        const QString description = requirement.error().localizedDescription();
        EXPECT_TRUE(description.contains(QString("at character %1:").arg(c.character))) << description.toStdString();
        EXPECT_TRUE(description.contains(QLatin1String(c.reason))) << description.toStdString();
    }
}

TEST(NVCodeRequirement, LimitsNestingAndLength)
{
    const QString deepest = QString(NVCodeRequirement::MaxDepth - 1, u'(') + "anchor apple generic"
                          + QString(NVCodeRequirement::MaxDepth - 1, u')');
    EXPECT_TRUE(NVCodeRequirement::create(deepest).ok());
    const QString tooDeep = QString(NVCodeRequirement::MaxDepth, u'(') + "anchor apple generic"
                          + QString(NVCodeRequirement::MaxDepth, u')');
    const auto nested = NVCodeRequirement::create(tooDeep);
    ASSERT_FALSE(nested.ok());
    EXPECT_TRUE(nested.error().localizedDescription().contains(QLatin1String("nested deeper")));
    EXPECT_FALSE(NVCodeRequirement::create(QString(100000, u'!') + "anchor apple generic").ok());

    // A long flat chain is fine as long as it fits the length limit.
    QStringList clauses(400, "anchor apple generic");
    EXPECT_TRUE(NVCodeRequirement::create(clauses.join(" and ")).ok());
    const auto tooLong = NVCodeRequirement::create("anchor apple generic" + QString(NVCodeRequirement::MaxTextLength, u' '));
    ASSERT_FALSE(tooLong.ok());
    EXPECT_TRUE(tooLong.error().localizedDescription().contains(QLatin1String("longer than")));
}

TEST(NVCodeRequirement, EvaluatesEachClause)
{
    const struct {
        const char *name;
        QString text;
        bool anchored;
        QStringList units;
        QStringList extensions;
        bool expected;
    } cases[] = {
        {"all three hold", updateRequirement, true, {"Q4XW8N2JTD"}, {marker}, true},
        {"not anchored", updateRequirement, false, {"Q4XW8N2JTD"}, {marker}, false},
        {"team differs in case", updateRequirement, true, {"q4xw8n2jtd"}, {marker}, false},
        {"one of several units", updateRequirement, true, {"Other", "Q4XW8N2JTD"}, {marker}, true},
        {"a marker of another kind", updateRequirement, true, {"Q4XW8N2JTD"}, {"1.2.840.113635.100.6.1.14"}, false},
        {"or: second holds", "anchor apple generic or certificate leaf[field.1.2] exists", false, {}, {"1.2"}, true},
        {"precedence", "anchor apple generic or anchor apple generic and !anchor apple generic", true, {}, {}, true},
        {"grouping", "(anchor apple generic or anchor apple generic) and !anchor apple generic", true, {}, {}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto requirement = NVCodeRequirement::create(c.text);
        ASSERT_TRUE(requirement.ok());
        FakeSubject subject;
        subject.anchored = c.anchored;
        subject.units = c.units;
        subject.extensions = c.extensions;
        EXPECT_EQ(requirement->isSatisfiedBy(subject), c.expected);
    }
}

} // namespace
