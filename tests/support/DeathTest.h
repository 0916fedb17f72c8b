#pragma once

#include <QString>

#include <string>

// The regular expression that GoogleTest death tests match a literal message
// with: their POSIX extended syntax has undefined escapes, so only its own
// special characters are escaped.
inline std::string literalDeathMessage(const QString &message)
{
    static const QString special = ".[]{}()\\*+?^$|";
    std::string pattern;
    for (const char c : message.toStdString()) {
        if (special.contains(QLatin1Char(c)))
            pattern += '\\';
        pattern += c;
    }
    return pattern;
}
