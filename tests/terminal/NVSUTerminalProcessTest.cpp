#include "support/DriverTestSupport.h"

#include "platform/NVTemporaryDirectory.h"
#include "support/PrivateSessionBus.h"
#include "support/PseudoTerminal.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QString CheckManually = QStringLiteral("x-velkin-software-update:check-manually");

// The updater's executable as a person runs it over SSH: in a terminal of
// its own without a display, nested in an installed product whose feed is
// on the loopback server, with a session bus of its own. The person is
// played by what the test types.
class TerminalProcessTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        // The updater nested in the product gets the executable and its feed.
        TestSupport::writeInfoPlist(updater, {{"CFBundleIdentifier", "test.velkin.SoftwareUpdate"}, {"CFBundleName", "Velkin Software Update"},
                                              {"CFBundleExecutable", "velkin-software-update"}, {"CFBundleVersion", "5000"},
                                              {"CFBundleShortVersionString", "5.0"}, {"SoftwareUpdateBundleName", "Velkin"},
                                              {"SoftwareUpdateFeedURL", configuration.feedURL.toString()},
                                              {"SoftwareUpdateWebsiteURL", "https://www.velkin.test/"}});
        // A link keeps /proc/self/exe inside the nested bundle.
        const QString executable = updater + "/Contents/MacOS/velkin-software-update";
        if (::link(QFile::encodeName(TestSupport::bundleExecutable()).constData(), QFile::encodeName(executable).constData()) != 0)
            QFile::copy(TestSupport::bundleExecutable(), executable);
    }

    std::unique_ptr<PseudoTerminal> run(QStringList arguments, QString language = "en", bool script = false)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", directory.filePath("config"));
        environment.insert("XDG_CACHE_HOME", directory.filePath("cache"));
        environment.insert("https_proxy", server.proxyURL());
        environment.insert("LANGUAGE", language);
        environment.insert("TERM", "xterm");
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        environment.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
        return std::make_unique<PseudoTerminal>(PseudoTerminal::Options{.program = updater + "/Contents/MacOS/velkin-software-update",
                                                                        .arguments = arguments,
                                                                        .environment = environment,
                                                                        .inputFromDevNull = script,
                                                                        .outputToPipe = script});
    }
    // What the private temporary directory holds but its lock.
    QStringList temporaryFiles() const
    {
        const NVResult<QString> temporary = NVTemporaryDirectory::privateTemporaryDirectory();
        return temporary ? QDir(temporary.value()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot) : QStringList();
    }

    // Updaters of tests running side by side never meet on it.
    PrivateSessionBus bus;
};

// In the user's language (the English texts are checked on pipes, without
// a process), with release notes that the terminal fetches over a session of
// its own, which must not hold up the process as it quits: Ctrl-C during the
// download leaves nothing in the temporary directory.
TEST_F(TerminalProcessTest, AnUpdateIsOfferedAndCtrlCDuringItsDownloadLeavesNothingInTheTemporaryDirectory)
{
    const QString archive = publish("Velkin-5.1.tar.gz", "5.1", "5100");
    server.setRoute("/Velkin-5.1.tar.gz", {.filePath = archive, .stallAfter = 1000});
    QVariantMap offered = entry("5.1", "5100", "Velkin-5.1.tar.gz");
    offered.insert("ReleaseNotesURL", "https://downloads.velkin.test/notes/5.1.html");
    server.setRoute("/notes/5.1.html", {.body = "<p>Projects open faster.</p>", .headers = {{"Content-Type", "text/html"}}});
    serveFeed(QVariantList{offered});
    const auto updater = run({CheckManually}, "de");
    ASSERT_TRUE(updater->waitForScreen("  1  Diese Version überspringen\r\n  2  Später erinnern\r\n  3  Update installieren\r\n"
                                       "Auswahl [3]: "))
        << updater->screen().toStdString();
    EXPECT_TRUE(updater->screen().contains("Projects open faster.")) << updater->screen().toStdString();
    updater->type("\r");
    ASSERT_TRUE(updater->waitForScreen("  1  Download abbrechen\r\n")) << updater->screen().toStdString();
    // The part received so far is on disk.
    ASSERT_TRUE(TestSupport::waitFor([&] { return !temporaryFiles().isEmpty(); }, 60s)) << updater->screen().toStdString();
    updater->interrupt();
    EXPECT_TRUE(updater->waitForExit().has_value()) << updater->screen().toStdString();
    EXPECT_EQ(temporaryFiles(), QStringList());
    EXPECT_EQ(installedMarker(), "installed");
}

// From a script, a download whose signature does not hold ends the run with
// a non-zero status after one download, in output written for a pipe. Release
// notes that cannot be loaded are one line: the server's error page is not
// the notes.
TEST_F(TerminalProcessTest, AssumeYesFromAScriptEndsABadSignatureNonZeroWithOneDownload)
{
    publish("unsigned.tar.gz", "5.1", "5100", false);
    QVariantMap offered = entry("5.1", "5100", "unsigned.tar.gz");
    offered.insert("ReleaseNotesURL", "https://downloads.velkin.test/notes/missing.html");
    server.setRoute("/notes/missing.html", {.status = 404, .body = "<p>Not here</p>", .headers = {{"Content-Type", "text/html"}}});
    serveFeed(QVariantList{offered});
    const auto updater = run({CheckManually, "--assume-yes"}, "en", true);
    const std::optional<int> status = updater->waitForExit();
    const QString output = updater->pipeOutput();
    ASSERT_TRUE(status.has_value()) << output.toStdString() << updater->screen().toStdString();
    EXPECT_NE(*status, 0) << output.toStdString() << updater->screen().toStdString();
    EXPECT_EQ(installedMarker(), "installed");
    EXPECT_EQ(server.requestsFor("/unsigned.tar.gz").size(), 1);
    EXPECT_TRUE(output.contains("\nThe release notes could not be loaded: HTTP 404\n\n  1  Skip This Version\n")) << output.toStdString();
    EXPECT_FALSE(output.contains("Not here"));
    // Written for a pipe: no carriage returns or escape sequences.
    EXPECT_FALSE(output.contains(u'\r'));
    EXPECT_FALSE(output.contains(u'\x1b'));
}

} // namespace
