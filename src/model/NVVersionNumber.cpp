#include "model/NVVersionNumber.h"

#include "foundation/NVValue.h"

#include <QStringView>

#include <gnu/libc-version.h>

#include <mutex>

namespace {

quint64 componentValue(QStringView component)
{
    // The signed reading is stored as it is, so "-1" becomes 2^64 - 1.
    return quint64(NVValue::integerValue(component));
}

// A 64-bit finaliser: each field hashes on its own, and the three are
// combined by XOR, so equal versions always hash equal.
quint64 mix(quint64 x)
{
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

struct SystemVersionState {
    std::mutex mutex;
    std::optional<NVVersionNumber> overridden;
};

SystemVersionState &systemVersionState()
{
    static SystemVersionState state;
    return state;
}

NVVersionNumber runningLibraryVersion()
{
    // The C library cannot change while the process runs, so it is read once.
    static const NVVersionNumber version = [] {
        const char *text = gnu_get_libc_version();
        if (!text)
            return NVVersionNumber();
        return NVVersionNumber::versionNumberWithVersionString(QString::fromLatin1(text)).value_or(NVVersionNumber());
    }();
    return version;
}

} // namespace

std::optional<NVVersionNumber> NVVersionNumber::versionNumberWithVersionString(const QString &versionString)
{
    if (versionString.isNull())
        return std::nullopt;
    const QStringView text(versionString);
    // Count the components first: four or more fail without reading any.
    const qsizetype dots = text.count(u'.');
    if (dots > 2)
        return std::nullopt;
    const qsizetype first = text.indexOf(u'.');
    if (first < 0)
        return NVVersionNumber(componentValue(text), 0, 0);
    const quint64 major = componentValue(text.first(first));
    const qsizetype second = text.indexOf(u'.', first + 1);
    if (second < 0)
        return NVVersionNumber(major, componentValue(text.sliced(first + 1)), 0);
    return NVVersionNumber(major, componentValue(text.sliced(first + 1, second - first - 1)),
                           componentValue(text.sliced(second + 1)));
}

NVVersionNumber NVVersionNumber::versionNumberWithVersionInteger(quint64 versionInteger)
{
    return NVVersionNumber(versionInteger / 1000000u, (versionInteger % 1000000u) / 1000u, versionInteger % 1000u);
}

NVComparisonResult NVVersionNumber::compareVersionString(const QString &a, const QString &b)
{
    const std::optional<NVVersionNumber> first = versionNumberWithVersionString(a);
    if (!first)
        return NVOrderedSame;
    // An unparsable second version stands for the packed value 0.
    return first->compare(versionNumberWithVersionString(b).value_or(NVVersionNumber()));
}

NVVersionNumber NVVersionNumber::currentSystemVersion()
{
    {
        SystemVersionState &state = systemVersionState();
        std::lock_guard lock(state.mutex);
        if (state.overridden)
            return *state.overridden;
    }
    return runningLibraryVersion();
}

void NVVersionNumber::setCurrentSystemVersionForTesting(std::optional<NVVersionNumber> version)
{
    SystemVersionState &state = systemVersionState();
    std::lock_guard lock(state.mutex);
    state.overridden = version;
}

QString NVVersionNumber::versionString() const
{
    QString text = QString::number(m_major) + u'.' + QString::number(m_minor);
    if (m_bugfix != 0)
        text += u'.' + QString::number(m_bugfix);
    return text;
}

quint64 NVVersionNumber::hash() const { return mix(m_major) ^ mix(m_minor) ^ mix(m_bugfix); }
