#include "foundation/NVAssociatedObjects.h"

#include <QObject>
#include <QString>

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

using namespace NVAssociatedObjects;

namespace {

const char nameKey = 0;
const char bundleKey = 0;

struct Bundle { QString path; };

TEST(NVAssociatedObjects, RetainedAndCopiedValuesAreFoundByKeyAndType)
{
    QObject owner;
    auto bundle = std::make_shared<Bundle>(Bundle{"/Applications/Velkin.app"});
    setAssociatedObject(&owner, bundle, &bundleKey);
    EXPECT_EQ(associatedObjectForStaticKey<Bundle>(&owner, &bundleKey), bundle);

    QString name = "UpdateWindow";
    setAssociatedCopyOfObject(&owner, name, &nameKey);
    name = "changed afterwards";
    EXPECT_EQ(*associatedObjectForStaticKey<QString>(&owner, &nameKey), "UpdateWindow");

    // Keys are addresses, and a value is read back only as its own type.
    static const char otherKey = 0;
    EXPECT_EQ(associatedObjectForStaticKey<QString>(&owner, &otherKey), nullptr);
    EXPECT_EQ(associatedObjectForStaticKey<Bundle>(&owner, &nameKey), nullptr);
    // Classes have values of their own.
    setAssociatedCopyOfObject(&QObject::staticMetaObject, QString("class"), &nameKey);
    EXPECT_EQ(*associatedObjectForStaticKey<QString>(&QObject::staticMetaObject, &nameKey), "class");
    EXPECT_EQ(*associatedObjectForStaticKey<QString>(&owner, &nameKey), "UpdateWindow");
    removeAllAssociatedObjects(&QObject::staticMetaObject);
    EXPECT_EQ(associatedObjectForStaticKey<QString>(&QObject::staticMetaObject, &nameKey), nullptr);
}

// A value whose destruction uses associated values itself: releasing must
// not happen under the table's lock.
struct Reentrant {
    QObject *other;
    ~Reentrant() { setAssociatedCopyOfObject(other, QString("set while releasing"), &nameKey); }
};

TEST(NVAssociatedObjects, RemovalAndDestructionReleaseTheValues)
{
    auto first = std::make_shared<Bundle>();
    std::weak_ptr<Bundle> firstWeak = first;
    QObject other;
    {
        QObject owner;
        setAssociatedObject(&owner, std::move(first), &bundleKey);
        setAssociatedObject(&owner, std::make_shared<Reentrant>(&other), &nameKey);
        setAssociatedObject(&owner, std::shared_ptr<Bundle>(), &bundleKey); // a null value removes
        EXPECT_TRUE(firstWeak.expired());
        EXPECT_EQ(associatedObjectForStaticKey<QString>(&other, &nameKey), nullptr);
    }
    EXPECT_EQ(*associatedObjectForStaticKey<QString>(&other, &nameKey), "set while releasing");
    removeAllAssociatedObjects(&other);
    EXPECT_EQ(associatedObjectForStaticKey<QString>(&other, &nameKey), nullptr);
}

TEST(NVAssociatedObjects, ThreadsMaySetAndReadConcurrently)
{
    QObject owner;
    static const char keys[8] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&owner, t] {
            for (int i = 0; i < 2000; ++i) {
                setAssociatedCopyOfObject(&owner, t * 100000 + i, &keys[t]);
                const auto value = associatedObjectForStaticKey<int>(&owner, &keys[t]);
                ASSERT_TRUE(value && *value == t * 100000 + i);
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
}

} // namespace
