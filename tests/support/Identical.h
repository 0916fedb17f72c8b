#pragma once

#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <algorithm>
#include <cmath>

// Equal in type and value, as property lists promise to keep values:
// QVariant's own == would call 5 and 5.0, or -1 and 2^64-1 under some
// conversions, the same. NaN equals NaN; 0.0 differs from -0.0. Shared by the
// tests and the property-list fuzz target.
inline bool identical(const QVariant &a, const QVariant &b)
{
    if (a.metaType() != b.metaType())
        return false;
    // A dictionary compares as its keys and values in key order.
    const auto parts = [](const QVariant &v) {
        if (v.metaType().id() == QMetaType::QVariantList)
            return v.toList();
        QVariantList out;
        const QVariantMap map = v.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            out << it.key() << it.value();
        return out;
    };
    switch (a.metaType().id()) {
    case QMetaType::Double: {
        const double x = a.toDouble(), y = b.toDouble();
        return (std::isnan(x) && std::isnan(y)) || (x == y && std::signbit(x) == std::signbit(y));
    }
    case QMetaType::QVariantList:
    case QMetaType::QVariantMap: {
        const QVariantList l = parts(a), r = parts(b);
        return std::equal(l.begin(), l.end(), r.begin(), r.end(), identical);
    }
    default:
        return a == b;
    }
}
