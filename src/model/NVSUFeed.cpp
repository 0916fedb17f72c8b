#include "model/NVSUFeed.h"

#include "foundation/NVPropertyList.h"
#include "foundation/NVValue.h"

namespace NVSUFeed {

NVResult<QVariantList> readEntries(const QByteArray &data)
{
    NVResult<QVariant> root = NVPropertyList::read(data);
    if (!root)
        return root.error();
    if (NVValue::isArray(*root))
        return root->toList();
    // A feed that offers a single version may write just its dictionary.
    if (NVValue::isDictionary(*root))
        return QVariantList{*root};
    return NVError::withDescription(NSCocoaErrorDomain, NotAnArrayErrorCode,
                                    QStringLiteral("Received property list is not an array"));
}

} // namespace NVSUFeed
