#include "platform/NVTerminationGuard.h"
#include "platform/NVTerminationSignals.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QList>

#include <atomic>
#include <csignal>
#include <thread>

// Each of the three signals asks for termination once; the termination runs
// at once, except while a guard is held (the bundle replacement): then only
// after the guard's holder has finished its work and let go.
TEST(NVTerminationSignalsTest, SignalsTerminateExceptWhileTheGuardIsHeld)
{
    NVTerminationSignals terminationSignals;
    QList<int> requested;
    int terminations = 0;
    std::atomic<bool> swapDone{false};
    bool swapDoneAtTermination = false;
    QObject::connect(&terminationSignals, &NVTerminationSignals::terminationRequested, [&](int signal) {
        requested << signal;
        NVTerminationGuard::whenReleased([&] {
            ++terminations;
            swapDoneAtTermination = swapDone;
        });
    });

    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        ::raise(signal);
        ASSERT_TRUE(TestSupport::waitFor([&] { return !requested.isEmpty() && requested.last() == signal; }));
        EXPECT_EQ(terminations, requested.size()) << "no guard: at once";
    }

    std::atomic<bool> holding{false};
    std::atomic<bool> finishSwap{false};
    std::thread replacement([&] {
        NVTerminationGuard guard;
        holding = true;
        while (!finishSwap)
            std::this_thread::yield();
        swapDone = true;
    });
    ASSERT_TRUE(TestSupport::waitFor([&] { return holding.load(); }));
    EXPECT_TRUE(NVTerminationGuard::isHeld());
    ::raise(SIGTERM);
    ASSERT_TRUE(TestSupport::waitFor([&] { return requested.size() == 4; }));
    EXPECT_EQ(terminations, 3) << "held while the replacement runs";
    finishSwap = true;
    replacement.join();
    ASSERT_TRUE(TestSupport::waitFor([&] { return terminations == 4; }));
    EXPECT_TRUE(swapDoneAtTermination);
}
