#include "foundation/NVSingleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

class NVSlowSingleton : public NVSingleton {
public:
    static inline std::atomic<int> constructions{0}, initialisations{0}, requesting{0}, awaited{0};
    int value = 0;

    NVSlowSingleton()
    {
        ++constructions;
        // Built only once every awaited thread has asked for the instance,
        // so that all of them race for it (at most ten seconds).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (requesting < awaited && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
    }

protected:
    void initSharedInstance() override
    {
        ++initialisations;
        value = 42;
    }
};

namespace {

TEST(NVSingleton, ConcurrentFirstRequestsCreateOneInstance)
{
    constexpr int threadCount = 16;
    NVSlowSingleton::awaited = threadCount;
    std::vector<NVSlowSingleton *> seen(threadCount, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([&, i] {
            ++NVSlowSingleton::requesting;
            seen[i] = &NVSingleton::sharedInstance<NVSlowSingleton>();
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(NVSlowSingleton::constructions.load(), 1);
    EXPECT_EQ(NVSlowSingleton::initialisations.load(), 1);
    for (NVSlowSingleton *instance : seen)
        EXPECT_EQ(instance, seen.front());
    EXPECT_EQ(seen.front()->value, 42);
}

} // namespace
