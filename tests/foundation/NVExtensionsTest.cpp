#include "foundation/NVExtensions.h"

#include <gtest/gtest.h>

namespace {

// Finding processes by their executable path is walked by the bundle
// replacement's process tests, which end running copies of the old bundle.
// Of the string and data helpers the updater calls none itself; the lazy URL
// reading has its own fuzz target.

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

} // namespace
