#pragma once

#include "localization/NVLocalization.h"
#include "platform/NVWindowHandle.h"
#include "ui/NVAlert.h"

#include <QVariantList>

#include <functional>
#include <optional>

// Alerts described by the string tables instead of code. An alert is a name
// N; its texts are the receiver's localized strings (localizeString) of
//   N_message  the headline       (missing or empty: the key itself)
//   N_info     the body           (missing or empty: the key itself)
//   N_button1  the first button, the default
//   N_button2  the second button  (missing or empty: no such button)
//   N_button3  the third button
// Every text found is a format filled from the same arguments, each starting
// at the first argument, so the headline, the body and the buttons may each
// use any prefix of them. Arguments are QVariants: {path}, {name, qint64(n)}.
namespace NVLocalizedAlert {

// The text of name + postfix formatted with the arguments; the key itself
// for "_message" and "_info" when the text is missing or empty; otherwise
// nullopt. Any thread.
std::optional<QString> localizedAlertWithName(const NVLocalizable &receiver, const QString &name,
                                              const QString &stringForPostfix, const QVariantList &argumentList);

// The alert: headline, body and the buttons that have texts, in order.
// Any thread.
NVAlert localizedAlertWithName(const NVLocalizable &receiver, const QString &name,
                               const QVariantList &arguments = {});

// Builds the alert and runs it application-modally through the current
// presenter; answers the pressed button's response code (1000, 1001, 1002).
// Main thread; blocks while the alert is shown.
int runLocalizedAlertWithName(const NVLocalizable &receiver, const QString &name, const QVariantList &arguments = {});

// Builds the alert and shows it as a sheet on modalForWindow; returns at
// once. When the user has dismissed it, didEndSelector (may be empty) is
// called once, whichever button was pressed. Main thread.
void runLocalizedAlertWithName(const NVLocalizable &receiver, const QString &name, NVWindowHandle modalForWindow,
                               std::function<void()> didEndSelector, const QVariantList &arguments = {});

} // namespace NVLocalizedAlert
