#include "ui/NVSUUpdateTexts.h"

#include "foundation/NVFormat.h"
#include "localization/NVSoftwareUpdateStrings.h"

namespace Strings = NVSoftwareUpdateStrings;

namespace {

QString text(const QString &key)
{
    return NVLocalization::localizedStringFromTable(key, Strings::Table);
}

} // namespace

namespace NVSUUpdateTexts {

QString messageText(const QString &bundleName)
{
    return NVFormat::format(text(Strings::_updateAvailableMessageTextFormat), {bundleName});
}

QList<Piece> informativeTextPieces(const NVSUUpdate &update, const QString &bundleName)
{
    QList<Piece> pieces;
    const std::optional<NVSUVersion> installed = NVSUVersion::installedVersion();
    pieces.append({NVFormat::format(text(Strings::_updateAvailableInformativeTextFormat),
                                    {bundleName, update.version().displayName(), installed ? installed->displayName() : QString()})});
    if (!update.isCompatibleWithSystemVersion()) {
        const NVSUVersion system = NVSUVersion::systemVersion();
        const std::optional<NVSUVersion> &minimum = update.minimumSystemVersion();
        if (system.compareVersion(minimum) == NVOrderedAscending)
            pieces.append({NVFormat::format(text(Strings::_updateRequiresNewerOSVersion), {minimum->displayName(), system.displayName()}), true});
        else
            pieces.append({text(Strings::_updateIncompatibleWithOSVersion), true});
    }
    pieces.append({text(update.isAutoUpgradable() ? Strings::_askToInstallTheUpdate : Strings::_askToDownloadTheUpdate)});
    return pieces;
}

QString informativeText(const NVSUUpdate &update, const QString &bundleName)
{
    QStringList sentences;
    for (const Piece &piece : informativeTextPieces(update, bundleName))
        sentences << piece.text;
    return sentences.join(u' ');
}

QString commitButtonTitle(const NVSUUpdate &update)
{
    return text(update.isAutoUpgradable() ? Strings::_installUpdateButtonTitle : Strings::_downloadUpdateButtonTitle);
}

} // namespace NVSUUpdateTexts
