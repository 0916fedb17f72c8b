#include "network/NVSURequest.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QUrl>

// Whatever a value holds, the string keeps its shape, so a server can split
// it at the separators, and decoding each part gives the value back.
TEST(NVSURequestTest, UserAgentKeepsItsShapeForAnyValue)
{
    const NVUserAgentValues cases[] = {
        {"Velkin", "5.7.2", "QtNetwork", "6.4.2", "Linux", "6.1.0-18-amd64", "x86_64", "MacBookPro18,3"},
        {"My App/Pro (beta)", "5 7", "Qt Network", "6.4.2 (patched)", "Linux/GNU", "6.1 rt", "arm64 (v8)", "Raspberry Pi 4 Model B Rev 1.4"},
        {"Übersicht", "1.0_β", "Ω", "6", "Linux™", "1", "x", "ThinkPad X1, Gen 9"},
        {"a/b/c", "(", ")", "1,2", "%20", "a b", "/", "()"},
    };
    const QRegularExpression shape(QStringLiteral("^([^/ ()]+)/([^/ ()]+) ([^/ ()]+)/([^/ ()]+) ([^/ ()]+)/([^/ ()]+) \\(([^/ ()]+)\\) \\(([^/ ()]+)\\)$"));
    for (const NVUserAgentValues &values : cases) {
        const QString agent = NVSUExtensions::userAgentString(values);
        SCOPED_TRACE(agent.toStdString());
        const QRegularExpressionMatch match = shape.match(agent);
        ASSERT_TRUE(match.hasMatch());
        EXPECT_EQ(agent.count(u'/'), 3);
        EXPECT_EQ(agent.count(u' '), 4);
        const QString expected[] = {values.appName, values.appVersion, values.frameworkName, values.frameworkVersion,
                                    values.system, values.systemVersion, values.architecture, values.model};
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(QUrl::fromPercentEncoding(match.captured(i + 1).toUtf8()), expected[i]);
    }
    // Letters of any script stay as they are; everything else is escaped.
    EXPECT_TRUE(NVSUExtensions::userAgentString(cases[2]).startsWith("Übersicht/1.0_β Ω/6 Linux%E2%84%A2/1"));
    EXPECT_TRUE(NVSUExtensions::userAgentString(cases[2]).endsWith("(ThinkPad%20X1%2C%20Gen%209)"));
}

TEST(NVSURequestTest, EmptyValuesFallBack)
{
    EXPECT_EQ(NVSUExtensions::userAgentString({}),
              "UnknownApp/UnknownAppVersion UnknownFramework/UnknownFrameworkVersion UnknownSystem/UnknownSystemVersion "
              "(UnknownArchitecture) (UnknownModel)");
}

TEST(NVSURequestTest, RequestsBypassCachesAndCarryTheUserAgent)
{
    const QNetworkRequest request = NVSUExtensions::nvsuRequestWithURL(QUrl("https://updates.velkin.test/update-feeds/velkin5.plist"));
    EXPECT_EQ(request.attribute(QNetworkRequest::CacheLoadControlAttribute).toInt(), QNetworkRequest::AlwaysNetwork);
    EXPECT_EQ(request.transferTimeout(), 0);
    const QString agent = QString::fromUtf8(request.rawHeader("User-Agent"));
    EXPECT_EQ(agent, NVSUExtensions::defaultUserAgentStringIncludingModelIdentifier());
    // The process's values: Qt's own version, the kernel's name.
    EXPECT_TRUE(agent.contains(QStringLiteral(" QtNetwork/%1 Linux/").arg(qVersion()))) << qPrintable(agent);
}
