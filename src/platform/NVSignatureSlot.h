#pragma once

#include "foundation/NVError.h"
#include "platform/NVCodeSigningStatus.h"

#include <QByteArray>
#include <QString>

#include <memory>

// Bytes read by position: a file on disk, a buffer, or a file with new bytes
// laid over its end (what a file would look like after signing).
class NVByteSource {
public:
    virtual ~NVByteSource() = default;
    virtual qint64 size() const = 0;
    // Reads exactly `length` bytes at `offset`; false when they are not all
    // there or the read fails. Blocks on disk reads; the object is not
    // shared between threads.
    virtual bool readAt(qint64 offset, char *buffer, qint64 length) const = 0;
    QByteArray read(qint64 offset, qint64 length) const;
    // False when the bytes may no longer be those the source began with.
    virtual bool isUnchanged() const { return true; }
};

class NVMemoryByteSource final : public NVByteSource {
public:
    explicit NVMemoryByteSource(QByteArray data) : m_data(std::move(data)) {}
    qint64 size() const override { return m_data.size(); }
    bool readAt(qint64 offset, char *buffer, qint64 length) const override;

private:
    QByteArray m_data;
};

// An open regular file. The size is fixed when the file is opened; reading
// past it fails, so a file that shrinks underneath is noticed.
class NVFileByteSource final : public NVByteSource {
public:
    // Blocks. Fails (POSIX domain) when the path cannot be opened or is not a
    // regular file.
    static NVResult<std::unique_ptr<NVFileByteSource>> open(const QString &path, bool writable = false);
    ~NVFileByteSource() override;
    NVFileByteSource(const NVFileByteSource &) = delete;
    NVFileByteSource &operator=(const NVFileByteSource &) = delete;

    qint64 size() const override { return m_size; }
    bool readAt(qint64 offset, char *buffer, qint64 length) const override;
    int descriptor() const { return m_fd; }
    // True when the file still has the size and status-change time it had
    // when it was opened. Every write moves the change time, and unlike the
    // modification time nobody can set it back.
    bool isUnchanged() const override;

private:
    NVFileByteSource(int fd, qint64 size, qint64 changedNanoseconds) : m_fd(fd), m_size(size), m_changed(changedNanoseconds) {}
    int m_fd;
    qint64 m_size;
    qint64 m_changed;
};

// The first `length` bytes of a base source followed by `tail`.
class NVOverlayByteSource final : public NVByteSource {
public:
    NVOverlayByteSource(const NVByteSource &base, qint64 length, QByteArray tail)
        : m_base(base), m_length(length), m_tail(std::move(tail)) {}
    qint64 size() const override { return m_length + m_tail.size(); }
    bool readAt(qint64 offset, char *buffer, qint64 length) const override;

private:
    const NVByteSource &m_base;
    qint64 m_length;
    QByteArray m_tail;
};

// Where a downloaded file carries its signature. The file's own bytes decide
// the slot, never its name:
//
//   gzip (starts 1f 8b)   a final, empty gzip member whose FEXTRA field holds
//                         the signature block; gunzip reads it as nothing.
//   zip (end record last) the archive comment is the signature block.
//   anything else         the block is appended after the file's own data.
//
// The block is [CMS DER][CMS length, 4 bytes little-endian][Magic]. The
// signed bytes are everything before the slot; for zip, everything before the
// comment-length field, which is the one field signing changes.
//
// Slots are canonical because the archive tools must read exactly what was
// signed: nothing may follow the slot, the gzip member is byte for byte the
// empty member written here, a zip comment is exactly the block, and no slot
// contains the zip end-record bytes "PK\5\6" (a second end record inside the
// signature would make unzip read a different archive).
//
// All functions are pure apart from reading the source; any thread.
namespace NVSignatureSlot {

enum class Kind { Gzip, Zip, Appended };

inline constexpr char Magic[8] = {'N', 'V', 'S', 'U', 'S', 'I', 'G', '1'};
inline constexpr qint64 TrailerSize = 12;                 // length + magic
inline constexpr qint64 MaxGzipBlockSize = 65535 - 4;     // XLEN minus the subfield header
inline constexpr qint64 MaxZipBlockSize = 65535;          // a comment's length field
inline constexpr qint64 MaxAppendedSignatureSize = 1 << 20;

struct Location {
    Kind kind = Kind::Appended;
    qint64 signedLength = 0;      // bytes [0, signedLength) are signed
    qint64 signatureOffset = 0;   // the CMS DER
    qint64 signatureLength = 0;
};

// Finds and checks the slot. Fails with errSecCSUnsigned when there is none,
// errSecCSBadObjectFormat when its lengths do not fit the file, and
// errSecCSSignatureFailed when it is not canonical or is the slot of another
// format (a signed file whose first bytes were changed looks like that).
NVResult<Location> locate(const NVByteSource &source);

// How an unsigned file would be signed: its slot kind and the offset at
// which composeSlot()'s bytes are written (zip: the comment-length field).
struct Plan {
    Kind kind = Kind::Appended;
    qint64 writeOffset = 0;
};
// Fails (errSecCSSignatureFailed) for a file that already has a slot or
// something that looks like one, and for a zip that already has a comment.
NVResult<Plan> plan(const NVByteSource &source);

// The bytes that carry `cms` in a slot of the given kind, to be written at
// the plan's offset. Empty when the signature is too large for the slot.
QByteArray composeSlot(Kind kind, const QByteArray &cms);

QString kindName(Kind kind);

} // namespace NVSignatureSlot
