#pragma once

#include <QDateTime>

#include <chrono>
#include <functional>
#include <memory>

// Time as the update flow sees it: the current date and one-shot or
// repeating timers. Runs, schedules and quit delays take a clock, so that a
// test can advance a day, or the five-minute poll, without waiting; the
// process uses the system clock, whose timers are QTimers on the main
// thread.

// A running timer; destroying it stops it.
class NVTimer {
public:
    virtual ~NVTimer() = default;
};

class NVClock {
public:
    virtual ~NVClock() = default;

    // Any thread.
    virtual QDateTime now() const = 0;
    // Calls callback after interval (and every interval after that when
    // repeating) on the main thread, from the event loop, until the returned
    // timer is destroyed. Main thread.
    virtual std::unique_ptr<NVTimer> startTimer(std::chrono::milliseconds interval, bool repeats, std::function<void()> callback) = 0;

    // The process's clock: QDateTime::currentDateTimeUtc and QTimer.
    static NVClock &system();
};
