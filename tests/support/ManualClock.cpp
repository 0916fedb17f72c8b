#include "ManualClock.h"

class ManualTimer final : public NVTimer {
public:
    ManualTimer(ManualClock *clock, quint64 id) : m_clock(clock), m_id(id) {}
    ~ManualTimer() override { m_clock->m_timers.erase(m_id); }

private:
    ManualClock *m_clock;
    quint64 m_id;
};

std::unique_ptr<NVTimer> ManualClock::startTimer(std::chrono::milliseconds interval, bool repeats, std::function<void()> callback)
{
    const quint64 id = m_next++;
    m_timers[id] = Entry{m_now.addMSecs(interval.count()), interval, repeats, std::move(callback)};
    return std::make_unique<ManualTimer>(this, id);
}

void ManualClock::advance(std::chrono::milliseconds by)
{
    const QDateTime end = m_now.addMSecs(by.count());
    for (;;) {
        auto due = m_timers.end();
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
            if (it->second.due <= end && (due == m_timers.end() || it->second.due < due->second.due))
                due = it;
        }
        if (due == m_timers.end())
            break;
        m_now = due->second.due;
        const std::function<void()> callback = due->second.callback;
        if (due->second.repeats)
            due->second.due = m_now.addMSecs(std::max<qint64>(1, due->second.interval.count()));
        else
            m_timers.erase(due);
        // The callback may stop or start timers, this one included.
        callback();
    }
    m_now = end;
}
