#include "platform/NVBundle.h"
#include "foundation/NVPropertyList.h"
#include "platform/NVTemporaryDirectory.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(NVBundle, MainBundleOfAnExecutableInsideABundleWithBlanks)
{
    // A copy of the updater inside a bundle whose path has blanks keeps its
    // settings under that bundle's identifier: proof it found its bundle.
    QTemporaryDir dir;
    const QString bundle = dir.path() + "/Folder With Blanks/Some App.app";
    TestSupport::writeInfoPlist(bundle, {{"CFBundleIdentifier", "test.blanks.App"}, {"CFBundleExecutable", "velkin-software-update"}});
    const QString exe = bundle + "/Contents/MacOS/velkin-software-update";
    QDir().mkpath(QFileInfo(exe).path());
    ASSERT_TRUE(QFile::copy(TestSupport::bundleExecutable(), exe));
    ASSERT_EQ(::chmod(QFile::encodeName(exe).constData(), 0755), 0);

    QProcessEnvironment env;
    env.insert("XDG_CONFIG_HOME", dir.path() + "/config");
    const auto result = TestSupport::run(exe, {"defaults", "write", "Probe", "-int", "1"}, env);
    ASSERT_EQ(result.exitCode, 0) << result.err.constData();
    EXPECT_TRUE(QFileInfo::exists(dir.path() + "/config/test.blanks.App.plist"));
}

TEST(NVBundle, TestsRunFromAFlatFolderWithoutIdentifierUnlessGivenOne)
{
    NVBundle *main = NVBundle::mainBundle();
    EXPECT_EQ(main->bundlePath(), QFileInfo(QFile::symLinkTarget("/proc/self/exe")).absolutePath());
    EXPECT_TRUE(main->bundleIdentifier().isEmpty());
    EXPECT_EQ(NVBundle::mainIdentifier(), "platform_tests");

    NVBundle::setMainBundleForTesting(main->bundlePath(), "test.given.Identifier");
    EXPECT_EQ(NVBundle::mainBundle()->bundleIdentifier(), "test.given.Identifier");
    EXPECT_EQ(NVBundle::mainIdentifier(), "test.given.Identifier");
}

TEST(NVBundle, InfoResourcesAndLocalizations)
{
    const NVBundle *updater = NVBundle::bundleWithPath(TestSupport::bundlePath());
    ASSERT_NE(updater, nullptr);
    EXPECT_EQ(updater->bundleIdentifier(), "norvane.velkin.SoftwareUpdate");
    EXPECT_EQ(updater->executablePath(), TestSupport::bundleExecutable());

    QTemporaryDir dir;
    const QString path = dir.path() + "/Localized.app";
    TestSupport::writeInfoPlist(path, {{"CFBundleDevelopmentRegion", "de"}});
    TestSupport::writeFile(path + "/Contents/Resources/Window.ui", "<ui/>");
    TestSupport::writeFile(path + "/Contents/Resources/en.lproj/Table.strings", "\"a\" = \"A\";");
    TestSupport::writeFile(path + "/Contents/Resources/de.lproj/Table.strings", "\"a\" = \"Ä\";");
    TestSupport::writeFile(path + "/Contents/Resources/de.lproj/OnlyGerman.strings", "");
    TestSupport::writeFile(path + "/Contents/Resources/pt_BR.lproj/Table.strings", "");
    const NVBundle *bundle = NVBundle::bundleWithPath(path);
    ASSERT_NE(bundle, nullptr);

    EXPECT_EQ(bundle->localizations(), QStringList({"de", "en", "pt_BR"}));
    struct Case { QStringList languages; QStringList preferred; };
    const Case cases[] = {
        {{"de-AT", "en-US"}, {"de", "en"}}, {{"fr-FR", "pt-BR"}, {"pt_BR"}},
        {{"fr", "it"}, {"de"}},           // nothing matches: the development region
        {{"EN-gb", "de", "en"}, {"en", "de"}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(bundle->preferredLocalizationsForLanguages(c.languages), c.preferred) << c.languages.join(',').toStdString();

    EXPECT_EQ(bundle->pathForResource("Window", "ui"), path + "/Contents/Resources/Window.ui");
    EXPECT_EQ(bundle->pathForResource("Table", "strings", QString(), "de"), path + "/Contents/Resources/de.lproj/Table.strings");
    EXPECT_TRUE(bundle->pathForResource("OnlyGerman", "strings", QString(), "en").isEmpty());
    EXPECT_EQ(NVBundle::bundleWithPath(path + "/"), bundle); // one object per bundle
    EXPECT_EQ(NVBundle::bundleWithPath(dir.path() + "/nonexistent.app"), nullptr);
}

TEST(NVBundle, CacheInvalidationSeesAReplacedBundle)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/Product.app";
    TestSupport::writeInfoPlist(path, {{"CFBundleVersion", "6400"}});
    NVBundle *bundle = NVBundle::bundleWithPath(path);
    ASSERT_NE(bundle, nullptr);
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleVersion"), QVariant("6400"));
    EXPECT_TRUE(bundle->pathForResource("New", "ui").isEmpty());

    // The bundle is replaced on disk, as an installation does.
    TestSupport::writeInfoPlist(path, {{"CFBundleVersion", "6500"}});
    TestSupport::writeFile(path + "/Contents/Resources/New.ui", "<ui/>");
    EXPECT_EQ(NVBundle::bundleWithPath(path, false)->objectForInfoDictionaryKey("CFBundleVersion"), QVariant("6400"));
    NVBundle *fresh = NVBundle::bundleWithPath(path, true);
    EXPECT_EQ(fresh, bundle);
    EXPECT_EQ(fresh->objectForInfoDictionaryKey("CFBundleVersion"), QVariant("6500"));
    EXPECT_FALSE(fresh->pathForResource("New", "ui").isEmpty());
}

class NVTemporaryDirectoryTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    void SetUp() override { qputenv("XDG_CACHE_HOME", QFile::encodeName(dir.path() + "/cache")); }
    void TearDown() override { qunsetenv("XDG_CACHE_HOME"); }
    QString expected() const { return dir.path() + "/cache/test.velkin.Temp/tmp"; }
};

TEST_F(NVTemporaryDirectoryTest, CreatedPrivateAndReused)
{
    NVResult<QString> made = NVTemporaryDirectory::ensure("test.velkin.Temp");
    ASSERT_TRUE(made.ok()) << made.error().localizedDescription().toStdString();
    EXPECT_EQ(*made, expected());
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(*made).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(NVTemporaryDirectory::ensure("test.velkin.Temp").ok());
    EXPECT_FALSE(NVTemporaryDirectory::ensure("../escape").ok());
}

TEST_F(NVTemporaryDirectoryTest, LinksLooseModesAndStrangersAreRefused)
{
    const QString parent = QFileInfo(expected()).path();
    auto refused = [&](const char *what) {
        NVResult<QString> result = NVTemporaryDirectory::ensure("test.velkin.Temp");
        ASSERT_FALSE(result.ok()) << what;
        EXPECT_TRUE(result.error().localizedDescription().startsWith("The private folder "))
            << what << ": " << result.error().localizedDescription().toStdString();
    };

    // The directory is a link to a folder someone prepared.
    QDir().mkpath(parent);
    QDir().mkpath(dir.path() + "/prepared");
    ASSERT_TRUE(QFile::link(dir.path() + "/prepared", expected()));
    refused("link");
    QFile::remove(expected());

    // The directory exists but others may enter it.
    ASSERT_EQ(::mkdir(QFile::encodeName(expected()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(expected()).constData(), 0755), 0);
    refused("mode 0755");
    ASSERT_EQ(::chmod(QFile::encodeName(expected()).constData(), 0700), 0);
    EXPECT_TRUE(NVTemporaryDirectory::ensure("test.velkin.Temp").ok());

    // The parent folder is a link.
    QDir(parent).removeRecursively();
    QDir().mkpath(dir.path() + "/elsewhere");
    ASSERT_TRUE(QFile::link(dir.path() + "/elsewhere", parent));
    refused("parent link");
    QFile::remove(parent);

    // Owned by somebody else: only root can arrange that.
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hand a folder to another user";
    ASSERT_EQ(::mkdir(QFile::encodeName(parent).constData(), 0700), 0);
    ASSERT_EQ(::mkdir(QFile::encodeName(expected()).constData(), 0700), 0);
    ASSERT_EQ(::chown(QFile::encodeName(expected()).constData(), 65534, 65534), 0);
    refused("other owner");
}

} // namespace
