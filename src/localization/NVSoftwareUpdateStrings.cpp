#include "localization/NVSoftwareUpdateStrings.h"

#include "localization/NVSettingsTerminology.h"

namespace NVSoftwareUpdateStrings {

const QStringList &keys()
{
    static const QStringList list = {
        SoftwareUpdate,
        Updating,
        _updateAvailableMessageTextFormat,
        _updateAvailableInformativeTextFormat,
        _updateIncompatibleWithOSVersion,
        _updateRequiresNewerOSVersion,
        _askToInstallTheUpdate,
        _askToDownloadTheUpdate,
        _installUpdateButtonTitle,
        _downloadUpdateButtonTitle,
        _progressDescriptionDownloadingUpdate,
        _progressDescriptionCheckingDigitalSignature,
        _progressDescriptionUnpackingArchive,
        _progressDescriptionReadyForInstallation,
        _progressDescriptionInstallAndRelaunch,
        _progressDescriptionKnownSize,
        _progressDescriptionUnknownSize,
        _cancelDownloadButtonTitle,
        _cancelUnpackingButtonTitle,
        _installAndRelaunchButtonTitle,
        _runInstallerButtonTitle,
        _installNowButtonTitle,
        _goBackButtonTitle,
        _loadErrorDescription,
        SkipThisVersion,
        RemindMeLater,
        ReleaseNotes,
        _terminalChoicePrompt,
        _terminalInvalidChoice,
        _terminalProgressKnownSizeFormat,
        _terminalProgressUnknownSizeFormat,
        _terminalOKButtonTitle,
        _certificateHeadingFormat,
        _certificateSubjectFormat,
        _certificateIssuerFormat,
        _certificateValidityFormat,
        _certificateFingerprintFormat,
        _releaseNotesHTTPErrorDescription,
        _upToDateAlertMessageFormat,
        _upToDateAlertInfoFormat,
        _upToDateAlertButton,
        _secureConnectionFailedInfo,
        _secureConnectionFailedCancelButtonTitle,
        _secureConnectionFailedVisitWebsiteButtonTitle,
        _secureConnectionFailedShowCertificateButtonTitle,
        _certificatePanelDefaultButtonTitle,
        _couldNotConnectToServer_informativeTextFormat,
        _badDomainNameAlertMessageFormat,
        _badDomainNameAlertInfoFormat,
        _badDomainNameAlertCancelButtonTitle,
        _badDomainNameAlertVisitWebsiteButtonTitle,
        _urlErrorUnknown,
        _urlErrorCancelled,
        _urlErrorTimedOut,
        _urlErrorUnsupportedURL,
        _urlErrorCannotFindHost,
        _urlErrorCannotConnectToHost,
        _urlErrorNetworkConnectionLost,
        _urlErrorHTTPTooManyRedirects,
        _urlErrorNotConnectedToInternet,
        _urlErrorBadServerResponse,
        _urlErrorDataLengthExceedsMaximum,
        _urlErrorSecureConnectionFailed,
        _urlErrorServerCertificateHasBadDate,
        _urlErrorServerCertificateUntrusted,
        _urlErrorServerCertificateHasUnknownRoot,
        _urlErrorServerCertificateNotYetValid,
        _urlErrorClientCertificateRejected,
        _urlErrorClientCertificateRequired,
        _urlErrorCannotCreateFile,
        _urlErrorCannotWriteToFile,
        _urlErrorUserCancelledAuthentication,
        _urlErrorUserAuthenticationRequired,
        _hdiutilErrorDescriptionFormat,
        _xmlParseErrorDescriptionFormat,
        _unarchivingToolErrorDescriptionFormat,
        _updateVersionMismatchFormat,
    };
    return list;
}

const QList<Alert> &alerts()
{
    static const QList<Alert> list = {
        {noDownloadObject, QString(), 0},
        {errorAlert, QStringLiteral("@"), 0},            // the error's description
        {signatureError, QString(), 0},
        {unsupportedArchiveFormat, QString(), 0},
        {unexpectedUnarchivingError, QString(), 0},
        {cannotLaunchInstaller, QStringLiteral("@"), 0}, // the installer's path
        {bundleNameMismatch, QStringLiteral("@@"), 0},   // the update's name, the installed name
        {mechanismNotSupported, QStringLiteral("d"), 0}, // the mechanism's number
        {errorCopyingOverSelf, QStringLiteral("@@"), 0}, // the new bundle's path, the target's path
        {errorCreatingDir, QStringLiteral("@"), 1},      // the folder's path; a dialog over the window
    };
    return list;
}

QStringList Alert::requiredKeys() const
{
    QStringList required = {name + _message, name + _info};
    const QString buttons[] = {_button1, _button2, _button3};
    for (int i = 0; i < buttonCount && i < 3; ++i)
        required << name + buttons[i];
    return required;
}

QStringList Alert::possibleKeys() const
{
    return {name + _message, name + _info, name + _button1, name + _button2, name + _button3};
}

} // namespace NVSoftwareUpdateStrings

namespace NVSettingsTerminologyStrings {

const QStringList &keys()
{
    static const QStringList list = [] {
        QStringList keys;
        for (const QString &prefix : {NVSystemSettingsAppNamePrefix, NVCapitalizedSettingsTermPrefix,
                                      NVPrivacyAndSecuritySettingsNamePrefix, NVOpenSecuritySettingsButtonTitlePrefix})
            for (NVSettingsTerminology terminology : {NVSettingsTerminology::preferences, NVSettingsTerminology::settings})
                keys << prefix + rawValue(terminology);
        return keys;
    }();
    return list;
}

} // namespace NVSettingsTerminologyStrings
