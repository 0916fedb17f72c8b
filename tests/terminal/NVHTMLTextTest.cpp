#include "terminal/NVHTMLText.h"

#include <gtest/gtest.h>

namespace {

TEST(NVHTMLText, PagesBecomeReadableText)
{
    const QUrl base("https://www.velkin.test/notes/5.1.html");
    const struct {
        const char *html;
        const char *text;
    } cases[] = {
        // Paragraphs, headings and line breaks; white space collapses.
        {"<h1>Velkin 5.1</h1>\n<p>Faster\n   startup.</p><p>Fewer  crashes.</p>", "Velkin 5.1\n\nFaster startup.\n\nFewer crashes."},
        {"<pre>keep  this\n  indented</pre>after", "keep  this\n  indented\n\nafter"},
        // Lists, nested and numbered, unclosed items as browsers read them.
        {"<ul><li>One</li><li>Two<ul><li>Inner</li></ul></li></ul>Done", "• One\n• Two\n  • Inner\n\nDone"},
        {"<ol start=\"3\"><li>third<li>fourth</ol>", "3. third\n4. fourth"},
        // Link targets after their text, resolved.
        {"<a href='../faq.html'>FAQ</a>", "FAQ (https://www.velkin.test/faq.html)"},
        // An escaped override in a link's target stays escaped: decoded, it
        // would make the address read as another one.
        {"<a href=\"https://x.test/%C3%BC/%E2%80%AEfdp.exe\">n</a> <a href=\"https://x.test/%C3%BC\">u</a>",
         "n (https://x.test/%C3%BC/%E2%80%AEfdp.exe) u (https://x.test/\u00fc)"},
        {"<a href=\"#top\">top</a> <a href=\"javascript:alert(1)\">run</a> <a href=https://x.test/e></a>", "top run https://x.test/e"},
        // Character references; unknown ones and bare ampersands stay.
        {"&lt;b&gt; &amp; &auml;&#228;&#xE4; &bogus; &#0; AT&T &#x110000;", "<b> & äää &bogus; \xEF\xBF\xBD AT&T \xEF\xBF\xBD"},
        // What a reader never sees.
        {"<head><title>T</title><style>p{}</style></head><body><script>if (a<b) x('</p>')</script>Text<!-- note --></body>", "Text"},
        // Nothing from the page may steer the terminal.
        {"a\x1b[2Jb\xE2\x80\xAE" "c&#27;d&#x9b;e\rf", "a[2Jbcde f"},
        // Broken markup: text where it cannot be a tag, the rest swallowed
        // where a browser would swallow it.
        {"a < b and c<3 x</>y", "a < b and c<3 xy"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NVHTMLText::plainTextFromHTML(QString::fromUtf8(c.html), base), QString::fromUtf8(c.text)) << c.html;
}

TEST(NVHTMLText, HostileNestingAndEndlessMarkupStayBounded)
{
    QString deep;
    for (int i = 0; i < 100'000; ++i)
        deep += QStringLiteral("<ul><li>x");
    const QString text = NVHTMLText::plainTextFromHTML(deep);
    const QStringList lines = text.split(u'\n');
    ASSERT_EQ(lines.size(), 100'000);
    EXPECT_EQ(lines.last(), QStringLiteral("          • x")) << "indentation stops growing";

    // Links never nest: each one is closed by the next, and its text read once.
    const QString links = QStringLiteral("<a href=https://x.test/>t ").repeated(50'000) + QStringLiteral("</a>").repeated(50'000);
    EXPECT_EQ(NVHTMLText::plainTextFromHTML(links), (QStringLiteral("t (https://x.test/) ").repeated(50'000)).trimmed());
    EXPECT_EQ(NVHTMLText::plainTextFromHTML(u"<a href=https://x.test/a>one <a href=https://x.test/b>two</a> three</a>"),
              "one (https://x.test/a) two (https://x.test/b) three");

    EXPECT_EQ(NVHTMLText::plainTextFromHTML(QString(200'000, u'<')), QString(200'000, u'<'));
    EXPECT_EQ(NVHTMLText::plainTextFromHTML(QStringLiteral("<a ") + QString(200'000, u'=')), QString());
}

} // namespace
