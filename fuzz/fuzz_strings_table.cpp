// Arbitrary bytes as a string table shipped in a bundle: every entry read is
// a string, a problem names a line inside the file, and the entries read,
// written out again as a table, read back unchanged.

#include "FuzzLimits.h"
#include "foundation/NVPropertyList.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace NVPropertyList;

namespace {

QString quoted(const QString &text)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\')
            out += u'\\';
        out += c;
    }
    return out + u'"';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const Limits limits = fuzzLimits();
    const StringsTable table = readStringsTable(bytes, limits);
    if (table.firstErrorLine < 0 || table.firstErrorLine > bytes.count('\n') + 1 + bytes.count('\r'))
        std::abort();

    QString written;
    for (auto it = table.entries.cbegin(); it != table.entries.cend(); ++it) {
        if (it.value().typeId() != QMetaType::QString)
            std::abort();
        written += quoted(it.key()) + QStringLiteral(" = ") + quoted(it.value().toString()) + QStringLiteral(";\n");
    }
    const StringsTable again = readStringsTable(written.toUtf8(), limits);
    if (again.firstError || again.entries != table.entries) {
        std::fprintf(stderr, "a table written from what was read reads differently:\n%s\n", qPrintable(written));
        std::abort();
    }
    return 0;
}
