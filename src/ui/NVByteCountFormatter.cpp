#include "ui/NVByteCountFormatter.h"

#include <cmath>

namespace NVByteCountFormatter {

namespace {

struct Unit {
    const char *name;
    int fractionDigits;
};

// Kilobytes are shown whole; larger units carry the digits that still mean
// something for a download.
const Unit Units[] = {{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}};

QString bytesWord(quint64 count, const QLocale &locale)
{
    if (locale.language() == QLocale::German)
        return QStringLiteral("Byte");
    return count == 1 ? QStringLiteral("byte") : QStringLiteral("bytes");
}

} // namespace

QString stringFromByteCount(qint64 byteCount, const QLocale &locale)
{
    const QString sign = byteCount < 0 ? locale.negativeSign() : QString();
    const quint64 count = byteCount < 0 ? quint64(0) - quint64(byteCount) : quint64(byteCount);
    if (count < 1000)
        return sign + locale.toString(count) + u' ' + bytesWord(count, locale);

    double value = double(count);
    for (const Unit &unit : Units) {
        value /= 1000.0;
        const double scale = std::pow(10.0, unit.fractionDigits);
        const double rounded = std::round(value * scale) / scale;
        // 999,500 bytes round to 1000 KB: that is written as the next unit.
        if (rounded < 1000.0 || &unit == &Units[std::size(Units) - 1])
            return sign + locale.toString(rounded, 'f', unit.fractionDigits) + u' ' + QLatin1String(unit.name);
    }
    return QString();
}

} // namespace NVByteCountFormatter
