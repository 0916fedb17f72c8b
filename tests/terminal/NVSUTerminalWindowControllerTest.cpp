#include "terminal/NVSUTerminalInterface.h"

#include "foundation/NVFormat.h"
#include "localization/NVSoftwareUpdateStrings.h"
#include "platform/NVBundle.h"
#include "support/RecordingWindowOwner.h"
#include "support/TestHTTPSServer.h"
#include "support/TestSupport.h"

#include <QBuffer>
#include <QCryptographicHash>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

namespace Strings = NVSoftwareUpdateStrings;

QString text(const QString &key)
{
    return NVLocalization::localizedStringFromTable(key, Strings::Table);
}

// A terminal on pipes: the test types into one end of the input and reads
// everything the terminal wrote.
class TerminalControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NVBundle::setMainBundle(TestSupport::bundlePath());
        NVBundle::setUserLanguagesForTesting({"en"});
        environment.elapsedMilliseconds = [this] { return now; };
    }
    void TearDown() override
    {
        stop();
        NVBundle::setUserLanguagesForTesting({});
    }

    void stop()
    {
        controller.reset();
        terminal.reset();
        closeInput();
        if (input[0] >= 0)
            ::close(std::exchange(input[0], -1));
    }
    void start(NVTerminalOptions options)
    {
        stop();
        ASSERT_EQ(::pipe(input), 0);
        output.close();
        output.setData(QByteArray());
        output.open(QIODevice::WriteOnly);
        owner.calls.clear();
        terminal = std::make_unique<NVTerminal>(input[0], &output, options);
    }
    void open(const NVSUUpdate &update)
    {
        controller = NVSUTerminalInterface::factory(terminal.get(), environment)(update, &owner);
    }
    void type(const QByteArray &bytes) { ASSERT_EQ(::write(input[1], bytes.constData(), size_t(bytes.size())), bytes.size()); }
    void closeInput()
    {
        if (input[1] >= 0)
            ::close(std::exchange(input[1], -1));
    }
    QString written() const { return QString::fromUtf8(output.data()); }
    // The owner's calls after the window announced that it opens.
    bool waitForCalls(int count)
    {
        return TestSupport::waitFor([&] { return owner.calls.size() >= count + 1; }, std::chrono::seconds(60));
    }

    NVSUTerminalEnvironment environment;
    qint64 now = 0;
    int input[2] = {-1, -1};
    QBuffer output;
    RecordingWindowOwner owner;
    std::unique_ptr<NVTerminal> terminal;
    std::unique_ptr<NVSUWindowControllerInterface> controller;
};

TEST_F(TerminalControllerTest, ThePresentationIsAnsweredByNumberByEnterOrByTheEndOfTheInput)
{
    const struct {
        const char *typed;
        bool endInput;
        const char *call;
        int complaints;
    } cases[] = {
        {" 2 \r\n", false, "dialogFinishedWithChoice 1", 0},
        {"4\nyes\n3\n", false, "dialogFinishedWithChoice 2", 2},
        {"0\n", true, "updateWindowWillClose", 1},
    };
    const QString complaint = NVFormat::format(text(Strings::_terminalInvalidChoice), {qint64(3)});
    for (const auto &c : cases) {
        start({});
        open(RecordingWindowOwner::update());
        type(c.typed);
        if (c.endInput)
            closeInput();
        ASSERT_TRUE(waitForCalls(1)) << c.typed;
        EXPECT_EQ(owner.calls, QStringList({"updateWindowWillOpen", c.call})) << c.typed;
        EXPECT_EQ(written().count(complaint), c.complaints) << c.typed;
    }
    // What the last one showed: the texts of the window, its choices, and
    // each answer after the prompt as a terminal would have echoed it.
    const QString shown = written();
    EXPECT_TRUE(shown.contains("\n\n  1  Skip This Version\n  2  Remind Me Later\n  3  Install Update\nChoice [3]: 0\n"))
        << shown.toStdString();
}

TEST_F(TerminalControllerTest, ProgressIsOneLineRewrittenOnATerminalAndOneLinePerTenthElsewhere)
{
    const qint64 total = 10'000'000;
    const QString atHalf = "5.0 MB of 10.0 MB — 5.0 MB/s — 50 %";
    for (const bool onTerminal : {false, true}) {
        start({.outputIsTerminal = onTerminal});
        open(RecordingWindowOwner::update());
        type("\n");
        ASSERT_TRUE(waitForCalls(1));
        now = 0;
        controller->setProgressDescription(text(Strings::_progressDescriptionDownloadingUpdate));
        controller->downloadStarted();
        controller->switchToDownloadView();
        // A report every 100 ms, and one more 50 ms after each, which a
        // terminal does not get: that would be flicker.
        for (int i = 1; i <= 20; ++i) {
            now += 50;
            if (i > 1)
                controller->downloadProgress(total * (i - 1) / 20 + 1, total);
            now += 50;
            controller->downloadProgress(total * i / 20, total);
        }
        controller->setProgressDescription(text(Strings::_progressDescriptionCheckingDigitalSignature));
        const QString shown = written();
        EXPECT_TRUE(shown.contains("Updating Velkin\nDownloading the update…\n")) << shown.toStdString();
        EXPECT_TRUE(shown.contains(atHalf)) << shown.toStdString();
        EXPECT_EQ(shown.count(" %"), onTerminal ? 20 : 10) << shown.toStdString();
        EXPECT_EQ(shown.count(u'\r'), onTerminal ? 20 : 0);
        EXPECT_TRUE(shown.contains("100 %\nChecking the digital signature…\n")) << shown.toStdString();
        EXPECT_FALSE(shown.contains(u'\x1b'));
        // The cancel button is no default (there is no prompt): Enter alone
        // must not cancel a download, only its number does.
        type("\n7\n1\n");
        ASSERT_TRUE(waitForCalls(2));
        EXPECT_EQ(owner.calls.mid(1), QStringList({"dialogFinishedWithChoice 2", "cancelDownload"}));
        EXPECT_FALSE(written().contains("Choice [1]")) << written().toStdString();
    }
    // An installer that did not start: the window, hidden for it, comes back
    // with the alert instead of leaving the run waiting unseen.
    const qsizetype before = written().size();
    controller->closeUpdateWindow();
    controller->runAlertWithName(Strings::cannotLaunchInstaller, {"/x/Installer.app"});
    const QString goBack = "1  " + text(Strings::_goBackButtonTitle);
    EXPECT_TRUE(TestSupport::waitFor([&] { return written().mid(before).contains(goBack); }, std::chrono::seconds(60)));
    EXPECT_TRUE(written().mid(before).contains("The installer “/x/Installer.app” did not start.")) << written().toStdString();
}

TEST_F(TerminalControllerTest, AlertsTakeNumberedButtonsAndTheCertificatePanelPrintsTheChain)
{
    const NVAlert alert{"Could not connect.", "Check the network.", {"Cancel", "Visit Website", "Show Certificate"}, {}};
    start({});
    NVTerminalAlertPresenter presenter(terminal.get());
    type("9\n2\n"); // a number out of range is asked again
    EXPECT_EQ(presenter.runModal(alert), NSAlertSecondButtonReturn);
    EXPECT_TRUE(written().contains("Could not connect.\nCheck the network.\n\n  1  Cancel\n  2  Visit Website\n  3  Show Certificate\n"));
    // The end of the input answers with the first button; without buttons
    // the one is OK.
    closeInput();
    EXPECT_EQ(presenter.runModal({"Done.", "", {}, {}}), NSAlertFirstButtonReturn);
    EXPECT_TRUE(written().contains("Done.\n\n  1  OK\n"));

    // The panel prints each certificate of the chain, then waits for its button.
    start({});
    NVTerminalCertificatePanel panel(terminal.get());
    type("\n");
    const QByteArray der = TestTLS::shared().server.chain.first().toDer();
    panel.runModalForTrust({der, "not a certificate"}, "Close");
    const QStringList lines = written().split(u'\n');
    ASSERT_GE(lines.size(), 10) << written().toStdString();
    EXPECT_EQ(lines[1], "Certificate 1 of 2");
    EXPECT_TRUE(lines[2].startsWith("  Subject: ") && lines[2].contains("CN=")) << lines[2].toStdString();
    EXPECT_TRUE(lines[3].startsWith("  Issuer: ") && lines[4].startsWith("  Valid from ")) << written().toStdString();
    EXPECT_EQ(lines[5], "  SHA-256 fingerprint: " + QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex(':').toUpper());
    EXPECT_EQ(lines[6], "Certificate 2 of 2");
    EXPECT_EQ(lines[9], "  1  Close");
}

} // namespace
