#include "support/DriverTestSupport.h"

#include "localization/NVSoftwareUpdateStrings.h"
#include "network/NVURLError.h"
#include "platform/NVBundle.h"
#include "support/TestSupport.h"
#include "terminal/NVSUTerminalInterface.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Whole update runs of the real driver (transport, signature check,
// unpacking, replacement) shown on a terminal whose input is a pipe the test
// types into and whose output is a buffer, as a script's would be.
class TerminalDriverTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(::pipe(input), 0);
        output.open(QIODevice::WriteOnly);
    }
    void TearDown() override
    {
        driver.reset();
        NVAlertPresenter::setCurrent(&alerts);
        NVCertificatePanel::setCurrent(nullptr);
        panel.reset();
        presenter.reset();
        terminal.reset();
        for (int fd : input)
            if (fd >= 0)
                ::close(fd);
        NVBundle::setUserLanguagesForTesting({});
        DriverTest::TearDown();
    }

    // The terminal, its alert presenter and certificate panel, and its
    // window factory installed, as the application installs them.
    void useTerminal(NVTerminalOptions options)
    {
        terminal = std::make_unique<NVTerminal>(input[0], &output, options);
        presenter = std::make_unique<NVTerminalAlertPresenter>(terminal.get());
        panel = std::make_unique<NVTerminalCertificatePanel>(terminal.get());
        NVAlertPresenter::setCurrent(presenter.get());
        NVCertificatePanel::setCurrent(panel.get());
        NVSUTerminalEnvironment environment;
        environment.sessionConfiguration = configuration.sessionConfiguration;
        NVSUWindowControllers::setFactory(
            [this, make = NVSUTerminalInterface::factory(terminal.get(), environment)](const NVSUUpdate &update, NVSUWindowControllerOwner *owner) {
                calls << "created";
                return make(update, owner);
            });
    }
    void type(const QByteArray &keys) { ASSERT_EQ(::write(input[1], keys.constData(), size_t(keys.size())), keys.size()); }
    QString screen() const { return QString::fromUtf8(output.data()); }
    // Waits until the output holds `text` `count` times.
    bool waitForScreen(const QString &text, int count = 1)
    {
        return TestSupport::waitFor([&] { return screen().count(text) >= count; }, 120s);
    }
    int downloadsOf(const QString &name) const { return int(server.requestsFor("/" + name).size()); }

    int input[2] = {-1, -1};
    QBuffer output;
    std::unique_ptr<NVTerminal> terminal;
    std::unique_ptr<NVTerminalAlertPresenter> presenter;
    std::unique_ptr<NVTerminalCertificatePanel> panel;
};

TEST_F(TerminalDriverTest, AnUpdateIsOfferedChosenAndInstalledWithTheProductRelaunchedInEachLanguage)
{
    const struct {
        const char *language;
        QStringList shown; // in this order
    } rows[] = {
        {"en",
         {"A new version of Velkin is available.", "Velkin 5.1 is now available — you have 5.0", "Release notes:", "  • Faster start (https://updates.velkin.test/help)",
          "  1  Skip This Version\n  2  Remind Me Later\n  3  Install Update\nChoice [3]: \n", "Updating Velkin\n", "100 %\n",
          "  1  Install and Restart\nChoice [1]: 1\nInstalling the update and restarting…\n"}},
        {"de",
         {"Velkin 5.1", "  1  Diese Version überspringen\n  2  Später erinnern\n", "Auswahl [3]: \n", "Velkin wird aktualisiert\n",
          "  1  Installieren und neu starten\nAuswahl [1]: 1\nDas Update wird installiert und das Programm neu gestartet …\n"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.language);
        NVBundle::setUserLanguagesForTesting({row.language});
        installProduct();
        output.buffer().clear();
        output.seek(0);
        application.calls.clear();
        terminations.clear();
        useTerminal({});
        publish("Velkin-5.1.tar.gz", "5.1", "5100");
        QVariantMap offered = entry("5.1", "5100", "Velkin-5.1.tar.gz");
        offered["ReleaseNotesURL"] = "https://updates.velkin.test/notes/5.1.html";
        server.setRoute("/notes/5.1.html", {.body = "<ul><li>Faster <a href=/help>start</a></ul>", .headers = {{"Content-Type", "text/html"}}});
        serveFeed(QVariantList{offered});

        startRun(true);
        // Enter: the window's default button. A number typed during the
        // download would cancel it, so the install button's number waits for
        // its question.
        type("\n");
        const QString installTitle = NVLocalization::localizedStringFromTable(NVSoftwareUpdateStrings::_installAndRelaunchButtonTitle,
                                                                              NVSoftwareUpdateStrings::Table);
        ASSERT_TRUE(waitForScreen("  1  " + installTitle + "\n")) << screen().toStdString();
        type("1\n");
        ASSERT_TRUE(TestSupport::waitFor([&] { return application.calls.contains("hide"); }, 120s)) << screen().toStdString();
        clock.advance(2s);
        EXPECT_EQ(installedMarker(), "new 5100");
        EXPECT_EQ(application.calls, (QStringList{"openApplication " + product, "hide", "terminate"}));
        driver->updateWindowWillClose();
        EXPECT_EQ(terminations, QList<int>{NVSUDriverTerminationDone});
        EXPECT_EQ(downloadFolders(), QStringList());

        // Written for a pipe: each step in order, progress as whole lines,
        // nothing that moves a cursor.
        const QString shown = screen();
        qsizetype at = 0;
        for (const QString &text : row.shown) {
            const qsizetype found = shown.indexOf(text, at);
            ASSERT_GE(found, 0) << text.toStdString() << "\nafter " << at << " in\n" << shown.toStdString();
            at = found + text.size();
        }
        EXPECT_FALSE(shown.contains(u'\x1b'));
        EXPECT_FALSE(shown.contains(u'\r'));
    }
}

TEST_F(TerminalDriverTest, SkipAndRemindMeLaterAreStoredAsTheWindowsChoices)
{
    serveFeed(QVariantList{entry("5.1", "5100", "x.tar.gz")});
    useTerminal({});
    const struct {
        const char *typed;
        int termination;
        QVariantList skipped;
    } rows[] = {
        {"1\n", NVSUDriverTerminationDone, {"5100"}},
        {"2\n", NVSUDriverTerminationPostponed, {}},
        // The end of the input closes the window before the offer was taken.
        {"", NVSUDriverTerminationPostponed, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.typed);
        terminations.clear();
        startRun(true);
        if (*row.typed)
            type(row.typed);
        else
            ::close(std::exchange(input[1], -1));
        ASSERT_TRUE(waitForTermination()) << screen().toStdString();
        EXPECT_EQ(terminations, QList<int>{row.termination});
        EXPECT_EQ(defaults->arrayForKey("SoftwareUpdateSkippedVersionsArray"), row.skipped);
    }
    EXPECT_EQ(downloadsOf("x.tar.gz"), 0);
}

TEST_F(TerminalDriverTest, AssumeYesEndsABadSignatureWithoutASecondDownloadAndANonZeroStatus)
{
    publish("unsigned.tar.gz", "5.1", "5100", false);
    serveFeed(QVariantList{entry("5.1", "5100", "unsigned.tar.gz")});
    useTerminal({.assumeYes = true});
    type("2\n1\n"); // never read
    startRun(true);
    ASSERT_TRUE(waitForTermination()) << screen().toStdString();
    EXPECT_EQ(terminations, QList<int>{NVSUDriverTerminationAfterError});
    EXPECT_EQ(downloadsOf("unsigned.tar.gz"), 1);
    EXPECT_EQ(installedMarker(), "installed");
    EXPECT_EQ(downloadFolders(), QStringList());
    EXPECT_EQ(NVSUTerminalInterface::exitStatus(*terminal, 0), 1);
    EXPECT_TRUE(screen().contains("Choice [3]: 3\n")) << screen().toStdString();
    EXPECT_TRUE(screen().contains("The update is not correctly signed.\n")) << screen().toStdString();
    EXPECT_TRUE(screen().contains("  1  Go Back\nChoice [1]: \n")) << screen().toStdString();
}

TEST_F(TerminalDriverTest, AnAlertIsAnsweredByNumberAndTheCertificateButtonPrintsTheChain)
{
    const QByteArray der = TestTLS::shared().server.chain.first().toDer();
    const QVariantMap info{{NSLocalizedDescriptionKey, "failed"},
                           {NSErrorFailingURLKey, QUrl("https://updates.velkin.test/")},
                           {NSURLErrorFailingURLPeerTrustErrorKey, QVariantList{der}}};
    const struct {
        NVTerminalOptions options;
        const char *typed; // the alert's answer, then the panel's
        QStringList actions;
        bool chainShown;
    } rows[] = {
        {{}, "2\n", {"openURL https://www.velkin.test/"}, false},
        {{}, "3\n\n", {}, true},
        {{}, "\n", {}, false},
        // --assume-yes: the first button, Cancel.
        {{.assumeYes = true}, "", {}, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.typed);
        output.buffer().clear();
        output.seek(0);
        application.calls.clear();
        useTerminal(row.options);
        driver = std::make_unique<NVSUDriver>(this, configuration);
        driver->setWebsiteURL(QUrl("https://www.velkin.test/"));
        type(row.typed);
        driver->runAlertForError(NVError(NSURLErrorDomain, NSURLErrorServerCertificateUntrusted, info), {});
        EXPECT_EQ(application.calls, row.actions);
        EXPECT_TRUE(screen().contains("  1  Cancel\n  2  Visit Website\n  3  Show Certificate\nChoice [1]: ")) << screen().toStdString();
        const QString fingerprint = QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex(':').toUpper();
        EXPECT_EQ(screen().contains("Certificate 1 of 1\n"), row.chainShown) << screen().toStdString();
        EXPECT_EQ(screen().contains("  SHA-256 fingerprint: " + fingerprint + "\n"), row.chainShown);
    }
}

} // namespace
