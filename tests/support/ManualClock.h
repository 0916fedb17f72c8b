#pragma once

#include "platform/NVClock.h"

#include <QTimeZone>

#include <map>

// A clock that stands still until the test advances it; advancing fires the
// due timers in order of their due time, each at its own time.
class ManualClock final : public NVClock {
public:
    explicit ManualClock(QDateTime start = QDateTime(QDate(2026, 12, 5), QTime(12, 0), Qt::UTC)) : m_now(std::move(start)) {}

    QDateTime now() const override { return m_now; }
    std::unique_ptr<NVTimer> startTimer(std::chrono::milliseconds interval, bool repeats, std::function<void()> callback) override;

    // Moves time forward by `by`, firing every timer that comes due on the
    // way (repeating ones as often as they come due).
    void advance(std::chrono::milliseconds by);
    // Timers that are running.
    int runningTimers() const { return int(m_timers.size()); }

private:
    struct Entry {
        QDateTime due;
        std::chrono::milliseconds interval;
        bool repeats;
        std::function<void()> callback;
    };
    friend class ManualTimer;

    QDateTime m_now;
    quint64 m_next = 0;
    std::map<quint64, Entry> m_timers;
};
