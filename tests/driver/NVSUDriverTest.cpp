#include "support/DriverTestSupport.h"

#include "foundation/NVPropertyList.h"
#include "network/NVURLError.h"
#include "platform/NVTerminationGuard.h"
#include "platform/NVTerminationSignals.h"
#include "support/TestSupport.h"
#include "ui/NVCertificatePanel.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <atomic>
#include <csignal>
#include <thread>

#include <unistd.h>

using namespace std::chrono_literals;

// ---- what the feed says --------------------------------------------------------------

TEST_F(DriverTest, RunsThatPresentNothingEndWithTheirCode)
{
    const QString feed = "/update-feeds/velkin5.plist";
    const QByteArray body = *NVPropertyList::write(QVariantList{entry("5.1", "5100", "x.tar.gz")}, NVPropertyList::Format::XML);
    const QString upToDate = "Velkin is up to date.";
    const QUrl feedURL = configuration.feedURL;
    // The feed asked for where it redirects: that is followed only within
    // the feed's domain and on HTTPS.
    const auto movedTo = [&](const QString &target) {
        server.setRoute("/moved", {.status = 302, .headers = {{"Location", target.toUtf8()}}});
        configuration.feedURL = QUrl("https://updates.velkin.test/moved");
    };
    struct Row {
        const char *name;
        std::function<void()> serve;
        bool interactive;
        int termination;
        QString alert; // its headline; empty: none
    };
    const Row rows[] = {
        {"a string root, automatic", [&] { serveFeed("not a feed"); }, false, NVSUDriverTerminationFailed, {}},
        {"an error page, asked for", [&] { server.setRoute(feed, {.status = 404, .body = "<html>gone</html>"}); },
         true, NVSUDriverTerminationFailed, upToDate},
        {"nothing newer, automatic", [&] { serveFeed(QVariantList{entry("5.0", "5000", "x.tar.gz")}); }, false, NVSUDriverTerminationDone, {}},
        {"nothing newer, asked for", [&] { serveFeed(QVariantList{entry("5.0", "5000", "x.tar.gz")}); }, true, NVSUDriverTerminationDone, upToDate},
        {"endless", [&] { server.setRoute(feed, {.body = body, .framing = TestHTTPSServer::Route::Framing::Chunked, .endless = true}); },
         true, NVSUDriverTerminationFailed, "The server sent more data than an update list may hold."},
        // Without an interface to present it, an offer waits for the next run.
        {"no interface", [&] {
             declineWindows = true;
             serveFeed(QVariantList{entry("5.1", "5100", "x.tar.gz")});
         },
         false, NVSUDriverTerminationPostponed, {}},
        {"redirected within the domain", [&] {
             serveFeed(QVariantList{entry("5.0", "5000", "x.tar.gz")});
             movedTo("https://downloads.velkin.test" + feed);
         },
         true, NVSUDriverTerminationDone, upToDate},
        {"redirected to a one-label host", [&] { movedTo("https://localhost" + feed); }, true, NVSUDriverTerminationFailed,
         "The update server sent the request on to “localhost”."},
        {"redirected to plain HTTP", [&] { movedTo("http://downloads.velkin.test" + feed); }, true, NVSUDriverTerminationFailed,
         "The update server sent the request on to “downloads.velkin.test”."},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        terminations.clear();
        alerts.shown.clear();
        alerts.answers = {NSAlertSecondButtonReturn};
        application.calls.clear();
        configuration.feedURL = feedURL;
        row.serve();
        startRun(row.interactive);
        ASSERT_TRUE(waitForTermination());
        EXPECT_EQ(terminations, QList<int>{row.termination});
        ASSERT_EQ(alerts.shown.size(), row.alert.isEmpty() ? 0 : 1);
        if (!row.alert.isEmpty()) {
            EXPECT_EQ(alerts.shown[0].alert.messageText, row.alert);
            EXPECT_TRUE(row.alert != upToDate || alerts.shown[0].alert.informativeText.contains("5.0"))
                << alerts.shown[0].alert.informativeText.toStdString();
        }
        // A refused redirect names the feed's domain, and its second button visits the website.
        const bool refused = row.alert.startsWith("The update server");
        EXPECT_TRUE(!refused || alerts.shown[0].alert.informativeText.contains("velkin.test"));
        EXPECT_EQ(application.calls, refused ? QStringList{"openURL https://www.velkin.test/"} : QStringList());
        EXPECT_FALSE(driver->isCheckingForUpdate());
    }
}

// ---- the person's choices ---------------------------------------------------------------

// An offer waits for the person's choice. A day without one starts the run
// over with the then best update. A task the driver no longer holds,
// reporting its cancellation late, changes nothing, at the offer or at an
// alert. Skipping stores the version once; reminding later forgets it.
TEST_F(DriverTest, AnOfferWaitsForTheChoiceAndALateReportChangesNothing)
{
    NVURLSessionDelegate nobody;
    NVURLSession other(configuration.sessionConfiguration, &nobody);
    const NVURLSessionTaskPtr stale = other.dataTaskWithRequest(QNetworkRequest(QUrl("https://updates.velkin.test/")));
    const NVError cancelled(NSURLErrorDomain, NSURLErrorCancelled);
    publish("unsigned.tar.gz", "5.1", "5100", false);
    serveFeed(QVariantList{entry("5.1", "5100", "unsigned.tar.gz")});
    startRun(false);
    ASSERT_TRUE(waitForCall("created"));
    NVURLSessionDelegate &asDelegate = *driver;
    asDelegate.taskDidCompleteWithError(nullptr, stale, cancelled);
    EXPECT_EQ(driver->continueAtLine(), NVSUDriverStepAwaitUserChoice);
    EXPECT_FALSE(defaults->isArrayForKey("SoftwareUpdateSkippedVersionsArray")) << "read as skip this version";

    serveFeed(QVariantList{entry("5.1", "5100", "unsigned.tar.gz"), entry("5.2", "5200", "unsigned.tar.gz")});
    calls.clear();
    clock.advance(std::chrono::hours(24) - 1s);
    EXPECT_TRUE(calls.isEmpty());
    clock.advance(1s);
    ASSERT_TRUE(waitForCall("showWindow"));
    EXPECT_EQ(calls, (QStringList{"close", "setUpdate 5200", "switchToPresentationView", "showWindow"}));
    EXPECT_EQ(clock.runningTimers(), 1);
    EXPECT_TRUE(terminations.isEmpty());

    driver->dialogFinishedWithChoice(NVSUUserChoiceUpdate);
    ASSERT_TRUE(waitForCall("runAlertWithName signatureError"));
    calls.clear();
    asDelegate.taskDidCompleteWithError(nullptr, stale, cancelled);
    EXPECT_EQ(driver->continueAtLine(), NVSUDriverStepAwaitErrorAcknowledgement) << "read as the go-back button";
    EXPECT_TRUE(calls.isEmpty());
    driver->updateWindowWillClose();

    const auto choose = [&](int choice) {
        terminations.clear();
        startRun(true); // skipped versions are offered again when asked for
        EXPECT_TRUE(waitForCall("created"));
        calls.clear();
        driver->dialogFinishedWithChoice(choice);
        return terminations;
    };
    EXPECT_EQ(choose(NVSUUserChoiceSkipThisVersion), QList<int>{NVSUDriverTerminationDone});
    EXPECT_EQ(choose(NVSUUserChoiceSkipThisVersion), QList<int>{NVSUDriverTerminationDone});
    EXPECT_EQ(defaults->arrayForKey("SoftwareUpdateSkippedVersionsArray"), QVariantList{"5200"});
    EXPECT_EQ(choose(NVSUUserChoiceRemindMeLater), QList<int>{NVSUDriverTerminationPostponed});
    EXPECT_EQ(defaults->arrayForKey("SoftwareUpdateSkippedVersionsArray"), QVariantList{});
    EXPECT_EQ(calls.first(), "close");
}

// Cancelling goes back to the presentation without a new time-out; closing
// the window ends the run with the code of its state. Neither leaves a
// download behind or touches the product.
TEST_F(DriverTest, CancellingOrClosingEndsTheStepCleanly)
{
    publish("stalls.tar.gz", "5.1", "5100");
    server.setRoute("/stalls.tar.gz", {.filePath = directory.filePath("download/stalls.tar.gz"), .stallAfter = 100, .faultCount = 100});
    publish("unsigned.tar.gz", "5.1", "5100", false);
    publish("good.tar.gz", "5.1", "5100");
    struct Row {
        const char *name;
        QString archive;
        QString waitFor; // empty: act while presenting
        bool cancel;     // else close the window
        int termination;
    };
    const Row rows[] = {
        {"cancel while downloading", "stalls.tar.gz", "switchToDownloadView", true, 0},
        {"cancel while unpacking", "good.tar.gz", "unpackStarted", true, 0},
        {"close while presenting", "good.tar.gz", {}, false, NVSUDriverTerminationPostponed},
        {"close while downloading", "stalls.tar.gz", "switchToDownloadView", false, NVSUDriverTerminationPostponed},
        {"close at the installation offer", "good.tar.gz", "offerInstallationWithMechanism", false, NVSUDriverTerminationDone},
        {"close at an error", "unsigned.tar.gz", "runAlertWithName", false, NVSUDriverTerminationAfterError},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        serveFeed(QVariantList{entry("5.1", "5100", row.archive)});
        calls.clear();
        terminations.clear();
        progress = {-2, -2};
        startRun(true);
        ASSERT_TRUE(waitForCall("created"));
        if (!row.waitFor.isEmpty()) {
            driver->dialogFinishedWithChoice(NVSUUserChoiceUpdate);
            ASSERT_TRUE(waitForCall(row.waitFor));
            // A stalling download is acted on once it has stalled.
            ASSERT_TRUE(row.archive != "stalls.tar.gz" || TestSupport::waitFor([&] { return progress.first == 100; }));
        }
        calls.clear();
        if (row.cancel) {
            driver->cancelDownload();
            EXPECT_EQ(calls, (QStringList{"processingAborted", "switchToPresentationView"}));
            EXPECT_EQ(driver->continueAtLine(), NVSUDriverStepAwaitUserChoice);
            EXPECT_EQ(clock.runningTimers(), 0);
            EXPECT_TRUE(terminations.isEmpty());
        } else {
            driver->updateWindowWillClose();
            EXPECT_EQ(terminations, QList<int>{row.termination});
        }
        EXPECT_EQ(downloadFolders(), QStringList());
        EXPECT_EQ(installedMarker(), "installed");
    }
}

// ---- failures shown in the window -------------------------------------------------------

TEST_F(DriverTest, EachFailureShowsItsAlertAndLeavesTheProductAlone)
{
    publish("unsigned.tar.gz", "5.1", "5100", false);
    const QString tampered = publish("tampered.tar.gz", "5.1", "5100");
    QByteArray bytes = TestSupport::readFile(tampered);
    bytes[100] = char(bytes[100] ^ 0x20);
    TestSupport::writeFile(tampered, bytes);
    publish("Velkin.tar.xz.tgz", "5.1", "5100");
    QFile::rename(directory.filePath("download/Velkin.tar.xz.tgz"), directory.filePath("download/Velkin.tar.xz"));
    const QByteArray good = TestSupport::readFile(publish("good.tar.gz", "5.1", "5100"));
    QVariantMap otherName = entry("5.1", "5100", "good.tar.gz");
    otherName["InstallationObject"] = "Other.app";
    QVariantMap unknownMechanism = entry("5.1", "5100", "good.tar.gz");
    unknownMechanism["InstallationMechanism"] = "Installer";
    unknownMechanism["InstallationObject"] = "Setup.app";
    // Transfers that break off half-way, and answers that are not the file
    // the feed named. A stall ends by the session's own time-out.
    configuration.sessionConfiguration.stallTimeout = 5s;
    const qint64 half = good.size() / 2;
    server.setRoute("/stalls.tar.gz", {.body = good, .stallAfter = half});
    server.setRoute("/resets.tar.gz", {.body = good, .dropAfter = half, .reset = true});
    server.setRoute("/zip.tar.gz", {.body = TestSupport::readFile(publish("Velkin.zip", "5.1", "5100"))});
    publish("older.tar.gz", "4.9", "4900");
    struct Row {
        const char *name;
        QVariantMap entry;
        QString alert;
    };
    const Row rows[] = {
        {"unsigned", entry("5.1", "5100", "unsigned.tar.gz"), "runAlertWithName signatureError"},
        {"tampered", entry("5.1", "5100", "tampered.tar.gz"), "runAlertWithName signatureError"},
        {"missing", entry("5.1", "5100", "missing.tar.gz"), "runAlertWithName signatureError"}, // the 404 page arrives as the archive
        {"unsupported format", entry("5.1", "5100", "Velkin.tar.xz"), "runAlertWithName unsupportedArchiveFormat"},
        {"another bundle name", otherName, "runAlertWithName bundleNameMismatch Other.app|Velkin.app"},
        {"installer not in the archive", unknownMechanism, "runAlertWithName cannotLaunchInstaller "},
        {"stalled", entry("5.1", "5100", "stalls.tar.gz"), "runAlertWithName errorAlert The server “downloads.velkin.test” stopped answering."},
        {"reset half-way", entry("5.1", "5100", "resets.tar.gz"), "runAlertWithName errorAlert The network connection was lost."},
        {"another signed archive", entry("5.1", "5100", "zip.tar.gz"), "runAlertWithName errorAlert The archive could not be unpacked "},
        {"an older signed release", entry("5.1", "5100", "older.tar.gz"),
         "runAlertWithName errorAlert The download holds version 4.9, not the offered version 5.1. Nothing was changed."},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QStringList shown = updateUntilAlert(row.entry);
        ASSERT_EQ(shown.size(), 1) << calls.join('\n').toStdString();
        EXPECT_TRUE(row.alert.endsWith(' ') ? shown[0].startsWith(row.alert) : shown[0] == row.alert) << shown[0].toStdString();
        EXPECT_EQ(driver->continueAtLine(), NVSUDriverStepAwaitErrorAcknowledgement);
        EXPECT_TRUE(downloadFolders().filter("download-").isEmpty()) << "a partial download stayed";
        EXPECT_EQ(installedMarker(), "installed");
        EXPECT_EQ(QDir(directory.filePath("Applications")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"Velkin.app"});
        // Going back starts the whole run again from the feed.
        calls.clear();
        driver->alertDidFinish();
        EXPECT_EQ(downloadFolders(), QStringList());
        ASSERT_TRUE(waitForCall("showWindow"));
        EXPECT_EQ(calls.first(), "close");
        driver->updateWindowWillClose();
    }
}

TEST(NVSUDriverPaths, ReplacementTargetAndDownloadFolder)
{
    EXPECT_EQ(NVSUDriver::replacementTarget("/Applications/X.app/Contents/Helpers/Y.app"), "/Applications/X.app");
    EXPECT_EQ(NVSUDriver::replacementTarget("/opt/A.app/Contents/Helpers/B.app/Contents/Helpers/C.app"), "/opt/A.app");
    EXPECT_EQ(NVSUDriver::replacementTarget("/Applications/Y.app"), "/Applications/Y.app");
    EXPECT_EQ(NVSUDriver::downloadFolderName("My App", "5.7.2", 0x6650a1f3), "My_App-5.7.2-6650a1f3");
    EXPECT_EQ(NVSUDriver::downloadFolderName("Velkin", "5 beta/../x", 0x1), "Velkin-5_beta_.._x-00000001");
    for (const auto &[url, domain] : std::initializer_list<std::pair<const char *, const char *>>{
             {"https://a.b.example.com/x", "example.com"}, {"https://a.example.co.uk/", "co.uk"}, {"https://localhost/", ""}, {"file:///x", ""}})
        EXPECT_EQ(NVSUDriver::domainOfURL(QUrl(url)).value_or(QString()), domain) << url;
}

// ---- alerts for a failed check -----------------------------------------------------------

namespace {
struct RecordingCertificatePanel final : NVCertificatePanel {
    RecordingCertificatePanel() { setCurrent(this); }
    ~RecordingCertificatePanel() override { setCurrent(nullptr); }
    void runModalForTrust(const QList<QByteArray> &chain, const QString &title) override { shown << QStringLiteral("%1 %2").arg(chain.size()).arg(title); }
    QStringList shown;
};
} // namespace

TEST_F(DriverTest, ASecureConnectionFailureOffersTheWebsiteAndTheCertificate)
{
    RecordingCertificatePanel panel;
    const QVariantList chain{QByteArray("der 1"), QByteArray("der 2")};
    struct Row {
        const char *name;
        qint64 code;
        bool website;
        int answer;
        QStringList buttons;
        QString action; // what the answer ran
    };
    const Row rows[] = {
        {"all buttons, visit", NSURLErrorServerCertificateUntrusted, true, 1001, {"Cancel", "Visit Website", "Show Certificate"}, "openURL https://www.velkin.test/"},
        {"all buttons, certificate", NSURLErrorSecureConnectionFailed, true, 1002, {"Cancel", "Visit Website", "Show Certificate"}, "panel 2 Close"},
        {"no website", NSURLErrorClientCertificateRequired, false, 1001, {"Cancel", "Show Certificate"}, "panel 2 Close"},
        {"just outside the range", -1207, true, 1001, {}, ""},
    };
    driver = std::make_unique<NVSUDriver>(this, configuration);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        driver->setWebsiteURL(row.website ? QUrl("https://www.velkin.test/") : QUrl());
        const QVariantMap info{{NSLocalizedDescriptionKey, "failed"},
                               {NSErrorFailingURLKey, QUrl("https://updates.velkin.test/")},
                               {NSURLErrorFailingURLPeerTrustErrorKey, chain}};
        alerts.shown.clear();
        alerts.answers = {row.answer};
        application.calls.clear();
        panel.shown.clear();
        bool callerAsked = false;
        driver->runAlertForError(NVError(NSURLErrorDomain, row.code, info), [&](int) { callerAsked = true; });
        ASSERT_EQ(alerts.shown.size(), 1);
        QStringList buttons = alerts.shown[0].alert.buttonTitles;
        EXPECT_EQ(buttons, row.buttons);
        const QStringList actions = application.calls + QStringList(panel.shown.isEmpty() ? QString() : "panel " + panel.shown[0]);
        EXPECT_EQ(actions.join(QString()).trimmed(), row.action);
        EXPECT_EQ(callerAsked, row.code == -1207) << "only an ordinary error goes to the caller's handler";
    }
}

// ---- a termination signal during the replacement ------------------------------------

namespace {

// Sends SIGTERM to the process just before the swap and holds the
// replacement until the main thread has heard the signal, so a termination
// that did not wait would run before the swap.
class SignalDuringSwapTest : public DriverTest {
protected:
    void driverWillReplaceApplication(NVSUDriver *, const QString &, const QString &) override
    {
        ::kill(::getpid(), SIGTERM);
        const QDeadlineTimer deadline(60s);
        while (!heard && !deadline.hasExpired())
            std::this_thread::sleep_for(5ms);
    }
    std::atomic<bool> heard{false};
};

} // namespace

// The whole run through the real transport, signature check, unpacking,
// replacement and relaunch. A termination signal that arrives just before
// the swap waits for it, so the new version is in place when it goes on.
TEST_F(SignalDuringSwapTest, AnUpdateIsInstalledAndATerminationWaitsForTheSwap)
{
    NVTerminationSignals terminationSignals;
    QByteArray markerAtTermination;
    QObject::connect(&terminationSignals, &NVTerminationSignals::terminationRequested, [&](int) {
        heard = true;
        NVTerminationGuard::whenReleased([&] { markerAtTermination = installedMarker(); });
    });
    const QString name = "Velkin-5.1.tar.gz";
    publish(name, "5.1", "5100");
    serveFeed(QVariantList{entry("5.1", "5100", name)});

    startRun(true);
    ASSERT_TRUE(waitForCall("created"));
    driver->dialogFinishedWithChoice(NVSUUserChoiceUpdate);
    ASSERT_TRUE(waitForCall("offerInstallationWithMechanism")) << calls.join('\n').toStdString();
    EXPECT_EQ(progress.first, QFileInfo(directory.filePath("download/" + name)).size());
    EXPECT_EQ(downloadFolders().size(), 1);
    driver->startInstaller();
    ASSERT_TRUE(TestSupport::waitFor([&] { return !markerAtTermination.isEmpty() && application.calls.contains("hide"); }, 60s))
        << calls.join('\n').toStdString();
    EXPECT_EQ(markerAtTermination, "new 5100");
    EXPECT_EQ(installedMarker(), "new 5100");
    EXPECT_FALSE(application.calls.contains("terminate"));
    clock.advance(2s);
    EXPECT_EQ(application.calls, (QStringList{"openApplication " + product, "hide", "terminate"}));
    driver->updateWindowWillClose();
    EXPECT_EQ(terminations, QList<int>{NVSUDriverTerminationDone});
    EXPECT_EQ(downloadFolders(), QStringList());
    const QStringList expected = {"created", "setProgressDescription Downloading the update…", "downloadStarted", "switchToDownloadView",
                                  "setProgressDescription Checking the digital signature…", "setProgressDescription Unpacking the update…",
                                  "unpackStarted"};
    for (const QString &call : expected)
        EXPECT_TRUE(calls.contains(call)) << call.toStdString() << "\n" << calls.join('\n').toStdString();
}
