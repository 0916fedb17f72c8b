#include "model/NVSUUpdateSelection.h"

#include "platform/NVBundle.h"
#include "platform/NVUserDefaults.h"
#include "foundation/NVValue.h"
#include "logging/NVLog.h"

namespace NVSUUpdateSelection {

namespace {

// "(null)" when there is no installed version, as the log lines print it.
QVariant describe(const std::optional<NVSUVersion> &version)
{
    return version ? QVariant(version->description()) : QVariant();
}

} // namespace

bool shouldIgnoreUpdate(const NVSUUpdate &update, const NVSUSelectionState &state, const NVUserDefaults &defaults)
{
    // A check the user asked for shows skipped versions again.
    if (state.isRunningInteractively)
        return false;
    const QVariant skipped = defaults.objectForKey(SoftwareUpdateSkippedVersionsArrayKey);
    if (!NVValue::isArray(skipped))
        return false;
    const QString versionNumber = update.version().versionNumber();
    for (const QVariant &entry : skipped.toList())
        if (NVValue::isString(entry) && entry.toString() == versionNumber)
            return true;
    return false;
}

std::optional<NVSUUpdate> selectUpdateFromArray(const QVariantList &entries, const NVSUSelectionState &state,
                                                const NVUserDefaults &defaults)
{
    std::optional<NVSUUpdate> best;
    // The user's languages do not change during one walk; reading them once
    // keeps localized entries as cheap as plain ones.
    const QStringList languages = NVBundle::userLanguages();

    for (const QVariant &entry : entries) {
        if (!NVValue::isDictionary(entry)) {
            NVSULog(QStringLiteral("Ignoring invalid entry of class %@"), NVValue::className(entry));
            continue;
        }
        const QVariantMap &properties = *static_cast<const QVariantMap *>(entry.constData());
        std::optional<NVSUUpdate> update = NVSUUpdate::initWithUpdateProperties(properties, &languages);
        if (!update) {
            NVSULog(QStringLiteral("Invalid entry ignored: %@"), entry);
            continue;
        }
        const NVSUVersion version = update->version();

        if (update->installationMechanism() == NVSUInstallationMechanismUnsupported) {
            NVSULog(QStringLiteral("Installation mechanism '%@' not supported, skipping version %@."),
                    properties.value(NVSUUpdateKey::InstallationMechanism), version);
            continue;
        }

        if (update->isPreReleaseVersion() && state.canSkipPreReleaseVersions
            && !defaults.boolForKey(SoftwareUpdateShowPreReleaseVersionsKey)) {
            NVSULog(QStringLiteral("Skipping pre-release version %@."), version);
            continue;
        }

        const std::optional<NVSUVersion> installed = NVSUVersion::installedVersion();
        if (version.compareVersion(installed) != NVOrderedDescending) {
            NVSUDebugLog(QStringLiteral("Skipping update to %@ because we already have %@"), version, describe(installed));
            continue;
        }

        // An update whose automatic installation is suppressed stays a
        // candidate even where it cannot run: it is only ever offered for
        // download from its page.
        if (!update->suppressAutoUpdate() && !update->isCompatibleWithSystemVersion()) {
            NVSUDebugLog(QStringLiteral("Skipping update to %@ because it is incompatible with OS"), version);
            continue;
        }

        if (shouldIgnoreUpdate(*update, state, defaults)) {
            NVSUDebugLog(QStringLiteral("Skipping update to %@ due to previous user request"), version);
            continue;
        }

        if (update->isBetterThanUpdate(best))
            best = std::move(update);
        else
            NVSUDebugLog(QStringLiteral("Skipping update to %@ because update to %@ already matched"), version, best->version());
    }
    return best;
}

} // namespace NVSUUpdateSelection
