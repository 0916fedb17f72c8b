#include "app/NVDefaultsCommand.h"
#include "app/VKSUApplication.h"
#include "logging/NVLog.h"
#include "platform/NVBundle.h"
#include "platform/NVUserDefaults.h"
#include "terminal/NVSUTerminalInterface.h"
#include "widgets/NVDesktopWorkspace.h"
#include "widgets/NVInterfaceFileLoader.h"
#include "widgets/NVMessageBoxAlertPresenter.h"
#include "widgets/NVSUReleaseNotesView.h"
#include "widgets/NVSUWindowController.h"
#include "widgets/NVWidgetsApplication.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTextStream>

#include <cstring>
#include <memory>

namespace {

// Subcommands that serve scripts and the product application; they run
// before, and instead of, the application.
std::optional<int> runSubcommand(int argc, char *argv[])
{
    const char *command = argc > 1 ? argv[1] : "";
    if (std::strcmp(command, "--help") != 0 && std::strcmp(command, "-h") != 0 && std::strcmp(command, "defaults") != 0)
        return std::nullopt;
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.value(1) != QLatin1String("defaults")) {
        out << "usage: velkin-software-update [x-velkin-software-update:check-manually | "
               "x-velkin-software-update:check-automatically [--assume-yes]] [-Key Value]...\n"
               "       velkin-software-update defaults read|write|delete ...\n";
        return 0;
    }
    // The command edits the stored settings only, so it reads no arguments
    // domain of its own.
    NVUserDefaults defaults(NVBundle::mainIdentifier(), NVUserDefaults::configDirectory());
    NVSetLogEnvironment(&defaults);
    const int status = NVRunDefaultsCommand(arguments.mid(2), defaults, out, err);
    NVSetLogEnvironment(nullptr);
    return status;
}

// The Qt Widgets windows and dialogs, for a process with a display.
VKSUApplication::Interface widgetsInterface(VKSUApplication &application)
{
    VKSUApplication::Interface interface;
    interface.application = std::make_unique<NVWidgetsApplication>([&application] { application.terminate(); });
    interface.workspace = std::make_unique<NVDesktopWorkspace>();
    interface.alertPresenter = std::make_unique<NVMessageBoxAlertPresenter>();
    interface.windowControllerFactory = NVSUWindowController::factory();
    interface.enableAutomaticLocalization = &NVInterfaceFileLoader::enableAutomaticLocalization;
#if NV_HAS_WEBVIEW
    // The browser engine is loaded and started with the first window that
    // has release notes, not before.
    NVSUReleaseNotesViews::setFactory(NVSUReleaseNotesViews::libraryFactory(
        NVBundle::mainBundle()->contentsPath() + QStringLiteral("/PlugIns/libnvsu-webview.so")));
#endif
    return interface;
}

} // namespace

// The updater's entry point.
int main(int argc, char *argv[])
{
    // Resolve our own bundle before anything can move or replace it.
    NVBundle::mainBundle();
    if (const std::optional<int> status = runSubcommand(argc, argv))
        return *status;

    // Windows need a display; without one the process is a plain event loop.
    const bool display = VKSUApplication::hasDisplay();
    // The release notes' browser engine is loaded after the application
    // object exists, and it shares its drawing contexts with the windows
    // only when asked before.
    if (display)
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    const std::unique_ptr<QCoreApplication> app =
        display ? std::make_unique<QApplication>(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velkin-software-update"));

    const VKSUApplication::LaunchOptions options = VKSUApplication::parseArguments(QCoreApplication::arguments());
    // Without a display the terminal presents updates, when someone can
    // answer there or --assume-yes answers for them; otherwise nothing can
    // show an update and a run that finds one ends as postponed. It outlives
    // the application, whose windows write to it.
    const std::unique_ptr<NVSUTerminalInterface> terminal =
        display ? nullptr : NVSUTerminalInterface::forProcess(false, options.assumeYes);
    int status = 0;
    {
        VKSUApplication application(options);
        VKSUApplication::Interface interface;
        if (display) {
            interface = widgetsInterface(application);
        } else if (terminal) {
            interface.alertPresenter = terminal->makeAlertPresenter();
            interface.windowControllerFactory = terminal->factory();
        }
        status = application.run(std::move(interface));
    }
    // What the run handed to the next turn of the loop goes now, while the
    // application object still takes the events its destructors post.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return terminal ? terminal->exitStatus(status) : status;
}
