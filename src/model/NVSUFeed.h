#pragma once

#include "foundation/NVError.h"

#include <QByteArray>
#include <QVariantList>

// The update feed: a property list (XML or binary) whose root is an array of
// update dictionaries. Entries are not judged here; the selection skips the
// ones it cannot use one by one.
namespace NVSUFeed {

// The code of the error for a feed whose root is neither an array nor a
// dictionary, in the domain "NSCocoaErrorDomain".
inline constexpr qint64 NotAnArrayErrorCode = 259;

// Reads the feed's bytes into its entries. A dictionary root is one entry. A
// document that does not parse fails with the property-list reader's error;
// any other root fails with NotAnArrayErrorCode and the description
// "Received property list is not an array". Any thread; the bytes may come
// from anyone.
NVResult<QVariantList> readEntries(const QByteArray &data);

} // namespace NVSUFeed
