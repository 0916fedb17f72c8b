// Feeds arbitrary bytes to every property-list reader. Whatever a reader
// accepts must survive being written in the binary and XML encodings (and a
// text-form value in the text form) and read again unchanged: a difference
// is a writer or reader bug, and the target aborts on it.

#include "FuzzLimits.h"
#include "foundation/NVPropertyList.h"
#include "foundation/NVValue.h"

#include "support/Identical.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace NVPropertyList;

namespace {

[[noreturn]] void fail(const char *what, const QVariant &value, const QString &detail)
{
    std::fprintf(stderr, "%s\nvalue: %s\n%s\n", what, qPrintable(NVValue::description(value)), qPrintable(detail));
    std::abort();
}

void checkRoundTrip(const QVariant &value, Format format, const Limits &limits)
{
    NVResult<QByteArray> written = write(value, format);
    if (!written) {
        // Only XML may refuse a value a reader produced: some characters
        // have no XML form at all.
        const NVError &error = written.error();
        if (format == Format::XML && error.code() == WriteInvalidErrorCode
            && error.localizedDescription().contains(QLatin1String("which XML cannot carry")))
            return;
        fail("writing a value that was read failed", value, error.localizedDescription());
    }
    NVResult<QVariant> back = format == Format::XML ? readXML(*written, limits)
        : format == Format::Binary                  ? readBinary(*written, limits)
                                                    : readText(*written, limits);
    if (!back)
        fail("reading a written value failed", value, back.error().localizedDescription());
    if (!identical(*back, value))
        fail("a written value read back differently", value, NVValue::description(*back));
}

void checkAll(const NVResult<QVariant> &result, const Limits &limits)
{
    if (!result) {
        if (result.error().code() != ReadCorruptErrorCode || result.error().localizedDescription().isEmpty())
            fail("a read error without code 3840 or description", QVariant(), result.error().description());
        return;
    }
    checkRoundTrip(*result, Format::Binary, limits);
    checkRoundTrip(*result, Format::XML, limits);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const Limits limits = fuzzLimits();

    checkAll(read(bytes, nullptr, limits), limits);
    checkAll(readXML(bytes, limits), limits);
    checkAll(readBinary(bytes, limits), limits);

    const NVResult<QVariant> text = readText(bytes, limits);
    checkAll(text, limits);
    if (text)
        checkRoundTrip(*text, Format::Text, limits);

    const StringsTable table = readStringsTable(bytes, limits);
    for (auto it = table.entries.cbegin(); it != table.entries.cend(); ++it) {
        if (!NVValue::isString(it.value()))
            fail("a string table entry that is not a string", it.value(), it.key());
    }
    return 0;
}
