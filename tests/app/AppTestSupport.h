#pragma once

#include "driver/NVSUDriver.h"
#include "platform/NVBundle.h"
#include "platform/NVUserDefaults.h"
#include "support/DriverTestSupport.h"
#include "support/ManualClock.h"
#include "support/PrivateSessionBus.h"
#include "support/RecordingAlertPresenter.h"
#include "support/TestHTTPSServer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

// An updater bundle for the shell's tests: its own identifier (so that tests
// running side by side own different bus names), the test authority as
// server trust, the feed on the loopback server (reached through its
// proxy), and private settings and cache folders. For the process tests it
// holds a link to (or a copy of) the built executable.
class AppTestBundle {
public:
    static inline const QString FeedPath = QStringLiteral("/update-feeds/velkin5.plist");
    static inline const QByteArray UpToDateFeed =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array/></plist>";

    explicit AppTestBundle(const QString &name, bool withExecutable = false)
        : identifier(QStringLiteral("test.velkin.%1%2").arg(name).arg(QCoreApplication::applicationPid())),
          bundlePath(m_directory.path() + QStringLiteral("/Velkin Software Update.app")),
          configDirectory(m_directory.path() + QStringLiteral("/config")),
          cacheDirectory(m_directory.path() + QStringLiteral("/cache"))
    {
        TestSupport::writeInfoPlist(bundlePath, {{"CFBundleIdentifier", identifier},
                                                 {"CFBundleName", "Velkin Software Update"},
                                                 {"CFBundleExecutable", "velkin-software-update"},
                                                 {"CFBundleVersion", "5000"},
                                                 {"CFBundleShortVersionString", "5.0.0"},
                                                 {"SoftwareUpdateBundleName", "Velkin"},
                                                 {"SoftwareUpdateFeedURL", "https://updates.velkin.test" + FeedPath},
                                                 {"SoftwareUpdateWebsiteURL", "https://updates.velkin.test/"}});
        const QString resources = bundlePath + QStringLiteral("/Contents/Resources/");
        TestSupport::writeFile(resources + "ServerTrustAnchors.pem", TestTLS::shared().authorityPEM);
        for (const char *language : {"en", "de"})
            QFile::link(TestSupport::bundlePath() + "/Contents/Resources/" + language + ".lproj", resources + language + ".lproj");
        if (withExecutable) {
            // A link keeps /proc/self/exe inside this bundle; across file
            // systems only a copy does.
            const QString executable = bundlePath + QStringLiteral("/Contents/MacOS/velkin-software-update");
            QDir().mkpath(bundlePath + QStringLiteral("/Contents/MacOS"));
            if (::link(QFile::encodeName(TestSupport::bundleExecutable()).constData(), QFile::encodeName(executable).constData()) != 0)
                QFile::copy(TestSupport::bundleExecutable(), executable);
        }
        for (const QString &host : TestTLS::hostNames())
            server.addHost(host);
        serveFeed(UpToDateFeed);
    }

    void serveFeed(const QByteArray &body) { server.setRoute(FeedPath, {.body = body}); }
    int feedRequests() const { return int(server.requestsFor(FeedPath).size()); }

    // For the driver inside a test: the proxy to the loopback server.
    NVSUDriverConfiguration driverConfiguration() const
    {
        NVSUDriverConfiguration configuration;
        configuration.sessionConfiguration.environment = QProcessEnvironment();
        configuration.sessionConfiguration.environment.insert("https_proxy", server.proxyURL());
        configuration.sessionConfiguration.serverTrustAnchorsPath = bundlePath + QStringLiteral("/Contents/Resources/ServerTrustAnchors.pem");
        return configuration;
    }
    // For an updater process: private folders, the proxy, and no display.
    QProcessEnvironment processEnvironment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", configDirectory);
        environment.insert("XDG_CACHE_HOME", cacheDirectory);
        environment.insert("https_proxy", server.proxyURL());
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        return environment;
    }
    QString executable() const { return bundlePath + QStringLiteral("/Contents/MacOS/velkin-software-update"); }

private:
    QTemporaryDir m_directory;

public:
    const QString identifier;
    const QString bundlePath;
    const QString configDirectory;
    const QString cacheDirectory;
    mutable TestHTTPSServer server{TestTLS::shared().server};
};

// Every emission of a signal, with its arguments as variants.
template <typename Sender, typename... Args>
class SignalLog {
public:
    SignalLog(Sender *sender, void (Sender::*signal)(Args...))
    {
        QObject::connect(sender, signal, &m_context,
                         [this](Args... arguments) { m_emissions.append(QVariantList{QVariant::fromValue(std::decay_t<Args>(arguments))...}); });
    }
    qsizetype count() const { return m_emissions.size(); }
    const QVariantList &at(qsizetype index) const { return m_emissions.at(index); }

private:
    QList<QVariantList> m_emissions;
    QObject m_context;
};

// The shell's parts inside a test: the test bundle as the main bundle,
// private settings and cache, a manual clock, and the application and
// alerts recorded.
class AppShellTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NVBundle::setMainBundle(bundle.bundlePath);
        qputenv("XDG_CACHE_HOME", QFile::encodeName(bundle.cacheDirectory));
    }
    void TearDown() override { qunsetenv("XDG_CACHE_HOME"); }

    AppTestBundle bundle{QStringLiteral("Shell")};
    NVUserDefaults defaults{bundle.identifier, bundle.configDirectory};
    ManualClock clock;
    RecordingApplication application;
    RecordingAlertPresenter alerts;
};
