#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Every key that the update classes look up in the table "NVSoftwareUpdate",
// and every alert name, in one place. Code uses these constants rather than
// spelling keys out, and a test checks that each table in resources/*.lproj
// has every key listed here with a text that carries the key's format
// specifiers, and no key that nobody uses.
//
// Adding a text: add the constant here, add it to the list in
// NVSoftwareUpdateStrings.cpp, and add the key with its text to
// NVSoftwareUpdate.strings in every .lproj folder. A key whose text is a
// format ends with one blank and the specifiers the text must hold, in
// argument order ("_progressDescriptionKnownSize %@ %@"); a translation may
// reorder them with positional forms ("%2$@ ... %1$@"). Adding an alert: add
// its name, arguments and buttons to alerts(), and its "_message" and "_info"
// texts (and "_button1".. as listed) to every table.
namespace NVSoftwareUpdateStrings {

inline const QString Table = QStringLiteral("NVSoftwareUpdate");

// The update window.
inline const QString SoftwareUpdate = QStringLiteral("Software Update");
inline const QString Updating = QStringLiteral("Updating %@");
inline const QString _updateAvailableMessageTextFormat = QStringLiteral("_updateAvailableMessageTextFormat %@");
inline const QString _updateAvailableInformativeTextFormat = QStringLiteral("_updateAvailableInformativeTextFormat %@ %@ %@");
inline const QString _updateIncompatibleWithOSVersion = QStringLiteral("_updateIncompatibleWithOSVersion");
inline const QString _updateRequiresNewerOSVersion = QStringLiteral("_updateRequiresNewerOSVersion %@ %@");
inline const QString _askToInstallTheUpdate = QStringLiteral("_askToInstallTheUpdate");
inline const QString _askToDownloadTheUpdate = QStringLiteral("_askToDownloadTheUpdate");
inline const QString _installUpdateButtonTitle = QStringLiteral("_installUpdateButtonTitle");
inline const QString _downloadUpdateButtonTitle = QStringLiteral("_downloadUpdateButtonTitle");
inline const QString _progressDescriptionDownloadingUpdate = QStringLiteral("_progressDescriptionDownloadingUpdate");
inline const QString _progressDescriptionCheckingDigitalSignature = QStringLiteral("_progressDescriptionCheckingDigitalSignature");
inline const QString _progressDescriptionUnpackingArchive = QStringLiteral("_progressDescriptionUnpackingArchive");
inline const QString _progressDescriptionReadyForInstallation = QStringLiteral("_progressDescriptionReadyForInstallation");
inline const QString _progressDescriptionInstallAndRelaunch = QStringLiteral("_progressDescriptionInstallAndRelaunch");
inline const QString _progressDescriptionKnownSize = QStringLiteral("_progressDescriptionKnownSize %@ %@");
inline const QString _progressDescriptionUnknownSize = QStringLiteral("_progressDescriptionUnknownSize %@");
inline const QString _cancelDownloadButtonTitle = QStringLiteral("_cancelDownloadButtonTitle");
inline const QString _cancelUnpackingButtonTitle = QStringLiteral("_cancelUnpackingButtonTitle");
inline const QString _installAndRelaunchButtonTitle = QStringLiteral("_installAndRelaunchButtonTitle");
inline const QString _runInstallerButtonTitle = QStringLiteral("_runInstallerButtonTitle");
inline const QString _installNowButtonTitle = QStringLiteral("_installNowButtonTitle");
inline const QString _goBackButtonTitle = QStringLiteral("_goBackButtonTitle");
// The release-notes view.
inline const QString _loadErrorDescription = QStringLiteral("_loadErrorDescription %@");
inline const QString _releaseNotesHTTPErrorDescription = QStringLiteral("_releaseNotesHTTPErrorDescription %@ %d %@");

// The terminal interface. The choices of the presentation and the release
// notes' heading are the interface file's texts.
inline const QString SkipThisVersion = QStringLiteral("Skip This Version");
inline const QString RemindMeLater = QStringLiteral("Remind Me Later");
inline const QString ReleaseNotes = QStringLiteral("Release notes");
inline const QString _terminalChoicePrompt = QStringLiteral("_terminalChoicePrompt %d");
inline const QString _terminalInvalidChoice = QStringLiteral("_terminalInvalidChoice %d");
inline const QString _terminalProgressKnownSizeFormat = QStringLiteral("_terminalProgressKnownSizeFormat %@ %@ %d");
inline const QString _terminalProgressUnknownSizeFormat = QStringLiteral("_terminalProgressUnknownSizeFormat %@ %@");
inline const QString _terminalOKButtonTitle = QStringLiteral("_terminalOKButtonTitle");
inline const QString _certificateHeadingFormat = QStringLiteral("_certificateHeadingFormat %d %d");
inline const QString _certificateSubjectFormat = QStringLiteral("_certificateSubjectFormat %@");
inline const QString _certificateIssuerFormat = QStringLiteral("_certificateIssuerFormat %@");
inline const QString _certificateValidityFormat = QStringLiteral("_certificateValidityFormat %@ %@");
inline const QString _certificateFingerprintFormat = QStringLiteral("_certificateFingerprintFormat %@");

// The driver's alerts and the transport's refused redirect.
inline const QString _upToDateAlertMessageFormat = QStringLiteral("_upToDateAlertMessageFormat %@");
inline const QString _upToDateAlertInfoFormat = QStringLiteral("_upToDateAlertInfoFormat %@ %@");
inline const QString _upToDateAlertButton = QStringLiteral("_upToDateAlertButton");
inline const QString _secureConnectionFailedInfo = QStringLiteral("_secureConnectionFailedInfo");
inline const QString _secureConnectionFailedCancelButtonTitle = QStringLiteral("_secureConnectionFailedCancelButtonTitle");
inline const QString _secureConnectionFailedVisitWebsiteButtonTitle = QStringLiteral("_secureConnectionFailedVisitWebsiteButtonTitle");
inline const QString _secureConnectionFailedShowCertificateButtonTitle = QStringLiteral("_secureConnectionFailedShowCertificateButtonTitle");
inline const QString _certificatePanelDefaultButtonTitle = QStringLiteral("_certificatePanelDefaultButtonTitle");
inline const QString _couldNotConnectToServer_informativeTextFormat = QStringLiteral("_couldNotConnectToServer_informativeTextFormat %@");
inline const QString _badDomainNameAlertMessageFormat = QStringLiteral("_badDomainNameAlertMessageFormat %@");
inline const QString _badDomainNameAlertInfoFormat = QStringLiteral("_badDomainNameAlertInfoFormat %@ %@");
inline const QString _badDomainNameAlertCancelButtonTitle = QStringLiteral("_badDomainNameAlertCancelButtonTitle");
inline const QString _badDomainNameAlertVisitWebsiteButtonTitle = QStringLiteral("_badDomainNameAlertVisitWebsiteButtonTitle");

// The transport's error descriptions.
inline const QString _urlErrorUnknown = QStringLiteral("_urlErrorUnknown %@");
inline const QString _urlErrorCancelled = QStringLiteral("_urlErrorCancelled");
inline const QString _urlErrorTimedOut = QStringLiteral("_urlErrorTimedOut %@");
inline const QString _urlErrorUnsupportedURL = QStringLiteral("_urlErrorUnsupportedURL %@");
inline const QString _urlErrorCannotFindHost = QStringLiteral("_urlErrorCannotFindHost %@");
inline const QString _urlErrorCannotConnectToHost = QStringLiteral("_urlErrorCannotConnectToHost %@");
inline const QString _urlErrorNetworkConnectionLost = QStringLiteral("_urlErrorNetworkConnectionLost");
inline const QString _urlErrorHTTPTooManyRedirects = QStringLiteral("_urlErrorHTTPTooManyRedirects");
inline const QString _urlErrorNotConnectedToInternet = QStringLiteral("_urlErrorNotConnectedToInternet");
inline const QString _urlErrorBadServerResponse = QStringLiteral("_urlErrorBadServerResponse %@");
inline const QString _urlErrorDataLengthExceedsMaximum = QStringLiteral("_urlErrorDataLengthExceedsMaximum");
inline const QString _urlErrorSecureConnectionFailed = QStringLiteral("_urlErrorSecureConnectionFailed %@");
inline const QString _urlErrorServerCertificateHasBadDate = QStringLiteral("_urlErrorServerCertificateHasBadDate %@");
inline const QString _urlErrorServerCertificateUntrusted = QStringLiteral("_urlErrorServerCertificateUntrusted %@");
inline const QString _urlErrorServerCertificateHasUnknownRoot = QStringLiteral("_urlErrorServerCertificateHasUnknownRoot %@");
inline const QString _urlErrorServerCertificateNotYetValid = QStringLiteral("_urlErrorServerCertificateNotYetValid %@");
inline const QString _urlErrorClientCertificateRejected = QStringLiteral("_urlErrorClientCertificateRejected %@");
inline const QString _urlErrorClientCertificateRequired = QStringLiteral("_urlErrorClientCertificateRequired %@");
inline const QString _urlErrorCannotCreateFile = QStringLiteral("_urlErrorCannotCreateFile %@");
inline const QString _urlErrorCannotWriteToFile = QStringLiteral("_urlErrorCannotWriteToFile %@");
inline const QString _urlErrorUserCancelledAuthentication = QStringLiteral("_urlErrorUserCancelledAuthentication");
inline const QString _urlErrorUserAuthenticationRequired = QStringLiteral("_urlErrorUserAuthenticationRequired %@");

// The unarchivers' error descriptions.
inline const QString _hdiutilErrorDescriptionFormat = QStringLiteral("_hdiutilErrorDescriptionFormat %d %@");
inline const QString _xmlParseErrorDescriptionFormat = QStringLiteral("_xmlParseErrorDescriptionFormat %@");
inline const QString _unarchivingToolErrorDescriptionFormat = QStringLiteral("_unarchivingToolErrorDescriptionFormat %d %@");
// The driver's: the unpacked bundle is not the release the feed named.
inline const QString _updateVersionMismatchFormat = QStringLiteral("_updateVersionMismatchFormat %@ %@");

// Alert names. The texts of an alert N are N + "_message", N + "_info" and,
// for alerts shown as dialogs, N + "_button1" to "_button3".
inline const QString noDownloadObject = QStringLiteral("noDownloadObject");
inline const QString errorAlert = QStringLiteral("errorAlert");
inline const QString signatureError = QStringLiteral("signatureError");
inline const QString unsupportedArchiveFormat = QStringLiteral("unsupportedArchiveFormat");
inline const QString unexpectedUnarchivingError = QStringLiteral("unexpectedUnarchivingError");
inline const QString cannotLaunchInstaller = QStringLiteral("cannotLaunchInstaller");
inline const QString bundleNameMismatch = QStringLiteral("bundleNameMismatch");
inline const QString mechanismNotSupported = QStringLiteral("mechanismNotSupported");
inline const QString errorCopyingOverSelf = QStringLiteral("errorCopyingOverSelf");
inline const QString errorCreatingDir = QStringLiteral("errorCreatingDir");

inline const QString _message = QStringLiteral("_message");
inline const QString _info = QStringLiteral("_info");
inline const QString _button1 = QStringLiteral("_button1");
inline const QString _button2 = QStringLiteral("_button2");
inline const QString _button3 = QStringLiteral("_button3");

// Every key above that is not part of an alert.
const QStringList &keys();

struct Alert {
    QString name;
    // The specifier signature of the arguments the caller passes, in order
    // (NVFormat::specifierSignature: '@' any value, 'd' signed integer).
    // Each text of the alert may use any prefix of them.
    QString argumentSignature;
    // How many buttons the alert shows: 0 for alerts shown inside the update
    // window, whose only button is the window's own.
    int buttonCount = 0;

    QStringList requiredKeys() const;  // "_message", "_info", then the buttons
    QStringList possibleKeys() const;  // all five postfixes
};
const QList<Alert> &alerts();

} // namespace NVSoftwareUpdateStrings

// The keys of the table "SettingsTerminology": each prefix of
// NVSettingsTerminology.h followed by each wording's raw value.
namespace NVSettingsTerminologyStrings {
const QStringList &keys();
} // namespace NVSettingsTerminologyStrings
