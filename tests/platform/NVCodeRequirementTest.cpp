#include "platform/NVCodeRequirement.h"

#include "platform/NVCodeSigningStatus.h"

#include <gtest/gtest.h>

// Whether real certificates meet the requirement is checked in the signing
// tests, with a certificate for each way of missing a clause; that canonical
// text reads back as itself, by the fuzz target.
namespace {

const QString updateRequirement = QStringLiteral("anchor apple generic and certificate leaf[subject.OU] = \"Q4XW8N2JTD\" and "
    "certificate leaf[field.1.2.840.113635.100.6.1.13] exists");
TEST(NVCodeRequirement, ParsesIntoItsCanonicalText)
{
    // No canonical text given: the text is canonical already.
    const std::pair<QString, QString> cases[] = {
        {updateRequirement, {}},
        {"certificate leaf [ subject.OU ] = \"say \\\"hi\\\" \\\\ \"", "certificate leaf[subject.OU] = \"say \\\"hi\\\" \\\\ \""},
        // "and" binds tighter than "or", "!" tighter than both: parentheses
        // only where the tree needs them.
        {"anchor apple generic or certificate leaf[field.1.2] exists and !anchor apple generic", {}},
        {"(anchor apple generic or certificate leaf[field.1.2] exists) and !(anchor apple generic and anchor apple generic)", {}},
        // At the depth limit inside a chain: the canonical text must not
        // nest it deeper.
        {"anchor apple generic or " + QString(NVCodeRequirement::MaxDepth - 1, QLatin1Char('!')) + "anchor apple generic and anchor apple generic", {}},
        {"((\tanchor apple\ngeneric ))", "anchor apple generic"},
    };
    for (const auto &[text, given] : cases) {
        const QString canonical = given.isEmpty() ? text : given;
        const auto requirement = NVCodeRequirement::create(text);
        ASSERT_TRUE(requirement.ok()) << text.toStdString() << ": " << requirement.error().localizedDescription().toStdString();
        EXPECT_EQ(requirement->text(), canonical);
    }
}

TEST(NVCodeRequirement, RefusesTextOutsideTheGrammar)
{
    // The fuzz target walks malformed text at large; a few show that the
    // message names the place and the reason.
    const struct { QString text; int character; const char *reason; } cases[] = {
        {"Anchor apple generic", 1, "expected a clause"}, // keywords are case-sensitive
        {"certificate leaf[subject.CN] = \"x\"", 18, "unknown certificate field"},
        {"certificate leaf[field.1.40] exists", 24, "not an object identifier"},
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
    const auto nested = [](int depth) { return QString(depth, u'(') + "anchor apple generic" + QString(depth, u')'); };
    EXPECT_TRUE(NVCodeRequirement::create(nested(NVCodeRequirement::MaxDepth - 1)).ok());
    EXPECT_TRUE(NVCodeRequirement::create(nested(NVCodeRequirement::MaxDepth)).error().localizedDescription().contains("nested deeper"));
    EXPECT_FALSE(NVCodeRequirement::create(QString(100000, u'!') + "anchor apple generic").ok());
    // A long flat chain is fine as long as it fits the length limit.
    EXPECT_TRUE(NVCodeRequirement::create(QStringList(400, "anchor apple generic").join(" and ")).ok());
    const auto tooLong = NVCodeRequirement::create("anchor apple generic" + QString(NVCodeRequirement::MaxTextLength, u' '));
    EXPECT_TRUE(tooLong.error().localizedDescription().contains("longer than"));
}

} // namespace
