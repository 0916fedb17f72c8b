#pragma once

#include "foundation/NVError.h"
#include "localization/NVLocalization.h"
#include "ui/NVSUWindowController.h"
#include "widgets/NVSUReleaseNotesView.h"
#include "widgets/NVSUWindow.h"

#include <QLocale>
#include <QObject>
#include <QPixmap>
#include <QPointer>

#include <memory>

class NVDynamicAutoresizingButton;
class NVProgressIndicator;
class NVUserDefaults;
class NVWindowResizingView;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;

// The user default under which the size of the window with release notes
// is remembered, as "{width, height}".
inline const QString SoftwareUpdateWindowSizeKey = QStringLiteral("SoftwareUpdateWindowSize");

// What the update window takes from its surroundings; tests pass their own.
struct NVSUWindowEnvironment {
    NVWindowClock clock;                      // empty: the system clock
    NVUserDefaults *defaults = nullptr; // nullptr: the standard user defaults
};

// The update window of the Qt interface: one window that presents an update
// (headline, informative text, release notes, three choices) and then shows
// its download, check and installation (a description, a progress bar, a
// progress line, one action button and an alert area that opens in the
// window when a step fails). The driver decides every step through
// NVSUWindowControllerInterface; the controller turns clicks back into calls
// on its owner and never switches views by itself.
//
// The views come from the interface file "NVSoftwareUpdate" and are
// localized as they load; the controller's own texts come from the table
// "NVSoftwareUpdate", the in-window alert's from the owner's table.
//
// In an automatic check the window comes up floating without taking the
// focus and refuses clicks and key presses for two seconds; the first click
// after that, or the application becoming active, lowers it to the normal
// level. The size of a window with release notes is remembered.
//
// The release notes load into a view made by the installed
// NVSUReleaseNotesViews factory, only for an update that has them; the
// spinner turns until the load ends, and a failed load shows an error page
// in the view instead (the update can still be installed). A server that
// wants a password gets it through the log-in sheet, window-modal.
//
// Main thread, every method. The window and the views are deleted later
// than the controller, so the owner may release the controller from inside
// a callback of one of its buttons.
class NVSUWindowController : public QObject,
                             public NVSUWindowControllerInterface,
                             public NVSUReleaseNotesViewDelegate,
                             public NVLocalizable {
    Q_OBJECT
    Q_PROPERTY(QString updateAvailableMessageText READ updateAvailableMessageText CONSTANT)
    Q_PROPERTY(QString updateAvailableInformativeText READ updateAvailableInformativeText NOTIFY updateChanged)
    Q_PROPERTY(QString commitButtonTitle READ commitButtonTitle NOTIFY updateChanged)
    Q_PROPERTY(QPixmap softwareUpdateIcon READ softwareUpdateIcon CONSTANT)
public:
    NV_LOCALIZATION_TABLE("NVSoftwareUpdate")

    // Loads the interface, builds the window and shows it. Fails when the
    // interface file is missing or lacks a view the controller needs.
    static NVResult<std::unique_ptr<NVSUWindowController>> create(const NVSUUpdate &update,
                                                                  NVSUWindowControllerOwner *owner,
                                                                  NVSUWindowEnvironment environment = {});
    // The factory the application installs when there is a display; it
    // declines, with one log line naming the cause, when create fails.
    static NVSUWindowControllerFactory factory();

    ~NVSUWindowController() override;

    void setUpdate(const NVSUUpdate &update) override;
    void switchToPresentationView() override;
    void switchToDownloadView() override;
    void setProgressDescription(const QString &description) override;
    void downloadStarted() override;
    void downloadProgress(qint64 received, qint64 totalDownloadSize) override;
    void unpackStarted() override;
    void processingAborted() override;
    void resetDownloadView() override;
    void offerInstallationWithMechanism(int mechanism) override;
    void runAlertWithName(const QString &name, const QVariantList &arguments = {}) override;
    NVWindowHandle window() const override;
    void showWindow() override;
    void closeUpdateWindow() override;
    void close() override;

    // The observable texts the interface file shows.
    QString updateAvailableMessageText() const;
    // Rich text; a piece that says the update cannot run here is red.
    QString updateAvailableInformativeText() const;
    QString commitButtonTitle() const;
    QPixmap softwareUpdateIcon() const;

    // The views the controller steers, by the interface file's names.
    struct Outlets {
        NVWindowResizingView *presentationView = nullptr;
        NVWindowResizingView *downloadView = nullptr;
        QWidget *releaseNotesView = nullptr;
        NVProgressIndicator *releaseNotesProgressIndicator = nullptr;
        QWidget *releaseNotesWebViewContainer = nullptr;
        QLabel *downloadDescriptionTextField = nullptr;
        NVProgressIndicator *downloadProgressIndicator = nullptr;
        QLabel *downloadProgressTextField = nullptr;
        NVDynamicAutoresizingButton *downloadActionButton = nullptr;
        QWidget *alertView = nullptr;
        QLabel *errorTitleTextField = nullptr;
        QLabel *errorTextField = nullptr;
        QDialog *authenticationSheet = nullptr;
        QLabel *authenticationHostnameTextField = nullptr;
        QLineEdit *authenticationUserTextField = nullptr;
        QLineEdit *authenticationPasswordTextField = nullptr;
        QPushButton *authenticationLogInButton = nullptr;
    };
    const Outlets &outlets() const { return m_outlets; }
    // The view the release notes load into; nullptr until an update with
    // release notes is shown, or when no factory is installed.
    NVSUReleaseNotesView *releaseNotesWebView() const { return m_releaseNotesWebView; }
    NVSUWindow *updateWindow() const { return m_window.get(); }

    // The actions the interface file's buttons send, the button as sender.
    Q_INVOKABLE void skipThisUpdate(QObject *sender);
    Q_INVOKABLE void remindMeLater(QObject *sender);
    Q_INVOKABLE void doUpdate(QObject *sender);
    Q_INVOKABLE void downloadAction(QObject *sender);
    // Ends the log-in sheet: 1 from its log-in button, 0 from any other.
    Q_INVOKABLE void authenticate(QObject *sender);

    void releaseNotesViewDidFinishLoading(const std::optional<NVError> &error) override;
    void releaseNotesViewDidReceiveAuthenticationChallenge(const QString &host, int port,
                                                           CredentialCompletion completion) override;

Q_SIGNALS:
    void updateChanged();

private:
    struct DeleteLater {
        void operator()(QObject *object) const { object->deleteLater(); }
    };

    NVSUWindowController(const NVSUUpdate &update, NVSUWindowControllerOwner *owner, NVSUWindowEnvironment environment);
    NVResult<void> loadInterface();
    void createWindow();
    void installReleaseNotesWebView();
    void loadReleaseNotes(const QUrl &url);
    void makeWindowResizable(bool resizable);
    void windowDidResize();
    void fitAlertViewToItsTexts();
    bool hasReleaseNotes() const { return m_update.releaseNotesURL().has_value(); }
    QString format(const QString &key, const QVariantList &arguments) const;
    QString byteCount(qint64 bytes) const;

    NVSUUpdate m_update;
    NVSUWindowControllerOwner *m_owner;
    NVWindowClock m_clock;
    NVUserDefaults *m_defaults;
    QLocale m_byteCountLocale;
    qint64 m_downloadSize = 0;
    bool m_isWaitingForInstall = false;
    bool m_isShowingAlert = false;
    bool m_willPerformBundleReplacement = false;

    std::unique_ptr<QWidget, DeleteLater> m_interface; // the loaded file's root: the views' home
    std::unique_ptr<NVSUWindow, DeleteLater> m_window;
    Outlets m_outlets;
    // A child of the release-notes container, which outlives the controller.
    NVSUReleaseNotesView *m_releaseNotesWebView = nullptr;
};
