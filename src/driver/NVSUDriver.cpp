#include "driver/NVSUDriver.h"

#include "driver/NVSUCodeSignature.h"
#include "foundation/NVFormat.h"
#include "foundation/NVPropertyList.h"
#include "install/NVRelaunch.h"
#include "install/NVSUBundleReplacement.h"
#include "install/NVSUInstallerLaunch.h"
#include "localization/NVSoftwareUpdateStrings.h"
#include "logging/NVLog.h"
#include "model/NVSUUpdateSelection.h"
#include "model/NVSUVersion.h"
#include "network/NVSURequest.h"
#include "platform/NVApplicationServices.h"
#include "platform/NVBundle.h"
#include "platform/NVClock.h"
#include "platform/NVTerminationGuard.h"
#include "platform/NVUserDefaults.h"
#include "unarchive/NVSUUnarchiver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

namespace S = NVSoftwareUpdateStrings;

namespace {

// Objects that call into the driver from their own callbacks (the window
// controller from a click, the unarchiver from its completion) must not be
// destroyed inside that callback: they go on the next turn of the event loop.
template <typename T>
void releaseLater(std::unique_ptr<T> object)
{
    if (!object)
        return;
    QTimer::singleShot(0, QCoreApplication::instance(), [held = std::shared_ptr<T>(std::move(object))] {});
}

} // namespace

NVSUDriver::NVSUDriver(NVSUDriverHost *host, NVSUDriverConfiguration configuration, QObject *parent)
    : QObject(parent), m_host(host), m_configuration(std::move(configuration))
{
    userDefaults().registerDefaults({{SoftwareUpdateShowPreReleaseVersionsKey, false}});
    m_feedURL = m_configuration.feedURL;
    if (m_feedURL.isEmpty()) {
        const QString text = NVBundle::mainBundle()->objectForInfoDictionaryKey(QStringLiteral("SoftwareUpdateFeedURL")).toString();
        if (!text.isEmpty())
            m_feedURL = QUrl(text);
    }
    m_URLSession = new NVURLSession(m_configuration.sessionConfiguration, this, this);
    m_URLSession->setSessionDescription(QStringLiteral("Software Update"));
    // Quitting removes the download folder and detaches an image.
    if (QCoreApplication *application = QCoreApplication::instance())
        connect(application, &QCoreApplication::aboutToQuit, this, &NVSUDriver::cleanupAfterDownload);
}

NVSUDriver::~NVSUDriver()
{
    cleanupAfterDownload();
    dropWindowController();
}

NVUserDefaults &NVSUDriver::userDefaults() const
{
    return m_configuration.userDefaults ? *m_configuration.userDefaults : *NVUserDefaults::standardUserDefaults();
}

NVClock &NVSUDriver::clock() const
{
    return m_configuration.clock ? *m_configuration.clock : NVClock::system();
}

QString NVSUDriver::anchorsPath() const
{
    if (!m_configuration.codeSigningAnchorsPath.isEmpty())
        return m_configuration.codeSigningAnchorsPath;
    return NVBundle::mainBundle()->resourcePath() + QStringLiteral("/CodeSigningAnchors.pem");
}

// ---- starting ------------------------------------------------------------------

void NVSUDriver::checkForUpdateInteractively(bool interactively, NVWindowHandle sheetParentWindow)
{
    if (m_feedURL.isEmpty()) {
        NVSULog(QStringLiteral("Cannot run because feed URL is missing in Info.plist"));
        return;
    }
    m_sheetParentWindow = sheetParentWindow;
    NVApplication *application = NVApplicationServices::application();
    const bool modalWindowUp = application && application->isModalWindowUp();
    if (!m_isCheckingForUpdate && !m_windowController && !modalWindowUp) {
        setRunningInteractively(interactively);
        m_continueAtLine = NVSUDriverStepStart;
        internalCheckForUpdate(std::nullopt);
        return;
    }
    // A busy driver: a person asking brings what is on screen to the front.
    if (!interactively)
        return;
    setRunningInteractively(true);
    if (m_windowController) {
        if (application)
            application->activate();
        m_windowController->showWindow();
    } else if (modalWindowUp && application) {
        application->activate();
    }
}

void NVSUDriver::setCheckingForUpdate(bool checking)
{
    m_isCheckingForUpdate = checking;
    Q_EMIT checkingForUpdateChanged(checking);
}

void NVSUDriver::setRunningInteractively(bool interactively)
{
    m_isRunningInteractively = interactively;
    Q_EMIT runningInteractivelyChanged(interactively);
}

// ---- resume entry points -----------------------------------------------------

void NVSUDriver::dialogFinishedWithChoice(int choice)
{
    internalCheckForUpdate(NVSUDriverResume{.userChoice = choice});
}

void NVSUDriver::cancelDownload()
{
    internalCheckForUpdate(NVSUDriverResume{.userChoice = NVSUUserChoiceCancel});
}

void NVSUDriver::startInstaller()
{
    internalCheckForUpdate(NVSUDriverResume{.userChoice = NVSUUserChoiceUpdate});
}

void NVSUDriver::updateWindowWillClose()
{
    // A restart closes the old window itself; that closing resumes nothing.
    if (m_continueAtLine != NVSUDriverStepStart)
        internalCheckForUpdate(NVSUDriverResume{.userChoice = NVSUUserChoiceWindowClosed});
}

void NVSUDriver::alertDidFinish()
{
    internalCheckForUpdate(std::nullopt);
}

void NVSUDriver::updateWindowWillOpen()
{
    // The window reports this while the factory is still making it; the
    // announcement then waits until the driver holds the controller.
    if (!m_windowController) {
        m_windowWillOpenPending = true;
        return;
    }
    if (m_host)
        m_host->postWillShowWindowNotificationWithWindow(m_windowController->window());
}

void NVSUDriver::closeUpdateWindow()
{
    if (m_windowController)
        m_windowController->closeUpdateWindow();
}

void NVSUDriver::unarchiverProgress(NVSUUnarchiver *, double)
{
}

void NVSUDriver::unarchiverFinishedWithError(NVSUUnarchiver *unarchiver, const std::optional<NVError> &error)
{
    // Only the current unpacking may move the run on.
    if (unarchiver != m_unarchiver.get())
        return;
    internalCheckForUpdate(error ? std::optional(NVSUDriverResume{.downloadError = error}) : std::nullopt);
}

// ---- the step sequence -------------------------------------------------------

void NVSUDriver::internalCheckForUpdate(const std::optional<NVSUDriverResume> &resume)
{
    const NVSUDriverResume none;
    const NVSUDriverResume &d = resume ? *resume : none;
    switch (m_continueAtLine) {
    case NVSUDriverStepStart:
        return start();
    case NVSUDriverStepAwaitFeed:
        return feedDidComplete(d);
    case NVSUDriverStepAwaitUserChoice:
        return userDidChoose(resume);
    case NVSUDriverStepAwaitDownload:
        return downloadDidEnd(d);
    case NVSUDriverStepAwaitUnarchiving:
        return unarchivingDidEnd(d);
    case NVSUDriverStepAwaitInstallCommand:
        return installCommandDidArrive(d);
    case NVSUDriverStepAwaitBundleReplacement:
        return bundleReplacementDidEnd(d);
    case NVSUDriverStepAwaitWindowClose:
        if (d.userChoice.value_or(0) == NVSUUserChoiceWindowClosed) {
            m_continueAtLine = NVSUDriverStepFinished;
            terminate(NVSUDriverTerminationDone);
        }
        return;
    case NVSUDriverStepAwaitErrorAcknowledgement:
        return errorWasAcknowledged(d);
    default:
        return;
    }
}

void NVSUDriver::start()
{
    if (m_windowController)
        m_windowController->close();
    if (m_feedDataTask)
        std::exchange(m_feedDataTask, nullptr)->cancel();
    m_feedData.clear();
    m_selectedUpdate.reset();
    setCheckingForUpdate(true);

    m_feedDataTask = m_URLSession->dataTaskWithRequest(NVSUExtensions::nvsuRequestWithURL(m_feedURL));
    if (!m_feedDataTask) {
        NVSULog(QStringLiteral("Error creating data task for update feed"));
        m_continueAtLine = NVSUDriverStepFinished;
        terminate(NVSUDriverTerminationFailed);
        return;
    }
    m_feedData = QByteArray();
    m_continueAtLine = NVSUDriverStepAwaitFeed;
    m_feedDataTask->resume();
}

void NVSUDriver::feedDidComplete(const NVSUDriverResume &d)
{
    if (m_feedDataTask)
        std::exchange(m_feedDataTask, nullptr)->cancel();

    if (d.downloadError) {
        m_feedData.clear();
        // The position stays here while the alert is up; the driver no
        // longer has a feed task, so no late report can resume it.
        if (m_isRunningInteractively) {
            setCheckingForUpdate(false);
            runAlertForError(*d.downloadError, d.errorAlertCompletionHandler);
        }
        m_continueAtLine = NVSUDriverStepFinished;
        terminate(NVSUDriverTerminationFailed);
        return;
    }

    NVResult<QVariant> parsed = NVPropertyList::read(m_feedData);
    m_feedData.clear();
    QVariantList entries;
    if (parsed) {
        const QVariant &root = parsed.value();
        if (root.metaType().id() == QMetaType::QVariantMap)
            entries = {root};
        else if (root.metaType().id() == QMetaType::QVariantList)
            entries = root.toList();
        else
            parsed = NVError::withDescription(NSCocoaErrorDomain, 259, QStringLiteral("Received property list is not an array"));
    }
    if (!parsed) {
        NVSULog(QStringLiteral("Data format error in feed XML: %@"), QVariant::fromValue(parsed.error()));
        if (m_isRunningInteractively)
            runUpToDateAlert();
        m_continueAtLine = NVSUDriverStepFinished;
        terminate(NVSUDriverTerminationFailed);
        return;
    }

    const NVSUSelectionState state{m_isRunningInteractively, m_canSkipPreReleaseVersions};
    m_selectedUpdate = NVSUUpdateSelection::selectUpdateFromArray(entries, state, userDefaults());
    if (!m_selectedUpdate) {
        if (m_isRunningInteractively)
            runUpToDateAlert();
        else
            NVSUDebugLog(QStringLiteral("Installation is up-to-date"));
        m_continueAtLine = NVSUDriverStepFinished;
        terminate(NVSUDriverTerminationDone);
        return;
    }
    NVSUDebugLog(QStringLiteral("Best matching update: %@"), m_selectedUpdate->description());
    presentSelectedUpdate();
}

void NVSUDriver::presentSelectedUpdate()
{
    if (m_windowController) {
        m_windowController->setUpdate(*m_selectedUpdate);
        m_windowController->switchToPresentationView();
        m_windowController->showWindow();
    } else {
        // The position is set first: the window may report that it opens.
        m_continueAtLine = NVSUDriverStepAwaitUserChoice;
        const NVSUWindowControllerFactory &factory = NVSUWindowControllers::factory();
        m_windowWillOpenPending = false;
        if (factory)
            m_windowController = factory(*m_selectedUpdate, this);
        if (m_windowController && std::exchange(m_windowWillOpenPending, false))
            updateWindowWillOpen();
        if (!m_windowController) {
            NVSULog(QStringLiteral("No interface is available to present the update of %@; it will be offered again"), bundleName());
            m_continueAtLine = NVSUDriverStepFinished;
            terminate(NVSUDriverTerminationPostponed);
            return;
        }
    }
    setCheckingForUpdate(false);
    startUserReactionTimer();
    m_continueAtLine = NVSUDriverStepAwaitUserChoice;
}

void NVSUDriver::startUserReactionTimer()
{
    m_userReactionTimeoutTimer = clock().startTimer(m_configuration.userReactionTimeout, false, [this] {
        // The timer is dropped by the step it resumes; destroying it inside
        // its own callback is what NVClock's timers allow.
        internalCheckForUpdate(std::nullopt);
    });
}

void NVSUDriver::userDidChoose(const std::optional<NVSUDriverResume> &resume)
{
    releaseLater(std::move(m_userReactionTimeoutTimer));
    if (!resume) {
        // No choice within the time: start over with what is best by then.
        return restart();
    }
    const int choice = resume->userChoice.value_or(0);
    switch (choice) {
    case NVSUUserChoiceWindowClosed:
        m_continueAtLine = NVSUDriverStepFinished;
        return terminate(NVSUDriverTerminationPostponed);
    case NVSUUserChoiceRemindMeLater:
        writeSkippedVersions([version = m_selectedUpdate->version().versionNumber()](QVariantList &skipped) { skipped.removeAll(version); });
        m_continueAtLine = NVSUDriverStepFinished;
        return terminate(NVSUDriverTerminationPostponed);
    case NVSUUserChoiceSkipThisVersion:
        writeSkippedVersions([version = m_selectedUpdate->version().versionNumber()](QVariantList &skipped) {
            if (!skipped.contains(version))
                skipped.append(version);
        });
        m_continueAtLine = NVSUDriverStepFinished;
        return terminate(NVSUDriverTerminationDone);
    default:
        break;
    }
    if (m_selectedUpdate->isAutoUpgradable())
        return startDownload();
    if (const std::optional<QUrl> page = m_selectedUpdate->downloadPageURL()) {
        NVWorkspace *workspace = NVApplicationServices::workspace();
        if (workspace)
            workspace->openURL(page->toString());
    }
    m_continueAtLine = NVSUDriverStepFinished;
    terminate(NVSUDriverTerminationDone);
}

void NVSUDriver::writeSkippedVersions(const std::function<void(QVariantList &)> &change)
{
    NVUserDefaults &defaults = userDefaults();
    const bool wasArray = defaults.isArrayForKey(SoftwareUpdateSkippedVersionsArrayKey);
    QVariantList skipped = defaults.arrayForKey(SoftwareUpdateSkippedVersionsArrayKey);
    const QVariantList before = skipped;
    change(skipped);
    // Nothing is written when nothing changed: remind-me-later of a version
    // never skipped leaves the settings as they were.
    if (skipped != before || (!wasArray && !skipped.isEmpty()))
        defaults.setObject(skipped, SoftwareUpdateSkippedVersionsArrayKey);
}

void NVSUDriver::startDownload()
{
    const std::optional<QUrl> url = m_selectedUpdate->downloadURL();
    NVSUDebugLog(QStringLiteral("Starting download from %@"), url ? url->toString(QUrl::FullyEncoded) : QString());
    m_windowController->setProgressDescription(localizeString(S::_progressDescriptionDownloadingUpdate));
    m_windowController->downloadStarted();
    m_windowController->switchToDownloadView();
    if (url)
        m_downloadTask = m_URLSession->downloadTaskWithRequest(NVSUExtensions::nvsuRequestWithURL(*url));
    if (!m_downloadTask) {
        m_windowController->processingAborted();
        showErrorAlert(S::noDownloadObject);
        return;
    }
    m_continueAtLine = NVSUDriverStepAwaitDownload;
    m_downloadTask->resume();
}

void NVSUDriver::showErrorAlert(const QString &name, const QVariantList &arguments)
{
    m_windowController->runAlertWithName(name, arguments);
    m_continueAtLine = NVSUDriverStepAwaitErrorAcknowledgement;
}

void NVSUDriver::returnToPresentation()
{
    cleanupAfterDownload();
    m_windowController->processingAborted();
    m_windowController->switchToPresentationView();
    m_continueAtLine = NVSUDriverStepAwaitUserChoice;
}

void NVSUDriver::downloadDidEnd(const NVSUDriverResume &d)
{
    const int choice = d.userChoice.value_or(0);
    if (d.userChoice && choice == NVSUUserChoiceCancel) {
        return returnToPresentation();
    }
    if (d.userChoice && choice == NVSUUserChoiceWindowClosed) {
        if (m_downloadTask)
            std::exchange(m_downloadTask, nullptr)->cancel();
        m_continueAtLine = NVSUDriverStepFinished;
        return terminate(NVSUDriverTerminationPostponed);
    }
    if (d.downloadError) {
        showErrorAlert(S::errorAlert, {d.downloadError->localizedDescription()});
        return;
    }
    m_windowController->setProgressDescription(localizeString(S::_progressDescriptionCheckingDigitalSignature));
    if (!NVSUSignatureIsValid(m_downloadedFileURL, anchorsPath())) {
        m_windowController->processingAborted();
        showErrorAlert(S::signatureError);
        return;
    }
    m_windowController->setProgressDescription(localizeString(S::_progressDescriptionUnpackingArchive));
    m_unarchiver = NVSUUnarchiver::unarchiverWithPackagePath(m_downloadedFileURL->toLocalFile(), this);
    if (!m_unarchiver) {
        showErrorAlert(S::unsupportedArchiveFormat);
        return;
    }
    m_windowController->unpackStarted();
    m_continueAtLine = NVSUDriverStepAwaitUnarchiving;
    m_unarchiver->start();
}

void NVSUDriver::unarchivingDidEnd(const NVSUDriverResume &d)
{
    const int choice = d.userChoice.value_or(0);
    if (d.userChoice && choice == NVSUUserChoiceCancel) {
        return returnToPresentation();
    }
    if (d.userChoice && choice == NVSUUserChoiceWindowClosed) {
        m_continueAtLine = NVSUDriverStepFinished;
        return terminate(NVSUDriverTerminationPostponed);
    }
    if (d.downloadError) {
        showErrorAlert(S::errorAlert, {d.downloadError->localizedDescription()});
        return;
    }
    if (!m_unarchiver || !m_unarchiver->unarchivedContentPath()) {
        showErrorAlert(S::unexpectedUnarchivingError);
        return;
    }
    m_windowController->setProgressDescription(localizeString(S::_progressDescriptionReadyForInstallation));
    m_windowController->offerInstallationWithMechanism(m_selectedUpdate->installationMechanism());
    m_continueAtLine = NVSUDriverStepAwaitInstallCommand;
}

void NVSUDriver::installCommandDidArrive(const NVSUDriverResume &d)
{
    const int choice = d.userChoice.value_or(0);
    if (choice != NVSUUserChoiceUpdate) {
        dropUnarchiver();
        if (choice == NVSUUserChoiceWindowClosed) {
            m_continueAtLine = NVSUDriverStepFinished;
            return terminate(NVSUDriverTerminationDone);
        }
        m_continueAtLine = NVSUDriverStepAwaitWindowClose;
        return;
    }
    const QString objectPath = *m_unarchiver->unarchivedContentPath() + QLatin1Char('/') + m_selectedUpdate->installationObject();
    switch (m_selectedUpdate->installationMechanism()) {
    case NVSUInstallationMechanismInstaller:
        if (NVSUInstallerLaunch::runInstaller(objectPath, [this] { closeUpdateWindow(); })) {
            dropUnarchiver();
            m_continueAtLine = NVSUDriverStepAwaitWindowClose;
        } else {
            showErrorAlert(S::cannotLaunchInstaller, {objectPath});
        }
        return;
    case NVSUInstallationMechanismReplaceBundle:
        return replaceBundle(objectPath);
    default:
        showErrorAlert(S::mechanismNotSupported, {qint64(m_selectedUpdate->installationMechanism())});
        return;
    }
}

QString NVSUDriver::replacementTarget(const QString &ownBundlePath)
{
    const QString marker = QStringLiteral(".app/Contents/");
    const qsizetype nested = ownBundlePath.indexOf(marker);
    return nested < 0 ? ownBundlePath : ownBundlePath.left(nested + 4);
}

void NVSUDriver::replaceBundle(const QString &objectPath)
{
    const QString own = NVBundle::mainBundle()->bundlePath();
    const QString target = own.isEmpty() ? QString() : replacementTarget(own);
    const bool replacingSelf = target == own;
    if (QFileInfo(objectPath).fileName() != QFileInfo(target).fileName()) {
        showErrorAlert(S::bundleNameMismatch, {QFileInfo(objectPath).fileName(), QFileInfo(target).fileName()});
        return;
    }
    // A valid signature says who made an archive, not which release it is:
    // a server answering with another signed release, an older one above
    // all, would otherwise roll the product back. Only the release the feed
    // named is installed.
    const NVBundle *unpacked = NVBundle::bundleWithPath(objectPath, true);
    const QString found = unpacked ? unpacked->objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")).toString() : QString();
    const NVSUVersion &named = m_selectedUpdate->version();
    if (found.isEmpty() || NVSUVersion(found).compareVersion(named) != NVOrderedSame) {
        NVSULog(QStringLiteral("The update at %@ holds version %@, not the version %@ the feed named"), objectPath, found, named.versionNumber());
        const QString shown = unpacked ? unpacked->objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")).toString() : QString();
        showErrorAlert(S::errorAlert, {NVFormat::format(localizeString(S::_updateVersionMismatchFormat), shown.isEmpty() ? found : shown,
                                                        named.displayName())});
        return;
    }

    NVSUBundleReplacementOptions options;
    options.signedArchive = NVSUSignedArchive{m_downloadedFileURL->toLocalFile(), m_selectedUpdate->installationObject(), anchorsPath(),
                                              m_configuration.verifierPath};
    // The replacement blocks (commands, perhaps a password prompt), so it
    // runs on a thread of its own; its result is posted back here, and only
    // then touches the driver.
    struct Announcer final : NVSUBundleReplacementDelegate {
        QPointer<NVSUDriver> driver;
        void willReplaceApplication(const QString &targetPath, const QString &stagedPath) override
        {
            if (driver)
                driver->willReplaceApplication(targetPath, stagedPath);
        }
    };
    QThread *worker = QThread::create([driver = QPointer<NVSUDriver>(this), objectPath, target, replacingSelf, options] {
        Announcer announcer;
        announcer.driver = driver;
        bool succeeded;
        {
            // A quit asked for meanwhile (a signal) waits for the swap.
            NVTerminationGuard replacing;
            succeeded = NVSUInstallFile(objectPath, target, replacingSelf, &announcer, options).ok();
        }
        QMetaObject::invokeMethod(QCoreApplication::instance(), [driver, succeeded, objectPath, target, replacingSelf] {
            if (driver)
                driver->bundleReplacementFinished(succeeded, objectPath, target, replacingSelf);
        }, Qt::QueuedConnection);
    });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
    m_continueAtLine = NVSUDriverStepAwaitBundleReplacement;
}

void NVSUDriver::bundleReplacementFinished(bool succeeded, const QString &objectPath, const QString &target, bool replacingSelf)
{
    if (!succeeded) {
        if (m_windowController)
            m_windowController->runAlertWithName(S::errorCopyingOverSelf, {objectPath, target});
        internalCheckForUpdate(NVSUDriverResume{.installationError = S::errorCopyingOverSelf});
        return;
    }
    NVApplication *application = NVApplicationServices::application();
    if (!replacingSelf) {
        m_terminationTimer = clock().startTimer(m_configuration.terminationDelay, false, [] { NVApplicationServices::terminateApplication(); });
        if (application)
            application->hide();
    } else {
        NVSUDebugLog(QStringLiteral("Terminating in order to allow relaunch"));
        if (application)
            application->hide();
        if (const NVResult<void> relaunched = NVRelaunch::terminateAndLaunchApplication(target); !relaunched)
            NVSULog(QStringLiteral("%@"), relaunched.error().localizedDescription());
    }
    internalCheckForUpdate(std::nullopt);
}

void NVSUDriver::bundleReplacementDidEnd(const NVSUDriverResume &d)
{
    if (m_windowController)
        m_windowController->resetDownloadView();
    if (d.installationError) {
        m_continueAtLine = NVSUDriverStepAwaitErrorAcknowledgement;
        return;
    }
    dropUnarchiver();
    if (d.userChoice.value_or(0) == NVSUUserChoiceWindowClosed) {
        m_continueAtLine = NVSUDriverStepFinished;
        return terminate(NVSUDriverTerminationDone);
    }
    m_continueAtLine = NVSUDriverStepAwaitWindowClose;
}

void NVSUDriver::errorWasAcknowledged(const NVSUDriverResume &d)
{
    cleanupAfterDownload();
    if (d.userChoice.value_or(0) == NVSUUserChoiceWindowClosed) {
        m_continueAtLine = NVSUDriverStepFinished;
        return terminate(NVSUDriverTerminationAfterError);
    }
    restart();
}

void NVSUDriver::restart()
{
    m_continueAtLine = NVSUDriverStepStart;
    internalCheckForUpdate(std::nullopt);
}

// ---- the end of a run ------------------------------------------------------------

void NVSUDriver::terminate(int termination)
{
    setCheckingForUpdate(false);
    cleanupAfterDownload();
    m_selectedUpdate.reset();
    releaseLater(std::move(m_userReactionTimeoutTimer));
    if (m_windowController)
        m_windowController->close();
    dropWindowController();
    if (m_delegate)
        m_delegate->driverDidTerminate(this, termination);
}

void NVSUDriver::dropWindowController()
{
    releaseLater(std::move(m_windowController));
}

void NVSUDriver::dropUnarchiver()
{
    if (!m_unarchiver)
        return;
    m_unarchiver->invalidate();
    releaseLater(std::move(m_unarchiver));
}

void NVSUDriver::cleanupAfterDownload()
{
    if (m_feedDataTask)
        std::exchange(m_feedDataTask, nullptr)->cancel();
    if (m_downloadTask)
        std::exchange(m_downloadTask, nullptr)->cancel();
    dropUnarchiver();
    if (m_downloadedFileURL) {
        const QString folder = QFileInfo(m_downloadedFileURL->toLocalFile()).path();
        const bool removed = QDir(folder).removeRecursively();
        NVSUDebugLog(QStringLiteral("Deleted download folder: %@ (success: %d)"), folder, qint64(removed ? 1 : 0));
        m_downloadedFileURL.reset();
    }
}
