#pragma once

#include "platform/NVBundle.h"
#include "foundation/NVPropertyList.h"
#include "platform/NVUserDefaults.h"
#include "logging/NVLog.h"
#include "model/NVVersionNumber.h"

#include "support/TestSupport.h"

#include <QTemporaryDir>
#include <QVariantMap>

#include <memory>

namespace ModelTest {

// A temporary application bundle made the main bundle, so the installed
// version is whatever its Info.plist says. The system version is pinned as
// well, so that nothing depends on this machine's C library.
class InstalledApplication {
public:
    explicit InstalledApplication(const QVariantMap &info, NVVersionNumber system = NVVersionNumber(2, 36, 0))
    {
        setInfo(info);
        NVVersionNumber::setCurrentSystemVersionForTesting(system);
    }
    ~InstalledApplication() { NVVersionNumber::setCurrentSystemVersionForTesting(std::nullopt); }

    void setInfo(const QVariantMap &info)
    {
        const QString path = m_dir.path() + "/Velkin.app";
        TestSupport::writeInfoPlist(path, info);
        // Pointing the main bundle at it again makes the bundle read the new file.
        NVBundle::setMainBundle(path);
    }

private:
    QTemporaryDir m_dir;
};

// User defaults of their own in a temporary folder, installed as the log
// environment so that they also switch the debug log.
class Defaults {
public:
    explicit Defaults(bool debugLogs = true) : m_defaults(std::make_unique<NVUserDefaults>("test.velkin.Model", m_dir.path()))
    {
        m_defaults->setBool(debugLogs, SoftwareUpdateDebugLogsEnabledKey);
        NVSetLogEnvironment(m_defaults.get());
    }
    ~Defaults() { NVSetLogEnvironment(nullptr); }

    NVUserDefaults &operator*() { return *m_defaults; }
    NVUserDefaults *operator->() { return m_defaults.get(); }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<NVUserDefaults> m_defaults;
};

// A valid update description: version number, display name and the
// mechanism "ReplaceBundle"; changes on top (an invalid QVariant removes a key).
inline QVariantMap entry(const QString &version, const QString &displayName, const QVariantMap &changes = {})
{
    QVariantMap result{
        {"BundleVersion", version}, {"BundleShortVersionString", displayName}, {"InstallationObject", "Velkin.app"},
        {"InstallationMechanism", "ReplaceBundle"},
        {"DownloadURL", "https://updates.example/Velkin-" + version + ".tar.gz"},
        {"DownloadPageURL", "https://velkin.example/download"},
    };
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        if (it.value().isValid())
            result.insert(it.key(), it.value());
        else
            result.remove(it.key());
    }
    return result;
}

} // namespace ModelTest
