#include "app/NVDefaultsCommand.h"
#include "platform/NVBundle.h"
#include "platform/NVUserDefaults.h"
#include "logging/NVLog.h"

#include <QCoreApplication>
#include <QTextStream>

// The updater's entry point. Subcommands that serve scripts and the product
// application are dispatched before the event loop starts.
int main(int argc, char *argv[])
{
    // Resolve our own bundle before anything can move or replace it.
    NVBundle::mainBundle();

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velkin-software-update"));
    const QStringList arguments = QCoreApplication::arguments();
    QTextStream out(stdout);
    QTextStream err(stderr);

    const QString command = arguments.value(1);
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        out << "usage: velkin-software-update [x-velkin-software-update:check-manually | "
               "x-velkin-software-update:check-automatically]\n"
               "       velkin-software-update defaults read|write|delete ...\n";
        return 0;
    }
    if (command == QLatin1String("defaults")) {
        // The command edits the stored settings only, so it reads no
        // arguments domain of its own.
        NVUserDefaults defaults(NVBundle::mainIdentifier(), NVUserDefaults::configDirectory());
        NVSetLogEnvironment(&defaults);
        const int status = NVRunDefaultsCommand(arguments.mid(2), defaults, out, err);
        NVSetLogEnvironment(nullptr);
        return status;
    }

    NVUserDefaults::standardUserDefaults();
    NVSULog(QStringLiteral("%@ has no update driver yet; nothing to do"), QCoreApplication::applicationName());
    return 0;
}
