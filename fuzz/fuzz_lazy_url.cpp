// Arbitrary text as a typed or partly encoded address (a feed's link, a
// release-notes link): whatever URL comes out is valid, and reading its own
// encoded form again gives the same URL, since partly, fully and not encoded
// text must all lead to one address.

#include "foundation/NVExtensions.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void checkStable(const QUrl &url, const char *what)
{
    if (!url.isValid())
        std::abort();
    const QString encoded = url.toString(QUrl::FullyEncoded);
    const auto again = NVExtensions::URLFromPartiallyEncodedURLString(encoded);
    if (!again || *again != url) {
        std::fprintf(stderr, "%s: %s read again as %s\n", what, qPrintable(encoded),
                     again ? qPrintable(again->toString(QUrl::FullyEncoded)) : "nothing");
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto url = NVExtensions::URLFromLazyURLString(text))
        checkStable(*url, "lazy");
    if (const auto url = NVExtensions::URLFromPartiallyEncodedURLString(text))
        checkStable(*url, "partly encoded");
    return 0;
}
