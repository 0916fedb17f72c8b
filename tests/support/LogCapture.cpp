#include "support/LogCapture.h"

#include "logging/NVLog.h"

#include <mutex>

namespace {
std::mutex captureMutex;
QStringList captured;
} // namespace

LogCapture::LogCapture()
{
    clear();
    NVSetConsoleSink([](const QString &message) {
        std::lock_guard lock(captureMutex);
        captured << message;
    });
}

LogCapture::~LogCapture() { NVSetConsoleSink({}); }

QStringList LogCapture::messages() const
{
    std::lock_guard lock(captureMutex);
    return captured;
}

QStringList LogCapture::matching(const QString &text) const { return messages().filter(text); }

void LogCapture::clear()
{
    std::lock_guard lock(captureMutex);
    captured.clear();
}
