// nvsu-diskimage: attaches and detaches the squashfs disk images that
// updates come in. The updater runs it as
//
//   nvsu-diskimage attach -plist -noverify -nobrowse -noautoopen IMAGE
//   nvsu-diskimage detach -force MOUNTPOINT
//   nvsu-diskimage cleanup
//
// "attach" prints a property list {"system-entities": [{"content-hint":
// "squashfs", "mount-point": PATH}]} on standard output. The owner of an
// attached image is the process that ran the tool: when it has gone, the
// next attach or cleanup detaches the image.
//
// A failure is one line on standard error, and the exit status is a POSIX
// error number naming the reason (see unarchive/NVDiskImage.h), because the
// updater shows the text of that number.
//
// NV_DISKIMAGE_METHODS=loop,fuse,extract restricts and orders the ways an
// image is attached (for tests and for machines where one of them misbehaves).

#include "foundation/NVPropertyList.h"
#include "unarchive/NVDiskImage.h"

#include "NVToolCommand.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cerrno>

#include <poll.h>
#include <unistd.h>

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

const char *const Usage =
    "usage: nvsu-diskimage attach [-plist] [-noverify] [-nobrowse] [-noautoopen] IMAGE\n"
    "       nvsu-diskimage detach [-force] MOUNTPOINT\n"
    "       nvsu-diskimage cleanup\n";

int usageError(const QString &problem)
{
    err() << "nvsu-diskimage: " << problem << "\n" << Usage;
    err().flush();
    return EINVAL;
}

int fail(const NVError &error)
{
    err() << "nvsu-diskimage: " << error.localizedDescription() << Qt::endl;
    const qint64 code = error.code();
    return error.domain() == NSPOSIXErrorDomain && code > 0 && code < 256 ? int(code) : EIO;
}

// Splits the arguments of a subcommand into its known flags and the
// positional ones; an unknown flag is a usage error.
std::optional<QStringList> positionals(const QStringList &arguments, const QStringList &flags, QString *problem)
{
    QStringList result;
    bool flagsEnded = false;
    for (const QString &argument : arguments) {
        if (!flagsEnded && argument == QLatin1String("--")) {
            flagsEnded = true;
        } else if (!flagsEnded && argument.startsWith(u'-') && argument.size() > 1) {
            if (!flags.contains(argument)) {
                *problem = QStringLiteral("unknown option \"%1\"").arg(argument);
                return std::nullopt;
            }
        } else {
            result << argument;
        }
    }
    return result;
}

// The updater answers a possible licence question with "yes"; the tool asks
// none, so whatever arrived is read and dropped without ever waiting for it.
void drainStandardInput()
{
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (::poll(&input, 1, 0) == 1 && (input.revents & POLLIN)) {
        char buffer[256];
        (void)!::read(STDIN_FILENO, buffer, sizeof buffer);
    }
}

int attachCommand(const QStringList &arguments, const NVDiskImage::Options &options)
{
    QString problem;
    const auto images = positionals(arguments,
                                    {QStringLiteral("-plist"), QStringLiteral("-noverify"), QStringLiteral("-nobrowse"),
                                     QStringLiteral("-noautoopen")},
                                    &problem);
    if (!images)
        return usageError(problem);
    if (images->size() != 1)
        return usageError(QStringLiteral("attach takes one image"));
    // The tool exits once the image is attached; the image belongs to the
    // process that asked for it.
    const NVResult<NVDiskImage::Attachment> attachment = NVDiskImage::attach(images->constFirst(), ::getppid(), options);
    drainStandardInput();
    if (!attachment)
        return fail(attachment.error());
    const QVariantMap entity{{QStringLiteral("content-hint"), QStringLiteral("squashfs")},
                             {QStringLiteral("mount-point"), attachment->mountPoint},
                             {QStringLiteral("attach-method"), NVDiskImage::methodName(attachment->method)},
                             {QStringLiteral("image-size"), attachment->image.bytesUsed}};
    const QVariantMap list{{QStringLiteral("system-entities"), QVariantList{entity}}};
    const NVResult<QByteArray> bytes = NVPropertyList::write(list, NVPropertyList::Format::XML);
    if (!bytes) {
        (void)NVDiskImage::detach(attachment->mountPoint, options);
        return fail(bytes.error());
    }
    out() << QString::fromUtf8(*bytes);
    out().flush();
    return 0;
}

int detachCommand(const QStringList &arguments, const NVDiskImage::Options &options)
{
    QString problem;
    const auto mountPoints = positionals(arguments, {QStringLiteral("-force")}, &problem);
    if (!mountPoints)
        return usageError(problem);
    if (mountPoints->size() != 1)
        return usageError(QStringLiteral("detach takes one mount point"));
    if (const NVResult<void> status = NVDiskImage::detach(mountPoints->constFirst(), options); !status)
        return fail(status.error());
    return 0;
}

int cleanupCommand(const QStringList &arguments, const NVDiskImage::Options &options)
{
    if (!arguments.isEmpty())
        return usageError(QStringLiteral("cleanup takes no arguments"));
    const NVResult<NVDiskImage::CleanupReport> report = NVDiskImage::cleanup(options);
    if (!report)
        return fail(report.error());
    for (const QString &mountPoint : report->detached)
        out() << "detached " << mountPoint << "\n";
    out().flush();
    int status = 0;
    for (const NVError &failure : report->failures) {
        const int code = fail(failure);
        status = status ? status : code;
    }
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nvsu-diskimage"));
    // Every command reads its limits and methods from the environment first.
    const auto withOptions = [](int (*command)(const QStringList &, const NVDiskImage::Options &)) {
        return [command](const QStringList &arguments) {
            const NVResult<NVDiskImage::Options> options = NVDiskImage::optionsFromEnvironment();
            return options ? command(arguments, *options) : fail(options.error());
        };
    };
    return NVRunToolCommand({QStringLiteral("nvsu-diskimage"), EINVAL}, QCoreApplication::arguments().mid(1),
                            {
                                {"attach", "attach [-plist] [-noverify] [-nobrowse] [-noautoopen] IMAGE", withOptions(attachCommand)},
                                {"detach", "detach [-force] MOUNTPOINT", withOptions(detachCommand)},
                                {"cleanup", "cleanup", withOptions(cleanupCommand)},
                            });
}
