#pragma once

#include <QDateTime>
#include <QObject>

#include <chrono>

class NVClock;
class NVUserDefaults;

inline const QString SoftwareUpdateCheckAutomaticallyKey = QStringLiteral("SoftwareUpdateCheckAutomatically");
inline const QString SoftwareUpdateCheckIntervalKey = QStringLiteral("SoftwareUpdateCheckInterval");
inline const QString SoftwareUpdateCheckRetryIntervalKey = QStringLiteral("SoftwareUpdateCheckRetryInterval");
inline const QString SoftwareUpdateLastCheckKey = QStringLiteral("SoftwareUpdateLastCheck");
inline const QString SoftwareUpdateLastCheckFailedKey = QStringLiteral("SoftwareUpdateLastCheckFailed");

// When the next automatic (background) check is due. The date follows from
// four settings and is recomputed whenever one of them changes:
//
//   SoftwareUpdateCheckAutomatically  off: no date at all
//   SoftwareUpdateLastCheck           the end of the last run (not a date: never)
//   SoftwareUpdateLastCheckFailed     the last background run failed...
//   SoftwareUpdateCheckRetryInterval  ...then this interval, at least 3600 s
//   SoftwareUpdateCheckInterval       else this one, at least 43200 s (default 86400)
//
// The date is the last check plus the interval plus a random offset of -512
// to +511 seconds, so that many installations do not ask the server in the
// same minute. Values of the wrong type, negative or tiny, count as the
// lower bound; there is no upper bound. The retry interval is not observed:
// a change of it counts from the next recomputation.
class NVSUSchedule : public QObject {
    Q_OBJECT
    Q_PROPERTY(QDateTime nextCheckDate READ nextCheckDate NOTIFY nextCheckDateChanged)
public:
    // Registers the defaults of the interval and of automatic checks,
    // computes the first date and starts observing. Main thread.
    NVSUSchedule(NVUserDefaults &userDefaults, NVClock &clock, QObject *parent = nullptr);

    // Invalid when automatic checks are off. Main thread.
    QDateTime nextCheckDate() const { return m_nextCheckDate; }

    // Records now as the end of the last check and clears the failure mark;
    // called at the end of every run. Main thread.
    void noteUpdateCheckDidStart();
    // Marks the last check as failed (a background run that reached no
    // decision). Main thread.
    void noteUpdateCheckFailed();

    // How often the update manager asks whether a check is due. Any thread.
    static constexpr std::chrono::milliseconds internalCheckInterval() { return std::chrono::seconds(300); }

Q_SIGNALS:
    // Only when the date really changed. Main thread.
    void nextCheckDateChanged(const QDateTime &nextCheckDate);

private:
    QDateTime computeNextCheckDate() const;
    void updateNextCheckDate();

    NVUserDefaults &m_userDefaults;
    NVClock &m_clock;
    QDateTime m_nextCheckDate;
};
