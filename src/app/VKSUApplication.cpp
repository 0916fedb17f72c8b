#include "app/VKSUApplication.h"

#include "app/VKSUAppDelegate.h"
#include "driver/NVSUDownloadFolder.h"
#include "logging/NVLog.h"
#include "platform/NVBundle.h"
#include "platform/NVClock.h"
#include "platform/NVProcessWorkspace.h"
#include "platform/NVSingleInstance.h"
#include "platform/NVTemporaryDirectory.h"
#include "platform/NVTerminationGuard.h"
#include "platform/NVTerminationSignals.h"
#include "platform/NVUserDefaults.h"
#include "ui/NVAlertPresenter.h"
#include "ui/NVCertificatePanel.h"
#include "unarchive/NVSUDMGUnarchiver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QThreadPool>
#include <QTimer>

namespace {

// How long quitting waits for images to be detached; a detach that takes
// longer finishes after the process has gone, and the next start removes
// whatever it leaves.
constexpr int kDetachWaitMilliseconds = 5000;

} // namespace

VKSUApplication::LaunchOptions VKSUApplication::parseArguments(const QStringList &arguments)
{
    LaunchOptions options;
    const QString first = arguments.value(1);
    if (!first.isEmpty() && !first.startsWith(u'-')) {
        options.url = first;
        options.assumeYes = arguments.value(2) == QLatin1String("--assume-yes");
    }
    return options;
}

bool VKSUApplication::hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

VKSUApplication::VKSUApplication(LaunchOptions options, QObject *parent) : QObject(parent), m_options(std::move(options)) {}

VKSUApplication::~VKSUApplication()
{
    m_delegate.reset();
    NVApplicationServices::setApplication(nullptr);
    NVApplicationServices::setWorkspace(nullptr);
    NVAlertPresenter::setCurrent(nullptr);
    NVCertificatePanel::setCurrent(nullptr);
    NVSUWindowControllers::setFactory({});
}

int VKSUApplication::run(Interface interface, NVSUDriverConfiguration driverConfiguration)
{
    m_interface = std::move(interface);
    if (m_interface.enableAutomaticLocalization)
        m_interface.enableAutomaticLocalization();
    NVUserDefaults &defaults = *NVUserDefaults::standardUserDefaults();
    defaults.registerDefaults({{QStringLiteral("NSDisabledCharacterPaletteMenuItem"), true}});

    NVSUDebugLog(QStringLiteral("Launched with %@"), m_options.url.isEmpty() ? QStringLiteral("no URL") : m_options.url);

    // Routed before the bus name is taken: from then on other processes
    // count on this one, and a signal waits in the pipe for the event loop.
    m_signals = std::make_unique<NVTerminationSignals>();
    connect(m_signals.get(), &NVTerminationSignals::terminationRequested, this, [this](int signal) {
        NVTerminationGuard::whenReleased([this, signal] { beginTermination(QStringLiteral("signal %1").arg(signal)); });
    });
    m_instance = std::make_unique<NVSingleInstance>(NVBundle::mainBundle()->bundleIdentifier());
    if (m_instance->claim(m_options.url) == NVSingleInstance::Claim::HandedOver)
        return 0;
    // A process that waited for the name reads what the one before it
    // recorded (the end of its run) before deciding whether a check is due.
    defaults.synchronize();

    removeLeftovers();

    NVApplicationServices::setApplication(m_interface.application ? m_interface.application.get() : this);
    NVApplicationServices::setWorkspace(m_interface.workspace ? m_interface.workspace.get() : &NVProcessWorkspace::shared());
    NVAlertPresenter::setCurrent(m_interface.alertPresenter.get());
    NVCertificatePanel::setCurrent(m_interface.certificatePanel.get());
    NVSUWindowControllers::setFactory(m_interface.windowControllerFactory);

    m_delegate = std::make_unique<VKSUAppDelegate>(defaults, NVClock::system(), std::move(driverConfiguration));
    connect(m_instance.get(), &NVSingleInstance::URLReceived, m_delegate.get(), &VKSUAppDelegate::getURL);
    // From now on a URL starts a new process instead of reaching one that
    // is about to quit.
    connect(m_delegate.get(), &VKSUAppDelegate::quitTimerStarted, m_instance.get(), &NVSingleInstance::release);
    m_delegate->applicationWillFinishLaunching();
    // The launching URL arrives like one sent to the running process.
    if (!m_options.url.isEmpty())
        QTimer::singleShot(0, m_delegate.get(), [this] { m_delegate->getURL(m_options.url); });
    m_delegate->applicationDidFinishLaunching();

    const int status = QCoreApplication::exec();
    m_instance->release();
    return status;
}

void VKSUApplication::terminate()
{
    NVTerminationGuard::whenReleased([this] { beginTermination(QStringLiteral("asked")); });
}

void VKSUApplication::beginTermination(const QString &reason)
{
    if (m_terminating)
        return;
    m_terminating = true;
    NVSUDebugLog(QStringLiteral("Terminating (%@)"), reason);
    if (m_instance)
        m_instance->release();
    if (m_delegate)
        m_delegate->applicationWillTerminate();
    NVSUDMGUnarchiver::whenOutstandingDetachesEnd(QDeadlineTimer(kDetachWaitMilliseconds), this, [](int stillRunning) {
        if (stillRunning > 0)
            NVSULog(QStringLiteral("Quitting while %d disk images are still being detached"), qint64(stillRunning));
        QCoreApplication::quit();
    });
}

void VKSUApplication::removeLeftovers()
{
    const NVResult<QString> temporary = NVTemporaryDirectory::privateTemporaryDirectory();
    if (!temporary)
        return;
    const QString directory = temporary.value();
    // Removing a large leftover takes a while; the run does not wait for it.
    QThreadPool::globalInstance()->start([directory] {
        for (const QString &folder : NVSUDownloadFolder::removeLeftovers(directory))
            NVSUDebugLog(QStringLiteral("Removed the leftover download folder %@"), folder);
    });
    // The disk-image tool judges its own owner records; it is started only
    // when there are mounts to judge.
    const QStringList mounts = QDir(directory + QStringLiteral("/mounts")).entryList({QStringLiteral("image-*")},
                                                                                    QDir::AllEntries | QDir::Hidden);
    if (mounts.isEmpty())
        return;
    QProcess cleanup;
    cleanup.setProgram(NVSUDMGUnarchiver::diskImageToolPath());
    cleanup.setArguments({QStringLiteral("cleanup")});
    cleanup.setStandardOutputFile(QProcess::nullDevice());
    if (!cleanup.startDetached())
        NVSULog(QStringLiteral("Cannot start %@ to remove leftover disk images"), cleanup.program());
}
