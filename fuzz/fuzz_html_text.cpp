// Arbitrary bytes as a release-notes page for the terminal: the text that
// comes out never holds anything that could steer the terminal (it is its
// own printable form), with or without a base for relative links.

#include "terminal/NVHTMLText.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString html = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    static const QUrl base(QStringLiteral("https://updates.example/notes/5.1/index.html"));
    for (const QUrl &url : {QUrl(), base}) {
        const QString text = NVHTMLText::plainTextFromHTML(html, url);
        const QString printable = NVHTMLText::printableText(text);
        if (printable != text) {
            std::fprintf(stderr, "the text holds what the terminal would act on:\n%s\nprintable:\n%s\n",
                         text.toUtf8().toPercentEncoding(" \n").constData(), printable.toUtf8().toPercentEncoding(" \n").constData());
            std::abort();
        }
    }
    return 0;
}
