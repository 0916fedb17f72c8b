#pragma once

#include "foundation/NVError.h"
#include "foundation/NVValue.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <concepts>
#include <memory>
#include <type_traits>

// The one formatter for the program's printf-style texts (log lines, string
// tables, error descriptions). It understands
//   %@ (any value's description), %d %i %u %o %x %X %c %s %f %F %e %E %g %G %%,
//   the flags "-+ #0", width and precision, the length modifiers
//   hh h l ll q z j t L, and positional forms such as %1$@ and %2$lu.
// Arguments are QVariants, so a specifier never reads memory it was not
// given: a missing argument prints "(null)", an argument of the wrong kind
// (a string for %d, a number for %s) prints its description, and both are
// reported. All functions are pure and thread-safe.
namespace NVFormat {

struct Result {
    QString text;
    QStringList problems; // one readable line per mismatch, empty when all is well
};

Result formatChecked(QStringView format, const QVariantList &arguments);

// Formats and reports any problem as a warning on the "nv.format" category.
QString format(QStringView format, const QVariantList &arguments);

// Counts the arguments a format consumes and the type each needs, in order:
// '@' for %@, 'd' for signed, 'u' for unsigned integers, 'f' for floating
// point, 's' for strings, 'c' for characters. String tables use it to check
// that a translation carries its key's specifiers.
QString specifierSignature(QStringView format);

// Turns any C++ argument into the QVariant the formatter reads. Objects with
// a description() member print that description; pointers to them print
// "(null)" when null.
template <typename T>
QVariant argument(const T &value)
{
    using D = std::decay_t<T>;
    if constexpr (std::is_same_v<D, QVariant>)
        return value;
    else if constexpr (std::is_array_v<T>)
        return QVariant(QString::fromUtf8(value));
    else if constexpr (std::is_same_v<D, bool>)
        return QVariant(value);
    else if constexpr (std::is_same_v<D, char>)
        return QVariant(qint64(value));
    else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>)
        return QVariant(qint64(value));
    else if constexpr (std::is_integral_v<D>)
        return QVariant(quint64(value));
    else if constexpr (std::is_enum_v<D>)
        return QVariant(qint64(value));
    else if constexpr (std::is_floating_point_v<D>)
        return QVariant(double(value));
    else if constexpr (std::is_same_v<D, const char *> || std::is_same_v<D, char *>)
        return value ? QVariant(QString::fromUtf8(value)) : QVariant();
    else if constexpr (std::is_same_v<D, NVError>)
        return QVariant::fromValue(value);
    else if constexpr (std::is_constructible_v<QString, const D &> && !std::is_same_v<D, QByteArray>)
        return QVariant(QString(value));
    else if constexpr (requires { value.description(); })
        return QVariant(QString(value.description()));
    else if constexpr (std::is_pointer_v<D> && requires { value->description(); })
        return value ? QVariant(QString(value->description())) : QVariant();
    else if constexpr (requires { value.get(); value->description(); })
        return value ? QVariant(QString(value->description())) : QVariant();
    else
        return QVariant::fromValue(value);
}

template <typename... Args>
QString format(QStringView fmt, const Args &...args)
{
    return format(fmt, QVariantList{argument(args)...});
}

template <typename... Args>
QString format(const char *fmt, const Args &...args)
{
    return format(QStringView(QString::fromUtf8(fmt)), QVariantList{argument(args)...});
}

} // namespace NVFormat
