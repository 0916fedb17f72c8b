// Two lines of arbitrary text as versions, read by both version readers: the
// feed's version numbers and the system-version form. Whatever they read,
// ordering must be an order (reflexive and antisymmetric), and a system
// version written back as text must read as itself.

#include "model/NVSUVersion.h"
#include "model/NVVersionNumber.h"

#include <cstdint>
#include <cstdlib>
#include <limits>

namespace {

void checkFeedVersions(const QString &a, const QString &b)
{
    // A null text is a caller's error, refused by design.
    if (a.isNull() || b.isNull())
        return;
    const NVSUVersion first(a);
    const NVSUVersion second(b);
    if (first.compareVersion(first) != NVOrderedSame)
        std::abort();
    if (first.compareVersion(second) != -second.compareVersion(first))
        std::abort();
    const NVSUVersion::Components parsed = NVSUVersion::parseVersionNumber(a);
    if (parsed.major < 0 || parsed.minor < 0 || parsed.bugfix < 0 || parsed.beta < 0)
        std::abort();
    // The parse is what the comparison sees: equal parses compare the same.
    if (parsed == NVSUVersion::parseVersionNumber(b) && first.compareVersion(second) != NVOrderedSame)
        std::abort();
}

void checkSystemVersions(const QString &a, const QString &b)
{
    const auto first = NVVersionNumber::versionNumberWithVersionString(a);
    const auto second = NVVersionNumber::versionNumberWithVersionString(b);
    if (first && second && first->compare(*second) != -second->compare(*first))
        std::abort();
    if (!first)
        return;
    constexpr quint64 largest = quint64(std::numeric_limits<qint64>::max());
    if (first->major() > largest || first->minor() > largest || first->bugfix() > largest)
        return; // negative fields are stored wrapped and written as such
    const auto again = NVVersionNumber::versionNumberWithVersionString(first->versionString());
    if (!again || !again->isEqual(*first))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype newline = text.indexOf(QLatin1Char('\n'));
    const QString a = newline < 0 ? text : text.left(newline);
    const QString b = newline < 0 ? QString() : text.mid(newline + 1);
    checkFeedVersions(a, b);
    checkSystemVersions(a, b);
    return 0;
}
