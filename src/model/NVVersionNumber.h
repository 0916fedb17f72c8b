#pragma once

#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <functional>
#include <optional>

// The result of ordering two versions: the receiver is the smaller version
// (-1), the same (0), or the larger one (+1).
enum NVComparisonResult : int {
    NVOrderedAscending = -1,
    NVOrderedSame = 0,
    NVOrderedDescending = 1,
};

// A numeric version major.minor.bugfix, three unsigned 64-bit fields. It
// carries the running system's version (the GNU C library's: whether a Linux
// build runs depends on it) and offers parsing, a packed integer form and
// ordering.
//
// An immutable value: copies are indistinguishable from the original, and
// every member is thread-safe.
//
// Ordering goes through the packed integer, in which minor and bugfix are
// reduced modulo 1000; equality uses the fields as stored. So 1.1000 orders
// the same as 1.0 but is not equal to it.
class NVVersionNumber final {
public:
    // 0.0.0. Any thread.
    NVVersionNumber() = default;
    // Stores the three fields unchanged. Any thread.
    NVVersionNumber(quint64 major, quint64 minor, quint64 bugfix) : m_major(major), m_minor(minor), m_bugfix(bugfix) {}

    // Splits at every "." (empty components count); one to three components
    // give major, minor and bugfix, each read by the platform's integerValue
    // rule (leading blanks, a sign, digits up to the first non-digit, the
    // nearest signed 64-bit limit beyond the range) and stored as unsigned, so
    // -1 becomes 2^64 - 1. Any other number of components, or a null string,
    // gives nothing. Any thread.
    static std::optional<NVVersionNumber> versionNumberWithVersionString(const QString &versionString);
    // major = v / 1000000, minor = (v mod 1000000) / 1000, bugfix = v mod 1000. Any thread.
    static NVVersionNumber versionNumberWithVersionInteger(quint64 versionInteger);
    static NVVersionNumber versionNumberWithMajor(quint64 major, quint64 minor, quint64 bugfix)
    {
        return NVVersionNumber(major, minor, bugfix);
    }

    // Parses both strings and compares a against b. An unparsable a gives
    // NVOrderedSame; an unparsable b compares a against the packed value 0.
    // Any thread.
    static NVComparisonResult compareVersionString(const QString &a, const QString &b);

    // The version of the running GNU C library (gnu_get_libc_version(), for
    // example 2.36 -> 2.36.0), read once per process; 0.0.0 when it cannot be
    // read. Any thread.
    static NVVersionNumber currentSystemVersion();
    // Tests only: makes currentSystemVersion() answer version from now on;
    // nullopt goes back to the real one. Any thread.
    static void setCurrentSystemVersionForTesting(std::optional<NVVersionNumber> version);

    quint64 major() const { return m_major; }
    quint64 minor() const { return m_minor; }
    quint64 bugfix() const { return m_bugfix; }

    // major * 1000000 + (minor mod 1000) * 1000 + (bugfix mod 1000), wrapping
    // modulo 2^64. Any thread.
    quint64 versionInteger() const
    {
        return m_major * 1000000u + (m_minor % 1000u) * 1000u + (m_bugfix % 1000u);
    }
    // "major.minor.bugfix", or "major.minor" when bugfix is 0 (10.0, never 10).
    // Any thread.
    QString versionString() const;
    QString description() const { return versionString(); }

    // Orders by versionInteger(), compared as unsigned. Any thread.
    NVComparisonResult compare(const NVVersionNumber &other) const
    {
        const quint64 a = versionInteger();
        const quint64 b = other.versionInteger();
        return a > b ? NVOrderedDescending : (a < b ? NVOrderedAscending : NVOrderedSame);
    }

    // Equality of the unreduced fields. Any thread.
    bool isEqual(const NVVersionNumber &other) const
    {
        return m_major == other.m_major && m_minor == other.m_minor && m_bugfix == other.m_bugfix;
    }
    bool operator==(const NVVersionNumber &other) const { return isEqual(other); }

    // Consistent with isEqual(). Any thread.
    quint64 hash() const;

private:
    quint64 m_major = 0;
    quint64 m_minor = 0;
    quint64 m_bugfix = 0;
};

inline size_t qHash(const NVVersionNumber &version, size_t seed = 0) noexcept
{
    return size_t(version.hash()) ^ seed;
}

template <>
struct std::hash<NVVersionNumber> {
    size_t operator()(const NVVersionNumber &version) const noexcept { return size_t(version.hash()); }
};
