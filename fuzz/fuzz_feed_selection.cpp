// Feed bytes from anyone, through reading and selection to every property of
// the chosen update. Nothing may crash, hang, leak or read out of bounds; an
// unreadable feed is an error value and every entry is accepted or rejected
// by the rules.

#include "platform/NVBundle.h"
#include "foundation/NVPropertyList.h"
#include "platform/NVUserDefaults.h"
#include "logging/NVLog.h"
#include "model/NVSUFeed.h"
#include "model/NVSUUpdateSelection.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

struct Environment {
    QTemporaryDir dir;
    NVUserDefaults *defaults = nullptr;
};

Environment *environment = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    environment = new Environment;
    // An installed application in the middle of the usual version range, with
    // skipped versions, so that every rule of the selection can be reached.
    const QString bundle = environment->dir.path() + QStringLiteral("/Velkin.app");
    QDir().mkpath(bundle + QStringLiteral("/Contents"));
    QFile info(bundle + QStringLiteral("/Contents/Info.plist"));
    const NVResult<QByteArray> bytes = NVPropertyList::write(
        QVariantMap{{QStringLiteral("CFBundleVersion"), QStringLiteral("6400")},
                    {QStringLiteral("CFBundleShortVersionString"), QStringLiteral("6.4")}},
        NVPropertyList::Format::XML);
    if (!bytes || !info.open(QIODevice::WriteOnly) || info.write(*bytes) != bytes->size())
        std::abort();
    info.close();
    NVBundle::setMainBundle(bundle);

    environment->defaults = new NVUserDefaults(QStringLiteral("fuzz.velkin.FeedSelection"), environment->dir.path());
    environment->defaults->registerDefaults(
        {{QStringLiteral("SoftwareUpdateSkippedVersionsArray"), QVariantList{QStringLiteral("6500"), qint64(6600)}},
         {QStringLiteral("SoftwareUpdateDebugLogsEnabled"), true}});
    NVSetLogEnvironment(environment->defaults);
    // Lines are formatted as always, then dropped: the fuzzer's output is not
    // the place for them.
    NVSetConsoleSink([](const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const NVResult<QVariantList> entries = NVSUFeed::readEntries(bytes);
    if (!entries) {
        if (entries.error().domain().isEmpty())
            std::abort(); // every failure names its domain
        return 0;
    }
    // The check's kind comes from the input's length, so one corpus covers
    // interactive and automatic checks with and without pre-releases.
    const NVSUSelectionState state{(size & 1) != 0, (size & 2) == 0};
    const std::optional<NVSUUpdate> update = NVSUUpdateSelection::selectUpdateFromArray(*entries, state, *environment->defaults);
    if (!update)
        return 0;
    // The selection promises an update that is newer than the installed one
    // and runs here unless automatic update is suppressed.
    const std::optional<NVSUVersion> installed = NVSUVersion::installedVersion();
    if (update->version().compareVersion(installed) != NVOrderedDescending)
        std::abort();
    if (update->installationMechanism() == NVSUInstallationMechanismUnsupported)
        std::abort();
    if (!update->suppressAutoUpdate() && !update->isCompatibleWithSystemVersion())
        std::abort();
    (void)update->description();
    (void)update->downloadURL();
    (void)update->downloadPageURL();
    (void)update->releaseNotesURL();
    (void)update->minimumBaseVersion();
    (void)update->maximumSystemVersion();
    (void)update->isAutoUpgradable();
    (void)update->releaseLifecycle();
    (void)update->installationObject();
    return 0;
}
