#include "platform/NVClock.h"

#include <QTimer>

namespace {

class SystemTimer final : public NVTimer {
public:
    SystemTimer(std::chrono::milliseconds interval, bool repeats, std::function<void()> callback)
    {
        m_timer.setSingleShot(!repeats);
        m_timer.setTimerType(Qt::CoarseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, std::move(callback));
        m_timer.start(interval);
    }

private:
    QTimer m_timer;
};

class SystemClock final : public NVClock {
public:
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
    std::unique_ptr<NVTimer> startTimer(std::chrono::milliseconds interval, bool repeats, std::function<void()> callback) override
    {
        return std::make_unique<SystemTimer>(interval, repeats, std::move(callback));
    }
};

} // namespace

NVClock &NVClock::system()
{
    static SystemClock clock;
    return clock;
}
