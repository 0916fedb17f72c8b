#pragma once

#include "foundation/NVError.h"
#include "localization/NVLocalization.h"
#include "model/NVSUUpdate.h"
#include "network/NVHTTPURLResponse.h"
#include "network/NVURLSession.h"
#include "network/NVURLSessionDelegate.h"
#include "platform/NVWindowHandle.h"
#include "ui/NVAlert.h"
#include "ui/NVSUWindowController.h"
#include "unarchive/NVSUUnarchiverDelegate.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class NVClock;
class NVSUDriver;
class NVSUUnarchiver;
class NVTimer;
class NVUserDefaults;

// Where the step sequence waits. The values are the ones the logs and the
// settings of older versions know; only Start and Finished mean anything
// outside the sequence.
enum NVSUDriverStep : int {
    NVSUDriverStepStart = 0,
    NVSUDriverStepAwaitFeed = 464,
    NVSUDriverStepAwaitUserChoice = 527,
    NVSUDriverStepAwaitDownload = 582,
    NVSUDriverStepAwaitUnarchiving = 616,
    NVSUDriverStepAwaitInstallCommand = 639,
    NVSUDriverStepAwaitBundleReplacement = 703,
    NVSUDriverStepAwaitWindowClose = 724,
    NVSUDriverStepAwaitErrorAcknowledgement = 731,
    NVSUDriverStepFinished = -1,
};

// How a run ended; only Failed means anything to the schedule.
enum NVSUDriverTermination : int {
    NVSUDriverTerminationFailed = 0,     // the feed could not be fetched or read
    NVSUDriverTerminationAfterError = 1, // the window was closed while it showed an error
    NVSUDriverTerminationPostponed = 2,  // remind me later, or closed before the installation was offered
    NVSUDriverTerminationDone = 3,       // nothing to do, skipped, handed over, or closed after the offer
};

// What the driver tells its owner, the update manager.
class NVSUDriverDelegate {
public:
    virtual ~NVSUDriverDelegate() = default;
    // A bundle replacement is about to swap `targetPath` for `stagedPath`.
    // On the replacement's own background thread.
    virtual void driverWillReplaceApplication(NVSUDriver *driver, const QString &targetPath, const QString &stagedPath) {}
    // The run has ended; once per run. The driver is still on the call
    // stack: release it later (deleteLater), not inside this call. Main thread.
    virtual void driverDidTerminate(NVSUDriver *driver, int termination) {}
};

// What the driver needs of the update manager that owns it: the
// announcement that a window or an alert is about to appear (so the
// application comes to the front) and the icon. Main thread.
class NVSUDriverHost {
public:
    virtual ~NVSUDriverHost() = default;
    virtual void postWillShowWindowNotificationWithWindow(NVWindowHandle window) {}
    virtual void postWillShowWindowNotificationWithAlert(const NVAlert &alert) {}
    // An image file, empty for the application's own icon.
    virtual QString softwareUpdateIcon() const { return QString(); }
};

// How a run is set up; the defaults are the process's. Tests give their
// own anchors, clock and settings.
struct NVSUDriverConfiguration {
    // The feed; empty: the main bundle's "SoftwareUpdateFeedURL".
    QUrl feedURL;
    NVURLSessionConfiguration sessionConfiguration;
    // CodeSigningAnchors.pem; empty: the main bundle's.
    QString codeSigningAnchorsPath;
    // The tool root verifies with; empty: nvsu-release beside this program.
    QString verifierPath;
    // nullptr: the standard user defaults.
    NVUserDefaults *userDefaults = nullptr;
    // nullptr: the system clock.
    NVClock *clock = nullptr;
    // How long a presented update waits for a choice before the run starts
    // over with the then best update.
    std::chrono::milliseconds userReactionTimeout{std::chrono::hours(24)};
    // How long after a replacement of another application this one quits.
    std::chrono::milliseconds terminationDelay{2000};
};

// What a step is resumed with; nothing at all stands for a bare resume (a
// timer, the go-back button).
struct NVSUDriverResume {
    std::optional<NVError> downloadError = {};
    std::optional<int> userChoice = {};    // NVSUUserChoice; absent reads as 0
    std::optional<QString> installationError = {};
    std::function<void(int response)> errorAlertCompletionHandler = {};
};

// One update run, from the feed to the hand-over: fetch the feed, choose an
// update, offer it in the window, download, check the signature, unpack,
// and install (replace the bundle, or run the installer), or open the
// download page. The run is one step sequence that never blocks: each event
// it waits for (a transfer, the unarchiver, a click, a timer) resumes it at
// the stored step. Everything runs on the main thread, except the bundle
// replacement, whose result comes back to the main thread before it touches
// the driver.
//
// Log lines of the run:
//   "Cannot run because feed URL is missing in Info.plist"
//   "Error creating data task for update feed"
//   "Data format error in feed XML: %@"
//   "Best matching update: %@"                           (debug)
//   "Installation is up-to-date"                         (debug)
//   "Starting download from %@"                          (debug)
//   "Moving downloaded file to directory %@"             (debug)
//   "Deleted download folder: %@ (success: %d)"          (debug)
//   "Terminating in order to allow relaunch"             (debug)
//   "URL session error occurred: %@"
//   "No interface is available to present the update of %@; it will be offered again"
class NVSUDriver : public QObject, public NVLocalizable, public NVURLSessionDelegate, public NVSUUnarchiverDelegate,
                   public NVSUWindowControllerOwner {
    Q_OBJECT
    Q_PROPERTY(bool checkingForUpdate READ isCheckingForUpdate NOTIFY checkingForUpdateChanged)
    Q_PROPERTY(bool runningInteractively READ isRunningInteractively NOTIFY runningInteractivelyChanged)
public:
    NV_LOCALIZATION_TABLE("NVSoftwareUpdate")

    // Main thread.
    explicit NVSUDriver(NVSUDriverHost *host, NVSUDriverConfiguration configuration = {}, QObject *parent = nullptr);
    ~NVSUDriver() override;

    // Starts a run when the driver is idle (not checking, no window, no
    // modal alert); otherwise an interactive request brings the window or
    // the alert to the front. Main thread; returns at once, except that an
    // alert without a parent window runs modally.
    void checkForUpdateInteractively(bool interactively, NVWindowHandle sheetParentWindow);

    bool isCheckingForUpdate() const { return m_isCheckingForUpdate; }
    bool isRunningInteractively() const override { return m_isRunningInteractively; }
    bool canSkipPreReleaseVersions() const { return m_canSkipPreReleaseVersions; }
    void setCanSkipPreReleaseVersions(bool value) { m_canSkipPreReleaseVersions = value; }
    NVSUDriverDelegate *delegate() const { return m_delegate; }
    void setDelegate(NVSUDriverDelegate *delegate) { m_delegate = delegate; }
    const QUrl &websiteURL() const { return m_websiteURL; }
    void setWebsiteURL(const QUrl &url) { m_websiteURL = url; }
    const QUrl &feedURL() const { return m_feedURL; }

    // Where the sequence waits now, and the update it offers. Main thread.
    int continueAtLine() const { return m_continueAtLine; }
    const std::optional<NVSUUpdate> &selectedUpdate() const { return m_selectedUpdate; }
    // The downloaded archive inside its private folder, once there is one.
    const std::optional<QUrl> &downloadedFileURL() const { return m_downloadedFileURL; }

    // The product's name: the main bundle's "SoftwareUpdateBundleName",
    // else its CFBundleName. Any thread.
    QString bundleName() const override;
    QString softwareUpdateIcon() const override;
    const NVLocalizable &localizable() const override { return *this; }

    // Window-facing operations (NVSUWindowControllerOwner). Main thread.
    void updateWindowWillOpen() override;
    void updateWindowWillClose() override;
    void dialogFinishedWithChoice(int choice) override;
    void cancelDownload() override;
    void startInstaller() override;
    void alertDidFinish() override;
    // Hides the update window without closing it (an installer takes over).
    void closeUpdateWindow();

    // Alerts outside the window. Main thread; runAlert returns at once for a
    // sheet and after the answer for an application-modal alert.
    void runAlert(NVAlert alert, std::function<void(int response)> completionHandler);
    void runAlertForError(const NVError &error, std::function<void(int response)> completionHandler);
    NVAlert upToDateAlert() const;
    void runUpToDateAlert();
    void openWebsiteURL();
    // Passes a replacement's announcement on to the delegate. Any thread.
    void willReplaceApplication(const QString &targetPath, const QString &stagedPath);

    // The step sequence: resumes at the stored step. Main thread.
    void internalCheckForUpdate(const std::optional<NVSUDriverResume> &resume);
    // Removes the download folder and stops transfers and unpacking; also
    // run when the application quits. Main thread.
    void cleanupAfterDownload();
    // Shows an alert in the window and waits for it to be acknowledged.
    // Main thread.
    void showErrorAlert(const QString &name, const QVariantList &arguments = {});
    // Stops the transfer or the unpacking and offers the update again.
    // Main thread.
    void returnToPresentation();

    // "<bundle name>-<version>-<key>" with blanks (and slashes) as "_": the
    // private folder a download is kept in. Any thread.
    static QString downloadFolderName(const QString &bundleName, const QString &version, quint64 key);
    // The domain of a URL for the redirect rule: the last two labels of its
    // host, nothing for a host of one label or none. Any thread.
    static std::optional<QString> domainOfURL(const QUrl &url);
    // The bundle a replacement installs over when this program's bundle is
    // `ownBundlePath`: the outermost application it is nested in (a helper in
    // X.app/Contents/Helpers/ replaces X.app), else itself. Any thread.
    static QString replacementTarget(const QString &ownBundlePath);

Q_SIGNALS:
    void checkingForUpdateChanged(bool checkingForUpdate);
    void runningInteractivelyChanged(bool runningInteractively);

protected:
    // NVURLSessionDelegate
    void URLSessionDidBecomeInvalidWithError(NVURLSession *session, const std::optional<NVError> &error) override;
    void dataTaskDidReceiveResponse(NVURLSession *session, const NVURLSessionDataTaskPtr &dataTask, const NVHTTPURLResponse &response,
                                    std::function<void(NVURLSessionResponseDisposition)> completionHandler) override;
    void dataTaskDidReceiveData(NVURLSession *session, const NVURLSessionDataTaskPtr &dataTask, const QByteArray &data) override;
    void taskDidCompleteWithError(NVURLSession *session, const NVURLSessionTaskPtr &task, const std::optional<NVError> &error) override;
    void downloadTaskDidWriteData(NVURLSession *session, const NVURLSessionDownloadTaskPtr &downloadTask, qint64 bytesWritten,
                                  qint64 totalBytesWritten, qint64 totalBytesExpectedToWrite) override;
    void downloadTaskDidFinishDownloadingToURL(NVURLSession *session, const NVURLSessionDownloadTaskPtr &downloadTask,
                                               const QUrl &location) override;
    void taskWillPerformHTTPRedirection(NVURLSession *session, const NVURLSessionTaskPtr &task, const NVHTTPURLResponse &response,
                                        const QNetworkRequest &newRequest,
                                        std::function<void(std::optional<QNetworkRequest>)> completionHandler) override;

    // NVSUUnarchiverDelegate
    void unarchiverProgress(NVSUUnarchiver *unarchiver, double progress) override;
    void unarchiverFinishedWithError(NVSUUnarchiver *unarchiver, const std::optional<NVError> &error) override;

private:
    // The steps, one function each; every one stores the next position.
    void start();
    void feedDidComplete(const NVSUDriverResume &resume);
    void userDidChoose(const std::optional<NVSUDriverResume> &resume);
    void downloadDidEnd(const NVSUDriverResume &resume);
    void unarchivingDidEnd(const NVSUDriverResume &resume);
    void installCommandDidArrive(const NVSUDriverResume &resume);
    void bundleReplacementDidEnd(const NVSUDriverResume &resume);
    void errorWasAcknowledged(const NVSUDriverResume &resume);

    void presentSelectedUpdate();
    void startDownload();
    void replaceBundle(const QString &objectPath);
    void bundleReplacementFinished(bool succeeded, const QString &objectPath, const QString &target, bool replacingSelf);
    void restart();
    void terminate(int termination);
    void setCheckingForUpdate(bool checking);
    void setRunningInteractively(bool interactively);
    void startUserReactionTimer();
    void writeSkippedVersions(const std::function<void(QVariantList &)> &change);
    void dropWindowController();
    void dropUnarchiver();
    void refuseRedirect(const NVURLSessionTaskPtr &task, const QUrl &target);
    bool isCurrentTask(const NVURLSessionTaskPtr &task) const;
    QString anchorsPath() const;
    NVUserDefaults &userDefaults() const;
    NVClock &clock() const;

    QUrl m_feedURL;
    bool m_isRunningInteractively = false;
    bool m_isCheckingForUpdate = false;
    NVSUDriverHost *m_host;
    std::optional<NVSUUpdate> m_selectedUpdate;
    std::unique_ptr<NVSUWindowControllerInterface> m_windowController;
    bool m_windowWillOpenPending = false;
    QPointer<QObject> m_sheetParentWindow;
    int m_continueAtLine = NVSUDriverStepStart;
    NVURLSession *m_URLSession;
    NVURLSessionDataTaskPtr m_feedDataTask;
    QByteArray m_feedData;
    NVURLSessionDownloadTaskPtr m_downloadTask;
    std::optional<QUrl> m_downloadedFileURL;
    std::unique_ptr<NVSUUnarchiver> m_unarchiver;
    std::unique_ptr<NVTimer> m_userReactionTimeoutTimer;
    std::unique_ptr<NVTimer> m_terminationTimer;
    bool m_canSkipPreReleaseVersions = true;
    NVSUDriverDelegate *m_delegate = nullptr;
    QUrl m_websiteURL;
    const NVSUDriverConfiguration m_configuration;
};
