#pragma once

#include "driver/NVSUDriver.h"
#include "platform/NVApplicationServices.h"
#include "platform/NVUserDefaults.h"
#include "support/ManualClock.h"
#include "support/RecordingAlertPresenter.h"
#include "support/SigningFixture.h"
#include "support/TestHTTPSServer.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

// What a run's window was told, one line per call ("runAlertWithName
// signatureError"), and buttons a test presses through the owner, as a
// person would.
class RecordingWindowController final : public NVSUWindowControllerInterface {
public:
    RecordingWindowController(QStringList &calls, std::pair<qint64, qint64> &progress, NVSUWindowControllerOwner *owner)
        : m_calls(calls), m_progress(progress), m_owner(owner)
    {
        owner->updateWindowWillOpen();
    }
    ~RecordingWindowController() override { m_calls << QStringLiteral("destroyed"); }

    void setUpdate(const NVSUUpdate &update) override { note("setUpdate " + update.version().versionNumber()); }
    void switchToPresentationView() override { note("switchToPresentationView"); }
    void switchToDownloadView() override { note("switchToDownloadView"); }
    void setProgressDescription(const QString &description) override { note("setProgressDescription " + description); }
    void downloadStarted() override { note("downloadStarted"); }
    void downloadProgress(qint64 received, qint64 total) override { m_progress = {received, total}; }
    void unpackStarted() override { note("unpackStarted"); }
    void processingAborted() override { note("processingAborted"); }
    void resetDownloadView() override { note("resetDownloadView"); }
    void offerInstallationWithMechanism(int mechanism) override { note(QStringLiteral("offerInstallationWithMechanism %1").arg(mechanism)); }
    void runAlertWithName(const QString &name, const QVariantList &arguments) override
    {
        QStringList texts;
        for (const QVariant &argument : arguments)
            texts << argument.toString();
        note(("runAlertWithName " + name + ' ' + texts.join(u'|')).trimmed());
    }
    NVWindowHandle window() const override { return nullptr; }
    void showWindow() override { note("showWindow"); }
    void closeUpdateWindow() override { note("closeUpdateWindow"); }
    void close() override
    {
        note("close");
        m_owner->updateWindowWillClose();
    }

private:
    void note(const QString &call) { m_calls << call; }
    QStringList &m_calls;
    std::pair<qint64, qint64> &m_progress;
    NVSUWindowControllerOwner *m_owner;
};

// The application object and the workspace, recorded: what the run and
// the shell ask of them.
class RecordingApplication final : public NVApplication, public NVWorkspace {
public:
    RecordingApplication()
    {
        NVApplicationServices::setApplication(this);
        NVApplicationServices::setWorkspace(this);
    }
    ~RecordingApplication() override
    {
        NVApplicationServices::setApplication(nullptr);
        NVApplicationServices::setWorkspace(nullptr);
    }
    void terminate() override { calls << QStringLiteral("terminate"); }
    void setActivationPolicy(ActivationPolicy policy) override { this->policy = policy; }
    void activate() override { calls << QStringLiteral("activate"); }
    void hide() override { calls << QStringLiteral("hide"); }
    bool isModalWindowUp() const override { return false; }
    bool openURL(const QString &url) override
    {
        calls << "openURL " + url;
        return true;
    }
    void openApplication(const QString &bundlePath, const QStringList &, LaunchCompletion completion) override
    {
        calls << "openApplication " + bundlePath;
        if (completion)
            completion(bundlePath, QString());
    }
    QStringList calls;
    ActivationPolicy policy = ActivationPolicy::Accessory;
};

// One product on disk with the updater nested in it (the main bundle of the
// test), a loopback HTTPS server that serves its feed and signed archives,
// and a driver set up to reach it, with a manual clock and a settings file
// of its own. Only the person clicking is played by the test.
class DriverTest : public ::testing::Test, public NVSUDriverDelegate, public NVSUDriverHost {
protected:
    void SetUp() override;
    void TearDown() override;

    // (Re)installs Velkin.app 5.0 with the updater nested in it as the main bundle.
    void installProduct();
    // A product bundle "Velkin.app" of the given version with a marker file.
    virtual QString makeProduct(const QString &parent, const QString &shortVersion, const QString &version, const QByteArray &marker) const;
    // Packages (and signs) a new version of the product as download/<name>.
    QString publish(const QString &name, const QString &shortVersion, const QString &version, bool sign = true);
    // Packages (and signs) a bundle as download/<name>, in the format its suffix names.
    QString publishBundle(const QString &bundle, const QString &name, bool sign = true);
    // A feed entry for an archive on the download host.
    QVariantMap entry(const QString &shortVersion, const QString &version, const QString &archiveName) const;
    void serveFeed(const QVariant &root);

    // Makes the driver and starts a run.
    NVSUDriver &startRun(bool interactively);
    bool waitForCall(const QString &prefix, std::chrono::milliseconds timeout = std::chrono::seconds(60));
    bool waitForTermination(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Starts an interactive run of entry, chooses the update and installs it
    // when offered; answers the alerts the window showed, once one came.
    QStringList updateUntilAlert(const QVariantMap &entry);
    QStringList callsStartingWith(const QString &prefix) const;
    // Download folders and partial downloads left in the private temporary directory.
    QStringList downloadFolders() const;
    QByteArray installedMarker() const;

    void driverDidTerminate(NVSUDriver *, int termination) override { terminations << termination; }

    QTemporaryDir directory;
    QString product;   // the installed Velkin.app
    QString updater;   // the updater bundle nested in it
    TestHTTPSServer server{TestTLS::shared().server};
    SigningFixture signing;
    std::unique_ptr<NVUserDefaults> defaults;
    ManualClock clock;
    RecordingAlertPresenter alerts;
    RecordingApplication application;
    NVSUDriverConfiguration configuration;
    std::unique_ptr<NVSUDriver> driver;
    QStringList calls;   // the window's
    QList<int> terminations;
    std::pair<qint64, qint64> progress{-2, -2}; // the last download progress the window was told
    bool declineWindows = false;
    // What the product's executable runs (a relaunch runs it).
    QByteArray productExecutable = "#!/bin/sh\nexit 0\n";
};
