#pragma once

#include "localization/NVLocalization.h"
#include "network/NVURLSession.h"
#include "network/NVURLSessionDelegate.h"
#include "terminal/NVTerminal.h"
#include "ui/NVSUWindowController.h"

#include <QLocale>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>

// What the terminal interface takes from its surroundings; tests pass their own.
struct NVSUTerminalEnvironment {
    // Milliseconds from any fixed start, for the transfer rate and how often
    // the progress line is rewritten; empty: a steady clock.
    std::function<qint64()> elapsedMilliseconds;
    // How the release notes are fetched: the updater's transport, trusting
    // what the feed is trusted with.
    NVURLSessionConfiguration sessionConfiguration;
};

// The update window for a terminal: the same steps as the Qt window, as
// lines of text. It prints the headline, the informative text and the
// release notes (fetched with the updater's transport and reduced to plain
// text; a failure to fetch them is one line), then asks for one of the three
// choices by number, Enter taking "install update". During the download it
// shows one progress line (received, total, rate, percentage), rewritten in
// place on a terminal and written once per 10 % otherwise, with the cancel
// button as a numbered choice; then the descriptions of the later steps,
// the install button, and the alerts inside the window with their go-back
// choice. The end of the input closes the window, as its close button would.
//
// With --assume-yes it answers "install update", then the install button;
// an alert inside the window is answered by closing the window, so that a
// failure that would repeat (a bad signature) ends the run instead.
//
// Like the Qt window it decides nothing: answers become owner calls, and
// the driver switches views. Main thread, every method; the owner may
// release the controller from inside any call it receives.
class NVSUTerminalWindowController : public QObject,
                                     public NVSUWindowControllerInterface,
                                     public NVLocalizable,
                                     private NVURLSessionDelegate {
    Q_OBJECT
public:
    NV_LOCALIZATION_TABLE("NVSoftwareUpdate")

    // Shows the update on the terminal (the question comes once the release
    // notes are there). The terminal must outlive the controller.
    NVSUTerminalWindowController(const NVSUUpdate &update, NVSUWindowControllerOwner *owner, NVTerminal *terminal,
                                 NVSUTerminalEnvironment environment = {});
    ~NVSUTerminalWindowController() override;

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
    // There is no window to put sheets on.
    NVWindowHandle window() const override { return nullptr; }
    void showWindow() override;
    void closeUpdateWindow() override;
    void close() override;

private:
    enum class View { Presentation, Download };
    // What the download view's one button does now.
    enum class Action { None, Cancel, Install, GoBack };

    void present();
    void askForChoice();
    void startLoadingReleaseNotes(const QUrl &url);
    void releaseNotesLoaded(const QString &text, const QString &failure);
    void showAction();
    void withdrawQuestion();
    void actionAnswered(Action action, std::optional<int> choice);
    QString progressLine(qint64 received, qint64 total, qint64 elapsed) const;
    QString byteCount(qint64 bytes) const;
    qint64 now() const;

    // NVURLSessionDelegate: the release notes.
    void dataTaskDidReceiveResponse(NVURLSession *session, const NVURLSessionDataTaskPtr &dataTask,
                                    const NVHTTPURLResponse &response,
                                    std::function<void(NVURLSessionResponseDisposition)> completionHandler) override;
    void dataTaskDidReceiveData(NVURLSession *session, const NVURLSessionDataTaskPtr &dataTask, const QByteArray &data) override;
    void taskDidCompleteWithError(NVURLSession *session, const NVURLSessionTaskPtr &task, const std::optional<NVError> &error) override;

    NVSUUpdate m_update;
    NVSUWindowControllerOwner *m_owner;
    QPointer<NVTerminal> m_terminal;
    NVSUTerminalEnvironment m_environment;
    QLocale m_byteCountLocale;

    View m_view = View::Presentation;
    bool m_visible = false;
    bool m_closed = false;
    bool m_willPerformBundleReplacement = false;
    QString m_installButtonTitle;
    Action m_action = Action::None;
    std::optional<NVTerminal::Ticket> m_question;
    QString m_description;
    // The version whose release notes were printed: printed once per update.
    QString m_notesShownForVersion;

    // The transfer as the progress line shows it.
    qint64 m_transferStart = 0;
    qint64 m_lastLineTime = -1;
    qint64 m_lastLineStep = 0;

    std::unique_ptr<NVURLSession> m_session;
    NVURLSessionDataTaskPtr m_notesTask;
    QByteArray m_notesData;
    QString m_notesFailure;
    bool m_notesArePlainText = false;
};
