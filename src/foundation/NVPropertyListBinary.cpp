// The binary encoding, "bplist00":
//
//   header   "bplist00"
//   objects  each starts with a marker byte: high nibble the type, low
//            nibble a size or count (0xF: the count follows as an integer
//            object)
//   offsets  one big-endian offset per object, offsetSize bytes each
//   trailer  32 bytes: 6 unused, offsetSize, refSize, object count, top
//            object, offset of the offset table (the last three 8 bytes each)
//
// Arrays and dictionaries hold references (indexes into the offset table), so
// a hostile file can point anywhere, loop, or share one object so often that
// it expands exponentially. The reader checks every offset and count against
// the bytes that exist, refuses an object that contains itself, decodes each
// object once and counts a shared one by its full size at every reference.

#include "foundation/NVPropertyList.h"

#include "foundation/NVPropertyListPrivate.h"
#include "foundation/NVValue.h"

#include <QHash>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <vector>

namespace NVPropertyList {

namespace {

using namespace detail;

constexpr qint64 HeaderSize = 8;
constexpr qint64 TrailerSize = 32;

enum Marker : quint8 {
    MarkerNull = 0x00,
    MarkerFalse = 0x08,
    MarkerTrue = 0x09,
    MarkerInt = 0x10,
    MarkerReal = 0x20,
    MarkerDate = 0x33,
    MarkerData = 0x40,
    MarkerASCII = 0x50,
    MarkerUTF16 = 0x60,
    MarkerUID = 0x80,
    MarkerArray = 0xA0,
    MarkerOrderedSet = 0xB0,
    MarkerSet = 0xC0,
    MarkerDict = 0xD0,
};

quint64 readBigEndian(const uchar *p, int size)
{
    quint64 value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | p[i];
    return value;
}

double readDouble(const uchar *p)
{
    const quint64 bits = readBigEndian(p, 8);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// ---- Reader -------------------------------------------------------------------

class BinaryReader {
public:
    BinaryReader(const QByteArray &data, const Limits &limits)
        : m_data(reinterpret_cast<const uchar *>(data.constData())), m_size(data.size()), m_limits(limits)
    {
    }

    NVResult<QVariant> run();

private:
    // What is known of one object of the table. A container is "open" while
    // its elements are read; meeting it again then means it contains itself.
    struct Slot {
        enum State : quint8 { Unread, Open, Done };
        State state = Unread;
        int depth = 0;      // levels of containers in it, 0 for a scalar
        qint64 weight = 0;  // values it expands to, itself included
        QVariant value;
    };
    struct Frame {
        quint64 index = 0;
        bool isDict = false;
        quint64 count = 0;
        quint64 next = 0;
        qint64 refs = 0;        // byte offset of the references
        qint64 weight = 1;
        int childDepth = 0;
        QVariantList list;
        std::vector<QString> keys;
        std::map<QString, QVariant> map;
    };

    NVError error(qint64 at, const QString &reason) const { return errorAtByte(at, reason); }
    std::optional<NVError> readTrailer();
    // The byte offset of object `index`, checked to lie among the objects.
    std::optional<NVError> objectOffset(quint64 index, qint64 &offset) const;
    // Reads a reference at byte `at` and checks it names an object.
    std::optional<NVError> readRef(qint64 at, quint64 &index) const;
    // The count of a container, string or data at `offset` and where its
    // content starts; checks that count * unitSize bytes are there.
    std::optional<NVError> readCount(qint64 offset, qint64 unitSize, quint64 &count, qint64 &content) const;
    std::optional<NVError> decodeScalar(qint64 offset, QVariant &value) const;
    std::optional<NVError> countValues(qint64 at, qint64 weight);
    // Makes object `index` available: scalars and finished containers land
    // in their slot, a fresh container is pushed as a frame.
    std::optional<NVError> visit(quint64 index, qint64 refAt, bool &pushed);
    std::optional<NVError> attach(const Slot &slot, qint64 refAt);

    const uchar *m_data;
    qint64 m_size;
    const Limits &m_limits;
    int m_offsetSize = 0;
    int m_refSize = 0;
    quint64 m_objectCount = 0;
    quint64 m_topObject = 0;
    qint64 m_offsetTable = 0;
    qint64 m_values = 0;
    std::vector<Slot> m_slots;
    std::vector<Frame> m_stack;
};

std::optional<NVError> BinaryReader::readTrailer()
{
    if (m_size < HeaderSize + 1 + TrailerSize)
        return error(0, QStringLiteral("the file is too short (%1 bytes) to be a binary property list").arg(m_size));
    if (std::memcmp(m_data, "bplist00", HeaderSize) != 0)
        return error(0, QStringLiteral("the file does not start with \"bplist00\""));
    const qint64 trailer = m_size - TrailerSize;
    const uchar *t = m_data + trailer;
    m_offsetSize = t[6];
    m_refSize = t[7];
    m_objectCount = readBigEndian(t + 8, 8);
    m_topObject = readBigEndian(t + 16, 8);
    const quint64 tableOffset = readBigEndian(t + 24, 8);
    if (m_offsetSize < 1 || m_offsetSize > 8)
        return error(trailer + 6, QStringLiteral("offset size %1 is not between 1 and 8").arg(m_offsetSize));
    if (m_refSize < 1 || m_refSize > 8)
        return error(trailer + 7, QStringLiteral("object reference size %1 is not between 1 and 8").arg(m_refSize));
    if (m_objectCount == 0)
        return error(trailer + 8, QStringLiteral("the object table is empty"));
    if (m_objectCount > quint64(m_limits.maxObjects))
        return error(trailer + 8, QStringLiteral("the object table holds %1 objects, more than the limit of %2")
                                      .arg(m_objectCount)
                                      .arg(m_limits.maxObjects));
    if (m_topObject >= m_objectCount)
        return error(trailer + 16, QStringLiteral("top object %1 is outside the object table of %2 objects")
                                       .arg(m_topObject)
                                       .arg(m_objectCount));
    // Objects lie between the header and the offset table, which ends
    // where the trailer starts. The count was bounded above, so the
    // multiplication cannot overflow.
    const quint64 tableSize = m_objectCount * quint64(m_offsetSize);
    if (tableOffset < quint64(HeaderSize + 1) || tableOffset > quint64(trailer) || tableSize > quint64(trailer) - tableOffset)
        return error(trailer + 24, QStringLiteral("the offset table (%1 entries at byte %2) does not fit in the file")
                                       .arg(m_objectCount)
                                       .arg(tableOffset));
    m_offsetTable = qint64(tableOffset);
    return std::nullopt;
}

std::optional<NVError> BinaryReader::objectOffset(quint64 index, qint64 &offset) const
{
    const qint64 entry = m_offsetTable + qint64(index) * m_offsetSize;
    const quint64 value = readBigEndian(m_data + entry, m_offsetSize);
    if (value < quint64(HeaderSize) || value >= quint64(m_offsetTable))
        return error(entry, QStringLiteral("object %1 has offset %2, outside the objects").arg(index).arg(value));
    offset = qint64(value);
    return std::nullopt;
}

std::optional<NVError> BinaryReader::readRef(qint64 at, quint64 &index) const
{
    index = readBigEndian(m_data + at, m_refSize);
    if (index >= m_objectCount)
        return error(at, QStringLiteral("object reference %1 is outside the object table").arg(index));
    return std::nullopt;
}

std::optional<NVError> BinaryReader::readCount(qint64 offset, qint64 unitSize, quint64 &count, qint64 &content) const
{
    const quint8 nibble = m_data[offset] & 0x0F;
    content = offset + 1;
    if (nibble != 0x0F) {
        count = nibble;
    } else {
        // The count is an integer object of 1, 2, 4 or 8 bytes.
        if (content >= m_offsetTable || (m_data[content] & 0xF0) != MarkerInt || (m_data[content] & 0x0F) > 3)
            return error(content, QStringLiteral("the count of the object at byte %1 is not an integer").arg(offset));
        const int size = 1 << (m_data[content] & 0x0F);
        if (content + 1 + size > m_offsetTable)
            return error(content, QStringLiteral("the count of the object at byte %1 runs past the objects").arg(offset));
        count = readBigEndian(m_data + content + 1, size);
        content += 1 + size;
    }
    // A count larger than the bytes left cannot be real; checking it first
    // also keeps the multiplication below from overflowing.
    const quint64 left = quint64(m_offsetTable - content);
    if (count > left / quint64(unitSize))
        return error(offset, QStringLiteral("count %1 of the object at byte %2 is larger than the %3 bytes left")
                                 .arg(count)
                                 .arg(offset)
                                 .arg(left));
    return std::nullopt;
}

std::optional<NVError> BinaryReader::decodeScalar(qint64 offset, QVariant &value) const
{
    const quint8 marker = m_data[offset];
    const quint8 nibble = marker & 0x0F;
    const qint64 left = m_offsetTable - offset - 1;
    auto needs = [&](qint64 bytes) -> std::optional<NVError> {
        if (bytes > left)
            return error(offset, QStringLiteral("the object at byte %1 runs past the objects").arg(offset));
        return std::nullopt;
    };
    const uchar *p = m_data + offset + 1;

    switch (marker & 0xF0) {
    case 0x00:
        if (marker == MarkerTrue || marker == MarkerFalse) {
            value = QVariant(marker == MarkerTrue);
            return std::nullopt;
        }
        break;
    case MarkerInt: {
        if (nibble > 4)
            break;
        const int size = 1 << nibble;
        if (auto failed = needs(size))
            return failed;
        if (size < 8) {
            // One, two and four bytes hold non-negative values; negative
            // numbers always take eight.
            value = QVariant(qint64(readBigEndian(p, size)));
        } else if (size == 8) {
            value = QVariant(qint64(readBigEndian(p, 8)));
        } else {
            // Sixteen bytes, two's complement: the high half must be the sign
            // extension of a signed value or zero above an unsigned one.
            const quint64 high = readBigEndian(p, 8);
            const quint64 low = readBigEndian(p + 8, 8);
            if (high == 0 && low > quint64(std::numeric_limits<qint64>::max()))
                value = QVariant(low);
            else if ((high == 0 && qint64(low) >= 0) || (high == ~quint64(0) && qint64(low) < 0))
                value = QVariant(qint64(low));
            else
                return error(offset, QStringLiteral("the integer at byte %1 does not fit in 64 bits").arg(offset));
        }
        return std::nullopt;
    }
    case MarkerReal: {
        if (nibble != 2 && nibble != 3)
            break;
        if (auto failed = needs(nibble == 2 ? 4 : 8))
            return failed;
        if (nibble == 2) {
            const quint32 bits = quint32(readBigEndian(p, 4));
            float f;
            std::memcpy(&f, &bits, sizeof f);
            value = QVariant(double(f));
        } else {
            value = QVariant(readDouble(p));
        }
        return std::nullopt;
    }
    case 0x30: {
        if (marker != MarkerDate)
            break;
        if (auto failed = needs(8))
            return failed;
        // Range-check the seconds as a double before any conversion to an
        // integer, which would be undefined for 1e300 or a NaN.
        const double seconds = readDouble(p);
        constexpr double lowest = double(MinDateMSecs - ReferenceDateMSecs) / 1000.0;
        constexpr double highest = double(MaxDateMSecs - ReferenceDateMSecs) / 1000.0;
        if (!(seconds >= lowest && seconds <= highest))
            return error(offset, QStringLiteral("the date at byte %1 (%2 seconds) is outside the years 1 to 9999")
                                     .arg(offset)
                                     .arg(seconds));
        const std::optional<QDateTime> date = dateFromMSecs(std::llround(seconds * 1000.0) + ReferenceDateMSecs);
        if (!date)
            return error(offset, QStringLiteral("the date at byte %1 is outside the years 1 to 9999").arg(offset));
        value = QVariant(*date);
        return std::nullopt;
    }
    case MarkerData: {
        quint64 count;
        qint64 content;
        if (auto failed = readCount(offset, 1, count, content))
            return failed;
        value = QVariant(QByteArray(reinterpret_cast<const char *>(m_data + content), qsizetype(count)));
        return std::nullopt;
    }
    case MarkerASCII: {
        quint64 count;
        qint64 content;
        if (auto failed = readCount(offset, 1, count, content))
            return failed;
        const char *text = reinterpret_cast<const char *>(m_data + content);
        for (quint64 i = 0; i < count; ++i) {
            if (uchar(text[i]) > 0x7F)
                return error(content + qint64(i), QStringLiteral("byte 0x%1 in an ASCII string")
                                                      .arg(uchar(text[i]), 2, 16, QLatin1Char('0')));
        }
        value = QVariant(QString::fromLatin1(text, qsizetype(count)));
        return std::nullopt;
    }
    case MarkerUTF16: {
        quint64 count;
        qint64 content;
        if (auto failed = readCount(offset, 2, count, content))
            return failed;
        QString text(qsizetype(count), Qt::Uninitialized);
        char16_t *out = reinterpret_cast<char16_t *>(text.data());
        const uchar *in = m_data + content;
        for (quint64 i = 0; i < count; ++i)
            out[i] = char16_t((in[2 * i] << 8) | in[2 * i + 1]);
        // Half a surrogate pair is no character and would not survive
        // conversion to UTF-8.
        for (quint64 i = 0; i < count; ++i) {
            const bool high = QChar::isHighSurrogate(out[i]);
            if (high && i + 1 < count && QChar::isLowSurrogate(out[i + 1])) {
                ++i;
                continue;
            }
            if (high || QChar::isLowSurrogate(out[i]))
                return error(content + 2 * qint64(i), QStringLiteral("unpaired surrogate U+%1 in a string")
                                                          .arg(out[i], 4, 16, QLatin1Char('0')));
        }
        value = QVariant(std::move(text));
        return std::nullopt;
    }
    case MarkerUID:
        return error(offset, QStringLiteral("the object at byte %1 is a UID, which only archives hold").arg(offset));
    case MarkerSet:
    case MarkerOrderedSet:
        return error(offset, QStringLiteral("the object at byte %1 is a set, which property lists do not hold").arg(offset));
    default:
        break;
    }
    if (marker == MarkerNull)
        return error(offset, QStringLiteral("the object at byte %1 is a null, which property lists do not hold").arg(offset));
    return error(offset, QStringLiteral("unknown object marker 0x%1").arg(marker, 2, 16, QLatin1Char('0')));
}

std::optional<NVError> BinaryReader::countValues(qint64 at, qint64 weight)
{
    m_values += weight;
    if (m_values > m_limits.maxObjects)
        return error(at, QStringLiteral("the document expands to more than %1 values").arg(m_limits.maxObjects));
    return std::nullopt;
}

std::optional<NVError> BinaryReader::visit(quint64 index, qint64 refAt, bool &pushed)
{
    pushed = false;
    Slot &slot = m_slots[index];
    if (slot.state == Slot::Open)
        return error(refAt, QStringLiteral("object %1 contains itself").arg(index));
    if (slot.state == Slot::Done)
        return std::nullopt;

    qint64 offset;
    if (auto failed = objectOffset(index, offset))
        return failed;
    const quint8 kind = m_data[offset] & 0xF0;
    if (kind != MarkerArray && kind != MarkerDict) {
        if (auto failed = decodeScalar(offset, slot.value))
            return failed;
        slot.state = Slot::Done;
        slot.weight = 1;
        return std::nullopt;
    }

    // Refuse before going one level deeper.
    if (qsizetype(m_stack.size()) >= m_limits.maxDepth)
        return error(offset, QStringLiteral("arrays and dictionaries are nested deeper than %1 levels").arg(m_limits.maxDepth));
    if (auto failed = countValues(offset, 1))
        return failed;
    const bool isDict = kind == MarkerDict;
    quint64 count;
    qint64 content;
    if (auto failed = readCount(offset, isDict ? 2 * m_refSize : m_refSize, count, content))
        return failed;

    Frame frame;
    frame.index = index;
    frame.isDict = isDict;
    frame.count = count;
    frame.refs = content;
    if (isDict) {
        // Keys first: they are strings, so reading them needs no frame.
        frame.keys.reserve(count);
        for (quint64 i = 0; i < count; ++i) {
            const qint64 at = content + qint64(i) * m_refSize;
            quint64 keyIndex;
            if (auto failed = readRef(at, keyIndex))
                return failed;
            Slot &key = m_slots[keyIndex];
            if (key.state == Slot::Unread) {
                qint64 keyOffset;
                if (auto failed = objectOffset(keyIndex, keyOffset))
                    return failed;
                const quint8 keyKind = m_data[keyOffset] & 0xF0;
                if (keyKind != MarkerASCII && keyKind != MarkerUTF16)
                    return error(at, QStringLiteral("dictionary key %1 is not a string").arg(keyIndex));
                if (auto failed = decodeScalar(keyOffset, key.value))
                    return failed;
                key.state = Slot::Done;
                key.weight = 1;
            } else if (key.state == Slot::Open || !NVValue::isString(key.value)) {
                return error(at, QStringLiteral("dictionary key %1 is not a string").arg(keyIndex));
            }
            if (auto failed = countValues(at, 1))
                return failed;
            frame.keys.push_back(key.value.toString());
        }
        frame.weight += qint64(count);
    } else {
        frame.list.reserve(qsizetype(count));
    }
    slot.state = Slot::Open;
    m_stack.push_back(std::move(frame));
    pushed = true;
    return std::nullopt;
}

std::optional<NVError> BinaryReader::attach(const Slot &slot, qint64 refAt)
{
    Frame &top = m_stack.back();
    if (qsizetype(m_stack.size()) + slot.depth > m_limits.maxDepth)
        return error(refAt, QStringLiteral("arrays and dictionaries are nested deeper than %1 levels").arg(m_limits.maxDepth));
    top.weight += slot.weight;
    top.childDepth = std::max(top.childDepth, slot.depth);
    if (top.isDict)
        top.map.insert_or_assign(top.map.end(), top.keys[top.next - 1], slot.value);
    else
        top.list.append(slot.value);
    return std::nullopt;
}

NVResult<QVariant> BinaryReader::run()
{
    if (auto failed = readTrailer())
        return *failed;
    m_slots.resize(m_objectCount);

    bool pushed;
    if (auto failed = visit(m_topObject, m_size - TrailerSize + 16, pushed))
        return *failed;
    if (!pushed) {
        if (auto failed = countValues(0, 1))
            return *failed;
        return m_slots[m_topObject].value;
    }

    while (!m_stack.empty()) {
        Frame &top = m_stack.back();
        if (top.next == top.count) {
            Frame done = std::move(top);
            m_stack.pop_back();
            Slot &slot = m_slots[done.index];
            slot.state = Slot::Done;
            slot.weight = done.weight;
            slot.depth = done.childDepth + 1;
            slot.value = done.isDict ? QVariant(QVariantMap(std::move(done.map))) : QVariant(std::move(done.list));
            if (m_stack.empty())
                return slot.value;
            if (auto failed = attach(slot, done.refs))
                return *failed;
            continue;
        }
        const qint64 at = top.refs + qint64((top.isDict ? top.count : 0) + top.next) * m_refSize;
        ++top.next;
        quint64 index;
        if (auto failed = readRef(at, index))
            return *failed;
        const bool fresh = m_slots[index].state == Slot::Unread;
        if (auto failed = visit(index, at, pushed))
            return *failed;
        if (pushed)
            continue; // the container's weight counts as its elements arrive
        // A scalar read just now counts once; a value read before counts
        // with everything it holds, every time it is referenced.
        const Slot &slot = m_slots[index];
        if (auto failed = countValues(at, fresh ? 1 : slot.weight))
            return *failed;
        if (auto failed = attach(slot, at))
            return *failed;
    }
    return QVariant(); // not reached: the loop returns when the top closes
}

// ---- Writer -------------------------------------------------------------------

int bytesFor(quint64 value)
{
    int size = 1;
    while (size < 8 && value >> (8 * size))
        ++size;
    return size;
}

class BinaryWriter {
public:
    NVResult<QByteArray> run(const QVariant &value);

private:
    // One object of the table: the value, and for containers the indexes
    // of its elements (a dictionary's keys first, then its values).
    struct Entry {
        QVariant value;
        std::vector<quint64> refs;
    };

    std::optional<NVError> flatten(const QVariant &value, quint64 &index);
    quint64 addString(const QString &string);
    void writeMarker(quint8 kind, quint64 count);
    void writeInteger(qint64 value);
    void writeBigEndian(quint64 value, int size);
    void writeDouble(double value);
    void writeString(const QString &string);
    std::optional<NVError> writeEntry(const Entry &entry);

    std::vector<Entry> m_entries;
    QHash<QString, quint64> m_strings; // one object per distinct string
    QByteArray m_out;
    int m_refSize = 1;
};

quint64 BinaryWriter::addString(const QString &string)
{
    const auto found = m_strings.constFind(string);
    if (found != m_strings.cend())
        return *found;
    const quint64 index = m_entries.size();
    m_entries.push_back(Entry{QVariant(string), {}});
    m_strings.insert(string, index);
    return index;
}

std::optional<NVError> BinaryWriter::flatten(const QVariant &value, quint64 &index)
{
    const int type = value.metaType().id();
    if (type == QMetaType::QString) {
        index = addString(value.toString());
        return std::nullopt;
    }
    index = m_entries.size();
    m_entries.push_back(Entry{value, {}});
    if (type == QMetaType::QVariantList) {
        const QVariantList list = value.toList();
        std::vector<quint64> refs;
        refs.reserve(list.size());
        for (const QVariant &element : list) {
            quint64 child;
            if (auto failed = flatten(element, child))
                return failed;
            refs.push_back(child);
        }
        m_entries[index].refs = std::move(refs);
    } else if (type == QMetaType::QVariantMap) {
        const QVariantMap map = value.toMap();
        std::vector<quint64> refs(2 * size_t(map.size()));
        size_t i = 0;
        for (auto it = map.cbegin(); it != map.cend(); ++it, ++i) {
            refs[i] = addString(it.key());
            if (auto failed = flatten(it.value(), refs[map.size() + i]))
                return failed;
        }
        m_entries[index].refs = std::move(refs);
    } else if (type == QMetaType::QDateTime) {
        if (std::optional<QString> reason = unwritableDateReason(value.toDateTime()))
            return writeError(*reason);
    } else if (!NVValue::isNumber(value) && type != QMetaType::QByteArray) {
        return writeError(unwritableTypeReason(value));
    }
    return std::nullopt;
}

void BinaryWriter::writeBigEndian(quint64 value, int size)
{
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
        m_out += char(uchar(value >> shift));
}

void BinaryWriter::writeInteger(qint64 value)
{
    // The smallest of 1, 2 and 4 bytes for non-negative values, which those
    // sizes hold unsigned; eight bytes for everything else.
    const int size = value < 0 ? 8 : bytesFor(quint64(value));
    const int nibble = size == 1 ? 0 : size == 2 ? 1 : size <= 4 ? 2 : 3;
    m_out += char(MarkerInt | nibble);
    writeBigEndian(quint64(value), 1 << nibble);
}

void BinaryWriter::writeMarker(quint8 kind, quint64 count)
{
    if (count < 15) {
        m_out += char(kind | count);
        return;
    }
    m_out += char(kind | 0x0F);
    writeInteger(qint64(count));
}

void BinaryWriter::writeDouble(double value)
{
    quint64 bits;
    std::memcpy(&bits, &value, sizeof bits);
    writeBigEndian(bits, 8);
}

void BinaryWriter::writeString(const QString &string)
{
    bool ascii = true;
    for (QChar c : string)
        ascii = ascii && c.unicode() < 0x80;
    if (ascii) {
        writeMarker(MarkerASCII, quint64(string.size()));
        m_out += string.toLatin1();
        return;
    }
    writeMarker(MarkerUTF16, quint64(string.size()));
    const qsizetype start = m_out.size();
    m_out.resize(start + 2 * string.size());
    char *out = m_out.data() + start;
    for (QChar c : string) {
        *out++ = char(c.unicode() >> 8);
        *out++ = char(c.unicode() & 0xFF);
    }
}

std::optional<NVError> BinaryWriter::writeEntry(const Entry &entry)
{
    const QVariant &value = entry.value;
    switch (value.metaType().id()) {
    case QMetaType::QString:
        writeString(value.toString());
        break;
    case QMetaType::Bool:
        m_out += char(value.toBool() ? MarkerTrue : MarkerFalse);
        break;
    case QMetaType::Int:
    case QMetaType::LongLong:
        writeInteger(value.toLongLong());
        break;
    case QMetaType::UInt:
    case QMetaType::ULongLong: {
        const quint64 number = value.toULongLong();
        if (number <= quint64(std::numeric_limits<qint64>::max())) {
            writeInteger(qint64(number));
        } else {
            // Sixteen bytes keep 2^63..2^64-1 apart from the negative
            // numbers that share their low eight bytes.
            m_out += char(MarkerInt | 4);
            writeBigEndian(0, 8);
            writeBigEndian(number, 8);
        }
        break;
    }
    case QMetaType::Double:
    case QMetaType::Float:
        m_out += char(MarkerReal | 3);
        writeDouble(value.toDouble());
        break;
    case QMetaType::QDateTime:
        m_out += char(MarkerDate);
        writeDouble(double(*msecsFromDate(value.toDateTime()) - ReferenceDateMSecs) / 1000.0);
        break;
    case QMetaType::QByteArray: {
        const QByteArray data = value.toByteArray();
        writeMarker(MarkerData, quint64(data.size()));
        m_out += data;
        break;
    }
    case QMetaType::QVariantList:
    case QMetaType::QVariantMap: {
        const bool isDict = value.metaType().id() == QMetaType::QVariantMap;
        writeMarker(isDict ? MarkerDict : MarkerArray, quint64(isDict ? entry.refs.size() / 2 : entry.refs.size()));
        for (quint64 ref : entry.refs)
            writeBigEndian(ref, m_refSize);
        break;
    }
    default:
        return writeError(unwritableTypeReason(value));
    }
    return std::nullopt;
}

NVResult<QByteArray> BinaryWriter::run(const QVariant &value)
{
    quint64 top;
    if (auto failed = flatten(value, top))
        return *failed;
    m_refSize = bytesFor(m_entries.size() - 1);

    m_out = QByteArray("bplist00");
    std::vector<quint64> offsets;
    offsets.reserve(m_entries.size());
    for (const Entry &entry : m_entries) {
        offsets.push_back(quint64(m_out.size()));
        if (auto failed = writeEntry(entry))
            return *failed;
    }
    const quint64 tableOffset = quint64(m_out.size());
    const int offsetSize = bytesFor(tableOffset);
    for (quint64 offset : offsets)
        writeBigEndian(offset, offsetSize);

    m_out.append(6, '\0');
    m_out += char(offsetSize);
    m_out += char(m_refSize);
    writeBigEndian(m_entries.size(), 8);
    writeBigEndian(top, 8);
    writeBigEndian(tableOffset, 8);
    return std::move(m_out);
}

} // namespace

NVResult<QVariant> readBinary(const QByteArray &data, const Limits &limits)
{
    if (data.size() > limits.maxBytes)
        return tooLargeError(data.size(), limits);
    return BinaryReader(data, limits).run();
}

namespace detail {

NVResult<QByteArray> writeBinary(const QVariant &value) { return BinaryWriter().run(value); }

} // namespace detail

} // namespace NVPropertyList
