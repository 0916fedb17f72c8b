#pragma once

#include "foundation/NVFormat.h"

#include <QDateTime>
#include <QString>

#include <functional>

inline const QString SoftwareUpdateDebugLogsEnabledKey = QStringLiteral("SoftwareUpdateDebugLogsEnabled");

// What the log functions need to know about the running process. The user
// defaults and the main bundle implement it once they exist; until one is
// installed, every setting reads as off and there is no bundle identifier.
class NVLogEnvironment {
public:
    virtual ~NVLogEnvironment() = default;
    // Any thread; must not block.
    virtual bool boolForKey(const QString &key) const = 0;
    // Any thread; the main bundle's identifier, empty when it has none.
    virtual QString bundleIdentifier() const = 0;
    // The setting "SoftwareUpdateDebugLogsEnabled", asked at every debug log
    // call: an environment that keeps it in memory answers without a lookup.
    // Any thread; must not block.
    virtual bool debugLogsEnabled() const { return boolForKey(SoftwareUpdateDebugLogsEnabledKey); }
};

// Any thread. The environment must outlive every later log call (the
// process-wide user defaults do). Passing nullptr restores the default.
void NVSetLogEnvironment(const NVLogEnvironment *environment);
const NVLogEnvironment &NVCurrentLogEnvironment();

// Receives every console message (the text after the line prefix). Tests
// install one to read what was logged; the default writes the full line to
// standard error. Any thread; the sink is called on the logging thread.
using NVConsoleSink = std::function<void(const QString &message)>;
void NVSetConsoleSink(NVConsoleSink sink);

// The console line: "2026-12-05 16:02:21.123 velkin-software-update[4242:4243] text",
// date and time in local time with milliseconds, then process name, process
// and thread identifiers.
QString NVConsoleLine(const QDateTime &when, const QString &processName, qint64 pid, qint64 tid, const QString &message);

// Writes one message to the console, as the platform log does. Any thread.
void NVConsoleLog(const QString &message);

// The platform log with a format: used by utilities that report misuse
// outside the update flow. Any thread.
template <typename... Args>
void NVLog(const QString &format, const Args &...args)
{
    NVConsoleLog(NVFormat::format(format, args...));
}

// The update flow's failure log: always written, as "Software Update: <message>".
// Any thread.
void NVSULogMessage(const QString &message);
template <typename... Args>
void NVSULog(const QString &format, const Args &...args)
{
    NVSULogMessage(NVFormat::format(format, args...));
}

// The update flow's progress log, written as "Software Update Debug: <message>"
// only while the user default "SoftwareUpdateDebugLogsEnabled" is on. The
// setting is asked for at every call (debugLogsEnabled() of the environment),
// so that switching it takes effect at once; the message is formatted even
// when nothing is written. Any thread.
void NVSUDebugLogMessage(const QString &message);
template <typename... Args>
void NVSUDebugLog(const QString &format, const Args &...args)
{
    NVSUDebugLogMessage(NVFormat::format(format, args...));
}
