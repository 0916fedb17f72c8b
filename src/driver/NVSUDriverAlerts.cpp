// The driver's alerts outside the update window: the up-to-date message and
// a failed interactive check, with the extra buttons of a failed secure
// connection.

#include "driver/NVSUDriver.h"

#include "foundation/NVFormat.h"
#include "localization/NVSoftwareUpdateStrings.h"
#include "logging/NVLog.h"
#include "model/NVSUVersion.h"
#include "network/NVURLError.h"
#include "platform/NVApplicationServices.h"
#include "platform/NVBundle.h"
#include "platform/NVProcessWorkspace.h"
#include "ui/NVAlertPresenter.h"
#include "ui/NVCertificatePanel.h"

#include <QSslCertificate>

namespace S = NVSoftwareUpdateStrings;

QString NVSUDriver::bundleName() const
{
    const NVBundle *bundle = NVBundle::mainBundle();
    const QVariant name = bundle->objectForInfoDictionaryKey(QStringLiteral("SoftwareUpdateBundleName"));
    if (name.metaType().id() == QMetaType::QString && !name.toString().isEmpty())
        return name.toString();
    return bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleName")).toString();
}

QString NVSUDriver::softwareUpdateIcon() const
{
    return m_host ? m_host->softwareUpdateIcon() : QString();
}

void NVSUDriver::willReplaceApplication(const QString &targetPath, const QString &stagedPath)
{
    if (m_delegate)
        m_delegate->driverWillReplaceApplication(this, targetPath, stagedPath);
}

void NVSUDriver::openWebsiteURL()
{
    if (m_websiteURL.isEmpty())
        return;
    NVWorkspace *workspace = NVApplicationServices::workspace();
    (workspace ? workspace : &NVProcessWorkspace::shared())->openURL(m_websiteURL.toString());
}

void NVSUDriver::runAlert(NVAlert alert, std::function<void(int response)> completionHandler)
{
    if (m_host)
        m_host->postWillShowWindowNotificationWithAlert(alert);
    const QString icon = softwareUpdateIcon();
    if (!icon.isEmpty())
        alert.iconPath = icon;
    NVApplication *application = NVApplicationServices::application();
    if (m_sheetParentWindow && application && application->isWindowVisible(m_sheetParentWindow)) {
        NVBeginAlertSheet(alert, m_sheetParentWindow, std::move(completionHandler));
        return;
    }
    const int response = NVRunAlertModal(alert);
    if (completionHandler)
        completionHandler(response);
}

namespace {

// The chain of a failed secure connection as a person can read it, where no
// certificate panel is installed.
void logChain(const QList<QByteArray> &chain)
{
    for (const QByteArray &der : chain) {
        const QSslCertificate certificate(der, QSsl::Der);
        NVSULog(QStringLiteral("Server certificate: %@ (issued by %@, valid %@ to %@, SHA-256 %@)"),
                certificate.subjectDisplayName(), certificate.issuerDisplayName(), certificate.effectiveDate().toString(Qt::ISODate),
                certificate.expiryDate().toString(Qt::ISODate), QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':')));
    }
}

} // namespace

void NVSUDriver::runAlertForError(const NVError &error, std::function<void(int response)> completionHandler)
{
    NVAlert alert;
    alert.messageText = error.localizedDescription();
    alert.informativeText = error.localizedRecoverySuggestion();
    alert.buttonTitles = error.localizedRecoveryOptions();

    if (error.domain() == NSURLErrorDomain) {
        if (error.code() >= NSURLErrorClientCertificateRequired && error.code() <= NSURLErrorSecureConnectionFailed) {
            alert.informativeText = localizeString(S::_secureConnectionFailedInfo);
            alert.addButtonWithTitle(localizeString(S::_secureConnectionFailedCancelButtonTitle));
            std::vector<std::function<void()>> actions;
            if (!m_websiteURL.isEmpty()) {
                alert.addButtonWithTitle(localizeString(S::_secureConnectionFailedVisitWebsiteButtonTitle));
                actions.push_back([driver = QPointer<NVSUDriver>(this)] {
                    if (driver)
                        driver->openWebsiteURL();
                });
            }
            const QVariant trust = error.userInfo().value(NSURLErrorFailingURLPeerTrustErrorKey);
            if (trust.isValid()) {
                QList<QByteArray> chain;
                for (const QVariant &certificate : trust.toList())
                    chain << certificate.toByteArray();
                alert.addButtonWithTitle(localizeString(S::_secureConnectionFailedShowCertificateButtonTitle));
                actions.push_back([chain, title = localizeString(S::_certificatePanelDefaultButtonTitle)] {
                    if (NVCertificatePanel *panel = NVCertificatePanel::current())
                        panel->runModalForTrust(chain, title);
                    else
                        logChain(chain);
                });
            }
            // The caller's handler is not asked for these errors: the buttons
            // after Cancel run the actions, in order.
            completionHandler = [actions](int response) {
                const int index = response - NSAlertSecondButtonReturn;
                if (index >= 0 && size_t(index) < actions.size())
                    actions[size_t(index)]();
            };
        } else if (error.code() == NSURLErrorCannotConnectToHost) {
            alert.informativeText = NVFormat::format(localizeString(S::_couldNotConnectToServer_informativeTextFormat),
                                                     error.userInfo().value(NSErrorFailingURLKey).toUrl().host());
        }
    }
    runAlert(std::move(alert), std::move(completionHandler));
}

NVAlert NVSUDriver::upToDateAlert() const
{
    NVAlert alert;
    alert.messageText = NVFormat::format(localizeString(S::_upToDateAlertMessageFormat), bundleName());
    const std::optional<NVSUVersion> installed = NVSUVersion::installedVersion();
    alert.informativeText = NVFormat::format(localizeString(S::_upToDateAlertInfoFormat), bundleName(),
                                             installed ? QVariant(installed->displayName()) : QVariant());
    alert.addButtonWithTitle(localizeString(S::_upToDateAlertButton));
    return alert;
}

void NVSUDriver::runUpToDateAlert()
{
    setCheckingForUpdate(false);
    runAlert(upToDateAlert(), {});
}
