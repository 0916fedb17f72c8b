#include "terminal/NVSUTerminalWindowController.h"

#include "foundation/NVFormat.h"
#include "localization/NVSoftwareUpdateStrings.h"
#include "logging/NVLog.h"
#include "network/NVSURequest.h"
#include "terminal/NVHTMLText.h"
#include "ui/NVByteCountFormatter.h"
#include "ui/NVLocalizedAlert.h"
#include "ui/NVSUUpdateTexts.h"

#include <chrono>

namespace Strings = NVSoftwareUpdateStrings;

namespace {

// The transfer size of a download whose server did not say.
constexpr qint64 TransferSizeUnknown = -1;
// On a terminal the progress line is rewritten at most this often: more is
// flicker, not information.
constexpr qint64 RewriteIntervalMilliseconds = 100;
// Elsewhere one line per tenth of the download, or per this many bytes when
// the size is not known.
constexpr qint64 UnknownSizeLineStep = 10'000'000;
// Release notes that do not come within this time are not waited for.
constexpr std::chrono::seconds ReleaseNotesStallTimeout{30};
constexpr qint64 MaximumReleaseNotesLength = 4 * 1024 * 1024;

qint64 steadyMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QString indented(const QString &text)
{
    QStringList lines = text.split(u'\n');
    for (QString &line : lines)
        if (!line.isEmpty())
            line.prepend(QStringLiteral("  "));
    return lines.join(u'\n');
}

} // namespace

NVSUTerminalWindowController::NVSUTerminalWindowController(const NVSUUpdate &update, NVSUWindowControllerOwner *owner,
                                                           NVTerminal *terminal, NVSUTerminalEnvironment environment)
    : m_update(update)
    , m_owner(owner)
    , m_terminal(terminal)
    , m_environment(std::move(environment))
    , m_byteCountLocale(NVLocalization::preferredLocalization())
{
    if (!m_environment.elapsedMilliseconds)
        m_environment.elapsedMilliseconds = steadyMilliseconds;
    m_environment.sessionConfiguration.stallTimeout = std::min<std::chrono::milliseconds>(
        m_environment.sessionConfiguration.stallTimeout, ReleaseNotesStallTimeout);
    m_environment.sessionConfiguration.maximumDataTaskLength = MaximumReleaseNotesLength;
    m_owner->updateWindowWillOpen();
    m_visible = true;
    present();
}

NVSUTerminalWindowController::~NVSUTerminalWindowController()
{
    NVSUDebugLog(QStringLiteral("Deallocating NVSUTerminalWindowController"));
    withdrawQuestion();
    if (m_notesTask)
        std::exchange(m_notesTask, nullptr)->cancel();
}

qint64 NVSUTerminalWindowController::now() const
{
    return m_environment.elapsedMilliseconds();
}

QString NVSUTerminalWindowController::byteCount(qint64 bytes) const
{
    return NVByteCountFormatter::stringFromByteCount(bytes, m_byteCountLocale);
}

void NVSUTerminalWindowController::withdrawQuestion()
{
    if (m_question && m_terminal)
        m_terminal->withdraw(*m_question);
    m_question.reset();
}

// ---- the presentation --------------------------------------------------------

void NVSUTerminalWindowController::setUpdate(const NVSUUpdate &update)
{
    m_update = update;
}

void NVSUTerminalWindowController::switchToPresentationView()
{
    if (m_view == View::Presentation && (m_question || m_notesTask))
        return;
    m_view = View::Presentation;
    m_action = Action::None;
    if (m_visible)
        present();
}

void NVSUTerminalWindowController::present()
{
    withdrawQuestion();
    if (!m_terminal)
        return;
    const QString bundleName = m_owner->bundleName();
    m_terminal->printLine();
    m_terminal->printLine(NVSUUpdateTexts::messageText(bundleName));
    m_terminal->printLine(NVSUUpdateTexts::informativeText(m_update, bundleName));
    const std::optional<QUrl> notes = m_update.releaseNotesURL();
    if (notes && m_notesShownForVersion != m_update.version().versionNumber())
        startLoadingReleaseNotes(*notes);
    else
        askForChoice();
}

void NVSUTerminalWindowController::askForChoice()
{
    withdrawQuestion();
    if (!m_terminal)
        return;
    m_terminal->printLine();
    NVTerminalQuestion question;
    question.choices = {localizeString(Strings::SkipThisVersion), localizeString(Strings::RemindMeLater),
                        NVSUUpdateTexts::commitButtonTitle(m_update)};
    question.defaultChoice = NVSUUserChoiceUpdate;
    question.assumedChoice = NVSUUserChoiceUpdate;
    m_question = m_terminal->ask(question, [this](std::optional<int> choice) {
        m_question.reset();
        if (!choice)
            return close();
        m_owner->dialogFinishedWithChoice(*choice);
    });
}

void NVSUTerminalWindowController::startLoadingReleaseNotes(const QUrl &url)
{
    if (m_notesTask)
        std::exchange(m_notesTask, nullptr)->cancel();
    if (!m_session)
        m_session = std::make_unique<NVURLSession>(m_environment.sessionConfiguration, static_cast<NVURLSessionDelegate *>(this));
    m_notesData.clear();
    m_notesFailure.clear();
    m_notesArePlainText = false;
    m_notesTask = m_session->dataTaskWithRequest(NVSUExtensions::nvsuRequestWithURL(url));
    if (m_terminal->options().outputIsTerminal)
        m_terminal->setStatusLine(localizeString(QStringLiteral("Loading the release notes")) + QStringLiteral("…"));
    m_notesTask->resume();
}

void NVSUTerminalWindowController::dataTaskDidReceiveResponse(NVURLSession *, const NVURLSessionDataTaskPtr &dataTask,
                                                              const NVHTTPURLResponse &response,
                                                              std::function<void(NVURLSessionResponseDisposition)> completionHandler)
{
    // The transport delivers error pages like any body; a page that says
    // "not found" is not the release notes.
    if (dataTask == m_notesTask && response.statusCode() >= 400) {
        m_notesFailure = QStringLiteral("HTTP %1").arg(response.statusCode());
        return completionHandler(NVURLSessionResponseDisposition::Cancel);
    }
    if (dataTask == m_notesTask)
        m_notesArePlainText = response.MIMEType() == u"text/plain";
    completionHandler(NVURLSessionResponseDisposition::Allow);
}

void NVSUTerminalWindowController::dataTaskDidReceiveData(NVURLSession *, const NVURLSessionDataTaskPtr &dataTask, const QByteArray &data)
{
    if (dataTask == m_notesTask)
        m_notesData += data;
}

void NVSUTerminalWindowController::taskDidCompleteWithError(NVURLSession *, const NVURLSessionTaskPtr &task,
                                                            const std::optional<NVError> &error)
{
    if (!m_notesTask || task != m_notesTask)
        return;
    const QUrl url = m_notesTask->currentRequest().url();
    m_notesTask.reset();
    QString failure = m_notesFailure;
    if (failure.isEmpty() && error)
        failure = error->localizedDescription();
    const QString body = QString::fromUtf8(std::exchange(m_notesData, {}));
    releaseNotesLoaded(m_notesArePlainText ? body : NVHTMLText::plainTextFromHTML(body, url), failure);
}

void NVSUTerminalWindowController::releaseNotesLoaded(const QString &text, const QString &failure)
{
    if (!m_terminal)
        return;
    m_terminal->clearStatusLine();
    m_terminal->printLine();
    if (!failure.isEmpty()) {
        NVSULog(QStringLiteral("The release notes could not be loaded: %@"), failure);
        m_terminal->printLine(NVFormat::format(localizeString(Strings::_loadErrorDescription), {failure}));
    } else {
        m_notesShownForVersion = m_update.version().versionNumber();
        m_terminal->printLine(localizeString(Strings::ReleaseNotes) + u':');
        m_terminal->printLine();
        m_terminal->printLine(indented(NVHTMLText::printableText(text).trimmed()));
    }
    askForChoice();
}

// ---- the download view -------------------------------------------------------

void NVSUTerminalWindowController::switchToDownloadView()
{
    withdrawQuestion();
    if (m_notesTask)
        std::exchange(m_notesTask, nullptr)->cancel();
    m_view = View::Download;
    if (!m_visible || !m_terminal)
        return;
    m_terminal->printLine();
    m_terminal->printLine(NVFormat::format(localizeString(Strings::Updating), {m_owner->bundleName()}));
    if (!m_description.isEmpty())
        m_terminal->printLine(m_description);
    showAction();
}

void NVSUTerminalWindowController::setProgressDescription(const QString &description)
{
    m_description = description;
    if (m_view == View::Download && m_visible && m_terminal)
        m_terminal->printLine(description);
}

void NVSUTerminalWindowController::downloadStarted()
{
    m_action = Action::Cancel;
    m_transferStart = now();
    m_lastLineTime = -1;
    m_lastLineStep = 0;
    if (m_view == View::Download && m_visible)
        showAction();
}

QString NVSUTerminalWindowController::progressLine(qint64 received, qint64 total, qint64 elapsed) const
{
    const qint64 rate = elapsed > 0 ? received * 1000 / elapsed : 0;
    if (total == TransferSizeUnknown) {
        const QString amount = NVFormat::format(localizeString(Strings::_progressDescriptionUnknownSize), {byteCount(received)});
        return NVFormat::format(localizeString(Strings::_terminalProgressUnknownSizeFormat), {amount, byteCount(rate)});
    }
    const qint64 percent = total > 0 ? std::clamp<qint64>(received * 100 / total, 0, 100) : 100;
    const QString amounts = NVFormat::format(localizeString(Strings::_progressDescriptionKnownSize), {byteCount(received), byteCount(total)});
    return NVFormat::format(localizeString(Strings::_terminalProgressKnownSizeFormat), {amounts, byteCount(rate), percent});
}

void NVSUTerminalWindowController::downloadProgress(qint64 received, qint64 totalDownloadSize)
{
    if (m_view != View::Download || !m_visible || !m_terminal)
        return;
    const qint64 time = now();
    const bool complete = totalDownloadSize != TransferSizeUnknown && received >= totalDownloadSize;
    if (m_terminal->options().outputIsTerminal) {
        if (!complete && m_lastLineTime >= 0 && time - m_lastLineTime < RewriteIntervalMilliseconds)
            return;
        m_lastLineTime = time;
    } else {
        // A log or a pipe gets a line per step, not a line per packet.
        const qint64 step = totalDownloadSize == TransferSizeUnknown
                              ? received / UnknownSizeLineStep
                              : (totalDownloadSize > 0 ? std::clamp<qint64>(received * 10 / totalDownloadSize, 0, 10) : 10);
        if (step <= m_lastLineStep)
            return;
        m_lastLineStep = step;
    }
    m_terminal->setStatusLine(progressLine(received, totalDownloadSize, time - m_transferStart));
}

void NVSUTerminalWindowController::unpackStarted()
{
    // The cancel choice stays: it now cancels the unpacking, through the
    // same call.
    if (m_terminal)
        m_terminal->endStatusLine();
}

void NVSUTerminalWindowController::processingAborted()
{
    if (m_terminal)
        m_terminal->endStatusLine();
    if (m_action == Action::Cancel) {
        withdrawQuestion();
        m_action = Action::None;
    }
}

void NVSUTerminalWindowController::resetDownloadView()
{
    if (m_terminal)
        m_terminal->endStatusLine();
}

void NVSUTerminalWindowController::offerInstallationWithMechanism(int mechanism)
{
    // The button's title as the window has it; a bundle replacement, once
    // offered, is what the button does for the rest of the window's life.
    m_installButtonTitle = Strings::_installNowButtonTitle;
    if (mechanism == NVSUInstallationMechanismReplaceBundle) {
        m_willPerformBundleReplacement = true;
        m_installButtonTitle = Strings::_installAndRelaunchButtonTitle;
    } else if (mechanism == NVSUInstallationMechanismInstaller) {
        m_installButtonTitle = Strings::_runInstallerButtonTitle;
    }
    m_action = Action::Install;
    if (m_terminal)
        m_terminal->endStatusLine();
    if (m_view == View::Download && m_visible)
        showAction();
}

void NVSUTerminalWindowController::runAlertWithName(const QString &name, const QVariantList &arguments)
{
    processingAborted();
    m_action = Action::GoBack;
    if (m_view != View::Download || !m_terminal)
        return;
    // An alert brings a hidden window back: after an installer that did not
    // start, nothing else would tell the user, and the run would wait for
    // an answer to a question nobody sees.
    m_visible = true;
    const NVLocalizable &table = m_owner->localizable();
    m_terminal->printLine();
    m_terminal->printLine(NVLocalizedAlert::localizedAlertWithName(table, name, Strings::_message, arguments).value_or(QString()));
    m_terminal->printLine(NVLocalizedAlert::localizedAlertWithName(table, name, Strings::_info, arguments).value_or(QString()));
    showAction();
}

void NVSUTerminalWindowController::showAction()
{
    withdrawQuestion();
    if (!m_terminal || m_action == Action::None)
        return;
    NVTerminalQuestion question;
    const Action action = m_action;
    switch (action) {
    case Action::Cancel:
        // Quiet: Enter alone must not cancel a download, and --assume-yes
        // never does.
        question.choices = {localizeString(Strings::_cancelDownloadButtonTitle)};
        break;
    case Action::Install:
        question.choices = {localizeString(m_installButtonTitle)};
        question.defaultChoice = 0;
        question.assumedChoice = 0;
        break;
    case Action::GoBack:
        // Nothing is assumed: --assume-yes closes the window, so that a
        // failure that would happen again ends the run.
        question.choices = {localizeString(Strings::_goBackButtonTitle)};
        question.defaultChoice = 0;
        break;
    case Action::None:
        return;
    }
    m_question = m_terminal->ask(question, [this, action](std::optional<int> choice) {
        m_question.reset();
        actionAnswered(action, choice);
    });
}

void NVSUTerminalWindowController::actionAnswered(Action action, std::optional<int> choice)
{
    if (!choice)
        return close();
    switch (action) {
    case Action::Cancel:
        m_action = Action::None;
        return m_owner->cancelDownload();
    case Action::Install:
        m_action = Action::None;
        if (m_willPerformBundleReplacement && m_terminal)
            m_terminal->printLine(localizeString(Strings::_progressDescriptionInstallAndRelaunch));
        return m_owner->startInstaller();
    case Action::GoBack:
        m_action = Action::None;
        return m_owner->alertDidFinish();
    case Action::None:
        return;
    }
}

// ---- the window ------------------------------------------------------------

void NVSUTerminalWindowController::showWindow()
{
    m_closed = false;
    if (m_visible)
        return;
    m_visible = true;
    if (m_view == View::Presentation)
        present();
    else
        showAction();
}

void NVSUTerminalWindowController::closeUpdateWindow()
{
    m_visible = false;
    withdrawQuestion();
    if (m_terminal)
        m_terminal->endStatusLine();
}

void NVSUTerminalWindowController::close()
{
    closeUpdateWindow();
    if (m_notesTask)
        std::exchange(m_notesTask, nullptr)->cancel();
    if (std::exchange(m_closed, true))
        return;
    m_owner->updateWindowWillClose();
}
