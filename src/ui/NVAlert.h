#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

// The platform's response codes for an alert's buttons, in the order the
// buttons were added.
inline constexpr int NSAlertFirstButtonReturn = 1000;
inline constexpr int NSAlertSecondButtonReturn = 1001;
inline constexpr int NSAlertThirdButtonReturn = 1002;

// An alert as a value: what a presenter shows. Thread-safe as a value.
struct NVAlert {
    QString messageText;     // the headline
    QString informativeText; // the body
    // Titles in the order they answer 1000, 1001, 1002; the first is the
    // default button. No titles: the presenter shows one default button of
    // its own ("OK"), which answers 1000.
    QStringList buttonTitles;
    // An image file shown as the alert's icon; empty for the application's icon.
    QString iconPath;

    void addButtonWithTitle(const QString &title) { buttonTitles << title; }

    bool operator==(const NVAlert &) const = default;
};

Q_DECLARE_METATYPE(NVAlert)
