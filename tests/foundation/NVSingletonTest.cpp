#include "foundation/NVSingleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

// Outside an anonymous namespace so that death messages name them plainly.
class NVSlowSingleton : public NVSingleton {
public:
    static inline std::atomic<int> constructions{0};
    static inline std::atomic<int> initialisations{0};
    int value = 0;

    NVSlowSingleton()
    {
        ++constructions;
        // Long enough for every other thread to arrive while it is built.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

protected:
    void initSharedInstance() override
    {
        ++initialisations;
        value = 42;
    }
};

class NVDerivedSingleton : public NVSlowSingleton {};

class NVSelfRequestingSingleton : public NVSingleton {
public:
    NVSelfRequestingSingleton() { NVSingleton::sharedInstance<NVSelfRequestingSingleton>(); }
};

class NVOtherUsingSingleton : public NVSingleton {
public:
    NVOtherUsingSingleton() : other(&NVSingleton::sharedInstance<NVSlowSingleton>()) {}
    NVSlowSingleton *other;
};

namespace {

TEST(NVSingleton, ConcurrentFirstRequestsCreateOneInstance)
{
    constexpr int threadCount = 16;
    std::latch go(1);
    std::vector<NVSlowSingleton *> seen(threadCount, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([&, i] {
            go.wait();
            seen[i] = &NVSingleton::sharedInstance<NVSlowSingleton>();
        });
    }
    go.count_down();
    for (auto &thread : threads)
        thread.join();

    EXPECT_EQ(NVSlowSingleton::constructions.load(), 1);
    EXPECT_EQ(NVSlowSingleton::initialisations.load(), 1);
    for (NVSlowSingleton *instance : seen)
        EXPECT_EQ(instance, seen.front());
    EXPECT_EQ(seen.front()->value, 42);
    EXPECT_EQ(&NVSingleton::sharedInstance<NVSlowSingleton>(), seen.front());
}

TEST(NVSingleton, ADerivedClassHasItsOwnInstance)
{
    NVSlowSingleton &base = NVSingleton::sharedInstance<NVSlowSingleton>();
    NVDerivedSingleton &derived = NVSingleton::sharedInstance<NVDerivedSingleton>();
    EXPECT_NE(static_cast<NVSlowSingleton *>(&derived), &base);
    EXPECT_EQ(&NVSingleton::sharedInstance<NVDerivedSingleton>(), &derived);
    EXPECT_EQ(NVSlowSingleton::constructions.load(), 2);
}

TEST(NVSingleton, ASingletonMayUseAnotherWhileBeingCreated)
{
    NVOtherUsingSingleton &user = NVSingleton::sharedInstance<NVOtherUsingSingleton>();
    EXPECT_EQ(user.other, &NVSingleton::sharedInstance<NVSlowSingleton>());
}

TEST(NVSingletonDeathTest, MisuseEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    NVSingleton::sharedInstance<NVSlowSingleton>();
    EXPECT_DEATH({ NVSlowSingleton second; }, "a second instance of a singleton class was constructed");
    EXPECT_DEATH({ auto *extra = new NVDerivedSingleton; (void)extra; }, "a second instance of a singleton class");
    EXPECT_DEATH({ delete &NVSingleton::sharedInstance<NVSlowSingleton>(); }, "-\\[NVSlowSingleton dealloc\\] called");
    EXPECT_DEATH(NVSingleton::sharedInstance<NVSelfRequestingSingleton>(),
                 "-\\[NVSelfRequestingSingleton sharedInstance\\]: requested while it is being created");
}

} // namespace
