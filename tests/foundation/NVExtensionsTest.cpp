#include "foundation/NVExtensions.h"

#include <QDir>

#include <gtest/gtest.h>

using NVExtensions::URLFromLazyURLString;

namespace {

// Finding processes by their executable path is walked by the bundle
// replacement's process tests, which end running copies of the old bundle.

// The encoded form of a result, or "nil".
QString encoded(const std::optional<QUrl> &url)
{
    return url ? QString::fromUtf8(url->toEncoded()) : QStringLiteral("nil");
}

TEST(NVExtensions, URLsAreEqualIgnoringOnlyTheirFragments)
{
    const struct { const char *url, *other; bool equal; } cases[] = {
        {"https://h.example/notes.html#a", "https://h.example/notes.html#b", true},
        {"https://h.example/notes.html", "https://h.example/other.html#notes.html", false},
        {"https://h.example/n?lang=en", "https://h.example/n?lang=de#x", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NVExtensions::isEqualIgnoringFragmentToURL(QUrl(c.url), QUrl(c.other)), c.equal) << c.url << " / " << c.other;
}

// Of the string and data helpers the updater calls none itself; the lazy
// URL reading stands for them (and has its own fuzz target).
TEST(NVExtensions, LazyStringsGetTheSchemeTheyLackAndTheHomeFolder)
{
    const QString home = QString::fromUtf8(QUrl::toPercentEncoding(QDir::homePath(), "/"));
    const struct { const char *string, *prefix, *url; } cases[] = {
        {" \t velkin.example/notes \t", "", "http://velkin.example/notes"},
        {"\xC2\xA0support@velkin.example", "", "mailto:support@velkin.example"},
        {"velkin.example/x", "https://", "https://velkin.example/x"},
        {"file:///~/Release Notes.html", "", "file://~/Release%20Notes.html"},
    };
    for (const auto &c : cases) {
        QString expected = QString::fromUtf8(c.url);
        expected.replace(QStringLiteral("file://~"), QStringLiteral("file://") + home);
        EXPECT_EQ(encoded(URLFromLazyURLString(QString::fromUtf8(c.string), QString::fromUtf8(c.prefix))), expected) << c.string;
    }
}

} // namespace
