#pragma once

#include <QLocale>
#include <QString>

// Byte counts as the progress line shows them: decimal units (1 KB = 1000
// bytes), the unit chosen by the size, and a fixed number of fraction digits
// per unit, zero-padded, so that the line does not jump while it counts:
// "999 bytes", "2 KB", "5.0 MB", "1.23 GB" (German "999 Byte", "5,0 MB").
namespace NVByteCountFormatter {

// The count in locale's number format and words. Any thread.
QString stringFromByteCount(qint64 byteCount, const QLocale &locale);

} // namespace NVByteCountFormatter
