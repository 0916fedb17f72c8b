#include "model/NVSUVersion.h"

#include "platform/NVBundle.h"
#include "foundation/NVValue.h"
#include "foundation/NVPrecondition.h"

#include <limits>

namespace {

// Version texts are read as UTF-8 into a buffer of 512 bytes with its
// terminating zero; a text that does not fit reads as no version at all.
constexpr qsizetype MaximumUTF8Length = 511;

bool fitsVersionBuffer(QStringView text)
{
    // Every UTF-16 unit needs at most three UTF-8 bytes (a surrogate pair,
    // two units, needs four), so short texts need no counting.
    if (text.size() * 3 <= MaximumUTF8Length)
        return true;
    if (text.size() > MaximumUTF8Length)
        return false;
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (u < 0x80) {
            bytes += 1;
        } else if (u < 0x800) {
            bytes += 2;
        } else if (QChar::isHighSurrogate(u) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
            bytes += 4;
            ++i;
        } else {
            bytes += 3; // including a lone surrogate, written as a replacement character
        }
        if (bytes > MaximumUTF8Length)
            return false;
    }
    return true;
}

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads the ASCII digit run at position i, if any, and moves i past it.
bool readDigitRun(QStringView text, qsizetype &i, qint32 &value)
{
    const qsizetype start = i;
    qint64 accumulated = 0;
    while (i < text.size() && isDigit(text[i].unicode())) {
        // Saturate instead of overflowing: an absurd build number still ranks
        // above every sensible one.
        if (accumulated <= std::numeric_limits<qint32>::max())
            accumulated = accumulated * 10 + (text[i].unicode() - u'0');
        ++i;
    }
    if (i == start)
        return false;
    value = accumulated > std::numeric_limits<qint32>::max() ? std::numeric_limits<qint32>::max() : qint32(accumulated);
    return true;
}

char16_t at(QStringView text, qsizetype i) { return i < text.size() ? text[i].unicode() : u'\0'; }

char16_t asciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + (u'a' - u'A')) : c; }

NVComparisonResult sign(qint32 difference)
{
    return difference < 0 ? NVOrderedAscending : (difference > 0 ? NVOrderedDescending : NVOrderedSame);
}

} // namespace

NVSUVersion::NVSUVersion(const QString &versionNumber, const QString &displayName)
{
    NV_PRECONDITION(!versionNumber.isNull(),
                    QStringLiteral("-[NVSUVersion initWithVersionNumber:displayName:] invoked with versionNumber == nil"));
    m_versionNumber = versionNumber;
    m_displayName = displayName.isNull() ? versionNumber : displayName;
    m_components = parseVersionNumber(m_versionNumber);
    // Log lines print the description of nearly every version the selection
    // sees, often more than once.
    if (m_displayName == m_versionNumber) {
        m_description = m_displayName;
    } else {
        m_description.reserve(m_displayName.size() + m_versionNumber.size() + 3);
        m_description += m_displayName;
        m_description += QLatin1String(" (");
        m_description += m_versionNumber;
        m_description += u')';
    }
}

std::optional<NVSUVersion> NVSUVersion::versionWithVersionNumber(const QString &versionNumber, const QString &displayName)
{
    if (versionNumber.isNull())
        return std::nullopt;
    return NVSUVersion(versionNumber, displayName);
}

NVSUVersion NVSUVersion::systemVersion()
{
    // Asked for once or twice per feed entry; the text is made again only
    // when the version changed (which only a test does).
    thread_local std::optional<NVVersionNumber> lastNumber;
    thread_local std::optional<NVSUVersion> lastVersion;
    const NVVersionNumber current = NVVersionNumber::currentSystemVersion();
    if (!lastNumber || !lastNumber->isEqual(current)) {
        lastNumber = current;
        lastVersion = NVSUVersion(current.versionString());
    }
    return *lastVersion;
}

std::optional<NVSUVersion> NVSUVersion::installedVersion()
{
    // One look at the information dictionary (a shared copy) serves both keys.
    const QVariantMap info = NVBundle::mainBundle()->infoDictionary();
    const QVariant version = info.value(QStringLiteral("CFBundleVersion"));
    // A number written where a string belongs (CFBundleVersion = 6400 as an
    // integer) still names that version; anything else names none.
    QString number;
    if (NVValue::isString(version))
        number = *static_cast<const QString *>(version.constData());
    else if (NVValue::isNumber(version) && !NVValue::isBoolean(version))
        number = NVValue::description(version);
    else
        return std::nullopt;
    const QVariant shortVersion = info.value(QStringLiteral("CFBundleShortVersionString"));
    QString displayName;
    if (NVValue::isString(shortVersion))
        displayName = *static_cast<const QString *>(shortVersion.constData());
    else if (NVValue::isNumber(shortVersion) && !NVValue::isBoolean(shortVersion))
        displayName = NVValue::description(shortVersion);

    // The selection asks once per feed entry; while the texts stay the same
    // the version made from them last time is the same value.
    thread_local std::optional<NVSUVersion> last;
    const QString &effectiveDisplayName = displayName.isNull() ? number : displayName;
    if (!last || last->m_versionNumber != number || last->m_displayName != effectiveDisplayName)
        last = NVSUVersion(number, displayName);
    return last;
}

NVSUVersion::Components NVSUVersion::parseVersionNumber(QStringView text)
{
    Components result;
    if (text.isNull() || !fitsVersionBuffer(text))
        return result;

    qsizetype i = 0;
    if (!readDigitRun(text, i, result.major))
        return result;
    if (at(text, i) == u'.') {
        ++i;
        if (!readDigitRun(text, i, result.minor))
            return result; // "5." has no beta suffix: 5.b2 is plain 5
        if (at(text, i) == u'.') {
            ++i;
            if (!readDigitRun(text, i, result.bugfix))
                return result;
        }
    }

    // The beta suffix may follow any complete component: 5b2, 1.2b3, 1.2.3 Beta4.
    while (at(text, i) == u' ')
        ++i;
    if (at(text, i) == u'b' || at(text, i) == u'B') {
        ++i;
        if (asciiLower(at(text, i)) == u'e' && asciiLower(at(text, i + 1)) == u't' && asciiLower(at(text, i + 2)) == u'a')
            i += 3;
    }
    qint32 beta = 0;
    if (readDigitRun(text, i, beta))
        result.beta = beta;
    return result;
}

NVComparisonResult NVSUVersion::compareComponents(const Components &a, const Components &b)
{
    // Digit runs are never negative, so the differences cannot overflow.
    if (a.major != b.major)
        return sign(a.major - b.major);
    if (a.minor != b.minor)
        return sign(a.minor - b.minor);
    if (a.bugfix != b.bugfix)
        return sign(a.bugfix - b.bugfix);
    if (a.beta == 0)
        return b.beta == 0 ? NVOrderedSame : NVOrderedDescending; // a final release beats its betas
    if (a.beta == b.beta)
        return NVOrderedSame;
    if (b.beta == 0)
        return NVOrderedAscending;
    return sign(a.beta - b.beta);
}

NVComparisonResult NVSUVersion::compareVersion(const NVSUVersion &other) const
{
    return compareComponents(m_components, other.m_components);
}

NVComparisonResult NVSUVersion::compareVersion(const std::optional<NVSUVersion> &other) const
{
    if (!other)
        return compareComponents(m_components, Components());
    return compareVersion(*other);
}
