#include "support/DriverTestSupport.h"

#include "network/NVURLError.h"
#include "platform/NVBundle.h"
#include "support/TestSupport.h"
#include "terminal/NVSUTerminalInterface.h"

#include <QBuffer>
#include <QCryptographicHash>

#include <unistd.h>


namespace {

// The real driver shown on a terminal whose input is a pipe the test types
// into and whose output is a buffer, for what the executable's own tests
// cannot reach (a server certificate the run refuses). Whole runs through
// the executable are in the process tests.
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

    int input[2] = {-1, -1};
    QBuffer output;
    std::unique_ptr<NVTerminal> terminal;
    std::unique_ptr<NVTerminalAlertPresenter> presenter;
    std::unique_ptr<NVTerminalCertificatePanel> panel;
};

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
