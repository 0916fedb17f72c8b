#include "foundation/NVPropertyList.h"

#include "foundation/NVPropertyListPrivate.h"
#include "foundation/NVValue.h"

#include <QFile>
#include <QStringDecoder>
#include <QTimeZone>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace NVPropertyList {

namespace detail {

NVError errorAtByte(qint64 offset, const QString &reason)
{
    return NVError::withDescription(NSCocoaErrorDomain, ReadCorruptErrorCode,
                                    QStringLiteral("Property list error at byte %1: %2").arg(offset).arg(reason));
}

NVError errorAtLine(qint64 line, qint64 column, const QString &reason)
{
    return NVError::withDescription(
        NSCocoaErrorDomain, ReadCorruptErrorCode,
        QStringLiteral("Property list error at line %1, column %2: %3").arg(line).arg(column).arg(reason));
}

NVError tooLargeError(qint64 size, const Limits &limits)
{
    return errorAtByte(limits.maxBytes, QStringLiteral("the document is larger than the limit of %1 bytes (%2 bytes)")
                                            .arg(limits.maxBytes)
                                            .arg(size));
}

NVError writeError(const QString &reason)
{
    return NVError::withDescription(NSCocoaErrorDomain, WriteInvalidErrorCode,
                                    QStringLiteral("Property list write error: %1").arg(reason));
}

QString unwritableTypeReason(const QVariant &value)
{
    if (!value.isValid())
        return QStringLiteral("an empty (null) value cannot be written");
    return QStringLiteral("a value of type %1 (%2) cannot be written")
        .arg(QString::fromLatin1(value.typeName()), NVValue::className(value));
}

std::optional<QDateTime> dateFromMSecs(qint64 msecs)
{
    if (msecs < MinDateMSecs || msecs > MaxDateMSecs)
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(msecs, QTimeZone::utc());
}

std::optional<qint64> msecsFromDate(const QDateTime &date)
{
    if (!date.isValid())
        return std::nullopt;
    const qint64 msecs = date.toMSecsSinceEpoch();
    if (msecs < MinDateMSecs || msecs > MaxDateMSecs)
        return std::nullopt;
    return msecs;
}

std::optional<QString> unwritableDateReason(const QDateTime &date)
{
    if (!date.isValid())
        return QStringLiteral("an invalid date cannot be written");
    if (!msecsFromDate(date))
        return QStringLiteral("the date %1 is outside the years 1 to 9999").arg(NVValue::dateDescription(date));
    return std::nullopt;
}

QString excerpt(QStringView text)
{
    constexpr qsizetype maxLength = 40;
    QString shown = text.left(maxLength).toString();
    if (text.size() > maxLength)
        shown += QChar(0x2026);
    return u'"' + shown + u'"';
}

std::optional<IntegerKind> integerKind(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
        return IntegerKind::Signed;
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return IntegerKind::Unsigned;
    default:
        return std::nullopt;
    }
}

} // namespace detail

namespace {

using namespace detail;

bool isHexLetter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
}

// Tells XML from the text form by the first characters: an XML declaration,
// a doctype or comment, or an element whose name is not a run of hex digits
// (the text form's data is "<0fa1 beef>", which also starts with '<').
bool looksLikeXML(const QByteArray &data)
{
    constexpr qsizetype probeBytes = 512;
    QString probe;
    if (data.startsWith("\xFF\xFE") || data.startsWith("\xFE\xFF")) {
        QStringDecoder decoder(data.startsWith("\xFF\xFE") ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE);
        probe = decoder(QByteArrayView(data).sliced(2, std::min<qsizetype>(probeBytes, data.size() - 2)));
    } else if (data.size() >= 2 && ((data[0] == '<' && data[1] == '\0') || (data[0] == '\0' && data[1] == '<'))) {
        return true; // UTF-16 without a byte-order mark; only XML can say so in its declaration
    } else {
        const qsizetype start = data.startsWith("\xEF\xBB\xBF") ? 3 : 0;
        probe = QString::fromLatin1(QByteArrayView(data).sliced(start, std::min<qsizetype>(probeBytes, data.size() - start)));
    }
    qsizetype i = 0;
    while (i < probe.size() && probe[i].isSpace())
        ++i;
    const QStringView rest = QStringView(probe).mid(i);
    if (rest.startsWith(u"<?") || rest.startsWith(u"<!"))
        return true;
    if (rest.size() < 2 || rest[0] != u'<' || !rest[1].isLetter())
        return false;
    for (qsizetype j = 1; j < rest.size() && rest[j].isLetterOrNumber(); ++j) {
        if (!rest[j].isDigit() && !isHexLetter(rest[j]))
            return true;
    }
    return false;
}

NVError withPath(const NVError &error, const QString &path)
{
    QVariantMap info = error.userInfo();
    info.insert(NSFilePathErrorKey, path);
    return NVError(error.domain(), error.code(), info);
}

NVError posixError(int code, const QString &path)
{
    return NVError::posix(code, {{NSFilePathErrorKey, path}});
}

// The line our own error descriptions name, 0 when they name a byte.
int lineOf(const NVError &error)
{
    const QString text = error.localizedDescription();
    const QLatin1String marker("at line ");
    const qsizetype at = text.indexOf(marker);
    if (at < 0)
        return 0;
    qsizetype end = at + marker.size();
    while (end < text.size() && text[end].isDigit())
        ++end;
    return QStringView(text).mid(at + marker.size(), end - at - marker.size()).toInt();
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += n;
    }
    return true;
}

} // namespace

NVResult<QVariant> read(const QByteArray &data, Format *detectedFormat, const Limits &limits)
{
    if (data.size() > limits.maxBytes)
        return tooLargeError(data.size(), limits);
    Format format = Format::Text;
    if (data.startsWith("bplist"))
        format = Format::Binary;
    else if (looksLikeXML(data))
        format = Format::XML;
    if (detectedFormat)
        *detectedFormat = format;

    switch (format) {
    case Format::Binary:
        return readBinary(data, limits);
    case Format::XML:
        return readXML(data, limits);
    case Format::Text:
        break;
    }
    // An empty table is a fine text document, but no feed or defaults file
    // is ever empty: answer that as the corrupt document it is.
    NVResult<QString> text = decodeText(data);
    if (!text)
        return text.error();
    if (QStringView(*text).trimmed().isEmpty())
        return errorAtByte(0, QStringLiteral("the document is empty"));
    return readText(QStringView(*text), limits);
}

NVResult<QVariant> readText(const QByteArray &data, const Limits &limits)
{
    if (data.size() > limits.maxBytes)
        return tooLargeError(data.size(), limits);
    NVResult<QString> text = decodeText(data);
    if (!text)
        return text.error();
    return readText(QStringView(*text), limits);
}

NVResult<QByteArray> write(const QVariant &value, Format format)
{
    switch (format) {
    case Format::XML:
        return writeXML(value);
    case Format::Binary:
        return writeBinary(value);
    case Format::Text:
        break;
    }
    // The text form writes anything by its text; refuse what the other
    // encodings refuse so that a value's writability does not depend on
    // the encoding chosen.
    NVResult<QByteArray> checked = writeBinary(value);
    if (!checked)
        return checked.error();
    QByteArray bytes = NVValue::textForm(value).toUtf8();
    bytes += '\n';
    return bytes;
}

NVResult<QVariant> readFile(const QString &path, Format *detectedFormat, const Limits &limits)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return posixError(errno, path);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int code = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        return posixError(code, path);
    }
    if (S_ISREG(st.st_mode) && st.st_size > limits.maxBytes) {
        ::close(fd);
        return withPath(tooLargeError(st.st_size, limits), path);
    }

    // Read at most one byte beyond the limit, so that a file that grows (or
    // a device that never ends) cannot make us hold more than that.
    QByteArray bytes;
    const qint64 cap = limits.maxBytes + 1;
    bytes.reserve(qsizetype(std::min<qint64>(S_ISREG(st.st_mode) ? st.st_size + 1 : 65536, cap)));
    char buffer[65536];
    while (bytes.size() < cap) {
        const ssize_t n = ::read(fd, buffer, size_t(std::min<qint64>(sizeof buffer, cap - bytes.size())));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int code = errno;
            ::close(fd);
            return posixError(code, path);
        }
        if (n == 0)
            break;
        bytes.append(buffer, n);
    }
    ::close(fd);

    NVResult<QVariant> result = read(bytes, detectedFormat, limits);
    if (!result)
        return withPath(result.error(), path);
    return result;
}

NVResult<void> writeFile(const QString &path, const QVariant &value, Format format, unsigned newFileMode)
{
    NVResult<QByteArray> bytes = write(value, format);
    if (!bytes)
        return withPath(bytes.error(), path);

    const QByteArray native = QFile::encodeName(path);
    QByteArray temporary = native + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return posixError(errno, path);

    // Keep the permissions of the file we replace, so that a user's choice
    // survives our rewrite; a new file gets the caller's mode.
    struct stat st {};
    const mode_t mode = ::stat(native.constData(), &st) == 0 ? (st.st_mode & 07777) : mode_t(newFileMode & 07777);
    const bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, *bytes) && ::fsync(fd) == 0;
    int code = ok ? 0 : errno;
    if (::close(fd) != 0 && code == 0)
        code = errno;
    if (code == 0 && ::rename(temporary.constData(), native.constData()) != 0)
        code = errno;
    if (code != 0) {
        ::unlink(temporary.constData());
        return posixError(code, path);
    }
    return {};
}

StringsTable readStringsTable(const QByteArray &data, const Limits &limits)
{
    StringsTable table;
    if (data.size() > limits.maxBytes) {
        table.firstError = tooLargeError(data.size(), limits);
        return table;
    }
    if (data.startsWith("bplist") || looksLikeXML(data)) {
        NVResult<QVariant> whole = read(data, nullptr, limits);
        if (!whole) {
            table.firstError = whole.error();
            table.firstErrorLine = lineOf(whole.error());
            return table;
        }
        if (!NVValue::isDictionary(*whole)) {
            table.firstError = errorAtByte(0, QStringLiteral("the string table is an %1, not a dictionary")
                                                  .arg(NVValue::className(*whole)));
            return table;
        }
        const QVariantMap map = whole->toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (NVValue::isString(it.value()))
                table.entries.insert(it.key(), it.value());
            else if (!table.firstError)
                table.firstError = errorAtByte(0, QStringLiteral("the value of %1 is an %2, not a string")
                                                      .arg(excerpt(it.key()), NVValue::className(it.value())));
        }
        return table;
    }
    NVResult<QString> text = decodeText(data);
    if (!text) {
        table.firstError = text.error();
        return table;
    }
    return readStringsTableText(QStringView(*text), limits);
}

} // namespace NVPropertyList
