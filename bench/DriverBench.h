#pragma once

#include "BenchFiles.h"
#include "foundation/NVPropertyList.h"
#include "platform/NVBundle.h"
#include "ui/NVSUWindowController.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QVariantMap>

#include <cstdio>
#include <malloc.h>
#include <ctime>
#include <functional>
#include <sys/resource.h>

// What the benchmarks that run the update driver share: the product on disk
// with the updater nested in it, test keys and the loopback HTTPS server from
// the build, and a window that only records and clicks. The tools come from
// the build's bundle (NV_BENCH_BUNDLE_DIR).
namespace DriverBench {

inline QString bundleTool(const char *name) { return QStringLiteral(NV_BENCH_BUNDLE_DIR "/Contents/MacOS/") + QLatin1String(name); }

using BenchFiles::writeFile;

inline bool writeInfoPlist(const QString &bundle, const QVariantMap &info)
{
    const NVResult<QByteArray> bytes = NVPropertyList::write(info, NVPropertyList::Format::XML);
    return bytes && writeFile(bundle + QStringLiteral("/Contents/Info.plist"), *bytes);
}

// Installs <parent>/Velkin.app of the given build with the updater nested in
// it, and makes the updater the main bundle: the selection compares against
// its version, and the private temporary directory (under XDG_CACHE_HOME) is
// named after its identifier.
inline QString installProduct(const QString &parent, const QString &version)
{
    const QString product = parent + QStringLiteral("/Velkin.app");
    const QString updater = product + QStringLiteral("/Contents/Helpers/Velkin Software Update.app");
    if (!writeInfoPlist(product, {{"CFBundleIdentifier", "bench.velkin"}, {"CFBundleVersion", version}, {"CFBundleShortVersionString", version}})
        || !writeInfoPlist(updater, {{"CFBundleIdentifier", "bench.velkin.SoftwareUpdate"},
                                     {"CFBundleName", "Velkin Software Update"},
                                     {"CFBundleVersion", version},
                                     {"CFBundleShortVersionString", version},
                                     {"SoftwareUpdateBundleName", "Velkin"}}))
        return QString();
    // The window's texts come from the build's localizations.
    QDir().mkpath(updater + QStringLiteral("/Contents/Resources"));
    QFile::link(QStringLiteral(NV_BENCH_BUNDLE_DIR "/Contents/Resources/en.lproj"), updater + QStringLiteral("/Contents/Resources/en.lproj"));
    NVBundle::setMainBundle(updater, QStringLiteral("bench.velkin.SoftwareUpdate"));
    return updater;
}

// `nvsu-release keys` into `directory`: the code-signing anchors, the team's
// certificate and key, and a TLS authority with a certificate for 127.0.0.1.
inline bool makeKeys(const QString &directory)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tool.start(bundleTool("nvsu-release"), {QStringLiteral("keys"), QStringLiteral("--output"), directory});
    return tool.waitForFinished(120000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

// Starts nvsu-test-server on `root` with the keys of makeKeys; returns its
// HTTPS port, 0 when it did not start.
inline quint16 startServer(QProcess &server, const QString &root, const QString &keys)
{
    server.start(QStringLiteral(NV_TEST_SERVER), {QStringLiteral("--root"), root, QStringLiteral("--certificate"),
                                                  keys + QStringLiteral("/server-certificate.pem"), QStringLiteral("--key"),
                                                  keys + QStringLiteral("/server-key.pem")});
    if (!server.waitForReadyRead(30000))
        return 0;
    return quint16(server.readLine().trimmed().split(' ').value(1).toUInt());
}

// A window that shows nothing: it reports its opening and closing to the
// run as the real one does, and hands the presentation and the installation
// offer to the benchmark, which plays the person.
class ScriptedWindow final : public NVSUWindowControllerInterface {
public:
    struct Script {
        std::function<void(NVSUWindowControllerOwner *)> presented;
        std::function<void()> installationOffered;
        std::function<void(const QString &)> alert;
        // Each progress description the run shows: downloading, checking
        // the signature, unpacking, ready.
        std::function<void()> progressDescribed;
    };
    ScriptedWindow(NVSUWindowControllerOwner *owner, const Script &script) : m_owner(owner), m_script(script)
    {
        owner->updateWindowWillOpen();
        if (m_script.presented)
            m_script.presented(owner);
    }
    void setUpdate(const NVSUUpdate &) override {}
    void switchToPresentationView() override {}
    void switchToDownloadView() override {}
    void setProgressDescription(const QString &) override
    {
        if (m_script.progressDescribed)
            m_script.progressDescribed();
    }
    void downloadStarted() override {}
    void downloadProgress(qint64, qint64) override {}
    void unpackStarted() override {}
    void processingAborted() override {}
    void resetDownloadView() override {}
    void offerInstallationWithMechanism(int) override
    {
        if (m_script.installationOffered)
            m_script.installationOffered();
    }
    void runAlertWithName(const QString &name, const QVariantList &) override
    {
        if (m_script.alert)
            m_script.alert(name);
    }
    NVWindowHandle window() const override { return nullptr; }
    void showWindow() override {}
    void closeUpdateWindow() override {}
    void close() override { m_owner->updateWindowWillClose(); }

private:
    NVSUWindowControllerOwner *m_owner;
    Script m_script;
};

inline double threadCPUSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// This thread's minor page faults so far: pages touched for the first time.
inline long minorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

// Hands the allocator's free memory back to the system, so that a measured
// step starts as in a fresh process, whatever ran before it.
inline void returnFreeMemory() { malloc_trim(0); }

inline long peakKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace DriverBench
