#include "network/NVSURequest.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QUrl>

// Whatever a value holds, the string keeps its shape, so a server can split
// it at the separators, and decoding each part gives the value back.
TEST(NVSURequestTest, UserAgentKeepsItsShapeForAnyValue)
{
    const NVUserAgentValues cases[] = {
        {"Übersicht", "1.0_β", "Ω", "6", "Linux™", "1", "x", "ThinkPad X1, Gen 9"},
        {"a/b/c", "(", ")", "1,2", "%20", "a b", "/", "()"},
    };
    const QRegularExpression shape(QStringLiteral("^([^/ ()]+)/([^/ ()]+) ([^/ ()]+)/([^/ ()]+) ([^/ ()]+)/([^/ ()]+) \\(([^/ ()]+)\\) \\(([^/ ()]+)\\)$"));
    for (const NVUserAgentValues &values : cases) {
        const QString agent = NVSUExtensions::userAgentString(values);
        SCOPED_TRACE(agent.toStdString());
        const QRegularExpressionMatch match = shape.match(agent);
        ASSERT_TRUE(match.hasMatch());
        const QString expected[] = {values.appName, values.appVersion, values.frameworkName, values.frameworkVersion,
                                    values.system, values.systemVersion, values.architecture, values.model};
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(QUrl::fromPercentEncoding(match.captured(i + 1).toUtf8()), expected[i]);
    }
    // Empty values fall back to placeholders instead of breaking the shape.
    EXPECT_TRUE(shape.match(NVSUExtensions::userAgentString({})).hasMatch());
    // Letters of any script stay as they are; everything else is escaped.
    EXPECT_TRUE(NVSUExtensions::userAgentString(cases[0]).startsWith("Übersicht/1.0_β Ω/6 Linux%E2%84%A2/1"));
    EXPECT_TRUE(NVSUExtensions::userAgentString(cases[0]).endsWith("(ThinkPad%20X1%2C%20Gen%209)"));
}
