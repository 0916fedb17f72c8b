// Date patterns and date strings come from data files: whatever they hold,
// formatting and parsing must answer (a string, or an invalid date) without
// a crash, a hang or undefined behaviour. The input is "pattern\nstring".
#include "foundation/NVDateFormatter.h"

#include <QByteArray>
#include <QLocale>
#include <QTimeZone>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype split = input.indexOf('\n');
    const QString pattern = QString::fromUtf8(split < 0 ? input : input.left(split));
    const QString text = split < 0 ? QString() : QString::fromUtf8(input.mid(split + 1));

    NVDateFormatter formatter(pattern, QLocale::c());
    formatter.setTimeZone(size % 2 ? std::optional<QTimeZone>(QTimeZone::utc()) : std::nullopt);
    const QDateTime parsed = formatter.dateFromString(text);
    const QString written = formatter.stringFromDate(parsed.isValid() ? parsed : QDateTime::fromSecsSinceEpoch(0, Qt::UTC));
    (void)written;
    return 0;
}
