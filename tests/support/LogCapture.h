#pragma once

#include <QString>
#include <QStringList>

// Collects console log messages for as long as it lives, instead of letting
// them reach standard error. One at a time per process.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList messages() const;
    // Messages containing the given text.
    QStringList matching(const QString &text) const;
    void clear();
};
