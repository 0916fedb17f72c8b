#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include <functional>

// The one dispatch of the bundle's tools that take a command word: the first
// argument names the command, "help", "-h" or "--help" prints the usage on
// standard output, and no command or an unknown one prints it on standard
// error with the tool's usage-error status.
struct NVToolCommand {
    const char *name;
    const char *summary; // one usage line
    std::function<int(const QStringList &arguments)> run;
};

struct NVToolDescription {
    QString name;
    int usageErrorStatus;
};

// Main thread; blocks for as long as the command runs.
inline int NVRunToolCommand(const NVToolDescription &tool, QStringList arguments, const QList<NVToolCommand> &commands)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    const auto usage = [&](QTextStream &stream) {
        stream << "usage: " << tool.name << " COMMAND [arguments]   (" << tool.name << " COMMAND --help for details)\n\ncommands:\n";
        for (const NVToolCommand &command : commands)
            stream << "  " << command.summary << "\n";
        stream.flush();
    };
    if (arguments.isEmpty()) {
        err << tool.name << ": no command\n\n";
        usage(err);
        return tool.usageErrorStatus;
    }
    const QString name = arguments.takeFirst();
    if (name == QLatin1String("help") || name == QLatin1String("-h") || name == QLatin1String("--help")) {
        usage(out);
        return 0;
    }
    for (const NVToolCommand &command : commands) {
        if (name == QLatin1String(command.name))
            return command.run(arguments);
    }
    err << tool.name << ": unknown command \"" << name << "\"\n\n";
    usage(err);
    return tool.usageErrorStatus;
}
