#include "widgets/NVSUWindowController.h"

#include "foundation/NVFormat.h"
#include "localization/NVSoftwareUpdateStrings.h"
#include "logging/NVLog.h"
#include "platform/NVUserDefaults.h"
#include "ui/NVByteCountFormatter.h"
#include "ui/NVLocalizedAlert.h"
#include "ui/NVSUUpdateTexts.h"
#include "widgets/NVDynamicAutoresizingButton.h"
#include "widgets/NVInterfaceFileLoader.h"
#include "widgets/NVProgressIndicator.h"
#include "widgets/NVViewFrames.h"
#include "widgets/NVWindowResizingView.h"

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

namespace Strings = NVSoftwareUpdateStrings;

namespace {

constexpr qint64 RefuseEventsMilliseconds = 2000;
// German texts run longer than the English ones the file was drawn with.
constexpr double GermanExtraWidth = 40;
// The transfer size of a download whose server did not say.
constexpr qint64 TransferSizeUnknown = -1;
// Red that reads on light and dark backgrounds alike.
const QString IncompatibleTextColor = QStringLiteral("#d32f2f");

template <typename T>
NVResult<void> findOutlet(QWidget *root, const char *name, T *&outlet)
{
    outlet = root->findChild<T *>(QLatin1String(name));
    if (!outlet)
        return NVError::withDescription(NSCocoaErrorDomain, 259,
                                        NVFormat::format("The interface file has no %@ of the expected kind", name));
    return {};
}

} // namespace

NVResult<std::unique_ptr<NVSUWindowController>> NVSUWindowController::create(const NVSUUpdate &update,
                                                                             NVSUWindowControllerOwner *owner,
                                                                             NVSUWindowEnvironment environment)
{
    std::unique_ptr<NVSUWindowController> controller(new NVSUWindowController(update, owner, std::move(environment)));
    NV_TRY(controller->loadInterface());
    controller->createWindow();
    return controller;
}

NVSUWindowControllerFactory NVSUWindowController::factory()
{
    return [](const NVSUUpdate &update, NVSUWindowControllerOwner *owner) -> std::unique_ptr<NVSUWindowControllerInterface> {
        NVResult<std::unique_ptr<NVSUWindowController>> controller = create(update, owner);
        if (!controller) {
            NVSULog(QStringLiteral("The update window cannot be shown: %@"), controller.error().localizedDescription());
            return nullptr;
        }
        return std::move(controller).value();
    };
}

NVSUWindowController::NVSUWindowController(const NVSUUpdate &update, NVSUWindowControllerOwner *owner,
                                           NVSUWindowEnvironment environment)
    : m_update(update)
    , m_owner(owner)
    , m_clock(environment.clock ? std::move(environment.clock) : NVWindowClock([] { return QDateTime::currentDateTimeUtc(); }))
    , m_defaults(environment.defaults ? environment.defaults : NVUserDefaults::standardUserDefaults())
    , m_byteCountLocale(NVLocalization::preferredLocalization())
{
}

NVSUWindowController::~NVSUWindowController()
{
    NVSUDebugLog(QStringLiteral("Deallocating NVSUWindowController"));
    // The view goes later, with the window's views; it must not call back.
    if (m_releaseNotesWebView)
        m_releaseNotesWebView->setDelegate(nullptr);
    if (m_window)
        m_window->hide();
}

NVResult<void> NVSUWindowController::loadInterface()
{
    NV_TRY_ASSIGN(std::unique_ptr<QWidget> root, NVInterfaceFileLoader::loadInterfaceFile(Strings::Table));
    m_interface.reset(root.release());
    QWidget *file = m_interface.get();
    Outlets &o = m_outlets;
    NV_TRY(findOutlet(file, "presentationView", o.presentationView));
    NV_TRY(findOutlet(file, "downloadView", o.downloadView));
    NV_TRY(findOutlet(file, "releaseNotesView", o.releaseNotesView));
    NV_TRY(findOutlet(file, "releaseNotesProgressIndicator", o.releaseNotesProgressIndicator));
    NV_TRY(findOutlet(file, "releaseNotesWebViewContainer", o.releaseNotesWebViewContainer));
    NV_TRY(findOutlet(file, "downloadDescriptionTextField", o.downloadDescriptionTextField));
    NV_TRY(findOutlet(file, "downloadProgressIndicator", o.downloadProgressIndicator));
    NV_TRY(findOutlet(file, "downloadProgressTextField", o.downloadProgressTextField));
    NV_TRY(findOutlet(file, "downloadActionButton", o.downloadActionButton));
    NV_TRY(findOutlet(file, "alertView", o.alertView));
    NV_TRY(findOutlet(file, "errorTitleTextField", o.errorTitleTextField));
    NV_TRY(findOutlet(file, "errorTextField", o.errorTextField));
    NV_TRY(findOutlet(file, "authenticationSheet", o.authenticationSheet));
    NV_TRY(findOutlet(file, "authenticationHostnameTextField", o.authenticationHostnameTextField));
    NV_TRY(findOutlet(file, "authenticationUserTextField", o.authenticationUserTextField));
    NV_TRY(findOutlet(file, "authenticationPasswordTextField", o.authenticationPasswordTextField));
    NV_TRY(findOutlet(file, "authenticationLogInButton", o.authenticationLogInButton));
    NV_TRY(NVInterfaceFileLoader::connectToController(file, this));

    // The desktop's sans fonts (DejaVu, Noto, Cantarell) draw figures of one
    // width already, so the byte counts do not jitter in the progress line.
    if (NVLocalization::preferredLocalizationIsGerman()) {
        const NVSize size = NVViewFrames::size(o.presentationView);
        o.presentationView->setMinSize({size.width + GermanExtraWidth, size.height});
    }
    return {};
}

void NVSUWindowController::createWindow()
{
    const bool releaseNotes = hasReleaseNotes();
    NVWindowResizingView *presentationView = m_outlets.presentationView;
    if (!releaseNotes) {
        NVSize size = NVViewFrames::size(presentationView);
        size.height -= NVViewFrames::size(m_outlets.releaseNotesView).height;
        m_outlets.releaseNotesView->hide();
        presentationView->setMinSize(size);
        presentationView->setFrameSize(size);
    }
    m_window.reset(new NVSUWindow(releaseNotes ? NVSUWindow::Style::Resizable : NVSUWindow::Style::Fixed, m_clock));
    m_window->resize(presentationView->size());
    m_window->setWindowIcon(QIcon(softwareUpdateIcon()));
    // A web view costs a browser engine's start-up, so a window without
    // release notes makes none.
    if (releaseNotes)
        installReleaseNotesWebView();

    switchToPresentationView();

    // Only now: the sizes set while building are not the user's.
    connect(m_window.get(), &NVSUWindow::didResize, this, &NVSUWindowController::windowDidResize);
    connect(m_window.get(), &NVSUWindow::willClose, this, [this] { m_owner->updateWindowWillClose(); });
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = m_window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        m_window->move(frame.topLeft());
    }
    m_window->setLevel(NVSUWindow::Level::Floating);
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive)
            m_window->setLevel(NVSUWindow::Level::Normal);
    });

    m_owner->updateWindowWillOpen();
    if (!m_owner->isRunningInteractively()) {
        m_window->setAttribute(Qt::WA_ShowWithoutActivating);
        m_window->show();
        m_window->raise();
        m_window->setRefuseEventsBeforeDate(m_clock().addMSecs(RefuseEventsMilliseconds));
    } else {
        showWindow();
    }

    if (releaseNotes)
        loadReleaseNotes(*m_update.releaseNotesURL());
}

void NVSUWindowController::installReleaseNotesWebView()
{
    const NVSUReleaseNotesViewFactory &factory = NVSUReleaseNotesViews::factory();
    if (m_releaseNotesWebView || !factory)
        return;
    m_releaseNotesWebView = factory(m_outlets.releaseNotesWebViewContainer);
    if (!m_releaseNotesWebView)
        return;
    m_releaseNotesWebView->widget()->hide();
    m_releaseNotesWebView->setDelegate(this);
}

void NVSUWindowController::setUpdate(const NVSUUpdate &update)
{
    m_update = update;
    Q_EMIT updateChanged();
    if (hasReleaseNotes()) {
        installReleaseNotesWebView();
        if (m_releaseNotesWebView)
            m_releaseNotesWebView->widget()->show();
        loadReleaseNotes(*m_update.releaseNotesURL());
    } else if (m_releaseNotesWebView) {
        m_releaseNotesWebView->widget()->hide();
    }
}

void NVSUWindowController::loadReleaseNotes(const QUrl &url)
{
    NVSUDebugLog(QStringLiteral("Loading release notes: %@"), url);
    // Until the notes are there the spinner says so. Once hidden at the end
    // of the first load it stays hidden: a later load replaces notes that
    // are already on screen.
    m_outlets.releaseNotesProgressIndicator->setIndeterminate(true);
    m_outlets.releaseNotesProgressIndicator->startAnimation();
    if (m_releaseNotesWebView)
        m_releaseNotesWebView->loadReleaseNotes(url);
}

void NVSUWindowController::releaseNotesViewDidFinishLoading(const std::optional<NVError> &error)
{
    NVProgressIndicator *spinner = m_outlets.releaseNotesProgressIndicator;
    spinner->stopAnimation();
    spinner->hide();
    if (error) {
        // The error page comes back here, without an error, when it is there.
        m_releaseNotesWebView->loadErrorPage(format(Strings::_loadErrorDescription, {error->localizedDescription()}));
        return;
    }
    m_releaseNotesWebView->forwardAppearance();
    // Shown from the event loop, after the page has had its appearance, so
    // that a dark page does not flash light.
    QMetaObject::invokeMethod(
        this, [view = QPointer<QWidget>(m_releaseNotesWebView->widget())] {
            if (view)
                view->show();
        },
        Qt::QueuedConnection);
}

void NVSUWindowController::releaseNotesViewDidReceiveAuthenticationChallenge(const QString &host, int port,
                                                                             CredentialCompletion completion)
{
    Outlets &o = m_outlets;
    o.authenticationHostnameTextField->setText(NVFormat::format(QStringLiteral("%@:%@"), host, port));
    // Every challenge starts empty: a second one means the last answer was wrong.
    o.authenticationUserTextField->clear();
    o.authenticationPasswordTextField->clear();
    QDialog *sheet = o.authenticationSheet;
    if (sheet->parentWidget() != m_window.get()) {
        sheet->setParent(m_window.get(), Qt::Sheet);
        sheet->setWindowModality(Qt::WindowModal);
    }
    connect(
        sheet, &QDialog::finished, this,
        [this, completion = std::move(completion)](int result) {
            if (result == 1)
                completion(Credential{m_outlets.authenticationUserTextField->text(),
                                      m_outlets.authenticationPasswordTextField->text()});
            else
                completion(std::nullopt);
        },
        Qt::SingleShotConnection);
    sheet->open();
}

void NVSUWindowController::switchToPresentationView()
{
    NVWindowResizingView *view = m_outlets.presentationView;
    if (view->isMainViewOfWindow())
        return;
    if (hasReleaseNotes()) {
        const NVSize remembered = NVViewGeometry::sizeFromString(m_defaults->stringForKey(SoftwareUpdateWindowSizeKey));
        if (!(remembered == NVSize()))
            view->setFrameSize(remembered);
    }
    m_window->setWindowTitle(localizeString(Strings::SoftwareUpdate));
    view->makeMainViewOfWindow(m_window.get(), true);
    makeWindowResizable(hasReleaseNotes());
}

void NVSUWindowController::switchToDownloadView()
{
    m_window->setWindowTitle(format(Strings::Updating, {m_owner->bundleName()}));
    resetDownloadView();
    m_outlets.downloadView->makeSubviewCollapsed(m_outlets.alertView, true);
    m_outlets.downloadView->makeMainViewOfWindow(m_window.get(), true);
    m_window->setMaxFrameSize({NVUnboundedSize, m_window->frame().height});
    makeWindowResizable(false);
}

void NVSUWindowController::resetDownloadView()
{
    m_outlets.downloadActionButton->setEnabled(true);
    m_outlets.downloadProgressIndicator->stopAnimation();
    m_outlets.downloadProgressIndicator->setDoubleValue(0.0);
}

void NVSUWindowController::makeWindowResizable(bool resizable)
{
    m_window->setResizable(resizable);
}

void NVSUWindowController::setProgressDescription(const QString &description)
{
    m_outlets.downloadDescriptionTextField->setText(description);
}

void NVSUWindowController::downloadStarted()
{
    m_isWaitingForInstall = false;
    m_outlets.downloadProgressIndicator->setDoubleValue(0.0);
    m_outlets.downloadActionButton->setTitle(localizeString(Strings::_cancelDownloadButtonTitle));
    m_outlets.downloadProgressTextField->clear();
}

void NVSUWindowController::downloadProgress(qint64 received, qint64 totalDownloadSize)
{
    m_downloadSize = received;
    NVProgressIndicator *bar = m_outlets.downloadProgressIndicator;
    if (totalDownloadSize != TransferSizeUnknown) {
        m_outlets.downloadProgressTextField->setText(
            format(Strings::_progressDescriptionKnownSize, {byteCount(received), byteCount(totalDownloadSize)}));
        bar->stopAnimation();
        bar->setIndeterminate(false);
        bar->setDoubleValue(totalDownloadSize > 0 ? double(received) / double(totalDownloadSize) : 0.0);
    } else {
        bar->setIndeterminate(true);
        bar->startAnimation();
        m_outlets.downloadProgressTextField->setText(format(Strings::_progressDescriptionUnknownSize, {byteCount(received)}));
    }
}

void NVSUWindowController::unpackStarted()
{
    m_outlets.downloadProgressIndicator->setIndeterminate(true);
    m_outlets.downloadProgressIndicator->startAnimation();
    m_outlets.downloadProgressTextField->setText(format(Strings::_progressDescriptionUnknownSize, {byteCount(m_downloadSize)}));
    m_outlets.downloadActionButton->setTitle(localizeString(Strings::_cancelUnpackingButtonTitle));
}

void NVSUWindowController::processingAborted()
{
    m_outlets.downloadProgressIndicator->stopAnimation();
}

void NVSUWindowController::offerInstallationWithMechanism(int mechanism)
{
    m_isWaitingForInstall = true;
    NVProgressIndicator *bar = m_outlets.downloadProgressIndicator;
    bar->setIndeterminate(false);
    bar->setDoubleValue(1.0);
    bar->stopAnimation();
    m_outlets.downloadProgressTextField->clear();
    QString title = Strings::_installNowButtonTitle;
    if (mechanism == NVSUInstallationMechanismReplaceBundle) {
        m_willPerformBundleReplacement = true;
        title = Strings::_installAndRelaunchButtonTitle;
    } else if (mechanism == NVSUInstallationMechanismInstaller) {
        title = Strings::_runInstallerButtonTitle;
    }
    m_outlets.downloadActionButton->setTitle(localizeString(title));
}

void NVSUWindowController::runAlertWithName(const QString &name, const QVariantList &arguments)
{
    processingAborted();
    m_isShowingAlert = true;
    const NVLocalizable &table = m_owner->localizable();
    m_outlets.errorTitleTextField->setText(
        NVLocalizedAlert::localizedAlertWithName(table, name, Strings::_message, arguments).value_or(QString()));
    m_outlets.errorTextField->setText(
        NVLocalizedAlert::localizedAlertWithName(table, name, Strings::_info, arguments).value_or(QString()));
    m_outlets.downloadActionButton->setTitle(localizeString(Strings::_goBackButtonTitle));
    fitAlertViewToItsTexts();
    m_outlets.downloadView->makeSubviewCollapsed(m_outlets.alertView, false);
    // The window was hidden when an installer was to take over; an installer
    // that did not start leaves the alert as the only word the user gets.
    if (!m_window->isVisible())
        showWindow();
}

void NVSUWindowController::fitAlertViewToItsTexts()
{
    // The texts vary with the error and the language, so the closed area is
    // made as tall as they need before it opens: its bottom stays, and the
    // window grows by what it needs.
    QWidget *alert = m_outlets.alertView;
    if (!alert->isHidden())
        return;
    QLabel *title = m_outlets.errorTitleTextField;
    QLabel *text = m_outlets.errorTextField;
    const int inset = title->y();
    const int spacing = text->y() - (title->y() + title->height());
    const int titleHeight = title->heightForWidth(title->width());
    const int textHeight = text->heightForWidth(text->width());
    title->setGeometry(title->x(), inset, title->width(), titleHeight);
    text->setGeometry(text->x(), inset + titleHeight + spacing, text->width(), textHeight);
    const NVRect frame = NVViewFrames::frame(alert);
    NVViewFrames::setFrame(alert, {frame.x, frame.y, frame.width, double(inset + titleHeight + spacing + textHeight + inset)});
}

NVWindowHandle NVSUWindowController::window() const
{
    return m_window && m_window->isVisible() ? m_window.get() : nullptr;
}

void NVSUWindowController::showWindow()
{
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void NVSUWindowController::closeUpdateWindow()
{
    m_window->hide();
}

void NVSUWindowController::close()
{
    m_window->close();
}

void NVSUWindowController::windowDidResize()
{
    // Only a size the user can choose is remembered: the window without
    // release notes is not resizable, and the download view is not the
    // presentation.
    NVWindowResizingView *view = m_outlets.presentationView;
    if (view->isMainViewOfWindow() && m_window->isResizable())
        m_defaults->setObject(NVViewGeometry::stringFromSize(NVViewFrames::size(view)), SoftwareUpdateWindowSizeKey);
}

QString NVSUWindowController::updateAvailableMessageText() const
{
    return NVSUUpdateTexts::messageText(m_owner->bundleName());
}

QString NVSUWindowController::updateAvailableInformativeText() const
{
    QString html;
    for (const NVSUUpdateTexts::Piece &piece : NVSUUpdateTexts::informativeTextPieces(m_update, m_owner->bundleName())) {
        const QString text = (html.isEmpty() ? QString() : QStringLiteral(" ")) + piece.text.toHtmlEscaped();
        html += piece.incompatible ? QStringLiteral("<span style=\"color:%1\">%2</span>").arg(IncompatibleTextColor, text) : text;
    }
    return html;
}

QString NVSUWindowController::commitButtonTitle() const
{
    return NVSUUpdateTexts::commitButtonTitle(m_update);
}

QPixmap NVSUWindowController::softwareUpdateIcon() const
{
    constexpr int Size = 64;
    QPixmap icon;
    if (const QString path = m_owner->softwareUpdateIcon(); !path.isEmpty())
        icon.load(path);
    if (icon.isNull() && !QApplication::windowIcon().isNull())
        icon = QApplication::windowIcon().pixmap(Size, Size);
    if (icon.isNull())
        icon = QIcon::fromTheme(QStringLiteral("system-software-update")).pixmap(Size, Size);
    if (icon.isNull())
        icon = QApplication::style()->standardIcon(QStyle::SP_BrowserReload).pixmap(Size, Size);
    return icon.isNull() ? icon : icon.scaled(Size, Size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

void NVSUWindowController::skipThisUpdate(QObject *)
{
    m_owner->dialogFinishedWithChoice(NVSUUserChoiceSkipThisVersion);
}

void NVSUWindowController::remindMeLater(QObject *)
{
    m_owner->dialogFinishedWithChoice(NVSUUserChoiceRemindMeLater);
}

void NVSUWindowController::doUpdate(QObject *)
{
    m_owner->dialogFinishedWithChoice(NVSUUserChoiceUpdate);
}

void NVSUWindowController::downloadAction(QObject *)
{
    if (m_isShowingAlert) {
        m_isShowingAlert = false;
        m_owner->alertDidFinish();
    } else if (m_isWaitingForInstall) {
        if (m_willPerformBundleReplacement) {
            // The application is about to be replaced and restarted: show
            // that something is happening and that there is no way back.
            m_outlets.downloadDescriptionTextField->setText(localizeString(Strings::_progressDescriptionInstallAndRelaunch));
            m_outlets.downloadProgressIndicator->setIndeterminate(true);
            m_outlets.downloadProgressIndicator->startAnimation();
            m_outlets.downloadActionButton->setEnabled(false);
        }
        m_owner->startInstaller();
    } else {
        m_owner->cancelDownload();
    }
}

void NVSUWindowController::authenticate(QObject *sender)
{
    m_outlets.authenticationSheet->done(sender == m_outlets.authenticationLogInButton ? 1 : 0);
}

QString NVSUWindowController::format(const QString &key, const QVariantList &arguments) const
{
    return NVFormat::format(localizeString(key), arguments);
}

QString NVSUWindowController::byteCount(qint64 bytes) const
{
    return NVByteCountFormatter::stringFromByteCount(bytes, m_byteCountLocale);
}
