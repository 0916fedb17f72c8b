#include "app/NVSUSchedule.h"

#include "foundation/NVValue.h"
#include "platform/NVClock.h"
#include "platform/NVUserDefaults.h"


#include <cmath>
#include <cstdlib>

namespace {

constexpr double kDefaultCheckInterval = 86400.0;
constexpr double kMinimumCheckInterval = 43200.0;
constexpr double kMinimumRetryInterval = 3600.0;
// Far enough to mean "never" and near enough for date arithmetic: about
// three million years.
constexpr double kLongestInterval = 1e14;

QDateTime distantPast() { return QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC); }

} // namespace

NVSUSchedule::NVSUSchedule(NVUserDefaults &userDefaults, NVClock &clock, QObject *parent)
    : QObject(parent), m_userDefaults(userDefaults), m_clock(clock)
{
    m_userDefaults.registerDefaults({{SoftwareUpdateCheckIntervalKey, kDefaultCheckInterval}, {SoftwareUpdateCheckAutomaticallyKey, true}});
    updateNextCheckDate();
    for (const QString &key : {SoftwareUpdateLastCheckKey, SoftwareUpdateLastCheckFailedKey, SoftwareUpdateCheckIntervalKey,
                               SoftwareUpdateCheckAutomaticallyKey})
        m_userDefaults.observe(key, this, [this] { updateNextCheckDate(); });
}

void NVSUSchedule::noteUpdateCheckDidStart()
{
    m_userDefaults.setObject(m_clock.now(), SoftwareUpdateLastCheckKey);
    m_userDefaults.removeObject(SoftwareUpdateLastCheckFailedKey);
}

void NVSUSchedule::noteUpdateCheckFailed()
{
    m_userDefaults.setBool(true, SoftwareUpdateLastCheckFailedKey);
}

QDateTime NVSUSchedule::computeNextCheckDate() const
{
    if (!m_userDefaults.boolForKey(SoftwareUpdateCheckAutomaticallyKey))
        return QDateTime();
    const QVariant stored = m_userDefaults.objectForKey(SoftwareUpdateLastCheckKey);
    QDateTime last = NVValue::isDate(stored) ? stored.toDateTime() : QDateTime();
    if (!last.isValid())
        last = distantPast();
    const bool failed = m_userDefaults.boolForKey(SoftwareUpdateLastCheckFailedKey);
    // fmax answers the bound for a stored value that is not a number.
    double interval = failed ? std::fmax(m_userDefaults.doubleForKey(SoftwareUpdateCheckRetryIntervalKey), kMinimumRetryInterval)
                             : std::fmax(m_userDefaults.doubleForKey(SoftwareUpdateCheckIntervalKey), kMinimumCheckInterval);
    interval = std::fmin(interval, kLongestInterval);
    // random() is never seeded: each process draws the same sequence, which
    // still spreads installations started at different times.
    const long offset = long(::random() & 1023) - 512;
    interval += double(offset);
    return last.addMSecs(qint64(std::llround(interval * 1000.0)));
}

void NVSUSchedule::updateNextCheckDate()
{
    const QDateTime date = computeNextCheckDate();
    if (date.isValid() == m_nextCheckDate.isValid() && (!date.isValid() || date == m_nextCheckDate))
        return;
    m_nextCheckDate = date;
    Q_EMIT nextCheckDateChanged(m_nextCheckDate);
}
