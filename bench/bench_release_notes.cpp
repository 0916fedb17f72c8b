// Opens the update window with release notes served over loopback HTTPS and
// times it from the window's creation to the end of the notes' load (the
// view unhidden), against a bare QWebEngineView loading the same page from
// the same server in the same run. Reports the median and the fastest of
// each and their ratio; the window should cost at most 1.3 times the bare
// view.
//
//   bench_release_notes [--runs N]
//
// Both sides get a fresh in-memory profile per run, so neither reads a cache
// the other filled; the browser engine is started once before timing, and
// the two sides take turns to go first. Run it under a display (xvfb-run).

#include "BenchReport.h"
#include "platform/NVBundle.h"
#include "platform/NVUserDefaults.h"
#include "support/TestHTTPSServer.h"
#include "webview/NVSUReleaseNotesWebView.h"
#include "widgets/NVSUWindowController.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QWebEngineCertificateError>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include <unistd.h>

namespace {

// A page of the size release notes have: a few headings, lists and links.
QByteArray notesPage()
{
    QByteArray page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>"
                      "body { font-family: sans-serif; font-size: 13px; margin: 14px 18px; }</style></head><body>";
    for (int version = 20; version > 0; --version) {
        page += "<h2>Velkin 5." + QByteArray::number(version) + "</h2><ul>";
        for (int item = 0; item < 8; ++item)
            page += "<li>Fixed a problem that could make projects open slowly after a lost connection.</li>";
        page += "</ul><p><a href=\"history.html#5." + QByteArray::number(version) + "\">Details</a></p>";
    }
    return page + "</body></html>";
}

class Owner : public NVSUWindowControllerOwner {
public:
    QString bundleName() const override { return QStringLiteral("Velkin"); }
    QString softwareUpdateIcon() const override { return {}; }
    bool isRunningInteractively() const override { return true; }
    const NVLocalizable &localizable() const override { return m_table; }
    void updateWindowWillOpen() override {}
    void updateWindowWillClose() override {}
    void dialogFinishedWithChoice(int) override {}
    void cancelDownload() override {}
    void startInstaller() override {}
    void alertDidFinish() override {}

private:
    class Table : public NVLocalizable {
    public:
        NV_LOCALIZATION_TABLE("NVSoftwareUpdate")
    } m_table;
};

// Runs the event loop until done() holds; false after a minute.
bool spinUntil(const std::function<bool()> &done)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 60'000)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// The bare view: a fresh profile, the certificate accepted as the test
// server's (it has no other way to know the test authority), the load's end.
double bareViewMilliseconds(const QUrl &url)
{
    QElapsedTimer timer;
    timer.start();
    QWebEngineProfile profile;
    QWebEnginePage page(&profile);
    QObject::connect(&page, &QWebEnginePage::certificateError, [](QWebEngineCertificateError error) { error.acceptCertificate(); });
    bool finished = false;
    QObject::connect(&page, &QWebEnginePage::loadFinished, [&](bool) { finished = true; });
    QWebEngineView view;
    view.setPage(&page);
    view.resize(480, 280);
    view.show();
    page.load(url);
    if (!spinUntil([&] { return finished; }))
        return -1;
    return double(timer.nsecsElapsed()) / 1e6;
}

// The window: from its creation to the notes' view unhidden at the end of
// the load.
double windowMilliseconds(const NVSUUpdate &update, NVUserDefaults *defaults)
{
    Owner owner;
    QElapsedTimer timer;
    timer.start();
    auto created = NVSUWindowController::create(update, &owner, {{}, defaults});
    if (!created)
        return -1;
    std::unique_ptr<NVSUWindowController> controller = std::move(created).value();
    NVSUReleaseNotesView *view = controller->releaseNotesWebView();
    if (!view || !spinUntil([&] { return view->widget()->isVisible(); }))
        return -1;
    const double elapsed = double(timer.nsecsElapsed()) / 1e6;
    controller.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return elapsed;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    int runs = 20;
    const QStringList arguments = QCoreApplication::arguments();
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--runs")); at > 0)
        runs = std::max(1, arguments.value(at + 1).toInt());
    // The engine's sandbox cannot run as root.
    if (::geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");

    // An updater bundle that trusts the test authority, with the window's
    // interface file and tables from the build's bundle.
    QTemporaryDir folder;
    const QString contents = folder.path() + QStringLiteral("/Bench.app/Contents");
    QDir().mkpath(contents + QStringLiteral("/Resources"));
    QFile::copy(QStringLiteral(NV_BENCH_BUNDLE_DIR "/Contents/Info.plist"), contents + QStringLiteral("/Info.plist"));
    for (const char *resource : {"en.lproj", "NVSoftwareUpdate.ui"})
        QFile::link(QStringLiteral(NV_BENCH_BUNDLE_DIR "/Contents/Resources/") + QLatin1String(resource),
                    contents + QStringLiteral("/Resources/") + QLatin1String(resource));
    QFile anchors(contents + QStringLiteral("/Resources/ServerTrustAnchors.pem"));
    if (!anchors.open(QIODevice::WriteOnly) || anchors.write(TestTLS::shared().authorityPEM) < 0)
        return 1;
    anchors.close();
    NVBundle::setMainBundle(folder.path() + QStringLiteral("/Bench.app"));
    NVBundle::setUserLanguagesForTesting({QStringLiteral("en")});
    NVUserDefaults defaults(QStringLiteral("bench.velkin.ReleaseNotes"), folder.path());
    NVSUReleaseNotesViews::setFactory(NVSUReleaseNotesWebView::factory());

    TestHTTPSServer server(TestTLS::shared().server);
    server.setRoute(QStringLiteral("/notes.html"),
                    {.status = 200, .body = notesPage(), .headers = {{"Content-Type", "text/html; charset=utf-8"}}});
    const QUrl url = server.url({}, QStringLiteral("/notes.html"));
    const auto update = NVSUUpdate::initWithUpdateProperties(
        {{"BundleVersion", "5200"}, {"BundleShortVersionString", "5.2"}, {"InstallationObject", "Velkin.app"},
         {"InstallationMechanism", "ReplaceBundle"}, {"DownloadURL", "https://updates.velkin.test/5.2.tar.gz"},
         {"DownloadPageURL", "https://velkin.test/download"}, {"ReleaseNotesURL", url.toString()}});
    if (!update)
        return 1;

    // The engine's start-up is paid once per process, by whoever comes first.
    if (bareViewMilliseconds(url) < 0 || windowMilliseconds(*update, &defaults) < 0) {
        std::fprintf(stderr, "bench_release_notes: the warm-up load did not finish\n");
        return 1;
    }
    std::vector<double> bare, window;
    for (int run = 0; run < runs; ++run) {
        for (int side = 0; side < 2; ++side) {
            if ((run + side) % 2 == 0)
                bare.push_back(bareViewMilliseconds(url));
            else
                window.push_back(windowMilliseconds(*update, &defaults));
        }
    }
    if (std::min(*std::min_element(bare.begin(), bare.end()), *std::min_element(window.begin(), window.end())) < 0) {
        std::fprintf(stderr, "bench_release_notes: a load did not finish\n");
        return 1;
    }
    const double bareMedian = median(bare), windowMedian = median(window);
    std::printf("release notes, %d runs each (ms)   median   fastest\n", runs);
    std::printf("  bare QWebEngineView              %7.1f   %7.1f\n", bareMedian, *std::min_element(bare.begin(), bare.end()));
    std::printf("  update window with notes         %7.1f   %7.1f\n", windowMedian, *std::min_element(window.begin(), window.end()));
    // Each run's two loads ran back to back, so the median of their ratios
    // cancels most of what other processes do to the machine meanwhile.
    std::vector<double> ratios;
    for (int run = 0; run < runs; ++run)
        ratios.push_back(window[size_t(run)] / bare[size_t(run)]);
    std::printf("  ratio window / bare (medians)    %7.2f\n", windowMedian / bareMedian);
    const double ratio = median(ratios);
    std::printf("  ratio window / bare (median of each run's ratio) %.2f   target <= 1.30%s\n", ratio,
                ratio > 1.3 ? "  ABOVE TARGET" : "");
    BenchReport::row("release notes window to notes shown (median)", BenchReport::figure(windowMedian, "ms"),
                     BenchReport::figure(bareMedian, "ms") + " bare web view", ratio, BenchReport::atMost(1.3), ratio <= 1.3);
    NVSUReleaseNotesViews::setFactory({});
    return 0;
}
