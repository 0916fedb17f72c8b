#include "foundation/NVAssociatedObjects.h"

#include <QObject>
#include <QString>

#include <gtest/gtest.h>

#include <memory>

using namespace NVAssociatedObjects;

namespace {

const char nameKey = 0;
const char bundleKey = 0;

struct Bundle { QString path; };

// A value whose destruction uses associated values itself: releasing must
// not happen under the table's lock.
struct Reentrant {
    QObject *other;
    ~Reentrant() { setAssociatedCopyOfObject(other, QString("set while releasing"), &nameKey); }
};

TEST(NVAssociatedObjects, ValuesAreFoundByKeyAndTypeAndReleasedOutsideTheLock)
{
    auto first = std::make_shared<Bundle>(Bundle{"/Applications/Velkin.app"});
    std::weak_ptr<Bundle> firstWeak = first;
    QObject other;
    {
        QObject owner;
        setAssociatedObject(&owner, first, &bundleKey);
        EXPECT_EQ(associatedObjectForStaticKey<Bundle>(&owner, &bundleKey), first);
        // Keys are addresses, and a value is read back only as its own type.
        EXPECT_EQ(associatedObjectForStaticKey<QString>(&owner, &bundleKey), nullptr);
        first.reset();
        setAssociatedObject(&owner, std::make_shared<Reentrant>(&other), &nameKey);
        setAssociatedObject(&owner, std::shared_ptr<Bundle>(), &bundleKey); // a null value removes
        EXPECT_TRUE(firstWeak.expired());
        EXPECT_EQ(associatedObjectForStaticKey<QString>(&other, &nameKey), nullptr);
    }
    EXPECT_EQ(*associatedObjectForStaticKey<QString>(&other, &nameKey), "set while releasing");
    removeAllAssociatedObjects(&other);
    EXPECT_EQ(associatedObjectForStaticKey<QString>(&other, &nameKey), nullptr);
}

} // namespace
