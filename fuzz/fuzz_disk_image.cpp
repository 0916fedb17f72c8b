// Arbitrary bytes as the two things the disk-image code reads that it did not
// write: the head of a downloaded image (its squashfs superblock) and the
// attach tool's output. An accepted superblock describes an image that fits
// its file; tool output gives a mount point, nothing, or a parse error.

#include "unarchive/NVDiskImage.h"
#include "unarchive/NVSUDMGUnarchiver.h"

#include <QtEndian>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));

    // The file's size is part of the input: the first eight bytes, when there
    // are that many, else the input's own size.
    qint64 fileSize = bytes.size();
    if (bytes.size() >= 8)
        fileSize = qint64(qFromLittleEndian<quint64>(bytes.constData()) >> 1);
    const auto image = NVDiskImage::inspectSuperblock(bytes.mid(8), fileSize);
    if (image) {
        if (image->bytesUsed > fileSize || image->bytesUsed < NVDiskImage::SuperblockSize || image->blockSize == 0
            || (image->blockSize & (image->blockSize - 1)) != 0)
            std::abort();
    } else if (image.error().localizedDescription().isEmpty()) {
        std::abort();
    }

    const auto output = NVSUDMGUnarchiverDetail::readAttachOutput(bytes);
    if (output && output->mountPoint && !output->list)
        std::abort();
    return 0;
}
