#pragma once

#include <functional>

// Held while work runs that quitting must not cut in two: the bundle
// replacement, whose two renames must both happen or neither. A termination
// asked for while a guard is held (a signal, the quit timer) waits until the
// last guard is released and then runs on the main thread.
class NVTerminationGuard {
public:
    // Any thread.
    NVTerminationGuard();
    // Any thread. Releasing the last guard posts the terminations that were
    // waiting to the main thread's event loop.
    ~NVTerminationGuard();
    NVTerminationGuard(const NVTerminationGuard &) = delete;
    NVTerminationGuard &operator=(const NVTerminationGuard &) = delete;

    // Whether any guard is held. Any thread.
    static bool isHeld();
    // Runs `termination` now when no guard is held; otherwise on the main
    // thread, from the event loop, once the last guard is released. Main
    // thread.
    static void whenReleased(std::function<void()> termination);
};
