#include "logging/NVLog.h"

#include <QCoreApplication>
#include <QTextStream>

// The updater's entry point. Subcommands that serve scripts and the product
// application are dispatched before the event loop starts.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velkin-software-update"));
    const QStringList arguments = QCoreApplication::arguments();
    QTextStream out(stdout);

    if (arguments.size() > 1 && (arguments.at(1) == QLatin1String("--help") || arguments.at(1) == QLatin1String("-h"))) {
        out << "usage: velkin-software-update [x-velkin-software-update:check-manually | x-velkin-software-update:check-automatically]\n";
        return 0;
    }
    NVSULog(QStringLiteral("%@ has no update driver yet; nothing to do"), QCoreApplication::applicationName());
    return 0;
}
