#include "ui/NVLocalizedAlert.h"

#include "foundation/NVFormat.h"
#include "ui/NVAlertPresenter.h"

namespace NVLocalizedAlert {

namespace {

const QString MessagePostfix = QStringLiteral("_message");
const QString InfoPostfix = QStringLiteral("_info");

} // namespace

std::optional<QString> localizedAlertWithName(const NVLocalizable &receiver, const QString &name,
                                              const QString &stringForPostfix, const QVariantList &argumentList)
{
    const QString key = name + stringForPostfix;
    const QString text = receiver.localizeString(key);
    if (text != key && !text.isEmpty())
        return NVFormat::format(text, argumentList);
    // A missing headline or body shows its key, so a missing translation is
    // visible in the alert rather than leaving it blank.
    if (stringForPostfix == MessagePostfix || stringForPostfix == InfoPostfix)
        return key;
    return std::nullopt;
}

NVAlert localizedAlertWithName(const NVLocalizable &receiver, const QString &name, const QVariantList &arguments)
{
    NVAlert alert;
    if (std::optional<QString> message = localizedAlertWithName(receiver, name, MessagePostfix, arguments))
        alert.messageText = *message;
    if (std::optional<QString> info = localizedAlertWithName(receiver, name, InfoPostfix, arguments))
        alert.informativeText = *info;
    for (const char *postfix : {"_button1", "_button2", "_button3"})
        if (std::optional<QString> title = localizedAlertWithName(receiver, name, QString::fromLatin1(postfix), arguments))
            alert.addButtonWithTitle(*title);
    return alert;
}

int runLocalizedAlertWithName(const NVLocalizable &receiver, const QString &name, const QVariantList &arguments)
{
    return NVRunAlertModal(localizedAlertWithName(receiver, name, arguments));
}

void runLocalizedAlertWithName(const NVLocalizable &receiver, const QString &name, NVWindowHandle modalForWindow,
                               std::function<void()> didEndSelector, const QVariantList &arguments)
{
    NVAlertPresenter::CompletionHandler handler;
    if (didEndSelector)
        handler = [didEnd = std::move(didEndSelector)](int) { didEnd(); };
    NVBeginAlertSheet(localizedAlertWithName(receiver, name, arguments), modalForWindow, std::move(handler));
}

} // namespace NVLocalizedAlert
