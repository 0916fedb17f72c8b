#include "support/DriverTestSupport.h"

#include "foundation/NVPropertyList.h"
#include "support/PrivateSessionBus.h"
#include "support/PseudoTerminal.h"
#include "support/TestSupport.h"
#include "support/TestUser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QString CheckManually = QStringLiteral("x-velkin-software-update:check-manually");
const QString CheckAutomatically = QStringLiteral("x-velkin-software-update:check-automatically");
const QString Updater = QStringLiteral("/Contents/Helpers/Velkin Software Update.app/Contents/MacOS/velkin-software-update");

// What one run of the updater left for the person to read: its exit status
// (nothing when it did not end by itself), what it printed, and its log.
struct Outcome {
    std::optional<int> status;
    QString output;
    QString log;
    std::string text() const { return (output + "\n--- log:\n" + log).toStdString(); }
};

// Whole runs of the updater's executable as the product starts it: nested in
// an installed Velkin.app by the maker's tool, without a display, with a
// session bus and settings of its own, against a signed feed on the loopback
// server. Every version of the product notes in a log that it was started,
// and with what.
class WholeRunTest : public DriverTest {
protected:
    void SetUp() override
    {
        productExecutable = "#!/bin/sh\necho \"$(cat \"${0%/MacOS/*}/Resources/marker.txt\") started${*:+ with: $*}\" >> '"
                            + QFile::encodeName(directory.filePath("started")) + "'\n";
        TestSupport::writeFile(directory.filePath("ServerTrustAnchors.pem"), TestTLS::shared().authorityPEM);
        DriverTest::SetUp();
        ASSERT_TRUE(bus.isConnected()) << "dbus-daemon did not start a bus";
        installVelkin();
    }

    QString makeProduct(const QString &parent, const QString &shortVersion, const QString &version, const QByteArray &marker) const override
    {
        const QString bundle = DriverTest::makeProduct(parent, shortVersion, version, marker);
        const auto nested = TestSupport::run(TestSupport::bundlePath() + "/Contents/MacOS/nvsu-release",
                                             {"nest", shippedUpdater(), bundle, "--feed-url", configuration.feedURL.toString(),
                                              "--website-url", "https://www.velkin.test/", "--anchors", signing.anchorsPath(),
                                              "--server-anchors", directory.filePath("ServerTrustAnchors.pem")});
        EXPECT_EQ(nested.exitCode, 0) << nested.err.toStdString();
        return bundle;
    }
    // The updater as the package ships it: the build's bundle without its
    // debugging information, a tenth of the size to copy and to download.
    static QString shippedUpdater()
    {
        static QTemporaryDir folder;
        static const QString bundle = [] {
            const QString copy = folder.filePath("Velkin Software Update.app");
            EXPECT_EQ(TestSupport::run("/bin/cp", {"-R", TestSupport::bundlePath(), copy}).exitCode, 0);
            for (const QFileInfo &file : QDir(copy + "/Contents/MacOS").entryInfoList(QDir::Files))
                EXPECT_EQ(TestSupport::run("/usr/bin/strip", {"--strip-debug", file.filePath()}).exitCode, 0);
            return copy;
        }();
        return bundle;
    }
    void installVelkin()
    {
        QDir(directory.filePath("Applications")).removeRecursively();
        product = makeProduct(directory.filePath("Applications"), "5.0", "5000", "installed");
        QFile::remove(directory.filePath("started"));
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", directory.filePath("config"));
        environment.insert("XDG_CACHE_HOME", directory.filePath("cache"));
        environment.insert("https_proxy", server.proxyURL());
        environment.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
        environment.insert("LANGUAGE", "en");
        environment.insert("TERM", "xterm");
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        return environment;
    }
    // A run from a script without a terminal, as cron starts one, answered
    // with yes throughout.
    Outcome check(const QString &command)
    {
        QProcess updater;
        updater.setProcessEnvironment(environment());
        updater.setStandardInputFile(QProcess::nullDevice());
        updater.setChildProcessModifier([] { ::setsid(); });
        updater.start(product + Updater, {command, "--assume-yes"});
        TestSupport::waitFor([&] { return updater.state() == QProcess::NotRunning; }, 300s);
        Outcome run;
        if (updater.state() == QProcess::NotRunning && updater.exitStatus() == QProcess::NormalExit)
            run.status = updater.exitCode();
        run.output = QString::fromUtf8(updater.readAllStandardOutput());
        run.log = QString::fromUtf8(updater.readAllStandardError());
        return run;
    }

    std::string installedVersion() const
    {
        const NVResult<QVariant> info = NVPropertyList::readFile(product + "/Contents/Info.plist");
        return info ? info->toMap().value("CFBundleShortVersionString").toString().toStdString() : std::string();
    }
    // Waits for a start of the product (or the installer) to be noted.
    bool waitForStart(const QByteArray &line)
    {
        return TestSupport::waitFor([&] { return started().split('\n').contains(line); }, 60s);
    }
    QByteArray started() const { return TestSupport::readFile(directory.filePath("started")); }
    int requestsFor(const QString &path) const { return int(server.requestsFor(path).size()); }
    // Disk images still attached from this test's folder.
    QStringList mountedImages() const
    {
        QStringList mounted;
        for (const QString &line : QString::fromUtf8(TestSupport::readFile("/proc/self/mounts")).split('\n'))
            if (line.contains(QStringLiteral("squashfuse")) && line.contains(QString(directory.path()).replace(' ', "\\040")))
                mounted << line;
        return mounted;
    }

    PrivateSessionBus bus;
};

} // namespace

// Whatever the format, a manual check installs the new version, ends the
// copy of the product that still runs, and starts the new version; the
// updater that came with it then finds nothing newer.
TEST_F(WholeRunTest, AManualCheckInstallsEachFormatAndTheUpdatedProductIsThenUpToDate)
{
    for (const QString format : {"tar.gz", "dmg", "zip"}) {
        SCOPED_TRACE(format.toStdString());
        installVelkin();
        // The kernel must see the bundle's own executable running.
        const QString executable = product + "/Contents/MacOS/velkin";
        QFile::remove(executable);
        ASSERT_TRUE(QFile::copy("/bin/sleep", executable));
        QProcess running;
        running.start(executable, {"600"});
        ASSERT_TRUE(running.waitForStarted());
        const QString name = "Velkin-5.1." + format;
        publish(name, "5.1", "5100");
        serveFeed(QVariantList{entry("5.1", "5100", name)});

        const Outcome run = check(CheckManually);
        EXPECT_EQ(run.status, 0) << run.text();
        EXPECT_TRUE(run.output.contains("Choice [3]: 3\n")) << run.text();
        EXPECT_EQ(installedVersion(), "5.1");
        EXPECT_TRUE(TestSupport::waitFor([&] { return running.state() == QProcess::NotRunning; }, 60s));
        EXPECT_EQ(running.exitStatus(), QProcess::CrashExit) << "ended by a signal";
        EXPECT_TRUE(waitForStart("new 5100 started")) << started().constData() << run.text();
        EXPECT_TRUE(TestSupport::waitFor([&] { return mountedImages().isEmpty(); }, 60s)) << mountedImages().join('\n').toStdString();

        const Outcome again = check(CheckManually);
        EXPECT_EQ(again.status, 0) << again.text();
        EXPECT_TRUE(again.output.contains("Velkin is up to date.")) << again.text();
        EXPECT_EQ(requestsFor("/" + name), 1);
        EXPECT_EQ(installedVersion(), "5.1");
    }
}

// A version the person skipped stays away from the background checks; a
// check the person asks for offers it again. This one brings its own
// installer, which is started with its two arguments, and the product is
// left as it is.
TEST_F(WholeRunTest, ASkippedVersionIsOfferedOnlyWhenAskedForAndAnInstallerUpdateStartsItsInstaller)
{
    const QString installer = directory.filePath("release/Velkin Installer.app");
    ASSERT_TRUE(QDir().rename(DriverTest::makeProduct(directory.filePath("release"), "5.1", "5100", "installer 5100"), installer));
    // The updater starts the executable named after the bundle.
    ASSERT_TRUE(QFile::rename(installer + "/Contents/MacOS/velkin", installer + "/Contents/MacOS/Velkin Installer"));
    publishBundle(installer, "Velkin-5.1-Installer.tar.gz");
    QVariantMap offer = entry("5.1", "5100", "Velkin-5.1-Installer.tar.gz");
    offer.insert("InstallationMechanism", "Installer");
    offer.insert("InstallationObject", "Velkin Installer.app");
    serveFeed(QVariantList{offer});
    {
        const auto person = std::make_unique<PseudoTerminal>(
            PseudoTerminal::Options{.program = product + Updater, .arguments = {CheckManually}, .environment = environment()});
        ASSERT_TRUE(person->waitForScreen("Choice [3]: ")) << person->screen().toStdString();
        person->type("1\r");
        EXPECT_EQ(person->waitForExit(), 0) << person->screen().toStdString();
    }
    // The check just made is forgotten, so that a background check is due.
    ASSERT_EQ(TestSupport::run(product + Updater, {"defaults", "delete", "SoftwareUpdateLastCheck"}, environment()).exitCode, 0);

    const int feeds = requestsFor("/update-feeds/velkin5.plist");
    const Outcome automatic = check(CheckAutomatically);
    EXPECT_EQ(automatic.status, 0) << automatic.text();
    EXPECT_EQ(requestsFor("/update-feeds/velkin5.plist"), feeds + 1) << "the background check ran";
    EXPECT_FALSE(automatic.output.contains("5.1")) << automatic.text();
    EXPECT_EQ(requestsFor("/Velkin-5.1-Installer.tar.gz"), 0);

    const Outcome manual = check(CheckManually);
    EXPECT_EQ(manual.status, 0) << manual.text();
    EXPECT_EQ(started(), "installer 5100 started with: -startedBySoftwareUpdate YES\n") << manual.text();
    EXPECT_EQ(installedVersion(), "5.0");
}

// A product only root may change, updated by the unprivileged test account:
// the password is asked for once, and the new version is root's again.
TEST_F(WholeRunTest, ARootOwnedProductIsReplacedAfterOnePasswordPrompt)
{
    NV_RUN_AS_TEST_USER();
    // The account's password prompt, counting how often it is asked; the
    // updater's prompt in the product hands over to it.
    const QString askpass = directory.filePath("askpass");
    TestSupport::writeFile(askpass, "#!/bin/sh\necho asked >> '" + QFile::encodeName(directory.filePath("asked")) + "'\necho '"
                                        + TestUser::account()->password.toUtf8() + "'\n");
    QFile::setPermissions(askpass, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QString prompt = QFileInfo(product + Updater).path() + "/nvsu-askpass";
    QFile::remove(prompt);
    TestSupport::writeFile(prompt, "#!/bin/sh\nexec '" + QFile::encodeName(askpass) + "' \"$@\"\n");
    QFile::setPermissions(prompt, QFile::permissions(askpass) | QFileDevice::ReadOther | QFileDevice::ExeOther);
    const auto sudo = [&](const QStringList &command) {
        QProcessEnvironment environment;
        environment.insert("SUDO_ASKPASS", askpass);
        return TestSupport::run("/usr/bin/sudo", QStringList{"-A", "--"} + command, environment).exitCode;
    };
    // A folder of root's, as /opt or /usr/local/lib is.
    const QString folder = QStringLiteral("/tmp/nvsu-wholerun-%1").arg(::getpid());
    ASSERT_EQ(sudo({"/usr/bin/install", "-d", "-m", "0711", folder}), 0);
    const std::shared_ptr<void> removeFolder(nullptr, [&](void *) { sudo({"/bin/rm", "-rf", folder}); });
    ASSERT_EQ(sudo({"/bin/cp", "-R", product, folder}), 0);
    ASSERT_EQ(sudo({"/bin/chown", "-R", "0:0", folder + "/Velkin.app"}), 0);
    product = folder + "/Velkin.app";
    QFile::remove(directory.filePath("asked"));
    publish("Velkin-5.1.tar.gz", "5.1", "5100");
    serveFeed(QVariantList{entry("5.1", "5100", "Velkin-5.1.tar.gz")});

    // Without a terminal polkit has no one to ask; sudo asks the prompt program.
    const Outcome run = check(CheckManually);
    EXPECT_EQ(run.status, 0) << run.text();
    EXPECT_EQ(TestSupport::readFile(directory.filePath("asked")), "asked\n") << run.text();
    EXPECT_EQ(installedVersion(), "5.1") << run.text();
    EXPECT_EQ(QFileInfo(product + "/Contents/Resources/marker.txt").ownerId(), 0u);
    EXPECT_TRUE(waitForStart("new 5100 started")) << started().constData() << run.text();
}
