#pragma once

#include "ui/NVSUWindowController.h"

#include <QStringList>

#include <utility>

// Stands in for the update run that owns a window: it answers what the
// window asks and records every call the window makes, in order.
class RecordingWindowOwner : public NVSUWindowControllerOwner {
public:
    QString name = QStringLiteral("Velkin");
    bool interactive = true;
    QStringList calls;

    QStringList takeCalls() { return std::exchange(calls, {}); }

    QString bundleName() const override { return name; }
    QString softwareUpdateIcon() const override { return {}; }
    bool isRunningInteractively() const override { return interactive; }
    const NVLocalizable &localizable() const override { return m_table; }
    void updateWindowWillOpen() override { calls << QStringLiteral("updateWindowWillOpen"); }
    void updateWindowWillClose() override { calls << QStringLiteral("updateWindowWillClose"); }
    void dialogFinishedWithChoice(int choice) override { calls << QStringLiteral("dialogFinishedWithChoice %1").arg(choice); }
    void cancelDownload() override { calls << QStringLiteral("cancelDownload"); }
    void startInstaller() override { calls << QStringLiteral("startInstaller"); }
    void alertDidFinish() override { calls << QStringLiteral("alertDidFinish"); }

    // The update such a window shows: Velkin 5.2 over the installed 5.0.0 of
    // the test bundle; extra adds properties (release notes, a system range).
    static NVSUUpdate update(QVariantMap extra = {})
    {
        extra.insert({{"BundleVersion", "5200"}, {"BundleShortVersionString", "5.2"}, {"InstallationObject", "Velkin.app"},
                      {"InstallationMechanism", "ReplaceBundle"}, {"DownloadURL", "https://downloads.velkin.test/5.2.tar.gz"},
                      {"DownloadPageURL", "https://www.velkin.test/download"}});
        return *NVSUUpdate::initWithUpdateProperties(extra);
    }

private:
    class Table : public NVLocalizable {
    public:
        NV_LOCALIZATION_TABLE("NVSoftwareUpdate")
    } m_table;
};
