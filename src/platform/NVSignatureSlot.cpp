#include "platform/NVSignatureSlot.h"

#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QByteArray NVByteSource::read(qint64 offset, qint64 length) const
{
    if (length < 0 || offset < 0 || length > size() || offset > size() - length)
        return QByteArray();
    QByteArray bytes(length, Qt::Uninitialized);
    if (!readAt(offset, bytes.data(), length))
        return QByteArray();
    return bytes;
}

bool NVMemoryByteSource::readAt(qint64 offset, char *buffer, qint64 length) const
{
    if (offset < 0 || length < 0 || offset > m_data.size() || length > m_data.size() - offset)
        return false;
    std::memcpy(buffer, m_data.constData() + offset, size_t(length));
    return true;
}

NVResult<std::unique_ptr<NVFileByteSource>> NVFileByteSource::open(const QString &path, bool writable)
{
    const QByteArray native = path.toLocal8Bit();
    // Non-blocking, so that a FIFO put in the file's place cannot make the
    // open wait for a writer; a regular file reads the same either way.
    const int fd = ::open(native.constData(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return NVError::posix(errno, {{NSFilePathErrorKey, path}});
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        const int code = errno;
        ::close(fd);
        return NVError::posix(code, {{NSFilePathErrorKey, path}});
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        return NVError::posix(S_ISDIR(info.st_mode) ? EISDIR : EINVAL, {{NSFilePathErrorKey, path}});
    }
    // The whole file is read once, front to back.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const qint64 changed = qint64(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec;
    return std::unique_ptr<NVFileByteSource>(new NVFileByteSource(fd, qint64(info.st_size), changed));
}

NVFileByteSource::~NVFileByteSource() { ::close(m_fd); }

bool NVFileByteSource::readAt(qint64 offset, char *buffer, qint64 length) const
{
    if (offset < 0 || length < 0 || offset > m_size || length > m_size - offset)
        return false;
    while (length > 0) {
        const ssize_t got = ::pread(m_fd, buffer, size_t(length), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        buffer += got;
        offset += got;
        length -= got;
    }
    return true;
}

bool NVFileByteSource::isUnchanged() const
{
    struct stat info;
    if (::fstat(m_fd, &info) != 0)
        return false;
    const qint64 changed = qint64(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec;
    return qint64(info.st_size) == m_size && changed == m_changed;
}

bool NVOverlayByteSource::readAt(qint64 offset, char *buffer, qint64 length) const
{
    if (offset < 0 || length < 0 || offset > size() || length > size() - offset)
        return false;
    if (offset < m_length) {
        const qint64 fromBase = std::min(length, m_length - offset);
        if (!m_base.readAt(offset, buffer, fromBase))
            return false;
        buffer += fromBase;
        offset += fromBase;
        length -= fromBase;
    }
    if (length > 0)
        std::memcpy(buffer, m_tail.constData() + (offset - m_length), size_t(length));
    return true;
}

namespace NVSignatureSlot {

namespace {

// The empty gzip member that carries the block, byte for byte: deflate, only
// FEXTRA set, no time, no extra flags, operating system "unknown".
constexpr unsigned char GzipHeader[10] = {0x1f, 0x8b, 0x08, 0x04, 0, 0, 0, 0, 0, 0xff};
// An empty final fixed-Huffman block, then CRC-32 and size of no data.
constexpr unsigned char GzipEmptyTail[10] = {0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr char GzipSubfieldId[2] = {'N', 'V'};
constexpr char EndRecord[4] = {'P', 'K', 5, 6};
constexpr qint64 EndRecordSize = 22;

quint16 le16(const QByteArray &bytes, qint64 at) { return qFromLittleEndian<quint16>(bytes.constData() + at); }
quint32 le32(const QByteArray &bytes, qint64 at) { return qFromLittleEndian<quint32>(bytes.constData() + at); }

bool matches(const QByteArray &bytes, qint64 at, const void *expected, qint64 length)
{
    return at >= 0 && at + length <= bytes.size() && std::memcmp(bytes.constData() + at, expected, size_t(length)) == 0;
}

bool isGzip(const NVByteSource &source)
{
    const QByteArray head = source.read(0, 2);
    return head.size() == 2 && quint8(head[0]) == 0x1f && quint8(head[1]) == 0x8b;
}

NVError notCanonical(const QString &reason) { return NVCodeSigningError(errSecCSSignatureFailed, reason); }
NVError badFormat(const QString &reason) { return NVCodeSigningError(errSecCSBadObjectFormat, reason); }

// True when [from, size) holds the zip end-record signature; unreadable
// counts as holding it, so that a failed read never passes the check.
bool containsEndRecord(const NVByteSource &source, qint64 from)
{
    from = std::max<qint64>(from, 0);
    const QByteArray region = source.read(from, source.size() - from);
    if (region.size() != source.size() - from)
        return true;
    return region.contains(QByteArrayView(EndRecord, 4));
}

// The file ends with a block trailer: returns the CMS length, else nothing.
std::optional<quint32> trailerAtEnd(const NVByteSource &source, qint64 end)
{
    if (end < TrailerSize)
        return std::nullopt;
    const QByteArray trailer = source.read(end - TrailerSize, TrailerSize);
    if (trailer.size() != TrailerSize || !matches(trailer, 4, Magic, sizeof Magic))
        return std::nullopt;
    return le32(trailer, 0);
}

// The file ends with what looks like the gzip slot member's tail and block
// trailer (whatever precedes them).
bool endsLikeGzipSlot(const NVByteSource &source)
{
    const qint64 size = source.size();
    return size >= qint64(sizeof GzipEmptyTail) + TrailerSize
        && source.read(size - sizeof GzipEmptyTail, sizeof GzipEmptyTail) == QByteArray(reinterpret_cast<const char *>(GzipEmptyTail), sizeof GzipEmptyTail)
        && trailerAtEnd(source, size - qint64(sizeof GzipEmptyTail)).has_value();
}

NVResult<Location> locateGzip(const NVByteSource &source)
{
    const qint64 size = source.size();
    if (!endsLikeGzipSlot(source)) {
        if (trailerAtEnd(source, size))
            return notCanonical(QStringLiteral("a gzip file ends with a signature block outside a gzip member"));
        return NVCodeSigningError(errSecCSUnsigned, QStringLiteral("the gzip file has no signature member at its end"));
    }
    const qint64 blockEnd = size - qint64(sizeof GzipEmptyTail);
    const qint64 cmsLength = *trailerAtEnd(source, blockEnd);
    const qint64 blockLength = cmsLength + TrailerSize;
    if (cmsLength == 0 || blockLength > MaxGzipBlockSize)
        return badFormat(QStringLiteral("the gzip signature member gives an impossible signature length (%1)").arg(cmsLength));
    const qint64 blockStart = blockEnd - blockLength;
    const qint64 memberStart = blockStart - 16;
    if (memberStart < 0)
        return badFormat(QStringLiteral("the signature length (%1) points before the start of the file").arg(cmsLength));

    const QByteArray header = source.read(memberStart, 16);
    if (header.size() != 16)
        return badFormat(QStringLiteral("the gzip signature member cannot be read"));
    if (!matches(header, 0, GzipHeader, sizeof GzipHeader) || le16(header, 10) != blockLength + 4
        || !matches(header, 12, GzipSubfieldId, 2) || le16(header, 14) != blockLength)
        return notCanonical(QStringLiteral("the gzip signature member is not the canonical empty member"));
    if (containsEndRecord(source, memberStart))
        return notCanonical(QStringLiteral("the signature slot contains a zip end record"));
    return Location{Kind::Gzip, memberStart, blockStart, cmsLength};
}

NVResult<Location> locateAtEnd(const NVByteSource &source)
{
    const qint64 size = source.size();
    const std::optional<quint32> trailer = trailerAtEnd(source, size);
    if (!trailer) {
        if (endsLikeGzipSlot(source))
            return notCanonical(QStringLiteral("a gzip signature member ends a file that is not gzip"));
        return NVCodeSigningError(errSecCSUnsigned, QStringLiteral("the file has no signature block at its end"));
    }
    const qint64 cmsLength = *trailer;
    if (cmsLength == 0 || cmsLength > MaxAppendedSignatureSize || cmsLength + TrailerSize > size)
        return badFormat(QStringLiteral("the signature block gives an impossible signature length (%1)").arg(cmsLength));
    const qint64 blockStart = size - TrailerSize - cmsLength;

    // A zip end record right before the block makes the block its comment.
    const qint64 endRecordStart = blockStart - EndRecordSize;
    const QByteArray endRecord = endRecordStart >= 0 ? source.read(endRecordStart, EndRecordSize) : QByteArray();
    if (matches(endRecord, 0, EndRecord, sizeof EndRecord)) {
        if (le16(endRecord, 20) != cmsLength + TrailerSize)
            return notCanonical(QStringLiteral("the zip comment length (%1) differs from the signature block (%2)")
                                    .arg(le16(endRecord, 20))
                                    .arg(cmsLength + TrailerSize));
        if (containsEndRecord(source, endRecordStart + 1))
            return notCanonical(QStringLiteral("the zip comment contains a second end record"));
        return Location{Kind::Zip, blockStart - 2, blockStart, cmsLength};
    }
    if (containsEndRecord(source, blockStart - 3))
        return notCanonical(QStringLiteral("the signature slot contains a zip end record"));
    return Location{Kind::Appended, blockStart, blockStart, cmsLength};
}

// The start of a zip end record whose comment reaches exactly to the end of
// the file, or -1.
qint64 zipEndRecordStart(const NVByteSource &source)
{
    const qint64 size = source.size();
    const qint64 window = std::min<qint64>(size, EndRecordSize + 65535);
    const QByteArray tail = source.read(size - window, window);
    if (tail.size() != window)
        return -1;
    for (qint64 at = window - EndRecordSize; at >= 0; --at) {
        if (matches(tail, at, EndRecord, sizeof EndRecord) && at + EndRecordSize + le16(tail, at + 20) == window)
            return size - window + at;
    }
    return -1;
}

} // namespace

NVResult<Location> locate(const NVByteSource &source)
{
    return isGzip(source) ? locateGzip(source) : locateAtEnd(source);
}

NVResult<Plan> plan(const NVByteSource &source)
{
    const NVResult<Location> existing = locate(source);
    if (existing.ok())
        return notCanonical(QStringLiteral("the file is already signed"));
    if (existing.error().code() != errSecCSUnsigned)
        return notCanonical(QStringLiteral("the file already ends like a signature slot (%1)").arg(existing.error().localizedDescription()));

    const qint64 size = source.size();
    if (isGzip(source))
        return Plan{Kind::Gzip, size};
    const qint64 endRecordStart = zipEndRecordStart(source);
    if (endRecordStart >= 0) {
        if (endRecordStart + EndRecordSize != size)
            return notCanonical(QStringLiteral("the zip archive has a comment; the signature needs the comment"));
        return Plan{Kind::Zip, size - 2};
    }
    return Plan{Kind::Appended, size};
}

QByteArray composeSlot(Kind kind, const QByteArray &cms)
{
    const qint64 blockLength = cms.size() + TrailerSize;
    if (cms.isEmpty() || (kind == Kind::Gzip && blockLength > MaxGzipBlockSize)
        || (kind == Kind::Zip && blockLength > MaxZipBlockSize)
        || (kind == Kind::Appended && cms.size() > MaxAppendedSignatureSize))
        return QByteArray();

    QByteArray block = cms;
    char length[4];
    qToLittleEndian<quint32>(quint32(cms.size()), length);
    block.append(length, 4).append(Magic, sizeof Magic);

    QByteArray slot;
    char field[2];
    switch (kind) {
    case Kind::Gzip:
        slot.append(reinterpret_cast<const char *>(GzipHeader), sizeof GzipHeader);
        qToLittleEndian<quint16>(quint16(blockLength + 4), field);
        slot.append(field, 2).append(GzipSubfieldId, 2);
        qToLittleEndian<quint16>(quint16(blockLength), field);
        slot.append(field, 2).append(block).append(reinterpret_cast<const char *>(GzipEmptyTail), sizeof GzipEmptyTail);
        break;
    case Kind::Zip:
        qToLittleEndian<quint16>(quint16(blockLength), field);
        slot.append(field, 2).append(block);
        break;
    case Kind::Appended:
        slot = block;
        break;
    }
    return slot;
}

QString kindName(Kind kind)
{
    switch (kind) {
    case Kind::Gzip:
        return QStringLiteral("gzip member");
    case Kind::Zip:
        return QStringLiteral("zip comment");
    case Kind::Appended:
        return QStringLiteral("appended block");
    }
    return QString();
}

} // namespace NVSignatureSlot
