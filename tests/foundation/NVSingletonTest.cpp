#include "foundation/NVSingleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

class NVSlowSingleton : public NVSingleton {
public:
    static constexpr int Threads = 16;
    static inline std::atomic<int> constructions{0}, requesting{0};
    int value = 0;

    NVSlowSingleton()
    {
        ++constructions;
        // Built only once every thread has asked for the instance, so that
        // all of them race for it (at most ten seconds).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (requesting < Threads && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
    }

protected:
    // Run exactly once, it leaves 42.
    void initSharedInstance() override { value += 42; }
};

namespace {

TEST(NVSingleton, ConcurrentFirstRequestsCreateOneInstance)
{
    std::vector<NVSlowSingleton *> seen(NVSlowSingleton::Threads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < NVSlowSingleton::Threads; ++i) {
        threads.emplace_back([&, i] {
            ++NVSlowSingleton::requesting;
            seen[i] = &NVSingleton::sharedInstance<NVSlowSingleton>();
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(NVSlowSingleton::constructions.load(), 1);
    for (NVSlowSingleton *instance : seen)
        EXPECT_EQ(instance, seen.front());
    EXPECT_EQ(seen.front()->value, 42);
}

} // namespace
