#include "support/DriverTestSupport.h"

#include "foundation/NVPropertyList.h"
#include "platform/NVBundle.h"
#include "platform/NVTemporaryDirectory.h"
#include "support/TestSupport.h"
#include "unarchive/NVSUDMGUnarchiver.h"

#include <QDir>
#include <QFile>

void DriverTest::SetUp()
{
    qputenv("XDG_CACHE_HOME", QFile::encodeName(directory.filePath("cache")));
    installProduct();
    defaults = std::make_unique<NVUserDefaults>("test.velkin.SoftwareUpdate", directory.filePath("config"));

    for (const QString &name : TestTLS::hostNames())
        server.addHost(name);
    server.setFolder(directory.filePath("download"));
    configuration.feedURL = QUrl("https://updates.velkin.test/update-feeds/velkin5.plist");
    configuration.sessionConfiguration.environment = QProcessEnvironment();
    configuration.sessionConfiguration.environment.insert("https_proxy", server.proxyURL());
    configuration.sessionConfiguration.environment.insert("http_proxy", server.proxyURL());
    configuration.userDefaults = defaults.get();
    configuration.clock = &clock;
    configuration.verifierPath = TestSupport::bundlePath() + "/Contents/MacOS/nvsu-release";

    NVSUWindowControllers::setFactory([this](const NVSUUpdate &, NVSUWindowControllerOwner *owner) -> std::unique_ptr<NVSUWindowControllerInterface> {
        if (declineWindows)
            return nullptr;
        calls << "created";
        return std::make_unique<RecordingWindowController>(calls, progress, owner);
    });
}

void DriverTest::installProduct()
{
    QDir(directory.filePath("Applications")).removeRecursively();
    product = makeProduct(directory.filePath("Applications"), "5.0", "5000", "installed");
    updater = product + "/Contents/Helpers/Velkin Software Update.app";
    TestSupport::writeInfoPlist(updater, {{"CFBundleIdentifier", "test.velkin.SoftwareUpdate"}, {"CFBundleName", "Velkin Software Update"},
                                          {"CFBundleVersion", "5000"}, {"CFBundleShortVersionString", "5.0"},
                                          {"SoftwareUpdateBundleName", "Velkin"}});
    const QString resources = updater + "/Contents/Resources";
    QDir().mkpath(resources);
    for (const char *language : {"en", "de"})
        QFile::link(TestSupport::bundlePath() + "/Contents/Resources/" + language + ".lproj", resources + '/' + language + ".lproj");
    // The tools the run starts live beside the updater's executable.
    QDir().mkpath(updater + "/Contents/MacOS");
    for (const char *tool : {"nvsu-diskimage", "nvsu-release", "nvsu-open"})
        QFile::link(TestSupport::bundlePath() + "/Contents/MacOS/" + tool, updater + "/Contents/MacOS/" + tool);
    TestSupport::writeFile(resources + "/ServerTrustAnchors.pem", TestTLS::shared().authorityPEM);
    QFile::copy(signing.anchorsPath(), resources + "/CodeSigningAnchors.pem");
    NVBundle::setMainBundle(updater, "test.velkin.SoftwareUpdate");
}

void DriverTest::TearDown()
{
    driver.reset();
    // A run that unpacked a disk image detaches it in the background; the
    // test is over when that has ended, so no image stays mounted.
    std::optional<int> stillRunning;
    QObject context;
    NVSUDMGUnarchiver::whenOutstandingDetachesEnd(QDeadlineTimer::Forever, &context, [&](int n) { stillRunning = n; });
    EXPECT_TRUE(TestSupport::waitFor([&] { return stillRunning.has_value(); }, std::chrono::seconds(90)) && stillRunning == 0);
    NVSUWindowControllers::setFactory({});
    NVBundle::setMainBundle(QString());
}

QString DriverTest::makeProduct(const QString &parent, const QString &shortVersion, const QString &version, const QByteArray &marker) const
{
    const QString bundle = parent + "/Velkin.app";
    TestSupport::writeInfoPlist(bundle, {{"CFBundleIdentifier", "test.velkin"}, {"CFBundleExecutable", "velkin"},
                                         {"CFBundleVersion", version}, {"CFBundleShortVersionString", shortVersion}});
    TestSupport::writeFile(bundle + "/Contents/Resources/marker.txt", marker);
    TestSupport::writeFile(bundle + "/Contents/MacOS/velkin", productExecutable);
    QFile::setPermissions(bundle + "/Contents/MacOS/velkin", QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::WriteOwner
                                                           | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                                           | QFileDevice::ExeOther);
    return bundle;
}

QString DriverTest::publish(const QString &name, const QString &shortVersion, const QString &version, bool sign)
{
    const QString source = makeProduct(directory.filePath("release " + version), shortVersion, version, "new " + version.toUtf8());
    // A release carries the updater, as a real one does: the run that
    // installs it detaches its disk image with the tool that is then in place.
    const QString tools = source + "/Contents/Helpers/Velkin Software Update.app/Contents/MacOS";
    QDir().mkpath(tools);
    QFile::link(TestSupport::bundlePath() + "/Contents/MacOS/nvsu-diskimage", tools + "/nvsu-diskimage");
    return publishBundle(source, name, sign);
}

QString DriverTest::publishBundle(const QString &source, const QString &name, bool sign)
{
    const QString archive = directory.filePath("download/" + name);
    QDir().mkpath(directory.filePath("download"));
    QString format;
    for (const QString suffix : {"tar.gz", "tgz", "tar.bz2", "tbz", "zip", "dmg"})
        if (name.endsWith('.' + suffix))
            format = suffix;
    const QString tool = TestSupport::bundlePath() + "/Contents/MacOS/nvsu-release";
    EXPECT_EQ(TestSupport::run(tool, {"package", source, "--format", format, "--output", archive}).exitCode, 0);
    const auto team = SigningFixture::Signer::Team;
    if (sign) {
        const auto signed_ = TestSupport::run(tool, {"sign", archive, "--certificate", signing.certificatePath(team), "--key",
                                                     signing.keyPath(team), "--chain", signing.chainPath(team)});
        EXPECT_EQ(signed_.exitCode, 0) << signed_.err.toStdString();
    }
    return archive;
}

QVariantMap DriverTest::entry(const QString &shortVersion, const QString &version, const QString &archiveName) const
{
    return {{"BundleVersion", version},
            {"BundleShortVersionString", shortVersion},
            {"InstallationObject", "Velkin.app"},
            {"InstallationMechanism", "ReplaceBundle"},
            {"DownloadURL", "https://downloads.velkin.test/" + archiveName},
            {"DownloadPageURL", "https://www.velkin.test/download"}};
}

void DriverTest::serveFeed(const QVariant &root)
{
    server.setRoute("/update-feeds/velkin5.plist", {.body = *NVPropertyList::write(root, NVPropertyList::Format::XML)});
}

NVSUDriver &DriverTest::startRun(bool interactively)
{
    driver = std::make_unique<NVSUDriver>(this, configuration);
    driver->setDelegate(this);
    driver->setWebsiteURL(QUrl("https://www.velkin.test/"));
    driver->checkForUpdateInteractively(interactively, nullptr);
    return *driver;
}

bool DriverTest::waitForCall(const QString &prefix, std::chrono::milliseconds timeout)
{
    return TestSupport::waitFor([&] { return !callsStartingWith(prefix).isEmpty(); }, timeout);
}

bool DriverTest::waitForTermination(std::chrono::milliseconds timeout)
{
    return TestSupport::waitFor([&] { return !terminations.isEmpty(); }, timeout);
}

QStringList DriverTest::updateUntilAlert(const QVariantMap &entry)
{
    serveFeed(QVariantList{entry});
    calls.clear();
    startRun(true);
    if (!waitForCall("created"))
        return {};
    driver->dialogFinishedWithChoice(NVSUUserChoiceUpdate);
    TestSupport::waitFor([&] { return !callsStartingWith("runAlertWithName").isEmpty() || !callsStartingWith("offerInstallation").isEmpty(); },
                         std::chrono::seconds(60));
    if (!callsStartingWith("offerInstallationWithMechanism").isEmpty())
        driver->startInstaller();
    waitForCall("runAlertWithName");
    return callsStartingWith("runAlertWithName");
}

QStringList DriverTest::callsStartingWith(const QString &prefix) const
{
    QStringList matching;
    for (const QString &call : calls)
        if (call.startsWith(prefix))
            matching << call;
    return matching;
}

QStringList DriverTest::downloadFolders() const
{
    const NVResult<QString> temporary = NVTemporaryDirectory::privateTemporaryDirectory();
    if (!temporary)
        return {};
    return QDir(temporary.value()).entryList({"Velkin-*", "download-*"}, QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot);
}

QByteArray DriverTest::installedMarker() const
{
    return TestSupport::readFile(product + "/Contents/Resources/marker.txt");
}
