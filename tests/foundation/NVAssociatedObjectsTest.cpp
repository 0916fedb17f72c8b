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

TEST(NVAssociatedObjects, PoliciesRetainCopyOrOnlyPoint)
{
    QObject owner;
    auto bundle = std::make_shared<Bundle>(Bundle{"/Applications/Velkin.app"});

    setAssociatedObject(&owner, bundle, &bundleKey);
    EXPECT_EQ(associatedObjectForStaticKey<Bundle>(&owner, &bundleKey), bundle);
    EXPECT_EQ(bundle.use_count(), 2); // the entry shares ownership

    QString name = "UpdateWindow";
    setAssociatedCopyOfObject(&owner, name, &nameKey);
    name = "changed afterwards";
    EXPECT_EQ(*associatedObjectForStaticKey<QString>(&owner, &nameKey), "UpdateWindow");

    Bundle plain{"/plain"};
    setAssociatedObjectUnsafeUnretained(&owner, &plain, &bundleKey);
    EXPECT_EQ(associatedObjectForStaticKey<Bundle>(&owner, &bundleKey).get(), &plain);
    EXPECT_EQ(bundle.use_count(), 1); // replacing released the retained value

    // Keys are addresses: another static with equal contents is another key,
    // and a value is read back only as the type it was stored as.
    static const char otherKey = 0;
    EXPECT_EQ(associatedObjectForStaticKey<QString>(&owner, &otherKey), nullptr);
    EXPECT_EQ(associatedObjectForStaticKey<Bundle>(&owner, &nameKey), nullptr);
}

TEST(NVAssociatedObjects, RemovalAndDestructionReleaseTheValues)
{
    auto first = std::make_shared<Bundle>();
    auto second = std::make_shared<Bundle>();
    std::weak_ptr<Bundle> firstWeak = first, secondWeak = second;
    QObject other;
    {
        QObject owner;
        setAssociatedObject(&owner, std::move(first), &bundleKey);
        setAssociatedObject(&owner, std::move(second), &nameKey);
        setAssociatedCopyOfObject(&other, QString("kept"), &nameKey);

        removeAssociatedObjectForStaticKey(&owner, &bundleKey);
        EXPECT_TRUE(firstWeak.expired());
        EXPECT_FALSE(secondWeak.expired());
        // Setting a null value is a removal too.
        setAssociatedObject(&owner, std::shared_ptr<Bundle>(), &nameKey);
        EXPECT_TRUE(secondWeak.expired());

        auto third = std::make_shared<Bundle>();
        secondWeak = third;
        setAssociatedObject(&owner, std::move(third), &nameKey);
        EXPECT_FALSE(secondWeak.expired());
    }
    // Destroying the owner released what it held, and nothing of another owner.
    EXPECT_TRUE(secondWeak.expired());
    EXPECT_EQ(*associatedObjectForStaticKey<QString>(&other, &nameKey), "kept");

    removeAllAssociatedObjects(&other);
    EXPECT_EQ(associatedObjectForStaticKey<QString>(&other, &nameKey), nullptr);
    // The owner remains usable after everything was removed.
    setAssociatedCopyOfObject(&other, QString("again"), &nameKey);
    EXPECT_EQ(*associatedObjectForStaticKey<QString>(&other, &nameKey), "again");
}

TEST(NVAssociatedObjects, ClassesHaveValuesOfTheirOwn)
{
    QObject instance;
    setAssociatedCopyOfObject(&QObject::staticMetaObject, QString("class"), &nameKey);
    setAssociatedCopyOfObject(&instance, QString("instance"), &nameKey);
    EXPECT_EQ(*associatedObjectForStaticKey<QString>(&QObject::staticMetaObject, &nameKey), "class");
    EXPECT_EQ(*associatedObjectForStaticKey<QString>(&instance, &nameKey), "instance");
    removeAllAssociatedObjects(&QObject::staticMetaObject);
    EXPECT_EQ(associatedObjectForStaticKey<QString>(&QObject::staticMetaObject, &nameKey), nullptr);
    EXPECT_EQ(*associatedObjectForStaticKey<QString>(&instance, &nameKey), "instance");
}

// A value whose destruction uses associated values itself, as an object
// owning other objects does: releasing must not happen under the table's lock.
struct Reentrant {
    QObject *other;
    ~Reentrant() { setAssociatedCopyOfObject(other, QString("set while releasing"), &nameKey); }
};

TEST(NVAssociatedObjects, ReleasingAValueMayUseAssociatedValues)
{
    QObject other;
    {
        QObject owner;
        setAssociatedObject(&owner, std::make_shared<Reentrant>(Reentrant{&other}), &bundleKey);
        auto replaced = std::make_shared<Reentrant>(Reentrant{&other});
        setAssociatedObject(&other, replaced, &bundleKey);
        replaced.reset();
        removeAllAssociatedObjects(&other); // releases while the owner is being cleared
    }
    EXPECT_EQ(*associatedObjectForStaticKey<QString>(&other, &nameKey), "set while releasing");
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
                ASSERT_TRUE(value);
                ASSERT_EQ(*value, t * 100000 + i);
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    for (int t = 0; t < 8; ++t)
        EXPECT_EQ(*associatedObjectForStaticKey<int>(&owner, &keys[t]), t * 100000 + 1999);
}

} // namespace
